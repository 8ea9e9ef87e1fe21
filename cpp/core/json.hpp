// JSON values: a small arena-backed DOM with exact number text and source offsets, the reader and the writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory_resource>
#include <span>
#include <string>
#include <string_view>

namespace quorvel_bo::core::json {

// Owns every byte a call's values point to; nothing outlives the call.
class Arena {
public:
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    template <class T>
    T* allocate(std::size_t count) {
        return static_cast<T*>(resource_.allocate(count * sizeof(T), alignof(T)));
    }
    // A copy of `text` that lives as long as the arena.
    std::string_view copy(std::string_view text);

private:
    std::pmr::monotonic_buffer_resource resource_{4096};
};

enum class Kind : std::uint8_t { null, boolean, number, string, array, object };

inline constexpr std::size_t kNoOffset = static_cast<std::size_t>(-1);

struct Member;

class Value {
public:
    constexpr Value() = default;

    static constexpr Value null(std::size_t offset = kNoOffset) { return Value(Kind::null, offset); }
    static constexpr Value boolean(bool flag, std::size_t offset = kNoOffset) {
        Value v(Kind::boolean, offset);
        v.flag_ = flag;
        return v;
    }
    // `text` must be a valid JSON number and live as long as the value (copy it into the arena otherwise).
    static constexpr Value number(std::string_view text, std::size_t offset = kNoOffset) {
        Value v(Kind::number, offset);
        v.chars_ = text.data();
        v.size_ = text.size();
        return v;
    }
    // `text` is the decoded string content (UTF-8), held elsewhere for the value's lifetime.
    static constexpr Value string(std::string_view text, std::size_t offset = kNoOffset) {
        Value v(Kind::string, offset);
        v.chars_ = text.data();
        v.size_ = text.size();
        return v;
    }
    static constexpr Value array(std::span<const Value> items, std::size_t offset = kNoOffset) {
        Value v(Kind::array, offset);
        v.items_ = items.data();
        v.size_ = items.size();
        return v;
    }
    static constexpr Value object(std::span<const Member> members, std::size_t offset = kNoOffset) {
        Value v(Kind::object, offset);
        v.members_ = members.data();
        v.size_ = members.size();
        return v;
    }

    Kind kind() const noexcept { return kind_; }
    bool is_null() const noexcept { return kind_ == Kind::null; }
    bool is_bool() const noexcept { return kind_ == Kind::boolean; }
    bool is_number() const noexcept { return kind_ == Kind::number; }
    bool is_string() const noexcept { return kind_ == Kind::string; }
    bool is_array() const noexcept { return kind_ == Kind::array; }
    bool is_object() const noexcept { return kind_ == Kind::object; }

    bool as_bool() const noexcept { return flag_; }
    // Number text as written, or string content.
    std::string_view text() const noexcept { return {chars_, size_}; }
    std::span<const Value> items() const noexcept { return {items_, is_array() ? size_ : 0}; }
    std::span<const Member> members() const noexcept;
    // First member named `key`, or null when absent or when this is not an object.
    const Value* find(std::string_view key) const noexcept;

    // Byte offset of the value in the text it was read from; kNoOffset for built values.
    std::size_t offset() const noexcept { return offset_; }

private:
    constexpr Value(Kind kind, std::size_t offset) : kind_(kind), offset_(offset) {}

    Kind kind_ = Kind::null;
    bool flag_ = false;
    std::size_t offset_ = kNoOffset;
    std::size_t size_ = 0;
    union {
        const char* chars_ = nullptr;
        const Value* items_;
        const Member* members_;
    };
};

struct Member {
    std::string_view key;
    Value value;
    std::size_t key_offset = kNoOffset;
};

inline std::span<const Member> Value::members() const noexcept {
    return {members_, is_object() ? size_ : 0};
}

inline constexpr int kMaxDepth = 128;

// A reader failure: message without position, and the byte offset it concerns.
struct ParseError {
    std::string message;
    std::size_t offset = 0;
};

// Reads one JSON value followed only by whitespace; strings and numbers point into `arena`.
std::expected<Value, ParseError> parse(std::string_view text, Arena& arena);

namespace detail {
// The two readers behind `parse`, exposed so tests can hold them to each other.
std::expected<Value, ParseError> parse_fast(std::string_view text, Arena& arena);
std::expected<Value, ParseError> parse_strict(std::string_view text, Arena& arena);
}  // namespace detail

// "L:C" position helpers: line and column (both from 1, column in characters) of a byte offset.
struct Position {
    std::size_t line;
    std::size_t column;
};
Position position_of(std::string_view text, std::size_t offset) noexcept;
// `message` followed by " at line L column C".
std::string with_position(std::string_view message, std::string_view text, std::size_t offset);

// Compact text with object keys in ascending byte order.
void write(const Value& value, std::string& out);
std::string to_string(const Value& value);
// A JSON string literal with the system's escaping rules.
void write_string(std::string_view text, std::string& out);

// True when `text` is a number exactly as JSON's grammar allows.
bool is_number_text(std::string_view text) noexcept;
// True when `text` has no fraction and no exponent.
bool is_integer_text(std::string_view text) noexcept;

}  // namespace quorvel_bo::core::json
