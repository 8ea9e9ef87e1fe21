// How an operation is written: the context of a build stage and the Operation and Handler interfaces.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "core/config.hpp"
#include "core/error.hpp"
#include "core/http.hpp"
#include "core/token.hpp"

namespace quorvel_bo::core {

inline constexpr std::string_view kTokenRequired = "an access token is required for this operation";

using HeaderPair = std::pair<std::string_view, std::string_view>;

// Borrowed from the decoded build envelope for the duration of one build stage.
struct Ctx {
    const Config& config;
    const AccessToken* token = nullptr;

    // The five standard headers; fails when no access token was given.
    Result<Headers> api_headers() const;
    // The standard headers with `extra` inserted in order, replacing equal names.
    Result<Headers> api_headers_with(std::span<const HeaderPair> extra) const;
};

// What a request whose answer never came means for the host.
enum class LostAnswer : std::uint8_t {
    retry,      // a read: nothing changed at the provider, so it is sent again
    uncertain,  // a payment: the money may have moved; its status says, never a second payment
    unknown,    // an authorisation: the outcome is unknown; look it up before submitting again
};

// A remote exchange in two stages: build the request, then read the provider's answer. Besides
// its stages, an operation states its facts once: its name, whether sending it twice is harmless,
// the time-out the host should give it (none: the host's own) and what a lost answer means.
template <class Op>
concept Operation = requires(const Ctx& ctx, const typename Op::Input& input, const HttpResponse& response) {
    { Op::name } -> std::convertible_to<std::string_view>;
    { Op::idempotent } -> std::convertible_to<bool>;
    { Op::timeout_secs } -> std::convertible_to<std::optional<std::uint32_t>>;
    { Op::lost_answer } -> std::convertible_to<LostAnswer>;
    { Op::request(ctx, input) } -> std::same_as<Result<HttpRequest>>;
    { Op::response(input, response) } -> std::same_as<Result<typename Op::Output>>;
} && (Op::idempotent == (Op::lost_answer == LostAnswer::retry));  // only a read may simply be sent again

// A local event handled in one call.
template <class H>
concept Handler = requires(const typename H::Input& input) {
    { H::name } -> std::convertible_to<std::string_view>;
    { H::handle(input) } -> std::same_as<Result<typename H::Output>>;
};

}  // namespace quorvel_bo::core
