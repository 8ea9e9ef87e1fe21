// The payouts registry: the one list of operation types, from which routing and the catalogue come.
#include "payouts/ops.hpp"

#include "core/catalogue.hpp"
#include "core/json_reader.hpp"
#include "payouts/batch.hpp"
#include "payouts/batch_status_reader.hpp"
#include "payouts/qr.hpp"
#include "payouts/webhook.hpp"

namespace quorvel_bo::payouts {

namespace {

// In catalogue order: the order of the "describe" array.
using Operations = core::ffi::Catalogue<qr::ScanOp, qr::PayOp, qr::PayoutStatusOp, batch::AuthorizeBatchOp,
                                        batch::BatchStatusOp, batch::BanksOp, webhook::ParseBatchWebhook>;

}  // namespace

std::optional<core::ffi::Outcome> PayoutsOps::dispatch(std::string_view op, std::string_view payload,
                                                       core::json::Arena& arena) const {
    return Operations::dispatch(op, payload, arena);
}

std::vector<core::ffi::OpInfo> PayoutsOps::operations() const { return Operations::operations(); }

std::optional<std::string> PayoutsOps::direct_answer(std::string_view op, std::string_view payload) const {
    // Only large answers: on small ones the walk's set-up costs more than the tree it saves.
    constexpr std::string_view name = batch::BatchStatusOp::name;
    if (payload.size() > core::json::detail::kSmallText &&
        op.size() == name.size() + 1 + core::ffi::kParseStage.size() && op.starts_with(name) &&
        op[name.size()] == '.' && op.ends_with(core::ffi::kParseStage))
        return batch::status_document(payload);
    return std::nullopt;
}

}  // namespace quorvel_bo::payouts
