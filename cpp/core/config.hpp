// Client configuration: environments with their default base URLs, and joining a base URL with a path.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/record.hpp"

namespace quorvel_bo::core {

enum class Environment : std::uint8_t { development, sandbox, production };

// The gateway a configuration without `base_url` talks to (no trailing slash).
std::string_view default_base_url(Environment environment) noexcept;

// Read from a build payload and used while it lives: its texts view it.
struct Config {
    std::string_view client_id;
    std::optional<std::string_view> client_secret;
    std::optional<std::string_view> basic_token;
    Environment environment = Environment::sandbox;
    std::optional<std::string_view> base_url;

    // The base URL and `path` joined by exactly one "/"; the path is not altered otherwise.
    std::string url(std::string_view path) const;
};

}  // namespace quorvel_bo::core

namespace quorvel_bo::core::json {

template <>
struct Variants<Environment> {
    static constexpr std::string_view name = "Environment";
    static constexpr std::array<std::string_view, 3> list = {"development", "sandbox", "production"};
};

template <>
struct Fields<Config> {
    static constexpr std::string_view name = "Config";
    static Environment default_environment() { return Environment::sandbox; }
    static constexpr auto list = std::tuple{
        field("client_id", &Config::client_id),     field("client_secret", &Config::client_secret),
        field("basic_token", &Config::basic_token), field_or("environment", &Config::environment, &default_environment),
        field("base_url", &Config::base_url),
    };
};

}  // namespace quorvel_bo::core::json
