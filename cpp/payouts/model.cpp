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

}  // namespace quorvel_bo::payouts::model
