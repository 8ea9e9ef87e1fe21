// Decimal amounts: exact parsing, normalising, comparison and rendering, and the amount readers and writers.
#include "core/amount.hpp"

#include "core/text.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace quorvel_bo::core {

namespace {

using Mantissa = Decimal::Mantissa;

constexpr std::string_view kInvalidDecimal = "invalid decimal";
constexpr std::string_view kTooLarge = "too large";
constexpr std::string_view kTooManyDigits = "too many digits to hold exactly";
constexpr std::string_view kTooManyPlaces = "too many decimal places to hold exactly";

// 2^96 has 29 digits; no mantissa has more.
constexpr std::int64_t kMaxDigits = 29;
// Exponent digits past this magnitude change nothing but could overflow.
constexpr std::int64_t kExponentCap = 100'000'000'000'000'000;  // 1e17
constexpr std::int64_t kCountCap = 1'000'000'000'000'000'000;   // 1e18

constexpr std::array<Mantissa, 39> make_powers() {
    std::array<Mantissa, 39> powers{};
    Mantissa p = 1;
    for (auto& slot : powers) {
        slot = p;
        p *= 10;
    }
    return powers;
}
constexpr std::array<Mantissa, 39> kPow10 = make_powers();

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

std::int64_t count(std::size_t n) noexcept {
    return static_cast<std::int64_t>(std::min<std::size_t>(n, static_cast<std::size_t>(kCountCap)));
}

std::unexpected<std::string> refuse(std::string_view reason) {
    return std::unexpected<std::string>(std::string(reason));
}

// -1, 0 or 1 comparing |a| and |b|.
int compare_magnitude(Mantissa am, unsigned as, Mantissa bm, unsigned bs) noexcept {
    if (as > bs) return -compare_magnitude(bm, bs, am, as);
    const Mantissa p = kPow10[bs - as];
    const Mantissa q = bm / p;
    if (am != q) return am < q ? -1 : 1;
    return bm % p == 0 ? 0 : -1;
}

}  // namespace

std::optional<Decimal> Decimal::from_parts(bool negative, Mantissa mantissa, unsigned scale) noexcept {
    if (mantissa >= kMantissaLimit || scale > kMaxScale) return std::nullopt;
    return Decimal(negative, mantissa, scale);
}

std::optional<Decimal> Decimal::parse_short(std::string_view text) noexcept {
    const std::size_t n = text.size();
    std::size_t i = 0;
    const bool negative = n != 0 && text[0] == '-';
    if (negative) ++i;
    std::uint64_t digits = 0;
    std::size_t total = 0;
    auto take = [&] {
        const std::size_t from = i;
        for (; i < n && is_digit(text[i]); ++i) digits = digits * 10 + static_cast<std::uint64_t>(text[i] - '0');
        total += i - from;
        return i - from;
    };
    if (take() == 0) return std::nullopt;
    std::size_t places = 0;
    if (i < n && text[i] == '.') {
        ++i;
        places = take();
        if (places == 0) return std::nullopt;
    }
    if (i != n || total > kShortDigits) return std::nullopt;
    return Decimal(negative, digits, static_cast<unsigned>(places));
}

