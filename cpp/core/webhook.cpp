// Constant-time check of a webhook's shared secret.
#include "core/webhook.hpp"

#include <cstddef>
#include <string>

namespace quorvel_bo::core {
namespace {

constexpr std::string_view kExpectedEmpty = "expected secret must not be empty";
constexpr std::string_view kDoesNotMatch = " does not match";

// Visits every byte whatever the values; the empty asm makes the accumulator opaque to the
// optimiser, which could otherwise leave the loop once it is non-zero.
bool same_bytes(std::string_view a, std::string_view b) noexcept {
    unsigned int diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        diff |= static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i]);
        __asm__ __volatile__("" : "+r"(diff));
    }
    return diff == 0;
}

}  // namespace

Result<void> verify_secret(std::string_view name, std::string_view presented, std::string_view expected) {
    if (expected.empty()) return fail(validation("value", std::string(kExpectedEmpty)));
    // The length difference is not hidden: the length of the secret is no secret.
    if (presented.size() != expected.size() || !same_bytes(presented, expected)) {
        return fail(webhook_auth(std::string(name) + std::string(kDoesNotMatch)));
    }
    return {};
}

}  // namespace quorvel_bo::core
