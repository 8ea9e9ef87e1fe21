// Field rules applied to caller input before a provider request is built.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/error.hpp"

namespace quorvel_bo::payouts::validate {

using core::Result;

// `min`..`max` bytes of ASCII letters, digits, '-' or '_'; the value is taken as is.
Result<void> identifier(std::string_view field, std::string_view value, std::size_t min, std::size_t max);

// Not blank, and `min`..`max` characters (scalar values) once trimmed.
Result<void> text(std::string_view field, std::string_view value, std::size_t min, std::size_t max);

// 8-4-4-4-12 hexadecimal digits, either case.
Result<void> uuid(std::string_view field, std::string_view value);

// `min`..`max` bytes of ASCII digits.
Result<void> digits(std::string_view field, std::string_view value, std::size_t min, std::size_t max);

// The notification URL carrying `token` as the "token" query parameter. `url` must be an http(s) URL
// a provider can deliver to: a host, a valid port if any, no control character, space or fragment,
// and no "token" parameter of its own.
Result<std::string> webhook(std::string_view url, std::string_view token);

}  // namespace quorvel_bo::payouts::validate