std::expected<Decimal, std::string> Decimal::parse(std::string_view text) {
    if (const std::optional<Decimal> quick = parse_short(text)) return *quick;
    const std::size_t n = text.size();
    std::size_t i = 0;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t int_begin = i;
    while (i < n && is_digit(text[i])) ++i;
    const std::size_t int_end = i;
    std::size_t frac_begin = i;
    std::size_t frac_end = i;
    if (i < n && text[i] == '.') {
        frac_begin = ++i;
        while (i < n && is_digit(text[i])) ++i;
        frac_end = i;
    }
    if (int_begin == int_end && frac_begin == frac_end) return refuse(kInvalidDecimal);
    std::int64_t exponent = 0;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool exponent_negative = false;
        if (i < n && (text[i] == '+' || text[i] == '-')) {
            exponent_negative = text[i] == '-';
            ++i;
        }
        const std::size_t exp_begin = i;
        for (; i < n && is_digit(text[i]); ++i) {
            if (exponent < kExponentCap) exponent = exponent * 10 + (text[i] - '0');
        }
        if (i == exp_begin) return refuse(kInvalidDecimal);
        if (exponent_negative) exponent = -exponent;
    }
    if (i != n) return refuse(kInvalidDecimal);

    // The digits, integer and fractional part joined, are D and the value is D * 10^exponent_of_d.
    const std::size_t int_len = int_end - int_begin;
    const std::size_t total = int_len + (frac_end - frac_begin);
    auto digit = [&](std::size_t k) -> char {
        return k < int_len ? text[int_begin + k] : text[frac_begin + (k - int_len)];
    };
    const std::int64_t exponent_of_d = exponent - count(frac_end - frac_begin);
    // The scale the text asks for, as far as one can be held.
    const auto written_scale = static_cast<unsigned>(std::clamp<std::int64_t>(-exponent_of_d, 0, kMaxScale));

    std::size_t first = 0;
    while (first < total && digit(first) == '0') ++first;
    if (first == total) return Decimal(negative, 0, written_scale);
    std::size_t last = total - 1;
    while (digit(last) == '0') --last;

    // Without leading and trailing zeros: value = sig * 10^sig_exponent with sig_digits digits.
    const std::int64_t sig_digits = count(last - first + 1);
    const std::int64_t sig_exponent = exponent_of_d + count(total - 1 - last);
    const std::int64_t int_digits = sig_digits + sig_exponent;

    if (int_digits > kMaxDigits) return refuse(kTooLarge);
    if (int_digits > 0) {
        Mantissa int_part = 0;
        const std::int64_t from_text = std::min(int_digits, sig_digits);
        for (std::int64_t k = 0; k < from_text; ++k) int_part = int_part * 10 + (digit(first + k) - '0');
        int_part *= kPow10[int_digits - from_text];
        if (int_part >= kMantissaLimit) return refuse(kTooLarge);
    }
    if (-sig_exponent > static_cast<std::int64_t>(kMaxScale)) return refuse(kTooManyPlaces);
    if (sig_digits > kMaxDigits) return refuse(kTooManyDigits);

    Mantissa sig = 0;
    for (std::size_t k = first; k <= last; ++k) sig = sig * 10 + (digit(k) - '0');

    // Keep the written scale unless the mantissa would not fit; dropped places are trailing zeros only.
    auto scale = static_cast<std::int64_t>(written_scale);
    std::int64_t shift = scale + sig_exponent;  // >= 0: written_scale is at least -sig_exponent
    if (sig_digits + shift > kMaxDigits) {
        const std::int64_t excess = sig_digits + shift - kMaxDigits;
        shift -= excess;
        scale -= excess;
    }
    Mantissa mantissa = sig * kPow10[shift];
    if (mantissa >= kMantissaLimit) {
        // A 29-digit mantissa at scale 0 would be an integer part checked above, so scale > 0 here.
        if (shift == 0) return refuse(kTooManyDigits);
        --shift;
        --scale;
        mantissa = sig * kPow10[shift];
    }
    return Decimal(negative, mantissa, static_cast<unsigned>(scale));
}

Decimal Decimal::normalized() const noexcept {
    Mantissa m = mantissa_;
    unsigned s = scale_;
    // 64-bit division when the mantissa fits, since the 128-bit one is a library call.
    if (m <= UINT64_MAX) {
        auto small = static_cast<std::uint64_t>(m);
        while (s > 0 && small % 10 == 0) {
            small /= 10;
            --s;
        }
        return Decimal(negative_, small, s);
    }
    while (s > 0 && m % 10 == 0) {
        m /= 10;
        --s;
    }
    return Decimal(negative_, m, s);
}

