// Lenient readers of provider values shared by all wire records.
#include "payouts/wire.hpp"

#include "core/text.hpp"

namespace quorvel_bo::payouts {

std::optional<std::string_view> opt_text(const core::json::Value& value) {
    if (value.is_string() || value.is_number()) return value.text();
    return std::nullopt;
}

std::optional<std::string> non_empty(std::optional<std::string_view> text) {
    if (!text) return std::nullopt;
    std::string_view trimmed = core::text::trim(*text);
    if (trimmed.empty()) return std::nullopt;
    return std::string(trimmed);
}

}  // namespace quorvel_bo::payouts
