// Fuzz target: one call of the payouts registry, with the result document held to the call contract.
//
// Input layout: the operation text up to the first newline, the payload after it. Without a
// newline the payload is an empty view with no storage, as a C++ caller may pass one.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <simdjson.h>

#include "core/ffi.hpp"
#include "payouts/ops.hpp"

namespace {

namespace ffi = quorvel_bo::core::ffi;

constexpr std::string_view kPanicPrefix = "core panicked while handling ";

// Stops the run: the fuzzer reports the input that got here as a crash.
[[noreturn]] void finding() { __builtin_trap(); }

void require(bool condition) {
    if (!condition) finding();
}

bool is_valid_utf8(std::string_view text) { return simdjson::validate_utf8(text.data(), text.size()); }

std::set<std::string_view> keys_of(simdjson::dom::object object) {
    std::set<std::string_view> keys;
    for (auto member : object) require(keys.insert(member.key).second);
    return keys;
}

// The keys an error object of each kind carries.
std::set<std::string_view> error_keys(std::string_view kind) {
    std::set<std::string_view> keys{"kind", "message", "retryable"};
    if (kind == "validation")
        keys.insert("field");
    else if (kind == "authentication")
        keys.insert("status");
    else if (kind == "api")
        keys.insert({"status", "errors"});
    else if (kind == "ambiguous")
        keys.insert("errors");
    else
        require(kind == "decode" || kind == "webhook_auth" || kind == "ffi");
    return keys;
}

// A success document is exactly {"ok":true,"value":...}; a failure exactly {"error":{...},"ok":false}.
void check_document(const std::string& text) {
    static simdjson::dom::parser parser;
    simdjson::dom::element root;
    require(parser.parse(text).get(root) == simdjson::SUCCESS);
    simdjson::dom::object doc;
    require(root.get_object().get(doc) == simdjson::SUCCESS);
    bool ok = false;
    require(doc["ok"].get_bool().get(ok) == simdjson::SUCCESS);
    if (ok) {
        require(keys_of(doc) == std::set<std::string_view>{"ok", "value"});
        return;
    }
    require(keys_of(doc) == std::set<std::string_view>{"error", "ok"});
    simdjson::dom::object error;
    require(doc["error"].get_object().get(error) == simdjson::SUCCESS);
    std::string_view kind;
    std::string_view message;
    bool retryable = false;
    require(error["kind"].get_string().get(kind) == simdjson::SUCCESS);
    require(error["message"].get_string().get(message) == simdjson::SUCCESS);
    require(error["retryable"].get_bool().get(retryable) == simdjson::SUCCESS);
    require(keys_of(error) == error_keys(kind));
    // The guard turned an exception into a document: a fault, even though the process lives.
    // (A provider's message may say the same words, but never under the "ffi" kind.)
    require(!(kind == "ffi" && message.starts_with(kPanicPrefix)));
}

// The same registry without its direct answers: every call takes the ordinary road.
class OrdinaryOps final : public ffi::Registry {
public:
    std::optional<ffi::Outcome> dispatch(std::string_view op, std::string_view payload,
                                         quorvel_bo::core::json::Arena& arena) const override {
        return ops_.dispatch(op, payload, arena);
    }
    std::vector<ffi::OpInfo> operations() const override { return ops_.operations(); }

private:
    quorvel_bo::payouts::PayoutsOps ops_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const quorvel_bo::payouts::PayoutsOps registry;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t newline = input.find('\n');
    const std::string_view op = input.substr(0, newline);
    const std::string_view payload = newline == std::string_view::npos ? std::string_view{} : input.substr(newline + 1);

    const std::string document = ffi::call(registry, op, payload);
    // A direct answer is the ordinary one, byte for byte.
    if (registry.direct_answer(op, payload)) {
        static const OrdinaryOps ordinary;
        require(document == ffi::call(ordinary, op, payload));
    }
    // The binding only ever passes valid UTF-8 (Python str); other bytes must merely be survived.
    if (is_valid_utf8(op) && is_valid_utf8(payload)) check_document(document);
    return 0;
}
