// The payouts registry: the catalogue of seven entries and routing of operation texts to stage runners.
#include "payouts/ops.hpp"

#include <array>

#include "payouts/batch.hpp"
#include "payouts/qr.hpp"
#include "payouts/webhook.hpp"

namespace quorvel_bo::payouts {

namespace {

using core::ffi::OpInfo;
using core::ffi::Outcome;
using core::json::Arena;

using StageRunner = Outcome (*)(std::string_view stage, std::string_view payload, Arena& arena);
using HandlerRunner = Outcome (*)(std::string_view payload, Arena& arena);

struct OperationRoute {
    std::string_view name;
    StageRunner run;
};

struct HandlerRoute {
    std::string_view name;
    HandlerRunner run;
};

// Request/response operations, matched as name + "." + stage.
constexpr std::array kOperations = {
    OperationRoute{qr::ScanOp::name, &core::ffi::run<qr::ScanOp>},
    OperationRoute{qr::PayOp::name, &core::ffi::run<qr::PayOp>},
    OperationRoute{qr::PayoutStatusOp::name, &core::ffi::run<qr::PayoutStatusOp>},
    OperationRoute{batch::AuthorizeBatchOp::name, &core::ffi::run<batch::AuthorizeBatchOp>},
    OperationRoute{batch::BatchStatusOp::name, &core::ffi::run<batch::BatchStatusOp>},
    OperationRoute{batch::BanksOp::name, &core::ffi::run<batch::BanksOp>},
};

// Local handlers, matched by their whole name.
constexpr std::array kHandlers = {
    HandlerRoute{webhook::ParseBatchWebhook::name, &core::ffi::run_handler<webhook::ParseBatchWebhook>},
};

constexpr std::array kCatalogue = {
    OpInfo{OpInfo::Form::operation, "payouts.scan", true, 40},
    OpInfo{OpInfo::Form::operation, "payouts.pay", false, 90},
    OpInfo{OpInfo::Form::operation, "payouts.status", true, 90},
    OpInfo{OpInfo::Form::operation, "batch.authorize", false, std::nullopt},
    OpInfo{OpInfo::Form::operation, "batch.status", true, std::nullopt},
    OpInfo{OpInfo::Form::operation, "batch.banks", true, std::nullopt},
    OpInfo{OpInfo::Form::handler, "batch.webhook.parse", false, std::nullopt},
};

}  // namespace

std::optional<Outcome> PayoutsOps::dispatch(std::string_view op, std::string_view payload, Arena& arena) const {
    for (const OperationRoute& route : kOperations) {
        if (op.size() > route.name.size() && op.starts_with(route.name) && op[route.name.size()] == '.')
            return route.run(op.substr(route.name.size() + 1), payload, arena);
    }
    for (const HandlerRoute& route : kHandlers)
        if (op == route.name) return route.run(payload, arena);
    return std::nullopt;
}

std::vector<OpInfo> PayoutsOps::operations() const { return {kCatalogue.begin(), kCatalogue.end()}; }

}  // namespace quorvel_bo::payouts
