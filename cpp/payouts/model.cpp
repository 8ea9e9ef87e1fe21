// Conversions from the provider's records (QR payouts, batches, banks) into the caller's results.
#include "payouts/model.hpp"

namespace quorvel_bo::payouts::model {

namespace {

// The recipient as a scanned QR and a payout both name it.
template <class W>
Recipient recipient_of(const W& wire) {
    return Recipient{non_empty(wire.account), non_empty(wire.document_id), non_empty(wire.holder),
                     non_empty(wire.bank_code), non_empty(wire.bank_name)};
}

}  // namespace

// Each field is made where it stays: no field is made empty first and assigned after.
ScannedQr from_wire(const wire::Scan& scan) {
    return ScannedQr{
        .reference = std::string(scan.reference),
        .amount = scan.amount.value_or(Decimal{}),
        .currency = non_empty(scan.currency),
        .description = non_empty(scan.description),
        .recipient = recipient_of(scan),
        .expires_on = non_empty(scan.expires_on),
    };
}

Payout from_wire(const wire::WPayout& payout) {
    return Payout{
        .reference = std::string(payout.reference),
        .transaction_id = non_empty(payout.transaction_id),
        .transaction_at = non_empty(payout.transaction_at),
        .status = core::Payout::map(payout.status),
        .raw_status = std::string(payout.status),
        .message = non_empty(payout.message),
        .amount = payout.amount,
        .currency = non_empty(payout.currency),
        .description = non_empty(payout.description),
        .source_account = non_empty(payout.source_account),
        .source_holder = non_empty(payout.source_holder),
        .recipient = recipient_of(payout),
        .ach_order_number = non_empty(payout.ach_order_number),
    };
}

namespace {
constexpr std::string_view kDefaultCurrency = "BOB";
}  // namespace

std::string_view default_currency() { return kDefaultCurrency; }

BatchTransferStatus from_wire(const wire::WTransfer& transfer) {
    BatchTransferStatus out;
    out.transaction_id = non_empty(transfer.transaction_id);
    out.reference = non_empty(transfer.reference);
    out.status = core::Payout::map(transfer.status);
    out.raw_status = std::string(transfer.status);
    out.message = non_empty(transfer.message);
    out.source_account = non_empty(transfer.source_account);
    out.destination_account = non_empty(transfer.destination_account);
    out.ach_number = non_empty(transfer.ach_number);
    out.recipient_number = non_empty(transfer.recipient_number);
    out.recipient_document_id = non_empty(transfer.recipient_document_id);
    out.recipient_name = non_empty(transfer.recipient_name);
    out.transaction_at = non_empty(transfer.transaction_at);
    out.bank_code = non_empty(transfer.bank_code);
    out.bank_name = non_empty(transfer.bank_name);
    out.amount = transfer.amount;
    out.currency = non_empty(transfer.currency);
    return out;
}

BatchStatus from_wire(const wire::WBatchStatus& status) {
    BatchStatus out;
    out.batch_number = non_empty(status.batch_number);
    out.transfers.reserve(status.transfers.size());
    for (const wire::WTransfer& transfer : status.transfers) out.transfers.push_back(from_wire(transfer));
    return out;
}

BatchTransferResult from_wire(const wire::WAuthorized& transfer) {
    BatchTransferResult out;
    out.transaction_id = std::string(transfer.transaction_id);
    out.status = core::Payout::map(transfer.status);
    out.raw_status = std::string(transfer.status);
    out.reference = non_empty(transfer.reference);
    out.message = non_empty(transfer.message);
    return out;
}

BatchAuthorization from_wire(const wire::Authorized& authorized) {
    BatchAuthorization out;
    out.batch_number = std::string(authorized.batch_number);
    out.process_id = std::string(authorized.process_id);
    out.transfers.reserve(authorized.transfers.size());
    for (const wire::WAuthorized& transfer : authorized.transfers) out.transfers.push_back(from_wire(transfer));
    return out;
}

Bank from_wire(const wire::WBank& bank) { return Bank{std::string(bank.code), non_empty(bank.name)}; }

}  // namespace quorvel_bo::payouts::model
