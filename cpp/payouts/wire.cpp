// Lenient readers of provider values shared by all wire records.
#include "payouts/wire.hpp"

#include "core/text.hpp"

namespace quorvel_bo::payouts {

std::optional<std::string> opt_text(const core::json::Value& value) {
    if (value.is_string() || value.is_number()) return std::string(value.text());
    return std::nullopt;
}

std::optional<std::string> non_empty(std::optional<std::string> text) {
    if (!text) return std::nullopt;
    std::string_view trimmed = core::text::trim(*text);
    if (trimmed.empty()) return std::nullopt;
    if (trimmed.size() == text->size()) return text;
    return std::string(trimmed);
}

}  // namespace quorvel_bo::payouts
