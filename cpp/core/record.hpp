// Record decoding and encoding, generic over each record's one statement of its fields.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/json.hpp"
#include "core/record_layout.hpp"

namespace quorvel_bo::core::json {

// A decoding failure; `offset` points at the offending value when it was read from text.
struct DecodeError {
    std::string message;
    std::size_t offset = kNoOffset;
};

template <class T>
using Decoded = std::expected<T, DecodeError>;

inline std::unexpected<DecodeError> decode_failure(std::string message, const Value& at) {
    return std::unexpected(DecodeError{std::move(message), at.offset()});
}

// "integer `5`", "string", "map", ... as the decoder's messages name a value; a string's text is never shown.
std::string describe(const Value& value);
// "invalid type: <value>, expected <expected>"
std::unexpected<DecodeError> invalid_type(const Value& value, std::string_view expected);

// Codec<T>: `static Decoded<T> decode(const Value&)` and, for written types, `static Value encode(const T&, Arena&)`.
template <class T>
struct Codec;

// A record states its fields once: specialise Fields<R> with `name` and `list` (a tuple of field(...) entries).
template <class R>
struct Fields;

// Codec C sizes and writes a T straight from it, without a tree of values.
template <class C, class T>
concept WritesWith = requires(const T& value, Writer& out) {
    { C::text_size(value) } -> std::convertible_to<std::size_t>;
    C::write(out, value);
};
template <class T>
concept Writable = WritesWith<Codec<T>, T>;

template <class T>
concept Record = requires {
    { Fields<T>::name } -> std::convertible_to<std::string_view>;
    Fields<T>::list;
};

// An enum states the JSON names of its values once: specialise Variants<E> with `name` (the type's
// name in messages) and `list`, the names in declaration order.
template <class E>
struct Variants;

template <class E>
concept Enum = std::is_enum_v<E> && requires {
    { Variants<E>::name } -> std::convertible_to<std::string_view>;
    { Variants<E>::list[0] } -> std::convertible_to<std::string_view>;
};

// The JSON name of `value`.
template <Enum E>
constexpr std::string_view variant_name(E value) noexcept {
    return Variants<E>::list[static_cast<std::size_t>(value)];
}

// "invalid length 1, expected struct Config with 5 elements"
std::string invalid_length(std::size_t got, std::string_view name, std::size_t expected);
// "unknown variant `given`, expected one of `a`, `b`, `c`"
std::string unknown_variant(std::string_view given, std::span<const std::string_view> names);

template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};

// Decodes `v` into `out`, a freshly made T: in place when codec C can (no temporary, no move),
// else through C::decode. The error, if any, is returned; `out` is then not to be used.
template <class C, class T>
std::optional<DecodeError> decode_with(const Value& v, T& out) {
    if constexpr (requires { C::decode_into(v, out); }) {
        return C::decode_into(v, out);
    } else {
        auto decoded = C::decode(v);
        if (!decoded) return std::move(decoded.error());
        out = std::move(*decoded);
        return std::nullopt;
    }
}

// What a field that the object form leaves out becomes.
enum class WhenMissing : std::uint8_t { fail, empty, fallback };

template <class R, class M, class C>
struct FieldDef {
    using record_type = R;
    using member_type = M;
    using codec = C;
    std::string_view key;
    M R::* member;
    WhenMissing missing;
    M (*fallback)() = nullptr;
};

// A field read and written by Codec<M>; an optional member may be left out, any other is required.
template <class R, class M>
constexpr FieldDef<R, M, Codec<M>> field(std::string_view key, M R::* member) {
    return {key, member, is_optional<M>::value ? WhenMissing::empty : WhenMissing::fail};
}
// The same with a codec of the record's own choosing.
template <class C, class R, class M>
constexpr FieldDef<R, M, C> field_with(std::string_view key, M R::* member) {
    return {key, member, is_optional<M>::value ? WhenMissing::empty : WhenMissing::fail};
}
// A field that takes `fallback()` when left out (null is still read by the codec).
template <class R, class M>
constexpr FieldDef<R, M, Codec<M>> field_or(std::string_view key, M R::* member, M (*fallback)()) {
    return {key, member, WhenMissing::fallback, fallback};
}
// A list that is empty when left out.
template <class R, class M>
constexpr FieldDef<R, M, Codec<M>> field_or_empty(std::string_view key, M R::* member) {
    return {key, member, WhenMissing::empty};
}