std::string Decimal::to_string() const {
    // Digits from the last one back, in a buffer long enough for any mantissa and scale; 64-bit
    // division as soon as the mantissa fits, since the 128-bit one is a library call.
    std::array<char, 64> buffer{};
    char* const end = buffer.data() + buffer.size();
    char* first = end;
    Mantissa m = mantissa_;
    while (m > UINT64_MAX) {
        *--first = static_cast<char>('0' + static_cast<int>(m % 10));
        m /= 10;
    }
    auto small = static_cast<std::uint64_t>(m);
    do {
        *--first = static_cast<char>('0' + static_cast<int>(small % 10));
        small /= 10;
    } while (small != 0);
    // At least one digit before the point.
    while (static_cast<std::size_t>(end - first) <= scale_) *--first = '0';
    std::string out;
    out.reserve(static_cast<std::size_t>(end - first) + 2);
    if (is_negative()) out.push_back('-');
    out.append(first, end - scale_);
    if (scale_ > 0) {
        out.push_back('.');
        out.append(end - scale_, end);
    }
    return out;
}

int Decimal::compare(const Decimal& a, const Decimal& b) noexcept {
    if (a.is_zero() || b.is_zero()) {
        if (a.is_zero() && b.is_zero()) return 0;
        if (a.is_zero()) return b.is_negative() ? 1 : -1;
        return a.is_negative() ? -1 : 1;
    }
    if (a.negative_ != b.negative_) return a.negative_ ? -1 : 1;
    const int magnitude = compare_magnitude(a.mantissa_, a.scale_, b.mantissa_, b.scale_);
    return a.negative_ ? -magnitude : magnitude;
}

namespace amount {

namespace {

constexpr std::string_view kExpectedNumber = "expected a number, got ";
constexpr std::string_view kInvalidAmount = "invalid amount `";
constexpr std::string_view kMustBePositive = "must be greater than zero";
constexpr std::string_view kTooManyPlacesForMoney = "at most 2 decimal places are allowed";
constexpr std::string_view kNotJson = "not representable as JSON: ";
constexpr std::string_view kNotJsonNumber = "invalid number";
constexpr std::string_view kAmountField = "amount";
constexpr unsigned kMoneyScale = 2;

}  // namespace

std::expected<Decimal, std::string> from_value(const json::Value& value) {
    std::string_view text;
    if (value.is_number()) {
        text = value.text();
    } else if (value.is_string()) {
        text = text::trim(value.text());
    } else {
        std::string message(kExpectedNumber);
        message += json::to_string(value);
        return std::unexpected(std::move(message));
    }
    auto parsed = Decimal::parse(text);
    if (parsed) return *parsed;
    std::string message(kInvalidAmount);
    message.append(text);
    message.append("`: ");
    message.append(parsed.error());
    return std::unexpected(std::move(message));
}

Result<Decimal> validate(std::string_view field, const Decimal& amount) {
    if (amount.is_zero() || amount.is_negative()) {
        return fail(validation(std::string(field), std::string(kMustBePositive)));
    }
    const Decimal normal = amount.normalized();
    if (normal.scale() > kMoneyScale) {
        return fail(validation(std::string(field), std::string(kTooManyPlacesForMoney)));
    }
    return normal;
}

Result<json::Value> to_json_number(const Decimal& amount, json::Arena& arena) {
    const std::string text = amount.normalized().to_string();
    if (!json::is_number_text(text)) {
        std::string message(kNotJson);
        message.append(kNotJsonNumber);
        return fail(validation(std::string(kAmountField), std::move(message)));
    }
    return json::Value::number(arena.copy(text));
}

json::Value serialize(const Decimal& amount, json::Arena& arena) {
    return json::Value::string(arena.copy(amount.normalized().to_string()));
}

}  // namespace amount

}  // namespace quorvel_bo::core
