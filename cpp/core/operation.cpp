// The standard API headers every provider request carries.
#include "core/operation.hpp"

namespace quorvel_bo::core {

namespace {

constexpr std::string_view kNoControlCharacters = "must not contain control characters";
constexpr std::string_view kBearer = "Bearer ";

// A CR or LF in a header value would let a credential inject headers of its own.
bool has_control_character(std::string_view value) noexcept {
    for (char c : value)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
    return false;
}

}  // namespace

Result<Headers> Ctx::api_headers() const {
    if (token == nullptr) return fail(validation("token", std::string(kTokenRequired)));
    if (has_control_character(token->access_token)) return fail(validation("token", std::string(kNoControlCharacters)));
    if (has_control_character(config.client_id))
        return fail(validation("client_id", std::string(kNoControlCharacters)));
    // Listed in ascending byte order: each goes in at the end, without a search of the map.
    Headers headers;
    headers.emplace_hint(headers.end(), "Accept", "application/json");
    std::string authorization(kBearer);
    authorization += token->access_token;
    headers.emplace_hint(headers.end(), "Authorization", std::move(authorization));
    headers.emplace_hint(headers.end(), "Content-Type", "application/json");
    headers.emplace_hint(headers.end(), "access_token", token->access_token);
    headers.emplace_hint(headers.end(), "client_id", config.client_id);
    return headers;
}

Result<Headers> Ctx::api_headers_with(std::span<const HeaderPair> extra) const {
    auto headers = api_headers();
    if (!headers) return headers;
    for (const auto& [name, value] : extra) headers->insert_or_assign(std::string(name), std::string(value));
    return headers;
}

}  // namespace quorvel_bo::core
