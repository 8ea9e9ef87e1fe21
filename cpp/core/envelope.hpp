// The provider's code/data response envelope: success payloads, and failures classified with a retry hint.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/http.hpp"
#include "core/json.hpp"
#include "core/record.hpp"

namespace quorvel_bo::core {

inline constexpr std::string_view kEmptyResponseBody = "empty response body";
inline constexpr std::string_view kRequestFailed = "request failed with HTTP ";
inline constexpr std::string_view kInvalidJsonBody = "invalid JSON body: ";
inline constexpr std::string_view kUnexpectedPayloadShape = "unexpected payload shape: ";

// The first key of `keys` holding a non-blank string, trimmed.
std::optional<std::string> text_field(const json::Value& value, std::initializer_list<std::string_view> keys);
// The string elements of an array, unchanged; anything else gives the empty list.
std::vector<std::string> string_list(const json::Value* value);
// The trimmed body cut to 200 characters, or "empty response body".
std::string preview(std::string_view body);
// The best human-readable message in an error body.
std::string message_from_body(std::string_view body);
// "request failed with HTTP " and the status.
std::string failed(const HttpResponse& response);
// The body as JSON, or the authentication/decode/api error that stands in its place.
Result<json::Value> json_body(const HttpResponse& response, json::Arena& arena);

// Status-based retry hint: server errors, request time-out and rate limiting.
constexpr bool retryable_status(std::uint16_t status) noexcept {
    return status >= 500 || status == 408 || status == 429;
}

struct CodeData {
    // The payload value of a successful exchange, or the failure. Its strings may view `response.body`:
    // decode it while the response lives.
    static Result<json::Value> open_value(const HttpResponse& response, json::Arena& arena);

    // The payload decoded as T.
    template <class T>
    static Result<T> open(const HttpResponse& response, json::Arena& arena) {
        auto payload = open_value(response, arena);
        if (!payload) return propagate(payload);
        auto decoded = json::decode_value<T>(*payload);
        if (!decoded) return fail(decode(std::string(kUnexpectedPayloadShape) + decoded.error()));
        return std::move(*decoded);
    }
};

}  // namespace quorvel_bo::core
