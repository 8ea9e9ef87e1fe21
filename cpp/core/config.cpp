// Client configuration: environment names, default gateways and URL joining.
#include "core/config.hpp"

namespace quorvel_bo::core {

namespace {

constexpr std::string_view kDevelopmentBaseUrl = "https://api-test.quorvel.bo/desarrollo";
constexpr std::string_view kSandboxBaseUrl = "https://api-test.quorvel.bo/sandbox";
constexpr std::string_view kProductionBaseUrl = "https://api.quorvel.bo";

}  // namespace

std::string_view default_base_url(Environment environment) noexcept {
    switch (environment) {
        case Environment::development: return kDevelopmentBaseUrl;
        case Environment::sandbox: return kSandboxBaseUrl;
        case Environment::production: return kProductionBaseUrl;
    }
    return kSandboxBaseUrl;
}

std::string Config::url(std::string_view path) const {
    std::string_view base = base_url ? *base_url : default_base_url(environment);
    while (!base.empty() && base.back() == '/') base.remove_suffix(1);
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    std::string out;
    out.reserve(base.size() + 1 + path.size());
    out += base;
    out += '/';
    out += path;
    return out;
}

}  // namespace quorvel_bo::core
