// Batch transfers: the shared batch request routine, bank list, batch authorisation and batch status.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/http.hpp"
#include "core/json.hpp"
#include "core/operation.hpp"
#include "payouts/model.hpp"

namespace quorvel_bo::payouts::batch {

inline constexpr std::string_view kPathPrefix = "payout/async/v3";
inline constexpr std::string_view kBranchCodeHeader = "branchCode";

// A request to the batch API at `path` with the standard headers plus "branchCode", and `body`.
core::Result<core::HttpRequest> request(const core::Ctx& ctx, core::Method method, std::string_view path,
                                        std::string_view branch_code, std::optional<std::string> body);

struct BanksOp {
    static constexpr std::string_view name = "batch.banks";
    static constexpr bool idempotent = true;
    static constexpr std::optional<std::uint32_t> timeout_secs = std::nullopt;
    static constexpr core::LostAnswer lost_answer = core::LostAnswer::retry;
    using Input = model::BanksQuery;
    using Output = std::vector<model::Bank>;
    static core::Result<core::HttpRequest> request(const core::Ctx& ctx, const Input& input);
    static core::Result<Output> response(const Input& input, const core::HttpResponse& response);
};

struct AuthorizeBatchOp {
    static constexpr std::string_view name = "batch.authorize";
    static constexpr bool idempotent = false;
    static constexpr std::optional<std::uint32_t> timeout_secs = std::nullopt;
    static constexpr core::LostAnswer lost_answer = core::LostAnswer::unknown;
    using Input = model::AuthorizeBatch;
    using Output = model::BatchAuthorization;
    static core::Result<core::HttpRequest> request(const core::Ctx& ctx, const Input& input);
    static core::Result<Output> response(const Input& input, const core::HttpResponse& response);
};

struct BatchStatusOp {
    static constexpr std::string_view name = "batch.status";
    static constexpr bool idempotent = true;
    static constexpr std::optional<std::uint32_t> timeout_secs = std::nullopt;
    static constexpr core::LostAnswer lost_answer = core::LostAnswer::retry;
    using Input = model::BatchQuery;
    using Output = model::BatchStatus;
    static core::Result<core::HttpRequest> request(const core::Ctx& ctx, const Input& input);
    static core::Result<Output> response(const Input& input, const core::HttpResponse& response);
};

static_assert(core::Operation<BanksOp> && core::Operation<AuthorizeBatchOp> && core::Operation<BatchStatusOp>);

}  // namespace quorvel_bo::payouts::batch
