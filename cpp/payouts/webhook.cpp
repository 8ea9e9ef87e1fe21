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

    // Built where it is returned: the notification's strings are not moved again.
    core::Result<BatchNotification> result;
    BatchNotification& out = *result;
    out.batch_number = non_empty(transfer.batch_number);
    out.transfer = model::from_wire(transfer);
    out.ack = Ack{std::string(kAckSuccess), std::nullopt, out.batch_number, out.transfer.reference};
    return result;
}

}  // namespace quorvel_bo::payouts::webhook
