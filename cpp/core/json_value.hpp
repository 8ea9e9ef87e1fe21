// JSON values: a small arena-backed DOM with exact number text and source offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace quorvel_bo::core::json {

// `written` is a value of the writer's alone: text written straight from a record (see Written).
enum class Kind : std::uint8_t { null, boolean, number, string, array, object, written };

inline constexpr std::size_t kNoOffset = static_cast<std::size_t>(-1);

struct Member;
class Writer;

// A value that sizes and writes its own text, straight from the data it stands for, so that a
// large result never exists as a tree of values. Only ever written, never read.
class Written {
public:
    virtual std::size_t text_size() const = 0;
    virtual void write(Writer& out) const = 0;

protected:
    ~Written() = default;
};

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
    // Text that `source`, which must live as long as the value, writes itself.
    static constexpr Value written(const Written* source) {
        Value v(Kind::written, 0, kNoOffset);
        v.written_ = source;
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
    // The source of a written value.
    const Written* source() const noexcept { return kind() == Kind::written ? written_ : nullptr; }
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
        const Written* written_;
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

}  // namespace quorvel_bo::core::json
