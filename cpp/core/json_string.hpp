// What the JSON reader and writer share about strings: the escape table and the 16-byte scans.
// Internal to the JSON layer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvel_bo::core::json::strings {

// The escapes of one letter after a backslash and the byte each stands for. The reader takes them
// all; the writer uses every one but the slash, which it writes as it is, and writes the other
// control characters as \u00XX.
struct ShortEscape {
    char letter;
    char byte;
};
inline constexpr std::array<ShortEscape, 8> kShortEscapes = {{
    {'"', '"'},
    {'\\', '\\'},
    {'/', '/'},
    {'b', '\b'},
    {'f', '\f'},
    {'n', '\n'},
    {'r', '\r'},
    {'t', '\t'},
}};

// kUnescaped[letter]: the byte `\letter` stands for; 0 for every other letter, `u` included.
inline constexpr std::array<char, 256> kUnescaped = [] {
    std::array<char, 256> table{};
    for (const ShortEscape& e : kShortEscapes) table[static_cast<unsigned char>(e.letter)] = e.byte;
    return table;
}();

// kEscapeLetter[byte]: what the writer puts after a backslash for `byte`: its letter, `u` for the
// other control characters, 0 for bytes written as they are.
inline constexpr std::array<char, 256> kEscapeLetter = [] {
    std::array<char, 256> table{};
    for (int c = 0; c < 0x20; ++c) table[c] = 'u';
    for (const ShortEscape& e : kShortEscapes)
        if (e.letter != '/') table[static_cast<unsigned char>(e.byte)] = e.letter;
    return table;
}();

// A byte that ends a run of plain string characters for the reader, and that the writer escapes.
constexpr bool is_special(unsigned char c) noexcept { return c == '"' || c == '\\' || c < 0x20; }

#if defined(__SSE2__)
// SSE2 is part of every x86-64 CPU: no dispatch needed for 16 bytes at a time.
inline __m128i load16(const void* p) noexcept { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void store16(void* p, __m128i x) noexcept { _mm_storeu_si128(static_cast<__m128i*>(p), x); }

// One bit per byte of `x` equal to `c`.
inline unsigned byte_mask(__m128i x, char c) noexcept {
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8(c))));
}
// The control characters of `x` (bytes below 0x20) as a vector of all-ones bytes.
inline __m128i control_bytes(__m128i x) noexcept { return _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(0x1F)), x); }
// One bit per control character of `x`.
inline unsigned control_mask(__m128i x) noexcept { return static_cast<unsigned>(_mm_movemask_epi8(control_bytes(x))); }
// One bit per special byte of `x`: quotes, backslashes and control characters.
inline unsigned special_mask(__m128i x) noexcept {
    const __m128i marks = _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('"')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\\')));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(marks, control_bytes(x))));
}
#endif

// Offset of the first special byte of p[0, n); n when there is none. With `padded`, up to 15
// bytes past p + n may be read (a copy that carries simdjson's padding); they never count.
template <bool padded>
std::size_t plain_run(const char* p, std::size_t n) noexcept {
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; padded ? i < n : i + 16 <= n; i += 16) {
        const unsigned mask = special_mask(load16(p + i));
        if (mask != 0) {
            const std::size_t k = i + static_cast<std::size_t>(__builtin_ctz(mask));
            return k < n ? k : n;
        }
    }
    if (padded) return n;
#endif
    for (; i < n; ++i)
        if (is_special(static_cast<unsigned char>(p[i]))) return i;
    return n;
}

}  // namespace quorvel_bo::core::json::strings
