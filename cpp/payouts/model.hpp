// Caller-side records with English keys: operation inputs (read strictly) and results (every key written).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/amount.hpp"
#include "core/record.hpp"
#include "core/status.hpp"
#include "payouts/wire.hpp"

namespace quorvel_bo::payouts::model {

using core::Decimal;
using core::PaymentStatus;
using Text = std::optional<std::string>;

struct Recipient {
    Text account;
    Text document_id;
    Text holder;
    Text bank_code;
    Text bank_name;
};

struct ScannedQr {
    std::string reference;
    Decimal amount;
    Text currency;
    Text description;
    Recipient recipient;
    Text expires_on;
};

struct ScanQr {
    std::string qr_text;
};

struct PayQr {
    ScannedQr scanned;
    std::string source_account;
    std::string transaction_id;
    std::optional<Decimal> amount;
    Text description;
};

struct PayoutRef {
    std::string reference;
};

struct Payout {
    std::string reference;
    Text transaction_id;
    Text transaction_at;
    PaymentStatus status = PaymentStatus::unknown;
    std::string raw_status;
    Text message;
    std::optional<Decimal> amount;
    Text currency;
    Text description;
    Text source_account;
    Text source_holder;
    Recipient recipient;
    Text ach_order_number;
};

ScannedQr from_wire(wire::Scan scan);
Payout from_wire(wire::WPayout payout);

}  // namespace quorvel_bo::payouts::model

namespace quorvel_bo::core::json {

template <>
struct Fields<payouts::model::Recipient> {
    using R = payouts::model::Recipient;
    static constexpr std::string_view name = "Recipient";
    static constexpr auto list = std::tuple{
        field("account", &R::account),
        field("document_id", &R::document_id),
        field("holder", &R::holder),
        field("bank_code", &R::bank_code),
        field("bank_name", &R::bank_name),
    };
};

template <>
struct Fields<payouts::model::ScannedQr> {
    using R = payouts::model::ScannedQr;
    static constexpr std::string_view name = "ScannedQr";
    static constexpr auto list = std::tuple{
        field("reference", &R::reference),
        field("amount", &R::amount),
        field("currency", &R::currency),
        field("description", &R::description),
        field("recipient", &R::recipient),
        field("expires_on", &R::expires_on),
    };
};

template <>
struct Fields<payouts::model::ScanQr> {
    static constexpr std::string_view name = "ScanQr";
    static constexpr auto list = std::tuple{field("qr_text", &payouts::model::ScanQr::qr_text)};
};

template <>
struct Fields<payouts::model::PayQr> {
    using R = payouts::model::PayQr;
    static constexpr std::string_view name = "PayQr";
    static constexpr auto list = std::tuple{
        field("scanned", &R::scanned),
        field("source_account", &R::source_account),
        field("transaction_id", &R::transaction_id),
        field("amount", &R::amount),
        field("description", &R::description),
    };
};

template <>
struct Fields<payouts::model::PayoutRef> {
    static constexpr std::string_view name = "PayoutRef";
    static constexpr auto list = std::tuple{field("reference", &payouts::model::PayoutRef::reference)};
};

template <>
struct Fields<payouts::model::Payout> {
    using R = payouts::model::Payout;
    static constexpr std::string_view name = "Payout";
    static constexpr auto list = std::tuple{
        field("reference", &R::reference),
        field("transaction_id", &R::transaction_id),
        field("transaction_at", &R::transaction_at),
        field("status", &R::status),
        field("raw_status", &R::raw_status),
        field("message", &R::message),
        field("amount", &R::amount),
        field("currency", &R::currency),
        field("description", &R::description),
        field("source_account", &R::source_account),
        field("source_holder", &R::source_holder),
        field("recipient", &R::recipient),
        field("ach_order_number", &R::ach_order_number),
    };
};

}  // namespace quorvel_bo::core::json
