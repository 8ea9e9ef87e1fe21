// How an operation is written: the context of a build stage and the Operation and Handler interfaces.
#pragma once

#include <concepts>
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

// A remote exchange in two stages: build the request, then read the provider's answer.
template <class Op>
concept Operation = requires(const Ctx& ctx, const typename Op::Input& input, const HttpResponse& response) {
    { Op::name } -> std::convertible_to<std::string_view>;
    { Op::request(ctx, input) } -> std::same_as<Result<HttpRequest>>;
    { Op::response(input, response) } -> std::same_as<Result<typename Op::Output>>;
};

// A local event handled in one call.
template <class H>
concept Handler = requires(const typename H::Input& input) {
    { H::name } -> std::convertible_to<std::string_view>;
    { H::handle(input) } -> std::same_as<Result<typename H::Output>>;
};

}  // namespace quorvel_bo::core
