// Client configuration: environment names, default gateways and URL joining.
#include "core/config.hpp"

#include <array>

namespace quorvel_bo::core {

namespace {

constexpr std::string_view kDevelopmentBaseUrl = "https://api-test.quorvel.bo/desarrollo";
constexpr std::string_view kSandboxBaseUrl = "https://api-test.quorvel.bo/sandbox";
constexpr std::string_view kProductionBaseUrl = "https://api.quorvel.bo";

constexpr std::array<std::string_view, 3> kEnvironmentNames = {"development", "sandbox", "production"};

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
    std::string_view base = base_url ? std::string_view(*base_url) : default_base_url(environment);
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

namespace quorvel_bo::core::json {

Decoded<Environment> Codec<Environment>::decode(const Value& v) {
    const Value* name = &v;
    // A one-key object whose value is null names a variant too.
    if (v.is_object() && v.members().size() == 1 && v.members()[0].value.is_null()) {
        for (std::size_t i = 0; i < kEnvironmentNames.size(); ++i)
            if (v.members()[0].key == kEnvironmentNames[i]) return static_cast<Environment>(i);
        std::string message = "unknown variant `" + std::string(v.members()[0].key) + "`";
        message += ", expected one of `development`, `sandbox`, `production`";
        return decode_failure(std::move(message), v);
    }
    if (!name->is_string()) return invalid_type(v, "enum Environment");
    for (std::size_t i = 0; i < kEnvironmentNames.size(); ++i)
        if (name->text() == kEnvironmentNames[i]) return static_cast<Environment>(i);
    std::string message = "unknown variant `" + std::string(name->text()) + "`";
    message += ", expected one of `development`, `sandbox`, `production`";
    return decode_failure(std::move(message), v);
}

}  // namespace quorvel_bo::core::json
