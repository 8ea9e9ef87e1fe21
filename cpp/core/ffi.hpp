// The call protocol: one entry that turns (operation text, payload text) into a result document.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/config.hpp"
#include "core/error.hpp"
#include "core/http.hpp"
#include "core/json.hpp"
#include "core/operation.hpp"
#include "core/record.hpp"
#include "core/token.hpp"

namespace quorvel_bo::core::ffi {

#ifndef QBO_VERSION
#error "QBO_VERSION is defined by the build from the project's version"
#endif
inline constexpr std::string_view kCoreVersion = QBO_VERSION;
inline constexpr int kProtocolVersion = 2;

// One catalogue entry: an operation (with idempotence and an optional time-out) or a handler.
struct OpInfo {
    enum class Form : std::uint8_t { operation, handler };
    Form form = Form::operation;
    std::string_view name;
    bool idempotent = false;
    std::optional<std::uint32_t> timeout_secs;
};

// What a registry's dispatch yields for a name it claims.
using Outcome = Result<json::Value>;

class Registry {
public:
    virtual ~Registry() = default;
    // Nothing when `op` names none of the registry's operations. Values live in `arena`.
    virtual std::optional<Outcome> dispatch(std::string_view op, std::string_view payload,
                                            json::Arena& arena) const = 0;
    virtual std::vector<OpInfo> operations() const = 0;
    // The whole result document of `op`, when the registry writes it straight from the payload
    // (a large answer read without a tree of values); nothing to run `op` through `dispatch`,
    // which then also explains any failure.
    virtual std::optional<std::string> direct_answer(std::string_view /*op*/, std::string_view /*payload*/) const {
        return std::nullopt;
    }
};

// Never fails: every failure is inside the returned document.
std::string call(const Registry& registry, std::string_view op, std::string_view payload);
// The same document handed to `take` while it is at hand, for a caller that copies it anyway (into
// a Python str): a small one is never put in a string of its own.
void call_into(const Registry& registry, std::string_view op, std::string_view payload, json::DocumentSink take,
               void* context);

// The result document of `op` when it is the same for every call and payload ("version"), so that
// a caller can answer without `call`; nothing otherwise.
std::optional<std::string_view> fixed_answer(std::string_view op) noexcept;

// The build-stage payload: configuration, optional token and the operation's input.
template <class Input>
struct Build {
    Config config;
    std::optional<AccessToken> token;
    Input input;
};

// The parse-stage payload: the same input and the provider's answer.
template <class Input>
struct Parse {
    Input input;
    HttpResponse response;
};

inline constexpr std::string_view kBuildStage = "build";
inline constexpr std::string_view kParseStage = "parse";
inline constexpr std::string_view kInvalidPayload = "invalid payload: ";

// A result record kept whole until the result document is written, which then writes it straight
// from its fields: a large result never exists as a tree of values.
template <class T>
class WrittenRecord final : public json::Written {
public:
    explicit WrittenRecord(T&& record) : record_(std::move(record)) {}
    std::size_t text_size() const override { return json::Codec<T>::text_size(record_); }
    void write(json::Writer& out) const override { json::Codec<T>::write(out, record_); }

private:
    T record_;
};

// A record's JSON value. A record handed over as an rvalue is kept by the arena and written from
// its fields where every field can be; otherwise its value is built, and its long strings are
// given to the arena instead of being copied.
template <class T>
json::Value to_value(T&& record, json::Arena& arena) {
    using R = std::remove_cvref_t<T>;
    if constexpr (json::Writable<R> && !std::is_lvalue_reference_v<T>) {
        return json::Value::written(&arena.make<WrittenRecord<R>>(std::move(record)));
    } else {
        return json::encode(std::forward<T>(record), arena);
    }
}

// Decodes the payload into T and hands it to `use`. T's strings may view the payload and the
// strings the reader decoded, which live until `use` is done; the payload's tree is gone as soon
// as T is decoded, and T before the call's answer is built, so a large call never holds its
// tree, its input records and its output at once.
template <class T, class Use>
auto with_payload(std::string_view payload, Use&& use) -> decltype(use(std::declval<const T&>())) {
    json::Arena strings;
    T decoded{};
    {
        json::Arena tree(strings);
        if (auto error = json::decode_text_into(payload, tree, decoded))
            return fail(ffi_error(std::string(kInvalidPayload) + *error));
    }
    return use(std::as_const(decoded));
}

// One stage of a request/response operation.
template <Operation Op>
Outcome run(std::string_view stage, std::string_view payload, json::Arena& arena) {
    if (stage == kBuildStage) {
        auto request = with_payload<Build<typename Op::Input>>(payload, [](const auto& envelope) {
            const Ctx ctx{envelope.config, envelope.token ? &*envelope.token : nullptr};
            return Op::request(ctx, envelope.input);
        });
        if (!request) return propagate(request);
        return to_value(std::move(*request), arena);
    }
    if (stage == kParseStage) {
        auto output = with_payload<Parse<typename Op::Input>>(
            payload, [](const auto& envelope) { return Op::response(envelope.input, envelope.response); });
        if (!output) return propagate(output);
        return to_value(std::move(*output), arena);
    }
    return fail(ffi_error("unknown stage `" + std::string(stage) + "` for `" + std::string(Op::name) + "`"));
}

// A local handler: its input is the whole payload.
template <Handler H>
Outcome run_handler(std::string_view payload, json::Arena& arena) {
    auto output = with_payload<typename H::Input>(payload, [](const auto& input) { return H::handle(input); });
    if (!output) return propagate(output);
    return to_value(std::move(*output), arena);
}

// Writes an error object with "retryable" always present.
json::Value error_value(const Error& error, json::Arena& arena);

}  // namespace quorvel_bo::core::ffi

namespace quorvel_bo::core::json {

template <class Input>
struct Fields<ffi::Build<Input>> {
    static constexpr std::string_view name = "Build";
    static constexpr auto list = std::tuple{
        field("config", &ffi::Build<Input>::config),
        field("token", &ffi::Build<Input>::token),
        field("input", &ffi::Build<Input>::input),
    };
};

template <class Input>
struct Fields<ffi::Parse<Input>> {
    static constexpr std::string_view name = "Parse";
    static constexpr auto list = std::tuple{
        field("input", &ffi::Parse<Input>::input),
        field("response", &ffi::Parse<Input>::response),
    };
};

}  // namespace quorvel_bo::core::json
