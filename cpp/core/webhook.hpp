// Authentication of incoming webhook calls by a shared secret.
#pragma once

#include <string_view>

#include "core/error.hpp"

namespace quorvel_bo::core {

// Compares `presented` with the configured `expected` secret in time that depends only on the length.
// `name` is how the secret is called in the failure message.
Result<void> verify_secret(std::string_view name, std::string_view presented, std::string_view expected);

}  // namespace quorvel_bo::core