template <>
struct Codec<std::string> {
    static Decoded<std::string> decode(const Value& v) {
        if (!v.is_string()) return invalid_type(v, "a string");
        return std::string(v.text());
    }
    static std::optional<DecodeError> decode_into(const Value& v, std::string& out) {
        if (!v.is_string()) return invalid_type(v, "a string").error();
        // Into a fresh string: appending skips the checks of a general assignment.
        out.clear();
        out.append(v.text());
        return std::nullopt;
    }
    static Value encode(const std::string& s, Arena& arena) { return Value::string(arena.copy(s)); }
    static std::size_t text_size(const std::string& s) { return written_string_size(s); }
    static void write(Writer& out, const std::string& s) noexcept { out.string(s); }
    // A long string handed over is kept by the arena rather than copied.
    static Value encode(std::string&& s, Arena& arena) {
        return Value::string(s.size() >= kKeepAtLeast ? arena.keep(std::move(s)) : arena.copy(s));
    }
    static constexpr std::size_t kKeepAtLeast = 1024;
};

// A view of the string where it was read (the text, or the arena for escaped strings): for
// inputs that are used only while both still live. Written as a string literal.
template <>
struct Codec<std::string_view> {
    static Decoded<std::string_view> decode(const Value& v) {
        if (!v.is_string()) return invalid_type(v, "a string");
        return v.text();
    }
    static std::size_t text_size(std::string_view s) { return written_string_size(s); }
    static void write(Writer& out, std::string_view s) noexcept { out.string(s); }
};

// The text of a JSON number, written as it is: whoever makes one vouches that it is a number.
struct NumberText {
    std::string_view text;
};

template <>
struct Codec<NumberText> {
    static std::size_t text_size(const NumberText& number) noexcept { return number.text.size(); }
    static void write(Writer& out, const NumberText& number) noexcept { out.raw(number.text); }
};

// A list whose items `source[i]` are made one at a time as they are written, so that a long list
// never exists whole in its written form.
template <class Source>
struct Each {
    const Source* source;
};

template <class Source>
struct Codec<Each<Source>> {
    using Item = std::remove_cvref_t<decltype((*std::declval<const Source*>())[std::size_t{}])>;

    static std::size_t text_size(const Each<Source>& list) {
        const Source& source = *list.source;
        std::size_t size = source.size() == 0 ? 2 : 1 + source.size();  // brackets and commas
        for (std::size_t i = 0; i < source.size(); ++i) size += Codec<Item>::text_size(source[i]);
        return size;
    }
    static void write(Writer& out, const Each<Source>& list) {
        const Source& source = *list.source;
        out.raw('[');
        for (std::size_t i = 0; i < source.size(); ++i) {
            if (i != 0) out.raw(',');
            Codec<Item>::write(out, source[i]);
        }
        out.raw(']');
    }
};

// Enums: their JSON names, stated once in Variants<E>, read and written by one codec.
template <Enum E>
struct Codec<E> {
    static Decoded<E> decode(const Value& v) {
        // A one-key object whose value is null names a variant too.
        const bool keyed = v.is_object() && v.members().size() == 1 && v.members()[0].value.is_null();
        if (!keyed && !v.is_string()) return invalid_type(v, "enum " + std::string(Variants<E>::name));
        const std::string_view given = keyed ? v.members()[0].key : v.text();
        for (std::size_t i = 0; i < Variants<E>::list.size(); ++i)
            if (given == Variants<E>::list[i]) return static_cast<E>(i);
        return decode_failure(unknown_variant(given, Variants<E>::list), v);
    }
    static Value encode(E value, Arena&) { return Value::string(variant_name(value)); }
    static std::size_t text_size(E value) { return written_string_size(variant_name(value)); }
    static void write(Writer& out, E value) noexcept { out.string(variant_name(value)); }
};

