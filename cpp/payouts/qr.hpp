// QR payouts: scan a payment QR, pay it, and query a payout.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/http.hpp"
#include "core/json.hpp"
#include "core/operation.hpp"
#include "payouts/model.hpp"

namespace quorvel_bo::payouts::qr {

inline constexpr std::string_view kPathPrefix = "payout/sync/v3/qr";

// A POST to the QR API at `sub_path` with the standard headers and `body` written compactly.
core::Result<core::HttpRequest> post(const core::Ctx& ctx, std::string_view sub_path, const core::json::Value& body);

struct ScanOp {
    static constexpr std::string_view name = "payouts.scan";
    static constexpr bool idempotent = true;
    static constexpr std::optional<std::uint32_t> timeout_secs = 40;
    static constexpr core::LostAnswer lost_answer = core::LostAnswer::retry;
    using Input = model::ScanQr;
    using Output = model::ScannedQr;
    static core::Result<core::HttpRequest> request(const core::Ctx& ctx, const Input& input);
    static core::Result<Output> response(const Input& input, const core::HttpResponse& response);
};

struct PayOp {
    static constexpr std::string_view name = "payouts.pay";
    static constexpr bool idempotent = false;
    static constexpr std::optional<std::uint32_t> timeout_secs = 90;
    static constexpr core::LostAnswer lost_answer = core::LostAnswer::uncertain;
    using Input = model::PayQr;
    using Output = model::Payout;
    static core::Result<core::HttpRequest> request(const core::Ctx& ctx, const Input& input);
    static core::Result<Output> response(const Input& input, const core::HttpResponse& response);
};

struct PayoutStatusOp {
    static constexpr std::string_view name = "payouts.status";
    static constexpr bool idempotent = true;
    static constexpr std::optional<std::uint32_t> timeout_secs = 90;
    static constexpr core::LostAnswer lost_answer = core::LostAnswer::retry;
    using Input = model::PayoutRef;
    using Output = model::Payout;
    static core::Result<core::HttpRequest> request(const core::Ctx& ctx, const Input& input);
    static core::Result<Output> response(const Input& input, const core::HttpResponse& response);
};

static_assert(core::Operation<ScanOp> && core::Operation<PayOp> && core::Operation<PayoutStatusOp>);

}  // namespace quorvel_bo::payouts::qr
