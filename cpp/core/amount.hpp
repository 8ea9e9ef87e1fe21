// Decimal amounts: exact parsing, normalising, comparison and rendering, and the amount readers and writers.
#pragma once

#include <compare>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/json.hpp"
#include "core/record.hpp"

namespace quorvel_bo::core {

// A signed decimal: mantissa * 10^-scale with a mantissa below 2^96 and a scale of 0 to 28.
class Decimal {
public:
    __extension__ using Mantissa = unsigned __int128;

    static constexpr unsigned kMaxScale = 28;
    static constexpr Mantissa kMantissaLimit = Mantissa{1} << 96;

    // Zero with scale 0.
    constexpr Decimal() = default;

    // Nothing when the mantissa or the scale is out of range.
    static std::optional<Decimal> from_parts(bool negative, Mantissa mantissa, unsigned scale) noexcept;

    // Plain ("-12.50", "5.", ".5") or scientific ("1.5e3", "2E-2") notation, without surrounding whitespace.
    // A value that cannot be held exactly is refused rather than rounded; trailing fractional zeros
    // beyond the largest scale that fits are dropped, since they are not digits of the value.
    static std::expected<Decimal, std::string> parse(std::string_view text);

    bool is_zero() const noexcept { return mantissa_ == 0; }
    // True only for values below zero (a negative zero is not negative).
    bool is_negative() const noexcept { return negative_ && mantissa_ != 0; }
    unsigned scale() const noexcept { return scale_; }
    Mantissa mantissa() const noexcept { return mantissa_; }

    // The same value without trailing fractional zeros.
    Decimal normalized() const noexcept;

    // Plain text as held: "-" for negative values, the integer digits, "." and exactly `scale()` fractional digits
    // when the scale is above zero. Never an exponent, a "+" or "-0".
    std::string to_string() const;

    friend bool operator==(const Decimal& a, const Decimal& b) noexcept { return compare(a, b) == 0; }
    friend std::weak_ordering operator<=>(const Decimal& a, const Decimal& b) noexcept {
        const int c = compare(a, b);
        return c < 0 ? std::weak_ordering::less : c > 0 ? std::weak_ordering::greater : std::weak_ordering::equivalent;
    }
    // Compares values: -1, 0 or 1. 10.5 and 10.50 are equal; so are 0 and -0.
    static int compare(const Decimal& a, const Decimal& b) noexcept;

private:
    // Texts of the plain form "-12.50" with at most kShortDigits digits, which most amounts are, are
    // read as parse would read them with 64-bit arithmetic; nothing for any other text.
    static constexpr std::size_t kShortDigits = 18;
    static std::optional<Decimal> parse_short(std::string_view text) noexcept;

    constexpr Decimal(bool negative, Mantissa mantissa, unsigned scale) noexcept
        : mantissa_(mantissa), scale_(static_cast<std::uint8_t>(scale)), negative_(negative) {}

    Mantissa mantissa_ = 0;
    std::uint8_t scale_ = 0;
    bool negative_ = false;
};

namespace amount {

// Reads an amount from a JSON number (its exact text) or a JSON string (trimmed of Unicode whitespace).
// Not normalised and not range-checked.
std::expected<Decimal, std::string> from_value(const json::Value& value);

// The normalised amount when it is above zero with at most two fractional digits.
Result<Decimal> validate(std::string_view field, const Decimal& amount);

// A JSON number whose text is the normalised amount's plain text.
Result<json::Value> to_json_number(const Decimal& amount, json::Arena& arena);

// The normalised amount's plain text as a JSON string.
json::Value serialize(const Decimal& amount, json::Arena& arena);

}  // namespace amount

}  // namespace quorvel_bo::core

namespace quorvel_bo::core::json {

// Amount fields: read from a JSON number or string by amount::from_value, written as a string by
// amount::serialize; an optional amount (std::optional<Decimal>) reads null as none.
template <>
struct Codec<Decimal> {
    static Decoded<Decimal> decode(const Value& v) {
        auto amount = amount::from_value(v);
        if (!amount) return decode_failure(std::move(amount.error()), v);
        return *amount;
    }
    static Value encode(const Decimal& d, Arena& arena) { return amount::serialize(d, arena); }
    // Written as a string of plain decimal text, which never needs escaping.
    static std::size_t text_size(const Decimal& d) { return d.normalized().to_string().size() + 2; }
    static void write(Writer& out, const Decimal& d) {
        out.raw('"');
        out.raw(d.normalized().to_string());
        out.raw('"');
    }
};

}  // namespace quorvel_bo::core::json
