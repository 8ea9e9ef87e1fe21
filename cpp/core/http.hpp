// HTTP request and response records exchanged with the host, and the method vocabulary.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/record.hpp"

namespace quorvel_bo::core {

enum class Method : std::uint8_t { GET, POST, PATCH };

// Header names are case-sensitive; the map keeps them in ascending byte order.
using Headers = std::map<std::string, std::string, std::less<>>;

struct HttpRequest {
    Method method = Method::GET;
    std::string url;
    Headers headers;
    std::optional<std::string> body;
};

// Read from a payload and used while the payload lives: the body views it.
struct HttpResponse {
    std::uint16_t status = 0;
    std::string_view body;

    bool is_success() const noexcept { return status >= 200 && status <= 299; }
};

}  // namespace quorvel_bo::core

namespace quorvel_bo::core::json {

template <>
struct Variants<Method> {
    static constexpr std::string_view name = "Method";
    static constexpr std::array<std::string_view, 3> list = {"GET", "POST", "PATCH"};
};

template <>
struct Codec<Headers> {
    static Value encode(const Headers& headers, Arena& arena);
    static std::size_t text_size(const Headers& headers);
    static void write(Writer& out, const Headers& headers);
};

template <>
struct Fields<HttpRequest> {
    static constexpr std::string_view name = "HttpRequest";
    static constexpr auto list = std::tuple{
        field("method", &HttpRequest::method),
        field("url", &HttpRequest::url),
        field("headers", &HttpRequest::headers),
        field("body", &HttpRequest::body),
    };
};

template <>
struct Fields<HttpResponse> {
    static constexpr std::string_view name = "HttpResponse";
    static constexpr auto list = std::tuple{
        field("status", &HttpResponse::status),
        field("body", &HttpResponse::body),
    };
};

}  // namespace quorvel_bo::core::json
