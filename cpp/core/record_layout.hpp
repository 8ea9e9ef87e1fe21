// What is derived at compile time from a record's one statement of its fields (Fields<R>): its
// keys, the order the writer puts them in, the text before each value, lookup by key and walks
// over the fields. Used by the record codecs of record.hpp.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace quorvel_bo::core::json {

template <class R>
struct Fields;

namespace layout {

template <class R, std::size_t... I, class F>
void for_each_field(std::index_sequence<I...>, F&& f) {
    (f(std::integral_constant<std::size_t, I>{}, std::get<I>(Fields<R>::list)), ...);
}

template <class R, class F>
void for_each_field(F&& f) {
    constexpr std::size_t n = std::tuple_size_v<std::remove_cvref_t<decltype(Fields<R>::list)>>;
    for_each_field<R>(std::make_index_sequence<n>{}, std::forward<F>(f));
}

template <class R>
constexpr std::size_t field_count() {
    return std::tuple_size_v<std::remove_cvref_t<decltype(Fields<R>::list)>>;
}

template <class R, std::size_t... I>
constexpr std::array<std::string_view, sizeof...(I)> field_keys(std::index_sequence<I...>) {
    return {std::get<I>(Fields<R>::list).key...};
}

// The keys of R's fields in declaration order.
template <class R>
inline constexpr auto keys = field_keys<R>(std::make_index_sequence<field_count<R>()>{});

// True when no key of R needs escaping, so the writer may copy them as they are.
template <class R>
consteval bool plain_keys() {
    for (std::string_view key : keys<R>)
        for (char c : key)
            if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return false;
    return true;
}

// rank<R>[i]: the place of field i when the fields are ordered by key, as the writer wants them.
template <class R>
inline constexpr auto rank = [] {
    constexpr std::size_t n = field_count<R>();
    std::array<std::size_t, n> order{};
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [](std::size_t a, std::size_t b) { return keys<R>[a] < keys<R>[b]; });
    std::array<std::size_t, n> out{};
    for (std::size_t place = 0; place < n; ++place) out[order[place]] = place;
    return out;
}();

// order<R>[place]: the field written at `place`, the inverse of rank<R>.
template <class R>
inline constexpr auto order = [] {
    std::array<std::size_t, field_count<R>()> out{};
    for (std::size_t i = 0; i < out.size(); ++i) out[rank<R>[i]] = i;
    return out;
}();

// The text before each field's value when R is written straight from its fields, in written
// order: `{"key":` for the first, `,"key":` for the others, all in one buffer.
template <class R>
struct KeyTexts {
    static constexpr std::size_t n = field_count<R>();
    static constexpr std::size_t total = [] {
        std::size_t size = 0;
        for (std::string_view key : keys<R>) size += key.size() + 4;
        return size;
    }();
    std::array<char, total> chars{};
    std::array<std::size_t, n + 1> starts{};

    constexpr KeyTexts() {
        std::size_t at = 0;
        for (std::size_t place = 0; place < n; ++place) {
            starts[place] = at;
            chars[at++] = place == 0 ? '{' : ',';
            chars[at++] = '"';
            for (char c : keys<R>[order<R>[place]]) chars[at++] = c;
            chars[at++] = '"';
            chars[at++] = ':';
        }
        starts[n] = at;
    }
    constexpr std::string_view operator[](std::size_t place) const noexcept {
        return {chars.data() + starts[place], starts[place + 1] - starts[place]};
    }
};

template <class R>
inline constexpr KeyTexts<R> key_texts{};

// Calls f(field definition) for each field of R in written order.
template <class R, std::size_t... P, class F>
void for_each_field_written(std::index_sequence<P...>, F&& f) {
    (f(std::integral_constant<std::size_t, P>{}, std::get<order<R>[P]>(Fields<R>::list)), ...);
}

template <class R, class F>
void for_each_field_written(F&& f) {
    for_each_field_written<R>(std::make_index_sequence<field_count<R>()>{}, std::forward<F>(f));
}

// a == b for the short texts keys are, compared in place by words rather than by a call to memcmp.
inline bool same_key(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    const char* p = a.data();
    const char* q = b.data();
    auto word = [](const char* at) {
        std::uint64_t w;
        std::memcpy(&w, at, sizeof w);
        return w;
    };
    auto half = [](const char* at) {
        std::uint32_t w;
        std::memcpy(&w, at, sizeof w);
        return w;
    };
    // Whole words, then the last word again (overlapping) for the bytes left over.
    if (n >= 8) {
        for (std::size_t i = 0; i + 8 <= n; i += 8)
            if (word(p + i) != word(q + i)) return false;
        return word(p + n - 8) == word(q + n - 8);
    }
    if (n >= 4) return half(p) == half(q) && half(p + n - 4) == half(q + n - 4);
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != q[i]) return false;
    return true;
}

// Index of the field named `key`, or n when R has none. Objects usually list their keys in
// declaration order, so the search starts at `hint`, the field after the last one found.
template <class R>
std::size_t field_index(std::string_view key, std::size_t hint) noexcept {
    constexpr std::size_t n = field_count<R>();
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t i = hint + k < n ? hint + k : hint + k - n;
        if (same_key(keys<R>[i], key)) return i;
    }
    return n;
}

// field_decoders<R, C>[i] decodes field i of an R (C::decode_field<i>): a table, so that a record of
// many fields reaches the one it reads without testing the others.
template <class R, class C, std::size_t... I>
constexpr auto decoder_table(std::index_sequence<I...>) {
    return std::array{&C::template decode_field<I>...};
}

template <class R, class C>
inline constexpr auto field_decoders = decoder_table<R, C>(std::make_index_sequence<field_count<R>()>{});

}  // namespace layout

}  // namespace quorvel_bo::core::json
