// The payouts registry: the one list of operation types, from which routing and the catalogue come.
#include "payouts/ops.hpp"

#include "core/catalogue.hpp"
#include "payouts/batch.hpp"
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

}  // namespace quorvel_bo::payouts
