// Unicode-aware helpers for UTF-8 text: whitespace, trimming, character counts, ASCII upper-casing.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvel_bo::core::text {

// The Unicode White_Space property.
constexpr bool is_whitespace(char32_t c) noexcept {
    if (c < 0x80) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

// Strips Unicode whitespace at both ends. Invalid bytes count as non-whitespace characters.
std::string_view trim(std::string_view s) noexcept;

// Empty or only Unicode whitespace.
bool is_blank(std::string_view s) noexcept;

// Number of Unicode scalar values (for valid UTF-8).
std::size_t char_count(std::string_view s) noexcept;

// The first `n` scalar values of `s` (all of `s` when it is shorter).
std::string_view first_chars(std::string_view s, std::size_t n) noexcept;

// Upper-cases a-z only; every other byte is kept as is.
std::string ascii_upper(std::string_view s);

}  // namespace quorvel_bo::core::text
