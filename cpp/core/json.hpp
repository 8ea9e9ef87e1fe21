// JSON values: a small arena-backed DOM with exact number text and source offsets, the reader and the writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory_resource>
#include <span>
#include <string>
#include <string_view>

#include "core/memory.hpp"

namespace quorvel_bo::core::json {

// Owns every byte a call's values point to; nothing outlives the call.
class Arena {
public:
    Arena() = default;
    // An arena for a tree whose string bytes go to `strings`, which may outlive it: what was
    // decoded from the tree may keep viewing its strings once the tree is gone.
    explicit Arena(Arena& strings) : strings_(&strings) {}
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena();

    template <class T>
    T* allocate(std::size_t count) {
        return static_cast<T*>(resource_.allocate(count * sizeof(T), alignof(T)));
    }
    // A copy of `text` that lives as long as the arena.
    std::string_view copy(std::string_view text);
    // The arena as a memory resource, for containers whose storage may stay until the arena goes.
    std::pmr::memory_resource* resource() noexcept { return &resource_; }
    // Takes over `text` (no copy of its bytes) and returns a view that lives as long as the arena.
    std::string_view keep(std::string&& text);
    // Where the reader puts the bytes of strings and numbers: this arena, or the one given.
    Arena& strings() noexcept { return strings_ != nullptr ? *strings_ : *this; }

private:
    struct Kept {
        std::string text;
        Kept* next;
    };
    // Small calls never reach the heap for their values.
    static constexpr std::size_t kInlineBytes = 4096;

    Kept* kept_ = nullptr;
    Arena* strings_ = nullptr;
    alignas(std::max_align_t) std::byte inline_[kInlineBytes];
    memory::LargePageResource upstream_;
    std::pmr::monotonic_buffer_resource resource_{inline_, kInlineBytes, &upstream_};
};

enum class Kind : std::uint8_t { null, boolean, number, string, array, object };

inline constexpr std::size_t kNoOffset = static_cast<std::size_t>(-1);

struct Member;

class Value {
public:
    constexpr Value() = default;

    static constexpr Value null(std::size_t offset = kNoOffset) { return Value(Kind::null, 0, offset); }
    static constexpr Value boolean(bool flag, std::size_t offset = kNoOffset) {
        Value v(Kind::boolean, 0, offset);
        if (flag) v.meta_ |= kFlagBit;
        return v;
    }
    // `text` must be a valid JSON number and live as long as the value (copy it into the arena otherwise).
    static constexpr Value number(std::string_view text, std::size_t offset = kNoOffset) {
        Value v(Kind::number, text.size(), offset);
        v.chars_ = text.data();
        return v;
    }
    // `text` is the decoded string content (UTF-8), held elsewhere for the value's lifetime.
    static constexpr Value string(std::string_view text, std::size_t offset = kNoOffset) {
        Value v(Kind::string, text.size(), offset);
        v.chars_ = text.data();
        return v;
    }
    static constexpr Value array(std::span<const Value> items, std::size_t offset = kNoOffset) {
        Value v(Kind::array, items.size(), offset);
        v.items_ = items.data();
        return v;
    }
    static constexpr Value object(std::span<const Member> members, std::size_t offset = kNoOffset) {
        Value v(Kind::object, members.size(), offset);
        v.members_ = members.data();
        return v;
    }
    // An object whose members the caller has laid out in ascending key order and whose keys need
    // no escaping (the writer then checks neither), such as a record's.
    static constexpr Value ordered_object(std::span<const Member> members) {
        Value v = object(members);
        v.meta_ |= kOrderedBit;
        return v;
    }

    Kind kind() const noexcept { return static_cast<Kind>(meta_ & kKindMask); }
    bool is_null() const noexcept { return kind() == Kind::null; }
    bool is_bool() const noexcept { return kind() == Kind::boolean; }
    bool is_number() const noexcept { return kind() == Kind::number; }
    bool is_string() const noexcept { return kind() == Kind::string; }
    bool is_array() const noexcept { return kind() == Kind::array; }
    bool is_object() const noexcept { return kind() == Kind::object; }

    bool as_bool() const noexcept { return (meta_ & kFlagBit) != 0; }
    // Number text as written, or string content.
    std::string_view text() const noexcept { return {chars_, size()}; }
    std::span<const Value> items() const noexcept { return {items_, is_array() ? size() : 0}; }
    std::span<const Member> members() const noexcept;
    // First member named `key`, or null when absent or when this is not an object.
    const Value* find(std::string_view key) const noexcept;

