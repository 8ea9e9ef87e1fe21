// JSON text: the reader into the DOM (json_value.hpp) and the writer of compact text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

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
// parse_view for a text that a string of a JSON text was decoded into (a provider's body carried
// in a payload): it is valid UTF-8 already, so a well-formed one is not checked for it again.
std::expected<Value, ParseError> parse_decoded_view(std::string_view text, Arena& arena);

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
// Where a document is handed while it is at hand: `take(context, text)`.
using DocumentSink = void (*)(void* context, std::string_view text);
// `head`, the text of `value` and `tail`, handed to `take`: written in one pass into a buffer on
// the stack, and sized first only when it does not fit there. For small documents, where sizing
// the text costs as much as writing it, and that the caller copies anyway.
void write_unsized(std::string_view head, const Value& value, std::string_view tail, DocumentSink take, void* context);
// A JSON string literal with the system's escaping rules.
void write_string(std::string_view text, std::string& out);

// The number of bytes the text of `value`, or of the string literal of `text`, takes.
std::size_t written_size(const Value& value);
std::size_t written_string_size(std::string_view text);

// Writes pieces of a document into a buffer sized in advance (see `compose`), or into a buffer of
// a fixed size that the document may overflow.
class Writer {
public:
    explicit Writer(char* at) noexcept : at_(at) {}
    // Into [at, end): a text that does not fit is cut short, and `overflowed` tells.
    Writer(char* at, char* end) noexcept : at_(at), end_(end) {}
    char* end() const noexcept { return at_; }
    bool overflowed() const noexcept { return overflowed_; }

    // Text as it is (punctuation, keys known to need no escaping, values already written).
    void raw(std::string_view text) noexcept {
        const std::size_t n = text.size();
        if (!room(n)) return;
        if (n <= 32)
            copy_small(at_, text.data(), n);
        else
            std::memcpy(at_, text.data(), n);
        at_ += n;
    }
    void raw(char c) noexcept {
        if (room(1)) *at_++ = c;
    }
    void string(std::string_view text) noexcept;
    void value(const Value& value);

private:
    // False when a bounded buffer has no room for `n` more bytes: it has then overflowed, and
    // nothing more is written into it.
    bool room(std::size_t n) noexcept {
        if (end_ == nullptr || n <= static_cast<std::size_t>(end_ - at_)) return true;
        overflowed_ = true;
        end_ = at_;
        return false;
    }

    // Most raw texts are keys and punctuation: two overlapping moves of a fixed size copy them
    // without a call to memcpy.
    static void copy_small(char* to, const char* from, std::size_t n) noexcept {
        auto pair = [&]<std::size_t k>(std::integral_constant<std::size_t, k>) {
            char head[k];
            char tail[k];
            std::memcpy(head, from, k);
            std::memcpy(tail, from + n - k, k);
            std::memcpy(to, head, k);
            std::memcpy(to + n - k, tail, k);
        };
        if (n >= 16)
            pair(std::integral_constant<std::size_t, 16>{});
        else if (n >= 8)
            pair(std::integral_constant<std::size_t, 8>{});
        else if (n >= 4)
            pair(std::integral_constant<std::size_t, 4>{});
        else if (n != 0) {
            to[0] = from[0];
            to[n / 2] = from[n / 2];
            to[n - 1] = from[n - 1];
        }
    }

    char* at_;
    char* end_ = nullptr;  // null: sized in advance
    bool overflowed_ = false;
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