template <>
struct Codec<bool> {
    static Decoded<bool> decode(const Value& v) {
        if (!v.is_bool()) return invalid_type(v, "a boolean");
        return v.as_bool();
    }
    static Value encode(bool b, Arena&) { return Value::boolean(b); }
    static std::size_t text_size(bool b) noexcept { return b ? 4 : 5; }
    static void write(Writer& out, bool b) noexcept {
        out.raw(b ? std::string_view("true") : std::string_view("false"));
    }
};

// Integers: the exact text must be an integer within the type's range.
Decoded<std::int64_t> decode_int64(const Value& v, std::string_view type_name, std::int64_t min, std::int64_t max);
Value encode_integer(long long number, Arena& arena);

template <>
struct Codec<std::int64_t> {
    static Decoded<std::int64_t> decode(const Value& v) { return decode_int64(v, "i64", INT64_MIN, INT64_MAX); }
    static Value encode(std::int64_t n, Arena& arena) { return encode_integer(n, arena); }
};

template <>
struct Codec<std::uint16_t> {
    static Decoded<std::uint16_t> decode(const Value& v) {
        auto n = decode_int64(v, "u16", 0, UINT16_MAX);
        if (!n) return std::unexpected(std::move(n.error()));
        return static_cast<std::uint16_t>(*n);
    }
    static Value encode(std::uint16_t n, Arena& arena) { return encode_integer(n, arena); }
};

template <class T>
struct Codec<std::optional<T>> {
    static Decoded<std::optional<T>> decode(const Value& v) {
        if (v.is_null()) return std::optional<T>();
        auto inner = Codec<T>::decode(v);
        if (!inner) return std::unexpected(std::move(inner.error()));
        return std::optional<T>(std::move(*inner));
    }
    static std::optional<DecodeError> decode_into(const Value& v, std::optional<T>& out)
        requires std::is_default_constructible_v<T>
    {
        if (v.is_null()) {
            out.reset();
            return std::nullopt;
        }
        return decode_with<Codec<T>>(v, out.emplace());
    }
    static Value encode(const std::optional<T>& o, Arena& arena) {
        return o ? Codec<T>::encode(*o, arena) : Value::null();
    }
    static Value encode(std::optional<T>&& o, Arena& arena) {
        return o ? Codec<T>::encode(std::move(*o), arena) : Value::null();
    }
    static std::size_t text_size(const std::optional<T>& o)
        requires Writable<T>
    {
        return o ? Codec<T>::text_size(*o) : 4;
    }
    static void write(Writer& out, const std::optional<T>& o)
        requires Writable<T>
    {
        if (o)
            Codec<T>::write(out, *o);
        else
            out.raw("null");
    }
};

