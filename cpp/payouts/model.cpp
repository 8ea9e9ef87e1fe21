// Conversions from the provider's QR records into the caller's results.
#include "payouts/model.hpp"

namespace quorvel_bo::payouts::model {

ScannedQr from_wire(wire::Scan scan) {
    ScannedQr out;
    out.reference = std::move(scan.reference);
    out.amount = scan.amount.value_or(Decimal{});
    out.currency = non_empty(std::move(scan.currency));
    out.description = non_empty(std::move(scan.description));
    out.recipient = Recipient{
        non_empty(std::move(scan.account)),   non_empty(std::move(scan.document_id)),
        non_empty(std::move(scan.holder)),    non_empty(std::move(scan.bank_code)),
        non_empty(std::move(scan.bank_name)),
    };
    out.expires_on = non_empty(std::move(scan.expires_on));
    return out;
}

Payout from_wire(wire::WPayout payout) {
    Payout out;
    out.reference = std::move(payout.reference);
    out.transaction_id = non_empty(std::move(payout.transaction_id));
    out.transaction_at = non_empty(std::move(payout.transaction_at));
    out.status = core::Payout::map(payout.status);
    out.raw_status = std::move(payout.status);
    out.message = non_empty(std::move(payout.message));
    out.amount = payout.amount;
    out.currency = non_empty(std::move(payout.currency));
    out.description = non_empty(std::move(payout.description));
    out.source_account = non_empty(std::move(payout.source_account));
    out.source_holder = non_empty(std::move(payout.source_holder));
    out.recipient = Recipient{
        non_empty(std::move(payout.account)),   non_empty(std::move(payout.document_id)),
        non_empty(std::move(payout.holder)),    non_empty(std::move(payout.bank_code)),
        non_empty(std::move(payout.bank_name)),
    };
    out.ach_order_number = non_empty(std::move(payout.ach_order_number));
    return out;
}

namespace {
constexpr std::string_view kDefaultCurrency = "BOB";
}  // namespace

std::string default_currency() { return std::string(kDefaultCurrency); }

BatchTransferStatus from_wire(wire::WTransfer&& transfer) {
    BatchTransferStatus out;
    out.transaction_id = non_empty(std::move(transfer.transaction_id));
    out.reference = non_empty(std::move(transfer.reference));
    out.status = core::Payout::map(transfer.status);
    out.raw_status = std::move(transfer.status);
    out.message = non_empty(std::move(transfer.message));
    out.source_account = non_empty(std::move(transfer.source_account));
    out.destination_account = non_empty(std::move(transfer.destination_account));
    out.ach_number = non_empty(std::move(transfer.ach_number));
    out.recipient_number = non_empty(std::move(transfer.recipient_number));
    out.recipient_document_id = non_empty(std::move(transfer.recipient_document_id));
    out.recipient_name = non_empty(std::move(transfer.recipient_name));
    out.transaction_at = non_empty(std::move(transfer.transaction_at));
    out.bank_code = non_empty(std::move(transfer.bank_code));
    out.bank_name = non_empty(std::move(transfer.bank_name));
    out.amount = transfer.amount;
    out.currency = non_empty(std::move(transfer.currency));
    return out;
}

BatchStatus from_wire(wire::WBatchStatus status) {
    BatchStatus out;
    out.batch_number = non_empty(std::move(status.batch_number));
    out.transfers.reserve(status.transfers.size());
    for (wire::WTransfer& transfer : status.transfers) out.transfers.push_back(from_wire(std::move(transfer)));
    return out;
}

BatchTransferResult from_wire(wire::WAuthorized transfer) {
    BatchTransferResult out;
    out.transaction_id = std::move(transfer.transaction_id);
    out.status = core::Payout::map(transfer.status);
    out.raw_status = std::move(transfer.status);
    out.reference = non_empty(std::move(transfer.reference));
    out.message = non_empty(std::move(transfer.message));
    return out;
}

BatchAuthorization from_wire(wire::Authorized authorized) {
    BatchAuthorization out;
    out.batch_number = std::move(authorized.batch_number);
    out.process_id = std::move(authorized.process_id);
    out.transfers.reserve(authorized.transfers.size());
    for (wire::WAuthorized& transfer : authorized.transfers) out.transfers.push_back(from_wire(std::move(transfer)));
    return out;
}

Bank from_wire(wire::WBank bank) { return Bank{std::move(bank.code), non_empty(std::move(bank.name))}; }

}  // namespace quorvel_bo::payouts::model
