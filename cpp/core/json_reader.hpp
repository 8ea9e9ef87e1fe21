// The two parsers behind json::parse, for the tests that hold them to each other. Internal to the
// JSON layer.
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

}  // namespace quorvel_bo::core::json::detail
