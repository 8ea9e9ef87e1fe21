// UTF-8 text helpers; they run on every field of large batches, so ASCII is the fast path.
#include "core/text.hpp"

namespace quorvel_bo::core::text {
namespace {

constexpr bool is_ascii_space(unsigned char b) noexcept { return b == 0x20 || (b >= 0x09 && b <= 0x0D); }

constexpr bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

unsigned char byte_at(std::string_view s, std::size_t i) noexcept { return static_cast<unsigned char>(s[i]); }

// Byte length of the whitespace character starting at `pos`, or 0 when there is none.
// Only complete encodings match, so an invalid byte is never taken for whitespace.
std::size_t leading_space(std::string_view s, std::size_t pos) noexcept {
    const std::size_t left = s.size() - pos;
    const unsigned char b0 = byte_at(s, pos);
    if (b0 < 0x80) return is_ascii_space(b0) ? 1 : 0;
    if (left < 2) return 0;
    const unsigned char b1 = byte_at(s, pos + 1);
    if (b0 == 0xC2) return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;
    if (left < 3 || b0 < 0xE1 || b0 > 0xE3) return 0;
    const unsigned char b2 = byte_at(s, pos + 2);
    if (!is_continuation(b1) || !is_continuation(b2)) return 0;
    const char32_t c = (static_cast<char32_t>(b0 & 0x0F) << 12) | (static_cast<char32_t>(b1 & 0x3F) << 6) |
                       static_cast<char32_t>(b2 & 0x3F);
    return is_whitespace(c) ? 3 : 0;
}

// Byte length of the whitespace character ending just before `end`, or 0 when there is none.
std::size_t trailing_space(std::string_view s, std::size_t end) noexcept {
    const unsigned char last = byte_at(s, end - 1);
    if (last < 0x80) return is_ascii_space(last) ? 1 : 0;
    if (end >= 2 && byte_at(s, end - 2) == 0xC2) return (last == 0x85 || last == 0xA0) ? 2 : 0;
    if (end >= 3 && leading_space(s.substr(0, end), end - 3) == 3) return 3;
    return 0;
}

}  // namespace

std::string_view trim(std::string_view s) noexcept {
    // Most texts begin and end with a visible ASCII character: nothing to strip.
    if (!s.empty()) {
        const unsigned char first = byte_at(s, 0);
        const unsigned char last = byte_at(s, s.size() - 1);
        if (first > 0x20 && first < 0x80 && last > 0x20 && last < 0x80) return s;
    }
    std::size_t begin = 0;
    while (begin < s.size()) {
        const std::size_t n = leading_space(s, begin);
        if (n == 0) break;
        begin += n;
    }
    std::size_t end = s.size();
    while (end > begin) {
        const std::size_t n = trailing_space(s, end);
        if (n == 0 || end - n < begin) break;
        end -= n;
    }
    return s.substr(begin, end - begin);
}

bool is_blank(std::string_view s) noexcept {
    // Leading whitespace is stripped in full, so nothing left means blank.
    std::size_t pos = 0;
    while (pos < s.size()) {
        const std::size_t n = leading_space(s, pos);
        if (n == 0) return false;
        pos += n;
    }
    return true;
}

std::size_t char_count(std::string_view s) noexcept {
    // Every scalar value has exactly one byte that is not a continuation byte.
    std::size_t count = 0;
    for (const char c : s) count += is_continuation(static_cast<unsigned char>(c)) ? 0 : 1;
    return count;
}

std::string_view first_chars(std::string_view s, std::size_t n) noexcept {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (is_continuation(byte_at(s, i))) continue;
        if (seen == n) return s.substr(0, i);
        ++seen;
    }
    return s;
}

std::string ascii_upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
    }
    return out;
}

}  // namespace quorvel_bo::core::text
