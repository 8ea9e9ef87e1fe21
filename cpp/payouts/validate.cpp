// Payout field rules: identifiers, free text, UUIDs, digit strings and the notification URL.
#include "payouts/validate.hpp"

#include <array>
#include <utility>

#include "core/text.hpp"
#include "core/validate.hpp"

namespace quorvel_bo::payouts::validate {
namespace {

constexpr std::string_view kIdentifierTail = " letters, digits, `-` or `_`";
constexpr std::string_view kTextTail = " characters";
constexpr std::string_view kUuid = "must be a UUID (36 characters)";
constexpr std::string_view kDigitsHead = "must be ";
constexpr std::string_view kDigitsTail = " digits";
constexpr std::string_view kWebhookUrlField = "webhook_url";
constexpr std::string_view kWebhookTokenField = "webhook_token";
constexpr std::string_view kBadUrl = "must be an http(s) URL";
constexpr std::string_view kBadToken = "at least 16 URL-safe characters (letters, digits, - _ . ~)";
constexpr std::string_view kTooLong = "with the token, at most 255 characters";
constexpr std::size_t kMinTokenLength = 16;
constexpr std::size_t kMaxWebhookLength = 255;
constexpr std::string_view kTokenParameter = "token";
constexpr unsigned long kMaxPort = 65535;

std::string range(std::size_t min, std::size_t max) { return std::to_string(min) + " to " + std::to_string(max); }

core::Error invalid(std::string_view field, std::string message) {
    return core::validation(std::string(field), std::move(message));
}

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr bool is_letter(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
constexpr bool is_hex(char c) noexcept { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
constexpr bool is_identifier_char(char c) noexcept { return is_letter(c) || is_digit(c) || c == '-' || c == '_'; }
constexpr bool is_token_char(char c) noexcept { return is_identifier_char(c) || c == '.' || c == '~'; }

template <class Pred>
bool all_of(std::string_view s, Pred pred) noexcept {
    for (const char c : s) {
        if (!pred(c)) return false;
    }
    return true;
}

// The URL goes out as it is written: a control character or a space would be sent raw.
constexpr bool is_url_char(char c) noexcept { return c != ' ' && c != 0x7F && static_cast<unsigned char>(c) >= 0x20; }

// 1 to 65535, written in ASCII digits.
bool is_port(std::string_view text) noexcept {
    unsigned long value = 0;
    for (const char c : text) {
        if (!is_digit(c)) return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > kMaxPort) return false;
    }
    return value != 0;
}

// A host, optionally followed by ":" and a port; user info before it is the receiver's business.
bool is_host_and_port(std::string_view authority) noexcept {
    const std::size_t at = authority.rfind('@');
    std::string_view host = at == std::string_view::npos ? authority : authority.substr(at + 1);
    std::string_view port;
    if (host.starts_with('[')) {
        // An IPv6 literal: its colons are not a port's.
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos) return false;
        const std::string_view after = host.substr(close + 1);
        if (after.empty()) return true;
        if (after.front() != ':') return false;
        port = after.substr(1);
    } else {
        const std::size_t colon = host.rfind(':');
        if (colon == std::string_view::npos) return !host.empty();
        port = host.substr(colon + 1);
        host = host.substr(0, colon);
        if (host.empty()) return false;
    }
    return is_port(port);
}

// True when the query already names a parameter `token`: the receiver would read one of the two.
bool has_token_parameter(std::string_view query) noexcept {
    for (;;) {
        const std::size_t end = query.find('&');
        const std::string_view parameter = query.substr(0, end);
        if (parameter.substr(0, parameter.find('=')) == kTokenParameter) return true;
        if (end == std::string_view::npos) return false;
        query.remove_prefix(end + 1);
    }
}

// Whether a provider could deliver to `url` (already known to start with an http(s) scheme) and
// the receiver read the token appended to it. A fragment would swallow the token: clients never
// send it, so no notification could authenticate.
bool is_deliverable(std::string_view url) noexcept {
    if (!all_of(url, is_url_char) || url.find('#') != std::string_view::npos) return false;
    const std::string_view rest = url.substr(url.find("://") + 3);
    const std::string_view authority = rest.substr(0, rest.find_first_of("/?"));
    if (authority.empty() || !is_host_and_port(authority)) return false;
    const std::size_t query = url.find('?');
    return query == std::string_view::npos || !has_token_parameter(url.substr(query + 1));
}

}  // namespace

Result<void> identifier(std::string_view field, std::string_view value, std::size_t min, std::size_t max) {
    if (value.size() < min || value.size() > max || !all_of(value, is_identifier_char)) {
        return core::fail(invalid(field, range(min, max) + std::string(kIdentifierTail)));
    }
    return {};
}

Result<void> text(std::string_view field, std::string_view value, std::size_t min, std::size_t max) {
    if (auto blank = core::require_text(field, value); !blank) return blank;
    const std::size_t count = core::text::char_count(core::text::trim(value));
    if (count < min || count > max) return core::fail(invalid(field, range(min, max) + std::string(kTextTail)));
    return {};
}

Result<void> uuid(std::string_view field, std::string_view value) {
    constexpr std::array<std::size_t, 5> kGroups{8, 4, 4, 4, 12};
    std::string_view rest = value;
    bool ok = true;
    for (std::size_t i = 0; ok && i < kGroups.size(); ++i) {
        const std::size_t dash = rest.find('-');
        const bool last = i + 1 == kGroups.size();
        // The last group must have no hyphen after it; the others must end at one.
        if (last == (dash != std::string_view::npos)) {
            ok = false;
            break;
        }
        const std::string_view group = rest.substr(0, dash);
        ok = group.size() == kGroups[i] && all_of(group, is_hex);
        if (!last) rest.remove_prefix(dash + 1);
    }
    if (!ok) return core::fail(invalid(field, std::string(kUuid)));
    return {};
}

Result<void> digits(std::string_view field, std::string_view value, std::size_t min, std::size_t max) {
    if (value.size() < min || value.size() > max || !all_of(value, is_digit)) {
        return core::fail(invalid(field, std::string(kDigitsHead) + range(min, max) + std::string(kDigitsTail)));
    }
    return {};
}

Result<std::string> webhook(std::string_view url, std::string_view token) {
    const bool http = url.starts_with("https://") || url.starts_with("http://");
    if (!http || !is_deliverable(url)) return core::fail(invalid(kWebhookUrlField, std::string(kBadUrl)));
    if (token.size() < kMinTokenLength || !all_of(token, is_token_char)) {
        return core::fail(invalid(kWebhookTokenField, std::string(kBadToken)));
    }
    std::string combined;
    combined.reserve(url.size() + 7 + token.size());
    combined.append(url);
    combined.push_back(url.find('?') == std::string_view::npos ? '?' : '&');
    combined.append("token=");
    combined.append(token);
    if (combined.size() > kMaxWebhookLength) return core::fail(invalid(kWebhookUrlField, std::string(kTooLong)));
    return combined;
}

}  // namespace quorvel_bo::payouts::validate
