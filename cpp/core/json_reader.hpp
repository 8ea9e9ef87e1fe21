// The two parsers behind json::parse, for the tests that hold them to each other, and their string
// checks, for readers that walk simdjson themselves. Internal to the JSON layer and those readers.
#pragma once

#include <cstddef>
#include <expected>
#include <string_view>

#include "core/json.hpp"

namespace quorvel_bo::core::json::detail {

// Texts up to this size are read by the strict parser alone, larger ones by simdjson first.
inline constexpr std::size_t kSmallText = 4096;

// simdjson On-Demand into the DOM; refuses whatever it doubts, without saying why.
std::expected<Value, ParseError> parse_fast(std::string_view text, Arena& arena);
// The scalar parser, with the exact message and position of a refusal.
std::expected<Value, ParseError> parse_strict(std::string_view text, Arena& arena);
// The one-pass reader of small well-formed texts; refuses whatever it does not take, without saying why.
std::expected<Value, ParseError> parse_quick(std::string_view text, Arena& arena);

// The string checks of the fast reader, for readers that walk simdjson themselves. Each refuses,
// without saying why, whatever the strict parser would refuse.

// Checks and decodes the string body at `body` (just after its opening quote), reading at most
// `available` bytes, into `out`, which has room for the body and 16 bytes more. Returns the
// decoded end and sets `quote` to the closing quote's offset; null when the body is malformed.
char* decode_string_to(const char* body, std::size_t available, char* out, std::size_t& quote) noexcept;
// The length of a well-formed string body at `body` within `available` bytes; npos otherwise.
std::size_t checked_string_length(const char* body, std::size_t available) noexcept;
// In a buffer with simdjson's padding: the length of the string body at `body` when it is well
// formed and holds no escape; npos otherwise.
std::size_t plain_string_length(const char* body, std::size_t available) noexcept;
// In a buffer with simdjson's padding: checks the string body at `body` whose closing quote is at
// body[n] and sets `out` to its text, viewing `body` when it holds no escape and decoded into
// `scratch` (room for n + 16 bytes) otherwise. False when it is malformed.
bool padded_string(const char* body, std::size_t n, char* scratch, std::string_view& out) noexcept;

}  // namespace quorvel_bo::core::json::detail
