// The standard API headers every provider request carries.
#include "core/operation.hpp"

namespace quorvel_bo::core {

Result<Headers> Ctx::api_headers() const {
    if (token == nullptr) return fail(validation("token", std::string(kTokenRequired)));
    Headers headers;
    headers.emplace("Accept", "application/json");
    headers.emplace("Authorization", "Bearer " + token->access_token);
    headers.emplace("Content-Type", "application/json");
    headers.emplace("access_token", token->access_token);
    headers.emplace("client_id", config.client_id);
    return headers;
}

Result<Headers> Ctx::api_headers_with(std::span<const HeaderPair> extra) const {
    auto headers = api_headers();
    if (!headers) return headers;
    for (const auto& [name, value] : extra) headers->insert_or_assign(std::string(name), std::string(value));
    return headers;
}

}  // namespace quorvel_bo::core
