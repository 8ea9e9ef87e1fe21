// Batch status answers read straight into their result document, without a tree or records.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorvel_bo::payouts::batch {

// The whole result document of "batch.status.parse" for `payload`, written while the provider's
// answer is read. Nothing when the payload is anything but a plain successful answer: the
// ordinary reader then runs the stage, and says what is wrong where something is.
std::optional<std::string> status_document(std::string_view payload);

}  // namespace quorvel_bo::payouts::batch
