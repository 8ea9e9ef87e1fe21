// Field checks shared by all operations: required texts and ISO calendar dates.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/error.hpp"

namespace quorvel_bo::core {

// Fails when `value` is empty or only Unicode whitespace; the value itself is not trimmed.
Result<void> require_text(std::string_view field, std::string_view value);

// Day number of a yyyy-mm-dd date (ASCII digits only) counted from 1970-01-01, proleptic Gregorian.
Result<std::int64_t> iso_date_days(std::string_view field, std::string_view text);

}  // namespace quorvel_bo::core
