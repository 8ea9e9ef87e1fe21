// Required-text and ISO date checks producing the standard validation error.
#include "core/validate.hpp"

#include <string>

#include "core/text.hpp"

namespace quorvel_bo::core {
namespace {

constexpr std::string_view kMustNotBeEmpty = "must not be empty";
constexpr std::string_view kMustBeDate = "must be a date as yyyy-mm-dd";

// Digits only: a sign would let "+1" or "-123" pass as a date part.
bool read_digits(std::string_view part, std::int64_t& out) noexcept {
    std::int64_t value = 0;
    for (const char c : part) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    out = value;
    return true;
}

constexpr bool is_leap(std::int64_t y) noexcept { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

constexpr std::int64_t days_in_month(std::int64_t y, std::int64_t m) noexcept {
    constexpr std::int64_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && is_leap(y) ? 29 : kDays[m - 1];
}

// Years start in March so the leap day ends the year; 400-year eras of 146097 days.
constexpr std::int64_t days_from_civil(std::int64_t y, std::int64_t m, std::int64_t d) noexcept {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

static_assert(days_from_civil(1970, 1, 1) == 0);
static_assert(days_from_civil(2000, 3, 1) == 11017);

}  // namespace

Result<void> require_text(std::string_view field, std::string_view value) {
    if (text::is_blank(value)) return fail(validation(std::string(field), std::string(kMustNotBeEmpty)));
    return {};
}

Result<std::int64_t> iso_date_days(std::string_view field, std::string_view text) {
    std::int64_t y = 0;
    std::int64_t m = 0;
    std::int64_t d = 0;
    const bool shaped = text.size() == 10 && text[4] == '-' && text[7] == '-' && read_digits(text.substr(0, 4), y) &&
                        read_digits(text.substr(5, 2), m) && read_digits(text.substr(8, 2), d);
    if (!shaped || m < 1 || m > 12 || d < 1 || d > days_in_month(y, m)) {
        return fail(validation(std::string(field), std::string(kMustBeDate)));
    }
    return days_from_civil(y, m, d);
}

}  // namespace quorvel_bo::core
