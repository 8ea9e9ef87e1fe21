// JSON writer: compact text, object keys in ascending byte order, the system's escaping rules.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "core/json.hpp"
#include "core/json_string.hpp"

namespace quorvel_bo::core::json {

namespace {

using strings::kEscapeLetter;

constexpr char kHex[] = "0123456789abcdef";

// Bytes the escaped form of each byte adds to it: 0 for bytes written as they are.
constexpr std::array<std::uint8_t, 256> kExtra = [] {
    std::array<std::uint8_t, 256> extra{};
    for (int c = 0; c < 256; ++c) extra[c] = kEscapeLetter[c] == 0 ? 0 : kEscapeLetter[c] == 'u' ? 5 : 1;
    return extra;
}();

#if defined(__SSE2__)
struct Chunk {
    unsigned special;  // bytes that need escaping
    unsigned control;  // of which control characters
};

inline Chunk classify(__m128i x) noexcept { return {strings::special_mask(x), strings::control_mask(x)}; }

inline __m128i load16(const unsigned char* p) noexcept { return strings::load16(p); }
inline __m128i load8(const unsigned char* p) noexcept { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
inline __m128i load4(const unsigned char* p) noexcept {
    std::int32_t v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
}

// True when none of p[0, n) needs escaping, for 4 <= n < 16: two overlapping loads cover them.
inline bool plain_short(const unsigned char* p, std::size_t n) noexcept {
    if (n >= 8) return ((classify(load8(p)).special | classify(load8(p + n - 8)).special) & 0xFF) == 0;
    return ((classify(load4(p)).special | classify(load4(p + n - 4)).special) & 0xF) == 0;
}

// Copies 4 <= n < 16 bytes with two overlapping moves.
inline void copy_short(char* to, const unsigned char* from, std::size_t n) noexcept {
    if (n >= 8) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(to), load8(from));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(to + n - 8), load8(from + n - 8));
    } else {
        std::memcpy(to, from, 4);
        std::memcpy(to + n - 4, from + n - 4, 4);
    }
}

// Population count of a 16-bit mask without relying on the POPCNT instruction.
inline unsigned count16(unsigned v) noexcept {
    v = v - ((v >> 1) & 0x5555);
    v = (v & 0x3333) + ((v >> 2) & 0x3333);
    v = (v + (v >> 4)) & 0x0F0F;
    return (v + (v >> 8)) & 0x1F;
}
#endif

std::size_t string_size(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t size = n + 2;
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 16 <= n; i += 16) {
        const Chunk chunk = classify(load16(p + i));
        if (chunk.special == 0) continue;
        if (chunk.control == 0) {
            size += count16(chunk.special);
        } else {
            for (std::size_t k = i; k < i + 16; ++k) size += kExtra[p[k]];
        }
    }
    if (n - i >= 4 && plain_short(p + i, n - i)) return size;
#endif
    for (; i < n; ++i) size += kExtra[p[i]];
    return size;
}

// Repeated keys keep their document order: the members lie in one array, so the address breaks ties.
bool by_key(const Member* a, const Member* b) noexcept {
    if (a->key != b->key) return a->key < b->key;
    return std::less<const Member*>{}(a, b);
}

bool keys_sorted(std::span<const Member> members) noexcept {
    for (std::size_t i = 1; i < members.size(); ++i)
        if (members[i].key < members[i - 1].key) return false;
    return true;
}

// The members of an object in writing order. Records are encoded in key order already, so
// sorting is the exception.
class Ordered {
public:
    explicit Ordered(const Value& object) : members_(object.members()) {
        std::span<const Member> members = members_;
        if (object.known_ordered() || keys_sorted(members)) return;
        const Member** order = inline_.data();
        if (members.size() > inline_.size()) {
            heap_.resize(members.size());
            order = heap_.data();
        }
        for (std::size_t i = 0; i < members.size(); ++i) order[i] = &members[i];
        std::sort(order, order + members.size(), by_key);
        order_ = order;
    }
    Ordered(const Ordered&) = delete;
    Ordered& operator=(const Ordered&) = delete;

    std::size_t size() const noexcept { return members_.size(); }
    const Member& operator[](std::size_t i) const noexcept { return order_ ? *order_[i] : members_[i]; }

private:
    std::span<const Member> members_;
    const Member** order_ = nullptr;
    std::array<const Member*, 16> inline_;
    std::vector<const Member*> heap_;
};

std::size_t value_size(const Value& value) {
    switch (value.kind()) {
        case Kind::null: return 4;
        case Kind::boolean: return value.as_bool() ? 4 : 5;
        case Kind::number: return value.text().size();
        case Kind::string: return string_size(value.text());
        case Kind::written: return value.source()->text_size();
        case Kind::array: {
            auto items = value.items();
            std::size_t size = 2 + (items.empty() ? 0 : items.size() - 1);
            for (const Value& item : items) size += value_size(item);
            return size;
        }
        case Kind::object: {
            auto members = value.members();
            // Braces, commas and colons; the order does not change the size.
            std::size_t size = 2 + (members.empty() ? 0 : members.size() - 1) + members.size();
            const bool plain_keys = value.known_ordered();
            for (const Member& m : members)
                size += (plain_keys ? m.key.size() + 2 : string_size(m.key)) + value_size(m.value);
            return size;
        }
    }
    return 0;
}

}  // namespace

