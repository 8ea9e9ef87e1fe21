// JSON text: the reader into the DOM (json_value.hpp) and the writer of compact text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "core/arena.hpp"
#include "core/json_value.hpp"
#include "core/memory.hpp"

namespace quorvel_bo::core::json {

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