    // True for objects made by ordered_object.
    bool known_ordered() const noexcept { return (meta_ & kOrderedBit) != 0; }

    // Byte offset of the value in the text it was read from; kNoOffset for built values.
    std::size_t offset() const noexcept { return offset_; }

private:
    // The kind and the flags sit in the low byte of meta_, the size (bytes or elements) above it:
    // a value takes three words, which keeps the DOM of a large document small.
    static constexpr std::uint64_t kKindMask = 0x3F;
    static constexpr std::uint64_t kOrderedBit = 0x40;
    static constexpr std::uint64_t kFlagBit = 0x80;
    static constexpr int kSizeShift = 8;

    constexpr Value(Kind kind, std::size_t size, std::size_t offset)
        : meta_(static_cast<std::uint64_t>(size) << kSizeShift | static_cast<std::uint64_t>(kind)), offset_(offset) {}
    std::size_t size() const noexcept { return static_cast<std::size_t>(meta_ >> kSizeShift); }

    union {
        const char* chars_ = nullptr;
        const Value* items_;
        const Member* members_;
    };
    std::uint64_t meta_ = static_cast<std::uint64_t>(Kind::null);
    std::size_t offset_ = kNoOffset;
};

struct Member {
    std::string_view key;
    Value value;
    std::size_t key_offset = kNoOffset;
};

inline std::span<const Member> Value::members() const noexcept { return {members_, is_object() ? size() : 0}; }

// The first member, in document order, whose key an earlier member of the same object already
// has; null when the keys are distinct or `object` is not an object.
const Member* first_repeated_key(const Value& object);

inline constexpr int kMaxDepth = 128;

// A reader failure: message without position, and the byte offset it concerns.
struct ParseError {
    std::string message;
    std::size_t offset = 0;
};

// Reads one JSON value followed only by whitespace; strings and numbers point into `arena.strings()`.
std::expected<Value, ParseError> parse(std::string_view text, Arena& arena);
// The same, but strings without escapes and numbers may point into `text` instead, which must then
// outlive the values: for readers that are done with the values before the text goes.
std::expected<Value, ParseError> parse_view(std::string_view text, Arena& arena);

// "L:C" position helpers: line and column (both from 1, column in characters) of a byte offset.
struct Position {
    std::size_t line;
    std::size_t column;
};
Position position_of(std::string_view text, std::size_t offset) noexcept;
// `message` followed by " at line L column C".
std::string with_position(std::string_view message, std::string_view text, std::size_t offset);

// Compact text with object keys in ascending byte order, appended to `out` in one step.
void write(const Value& value, std::string& out);
std::string to_string(const Value& value);
// `head`, the text of `value` and `tail` in a string allocated once at its final size.
std::string to_string(std::string_view head, const Value& value, std::string_view tail);
// A JSON string literal with the system's escaping rules.
void write_string(std::string_view text, std::string& out);

// The number of bytes the text of `value`, or of the string literal of `text`, takes.
std::size_t written_size(const Value& value);
std::size_t written_string_size(std::string_view text);

// Writes pieces of a document into a buffer sized in advance (see `compose`).
class Writer {
public:
    explicit Writer(char* at) noexcept : at_(at) {}
    char* end() const noexcept { return at_; }

    // Text as it is (punctuation, keys known to need no escaping, values already written).
    void raw(std::string_view text) noexcept;
    void raw(char c) noexcept { *at_++ = c; }
    void string(std::string_view text) noexcept;
    void value(const Value& value);

private:
    char* at_;
};

// A string of exactly `size` bytes written by `fill(Writer&)`, which must write exactly that many.
template <class Fill>
std::string compose(std::size_t size, Fill&& fill) {
    std::string out;
    out.resize_and_overwrite(size, [&](char* data, std::size_t) {
        memory::prefer_large_pages(data, size);
        Writer writer(data);
        fill(writer);
        return size;
    });
    return out;
}

// True when `text` is a number exactly as JSON's grammar allows.
bool is_number_text(std::string_view text) noexcept;
// True when `text` has no fraction and no exponent.
bool is_integer_text(std::string_view text) noexcept;

}  // namespace quorvel_bo::core::json
