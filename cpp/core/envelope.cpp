// The provider's code/data envelope: the decision between payload and classified failure.
#include "core/envelope.hpp"

#include "core/text.hpp"

namespace quorvel_bo::core {

namespace {

constexpr std::size_t kPreviewChars = 200;
constexpr std::string_view kSuccessCode = "00";
constexpr std::string_view kMessageSeparator = "; ";
constexpr std::string_view kDuplicateKey = "duplicate key `";

std::vector<std::string> split_messages(const std::string& message) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t at = message.find(kMessageSeparator, start);
        if (at == std::string::npos) break;
        parts.emplace_back(message, start, at - start);
        start = at + kMessageSeparator.size();
    }
    parts.emplace_back(message, start);
    return parts;
}

// The body as JSON. A top-level key given twice makes it unreadable: readers disagree on which
// one counts, and a payment's result code must mean one thing to all of them.
std::expected<json::Value, json::ParseError> read_body(std::string_view body, json::Arena& arena) {
    auto value = json::parse_decoded_view(body, arena);
    if (!value) return value;
    if (const json::Member* repeated = json::first_repeated_key(*value)) {
        std::string message(kDuplicateKey);
        message.append(repeated->key).push_back('`');
        return std::unexpected(json::ParseError{std::move(message), repeated->key_offset});
    }
    return value;
}

}  // namespace

std::optional<std::string> text_field(const json::Value& value, std::initializer_list<std::string_view> keys) {
    for (std::string_view key : keys) {
        const json::Value* found = value.find(key);
        if (found == nullptr || !found->is_string()) continue;
        std::string_view trimmed = text::trim(found->text());
        if (!trimmed.empty()) return std::string(trimmed);
    }
    return std::nullopt;
}

std::vector<std::string> string_list(const json::Value* value) {
    std::vector<std::string> out;
    if (value == nullptr) return out;
    for (const json::Value& item : value->items())
        if (item.is_string()) out.emplace_back(item.text());
    return out;
}

std::string preview(std::string_view body) {
    std::string_view trimmed = text::trim(body);
    if (trimmed.empty()) return std::string(kEmptyResponseBody);
    return std::string(text::first_chars(trimmed, kPreviewChars));
}

std::string message_from_body(std::string_view body) {
    json::Arena arena;
    if (auto value = read_body(body, arena)) {
        if (auto found = text_field(*value, {"error_description", "message", "error"})) return std::move(*found);
    }
    return preview(body);
}

std::string failed(const HttpResponse& response) {
    return std::string(kRequestFailed) + std::to_string(response.status);
}

Result<json::Value> json_body(const HttpResponse& response, json::Arena& arena) {
    if (response.status == 401 || response.status == 403)
        return fail(authentication(response.status, message_from_body(response.body)));
    // The values may view the body: they are read while the response is at hand.
    auto value = read_body(response.body, arena);
    if (value) return *value;
    if (response.is_success()) {
        const json::ParseError& e = value.error();
        return fail(decode(std::string(kInvalidJsonBody) + json::with_position(e.message, response.body, e.offset)));
    }
    return fail(api(response.status, preview(response.body), {}, retryable_status(response.status)));
}

Result<json::Value> CodeData::open_value(const HttpResponse& response, json::Arena& arena) {
    auto body = json_body(response, arena);
    if (!body) return body;
    std::optional<std::string> code;
    if (const json::Value* c = body->find("code"); c != nullptr && c->is_string()) code = std::string(c->text());
    bool code_failed = code && *code != kSuccessCode;

    if (!code_failed && response.is_success()) {
        const json::Value* data = body->find("data");
        return data != nullptr && !data->is_null() ? *data : *body;
    }

    std::string message = text_field(*body, {"errorMessage", "message"}).value_or(failed(response));
    std::optional<std::string> provider_code = text_field(*body, {"errorCode"});
    if (!provider_code) provider_code = code;
    std::vector<std::string> messages = string_list(body->find("data"));
    if (messages.empty() && message.find(kMessageSeparator) != std::string::npos) messages = split_messages(message);
    if (messages.empty()) messages.push_back(message);

    std::vector<ApiFieldError> errors;
    errors.reserve(messages.size());
    for (std::string& entry : messages) errors.push_back(ApiFieldError{std::nullopt, std::move(entry), provider_code});
    bool retryable = !code_failed && retryable_status(response.status);
    return fail(api(response.status, std::move(message), std::move(errors), retryable));
}

}  // namespace quorvel_bo::core
