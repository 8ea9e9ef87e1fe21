// The batch webhook handler: the secret first, then the body as one transfer, then the acknowledgement.
#include "payouts/webhook.hpp"

#include "core/webhook.hpp"

namespace quorvel_bo::payouts::webhook {

namespace {

constexpr std::string_view kTokenName = "`token` query parameter";
constexpr std::string_view kInvalidPayload = "invalid batch webhook payload: ";
constexpr std::string_view kAckSuccess = "EXITOSO";

}  // namespace

core::Result<BatchNotification> ParseBatchWebhook::handle(const Input& input) {
    // A failed authentication hides every problem of the body.
    if (auto ok = core::verify_secret(kTokenName, input.token, input.expected_token); !ok) return core::propagate(ok);
    core::json::Arena arena;
    wire::WTransfer transfer;
    if (auto error = core::json::decode_text_into(input.body, arena, transfer))
        return core::fail(core::decode(std::string(kInvalidPayload) + *error));

    // Each part is made where it stays; the acknowledgement reads its numbers as the others do.
    BatchNotification notification{
        .batch_number = non_empty(transfer.batch_number),
        .transfer = model::from_wire(transfer),
        .ack = Ack{std::string(kAckSuccess), std::nullopt, non_empty(transfer.batch_number),
                   non_empty(transfer.reference)},
    };
    return notification;
}

}  // namespace quorvel_bo::payouts::webhook
