// The access token a caller obtained elsewhere and hands in with each build call.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/record.hpp"

namespace quorvel_bo::core {

// Read from a build payload and used while it lives: its texts view it.
struct AccessToken {
    std::string_view access_token;
    std::string_view token_type;
    std::int64_t expires_at = 0;
    std::optional<std::string_view> scope;
};

}  // namespace quorvel_bo::core

namespace quorvel_bo::core::json {

template <>
struct Fields<AccessToken> {
    static constexpr std::string_view name = "AccessToken";
    static constexpr auto list = std::tuple{
        field("access_token", &AccessToken::access_token),
        field("token_type", &AccessToken::token_type),
        field("expires_at", &AccessToken::expires_at),
        field("scope", &AccessToken::scope),
    };
};

}  // namespace quorvel_bo::core::json