template <class T>
struct Codec<std::vector<T>> {
    static Decoded<std::vector<T>> decode(const Value& v) {
        if (!v.is_array()) return invalid_type(v, "a sequence");
        std::vector<T> out;
        out.reserve(v.items().size());
        for (const Value& item : v.items()) {
            auto decoded = Codec<T>::decode(item);
            if (!decoded) return std::unexpected(std::move(decoded.error()));
            out.push_back(std::move(*decoded));
        }
        return out;
    }
    // Elements are decoded where they will stay.
    static std::optional<DecodeError> decode_into(const Value& v, std::vector<T>& out)
        requires std::is_default_constructible_v<T>
    {
        if (!v.is_array()) return invalid_type(v, "a sequence").error();
        out.clear();
        out.reserve(v.items().size());
        memory::prefer_large_pages(out.data(), out.capacity() * sizeof(T));
        for (const Value& item : v.items())
            if (auto error = decode_with<Codec<T>>(item, out.emplace_back())) return error;
        return std::nullopt;
    }
    static Value encode(const std::vector<T>& list, Arena& arena) {
        Value* items = arena.allocate<Value>(list.size());
        for (std::size_t i = 0; i < list.size(); ++i) std::construct_at(items + i, Codec<T>::encode(list[i], arena));
        return Value::array({items, list.size()});
    }
    static std::size_t text_size(const std::vector<T>& list)
        requires Writable<T>
    {
        std::size_t size = list.empty() ? 2 : 1 + list.size();  // brackets and commas
        for (const T& item : list) size += Codec<T>::text_size(item);
        return size;
    }
    static void write(Writer& out, const std::vector<T>& list)
        requires Writable<T>
    {
        out.raw('[');
        for (std::size_t i = 0; i < list.size(); ++i) {
            if (i != 0) out.raw(',');
            Codec<T>::write(out, list[i]);
        }
        out.raw(']');
    }
};

template <Record R>
struct Codec<R> {
    static Decoded<R> decode(const Value& v) {
        R record{};
        if (auto error = decode_into(v, record)) return std::unexpected(std::move(*error));
        return record;
    }

    // Fills a freshly made record.
    static std::optional<DecodeError> decode_into(const Value& v, R& record) {
        constexpr std::size_t n = layout::field_count<R>();
        std::optional<DecodeError> error;
        if (v.is_array()) {
            auto items = v.items();
            if (items.size() != n) return DecodeError{invalid_length(items.size(), Fields<R>::name, n), v.offset()};
            layout::for_each_field<R>([&](auto index, const auto& def) {
                if (error) return;
                using Def = std::remove_cvref_t<decltype(def)>;
                if (auto failure = decode_with<typename Def::codec>(items[index.value], record.*def.member))
                    error = std::move(failure);
            });
        } else if (v.is_object()) {
            std::array<bool, n> seen{};
            std::size_t hint = 0;
            for (const Member& m : v.members()) {
                const std::size_t index = layout::field_index<R>(m.key, hint);
                if (index == n) continue;
                if (seen[index]) {
                    error = DecodeError{"duplicate field `" + std::string(m.key) + "`", m.key_offset};
                    break;
                }
                seen[index] = true;
                hint = index + 1 == n ? 0 : index + 1;
                if (auto failure = layout::field_decoders<R, Codec<R>>[index](m.value, record)) {
                    error = std::move(failure);
                    break;
                }
            }
            if (!error) {
                layout::for_each_field<R>([&](auto index, const auto& def) {
                    if (error || seen[index.value]) return;
                    if (def.missing == WhenMissing::fail)
                        error = DecodeError{"missing field `" + std::string(def.key) + "`", v.offset()};
                    else if (def.missing == WhenMissing::fallback)
                        record.*def.member = def.fallback();
                });
            }
        } else {
            return invalid_type(v, "struct " + std::string(Fields<R>::name)).error();
        }
        return error;
    }

    static_assert(layout::plain_keys<R>(), "record keys are written without escaping");

    // Decodes field I of `record` from `v`: one entry of the table decode_into dispatches on.
    template <std::size_t I>
    static std::optional<DecodeError> decode_field(const Value& v, R& record) {
        constexpr const auto& def = std::get<I>(Fields<R>::list);
        using Def = std::remove_cvref_t<decltype(def)>;
        return decode_with<typename Def::codec>(v, record.*def.member);
    }

    // True when every field's codec writes straight from the field.
    static consteval bool fields_writable() {
        using List = std::remove_cvref_t<decltype(Fields<R>::list)>;
        return []<std::size_t... I>(std::index_sequence<I...>) {
            return (WritesWith<typename std::tuple_element_t<I, List>::codec,
                               typename std::tuple_element_t<I, List>::member_type> &&
                    ...);
        }(std::make_index_sequence<layout::field_count<R>()>{});
    }

