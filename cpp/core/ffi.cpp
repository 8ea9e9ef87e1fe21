// The call protocol: built-in operations, routing to the registry, the guard and the result document.
#include "core/ffi.hpp"

#include <array>

namespace quorvel_bo::core::ffi {

namespace {

using json::Arena;
using json::Member;
using json::Value;

Value error_list(const std::vector<ApiFieldError>& errors, Arena& arena) {
    Value* items = arena.allocate<Value>(errors.size());
    auto opt = [&](const std::optional<std::string>& s) {
        return s ? Value::string(arena.copy(*s)) : Value::null();
    };
    for (std::size_t i = 0; i < errors.size(); ++i) {
        Member* m = arena.allocate<Member>(3);
        std::construct_at(m + 0, Member{"code", opt(errors[i].code)});
        std::construct_at(m + 1, Member{"field", opt(errors[i].field)});
        std::construct_at(m + 2, Member{"message", Value::string(arena.copy(errors[i].message))});
        std::construct_at(items + i, Value::object({m, 3}));
    }
    return Value::array({items, errors.size()});
}

std::string_view number_text(std::uint64_t n, Arena& arena) { return arena.copy(std::to_string(n)); }

Value info_value(const OpInfo& info, Arena& arena) {
    Member* m = arena.allocate<Member>(4);
    std::size_t n = 0;
    if (info.form == OpInfo::Form::operation) {
        std::construct_at(m + n++, Member{"idempotent", Value::boolean(info.idempotent)});
        std::construct_at(m + n++, Member{"kind", Value::string("operation")});
        std::construct_at(m + n++, Member{"name", Value::string(info.name)});
        if (info.timeout_secs)
            std::construct_at(m + n++, Member{"timeout_secs", Value::number(number_text(*info.timeout_secs, arena))});
    } else {
        std::construct_at(m + n++, Member{"kind", Value::string("handler")});
        std::construct_at(m + n++, Member{"name", Value::string(info.name)});
    }
    return Value::object({m, n});
}

Value catalogue(const Registry& registry, Arena& arena) {
    std::vector<OpInfo> infos = registry.operations();
    Value* items = arena.allocate<Value>(infos.size());
    for (std::size_t i = 0; i < infos.size(); ++i) std::construct_at(items + i, info_value(infos[i], arena));
    return Value::array({items, infos.size()});
}

// The answer to "version" never changes, so it is written once, when the module is compiled.
constexpr std::string_view kVersionHead = "{\"ok\":true,\"value\":{\"core\":\"";
constexpr std::string_view kVersionMiddle = "\",\"protocol\":";
constexpr std::string_view kVersionTail = "}}";
static_assert(kProtocolVersion > 0 && kProtocolVersion < 10);
static_assert(kCoreVersion.find_first_of("\"\\") == std::string_view::npos);

constexpr std::size_t kVersionSize =
    kVersionHead.size() + kCoreVersion.size() + kVersionMiddle.size() + 1 + kVersionTail.size();

constexpr std::array<char, kVersionSize> kVersionAnswer = [] {
    std::array<char, kVersionSize> out{};
    std::size_t n = 0;
    for (std::string_view part : {kVersionHead, kCoreVersion, kVersionMiddle})
        for (char c : part) out[n++] = c;
    out[n++] = static_cast<char>('0' + kProtocolVersion);
    for (char c : kVersionTail) out[n++] = c;
    return out;
}();

// Payloads up to this size usually give documents that are written without sizing them first.
constexpr std::size_t kSmallPayload = std::size_t{4} << 10;

std::string quoted_op(std::string_view prefix, std::string_view op) {
    std::string out(prefix);
    out += '`';
    out += op;
    out += '`';
    return out;
}

}  // namespace

Value error_value(const Error& error, Arena& arena) {
    Member* m = arena.allocate<Member>(6);
    std::size_t n = 0;
    auto add = [&](std::string_view key, Value v) {
        std::construct_at(m + n++, Member{key, v});
    };
    add("kind", Value::string(kind_text(error.kind)));
    add("message", Value::string(arena.copy(error.message)));
    switch (error.kind) {
        case ErrorKind::validation: add("field", Value::string(arena.copy(error.field))); break;
        case ErrorKind::authentication: add("status", Value::number(number_text(error.status, arena))); break;
        case ErrorKind::api:
            add("status", Value::number(number_text(error.status, arena)));
            add("errors", error_list(error.errors, arena));
            break;
        case ErrorKind::ambiguous: add("errors", error_list(error.errors, arena)); break;
        case ErrorKind::decode:
        case ErrorKind::webhook_auth:
        case ErrorKind::ffi: break;
    }
    add("retryable", Value::boolean(error.kind == ErrorKind::api && error.retryable));
    return Value::object({m, n});
}

std::optional<std::string_view> fixed_answer(std::string_view op) noexcept {
    if (op == "version") return std::string_view(kVersionAnswer.data(), kVersionAnswer.size());
    return std::nullopt;
}

std::string call(const Registry& registry, std::string_view op, std::string_view payload) {
    std::string document;
    call_into(
        registry, op, payload,
        [](void* context, std::string_view text) { static_cast<std::string*>(context)->assign(text); }, &document);
    return document;
}

void call_into(const Registry& registry, std::string_view op, std::string_view payload, json::DocumentSink take,
               void* context) {
    if (auto fixed = fixed_answer(op)) return take(context, *fixed);
    // A large document is handed over once the call's values are gone, so that they, the document
    // and the caller's copy of it are never all held at once.
    std::string sized;
    {
        Arena arena;
        std::optional<Outcome> outcome;
        bool direct = false;
        try {
            if (op == "describe") {
                outcome = catalogue(registry, arena);
            } else if (std::optional<std::string> document = registry.direct_answer(op, payload)) {
                sized = std::move(*document);
                direct = true;
            } else {
                outcome = registry.dispatch(op, payload, arena);
            }
        } catch (...) {
            outcome = fail(ffi_error(quoted_op("core panicked while handling ", op)));
        }
        if (!direct) {
            if (!outcome) outcome = fail(ffi_error(quoted_op("unknown operation ", op)));

        // A small call's document is written in one pass; a large one is sized first and written
        // once into a string of its size.
            constexpr std::string_view kOkHead = "{\"ok\":true,\"value\":";
            constexpr std::string_view kErrorHead = "{\"error\":";
            const bool ok = outcome->has_value();
            const json::Value value = ok ? **outcome : error_value(outcome->error(), arena);
            const std::string_view head = ok ? kOkHead : kErrorHead;
            const std::string_view tail = ok ? std::string_view("}") : std::string_view(",\"ok\":false}");
            if (payload.size() <= kSmallPayload) return json::write_unsized(head, value, tail, take, context);
            sized = json::to_string(head, value, tail);
        }
    }
    take(context, sized);
}

}  // namespace quorvel_bo::core::ffi
