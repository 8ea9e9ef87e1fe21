// The batch webhook: authenticate a provider notification and read it into a transfer and its acknowledgement.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/operation.hpp"
#include "core/record.hpp"
#include "payouts/model.hpp"

namespace quorvel_bo::payouts::webhook {

// Views into the payload, which outlives the handler.
struct BatchWebhookCall {
    std::string_view token;
    std::string_view body;
    std::string_view expected_token;
};

// The object the web server answers the notification with.
struct Ack {
    std::string code;
    std::optional<std::string> detail;
    std::optional<std::string> batch_number;
    std::optional<std::string> reference;
};

struct BatchNotification {
    std::optional<std::string> batch_number;
    model::BatchTransferStatus transfer;
    Ack ack;
};

struct ParseBatchWebhook {
    static constexpr std::string_view name = "batch.webhook.parse";
    using Input = BatchWebhookCall;
    using Output = BatchNotification;
    static core::Result<Output> handle(const Input& input);
};

static_assert(core::Handler<ParseBatchWebhook>);

}  // namespace quorvel_bo::payouts::webhook

namespace quorvel_bo::core::json {

template <>
struct Fields<payouts::webhook::BatchWebhookCall> {
    using R = payouts::webhook::BatchWebhookCall;
    static constexpr std::string_view name = "BatchWebhookCall";
    static constexpr auto list = std::tuple{
        field("token", &R::token),
        field("body", &R::body),
        field("expected_token", &R::expected_token),
    };
};

template <>
struct Fields<payouts::webhook::Ack> {
    using R = payouts::webhook::Ack;
    static constexpr std::string_view name = "Ack";
    static constexpr auto list = std::tuple{
        field("codigoRespuesta", &R::code),
        field("detalleRespuesta", &R::detail),
        field("nroLote", &R::batch_number),
        field("numeroReferencia", &R::reference),
    };
};

template <>
struct Fields<payouts::webhook::BatchNotification> {
    using R = payouts::webhook::BatchNotification;
    static constexpr std::string_view name = "BatchNotification";
    static constexpr auto list = std::tuple{
        field("batch_number", &R::batch_number),
        field("transfer", &R::transfer),
        field("ack", &R::ack),
    };
};

}  // namespace quorvel_bo::core::json