void Writer::string(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    // The longest text a string can take: every byte written as \u00XX, and the quotes.
    if (!room(6 * n + 2)) return;
    char* at = at_;
    *at++ = '"';
    auto escape = [&at](unsigned char c) {
        const char letter = kEscapeLetter[c];
        *at++ = '\\';
        *at++ = letter;
        if (letter == 'u') {
            *at++ = '0';
            *at++ = '0';
            *at++ = kHex[c >> 4];
            *at++ = kHex[c & 0xF];
        }
    };
    std::size_t i = 0;
#if defined(__SSE2__)
    // Each chunk is stored whole before its first special byte is known: the output of the
    // remaining text is never shorter than the text, so the store stays inside the buffer.
    while (i + 16 <= n) {
        const __m128i x = load16(p + i);
        strings::store16(at, x);
        const Chunk chunk = classify(x);
        const unsigned special = chunk.special;
        if (special == 0) {
            at += 16;
            i += 16;
            continue;
        }
        if (chunk.control == 0) {
            // Only quotes and backslashes (dense in a JSON text written as a string): each takes a
            // backslash before it. Byte by byte without branches, so their density costs nothing.
            for (unsigned b = 0; b < 16; ++b) {
                *at = '\\';
                at += (special >> b) & 1U;
                *at++ = static_cast<char>(p[i + b]);
            }
            i += 16;
            continue;
        }
        const auto plain = static_cast<std::size_t>(std::countr_zero(special));
        at += plain;
        i += plain;
        escape(p[i++]);
    }
    if (n - i >= 4 && plain_short(p + i, n - i)) {
        copy_short(at, p + i, n - i);
        at += n - i;
        i = n;
    }
#endif
    for (; i < n; ++i) {
        if (kExtra[p[i]] == 0)
            *at++ = static_cast<char>(p[i]);
        else
            escape(p[i]);
    }
    *at++ = '"';
    at_ = at;
}

void Writer::value(const Value& value) {
    switch (value.kind()) {
        case Kind::null: raw("null"); return;
        case Kind::boolean: raw(value.as_bool() ? std::string_view("true") : std::string_view("false")); return;
        case Kind::number: raw(value.text()); return;
        case Kind::string: string(value.text()); return;
        case Kind::written: value.source()->write(*this); return;
        case Kind::array: {
            raw('[');
            bool first = true;
            for (const Value& item : value.items()) {
                if (!first) raw(',');
                first = false;
                this->value(item);
            }
            raw(']');
            return;
        }
        case Kind::object: {
            const Ordered members(value);
            const bool plain_keys = value.known_ordered();
            raw('{');
            for (std::size_t i = 0; i < members.size(); ++i) {
                if (i != 0) raw(',');
                if (plain_keys) {
                    raw('"');
                    raw(members[i].key);
                    raw('"');
                } else {
                    string(members[i].key);
                }
                raw(':');
                this->value(members[i].value);
            }
            raw('}');
            return;
        }
    }
}

std::size_t written_size(const Value& value) { return value_size(value); }

std::size_t written_string_size(std::string_view text) { return string_size(text); }

namespace {

// The stack buffer of write_unsized.
constexpr std::size_t kUnsizedBytes = std::size_t{8} << 10;

// Appends exactly `size` bytes written by `fill(Writer&)` to `out`, growing it once.
template <class Fill>
void append(std::string& out, std::size_t size, Fill fill) {
    const std::size_t total = out.size() + size;
    const std::size_t old = out.size();
    // The callback's size argument is not relied on: some library versions pass the capacity.
    out.resize_and_overwrite(total, [&](char* data, std::size_t) {
        memory::prefer_large_pages(data + old, size);
        Writer writer(data + old);
        fill(writer);
        return total;
    });
}

}  // namespace

void write_string(std::string_view text, std::string& out) {
    append(out, string_size(text), [&](Writer& writer) { writer.string(text); });
}

void write(const Value& value, std::string& out) {
    append(out, value_size(value), [&](Writer& writer) { writer.value(value); });
}

std::string to_string(const Value& value) {
    return compose(value_size(value), [&](Writer& writer) { writer.value(value); });
}

void write_unsized(std::string_view head, const Value& value, std::string_view tail, DocumentSink take, void* context) {
    char buffer[kUnsizedBytes];
    Writer writer(buffer, buffer + kUnsizedBytes);
    writer.raw(head);
    writer.value(value);
    writer.raw(tail);
    if (writer.overflowed()) {
        const std::string sized = to_string(head, value, tail);
        take(context, sized);
    } else {
        take(context, std::string_view(buffer, static_cast<std::size_t>(writer.end() - buffer)));
    }
}

std::string to_string(std::string_view head, const Value& value, std::string_view tail) {
    return compose(head.size() + value_size(value) + tail.size(), [&](Writer& writer) {
        writer.raw(head);
        writer.value(value);
        writer.raw(tail);
    });
}

}  // namespace quorvel_bo::core::json