    // The length of the record's compact text, for codecs that write straight from the fields.
    static std::size_t text_size(const R& record)
        requires(fields_writable())
    {
        std::size_t size = layout::key_texts<R>.total + 1;  // keys, punctuation, closing brace
        layout::for_each_field<R>([&](auto, const auto& def) {
            using Def = std::remove_cvref_t<decltype(def)>;
            size += Def::codec::text_size(record.*def.member);
        });
        return size;
    }
    // The record's compact text, fields in key order, without a tree of values.
    static void write(Writer& out, const R& record)
        requires(fields_writable())
    {
        layout::for_each_field_written<R>([&](auto place, const auto& def) {
            using Def = std::remove_cvref_t<decltype(def)>;
            out.raw(layout::key_texts<R>[decltype(place)::value]);
            Def::codec::write(out, record.*def.member);
        });
        out.raw('}');
    }

    // Members are laid out in key order, so the writer never sorts a record.
    static Value encode(const R& record, Arena& arena) {
        constexpr std::size_t n = layout::field_count<R>();
        Member* members = arena.allocate<Member>(n);
        layout::for_each_field<R>([&](auto index, const auto& def) {
            using Def = std::remove_cvref_t<decltype(def)>;
            constexpr std::size_t place = layout::rank<R>[decltype(index)::value];
            std::construct_at(members + place, Member{def.key, Def::codec::encode(record.*def.member, arena)});
        });
        return Value::ordered_object({members, n});
    }
    // The same, taking over what the record's fields own where a codec can.
    static Value encode(R&& record, Arena& arena) {
        constexpr std::size_t n = layout::field_count<R>();
        Member* members = arena.allocate<Member>(n);
        layout::for_each_field<R>([&](auto index, const auto& def) {
            using Def = std::remove_cvref_t<decltype(def)>;
            constexpr std::size_t place = layout::rank<R>[decltype(index)::value];
            std::construct_at(members + place,
                              Member{def.key, Def::codec::encode(std::move(record.*def.member), arena)});
        });
        return Value::ordered_object({members, n});
    }
};

// Decodes `T` from JSON text into `out`, a freshly made T; the failure, if any, ends with
// " at line L column C". T owns its data, so the values may view `text` while it is decoded.
template <class T>
std::optional<std::string> decode_text_into(std::string_view text, Arena& arena, T& out) {
    auto value = parse_view(text, arena);
    if (!value) return with_position(value.error().message, text, value.error().offset);
    auto error = decode_with<Codec<T>>(*value, out);
    if (!error) return std::nullopt;
    if (error->offset == kNoOffset) return std::move(error->message);
    return with_position(error->message, text, error->offset);
}

// The same, returning the record: it is decoded where it is returned, never moved.
template <class T>
std::expected<T, std::string> decode_text(std::string_view text, Arena& arena) {
    std::expected<T, std::string> out;
    if (auto error = decode_text_into(text, arena, *out)) out = std::unexpected(std::move(*error));
    return out;
}

// Decodes `T` from an already parsed value; failures carry no position.
template <class T>
std::expected<T, std::string> decode_value(const Value& value) {
    std::expected<T, std::string> out;
    if (auto error = decode_with<Codec<T>>(value, *out)) out = std::unexpected(std::move(error->message));
    return out;
}

template <class T>
Value encode(T&& value, Arena& arena) {
    return Codec<std::remove_cvref_t<T>>::encode(std::forward<T>(value), arena);
}

// The compact text of `value` written straight from its fields, in a string of its exact size:
// for large bodies, which never exist as a tree of values.
template <class T>
std::string to_text(const T& value) {
    return compose(Codec<T>::text_size(value), [&](Writer& out) { Codec<T>::write(out, value); });
}

}  // namespace quorvel_bo::core::json
