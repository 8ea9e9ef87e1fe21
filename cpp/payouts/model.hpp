// Caller-side records with English keys: operation inputs (read strictly) and results (every key written).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/amount.hpp"
#include "core/record.hpp"
#include "core/status.hpp"
#include "payouts/wire.hpp"

namespace quorvel_bo::payouts::model {

using core::Decimal;
using core::PaymentStatus;
// An optional text the record owns.
using OptionalText = std::optional<std::string>;

// A scanned QR and its recipient are results (owning their texts, Text = std::string) and part of
// a payment's input (viewing the payload they were read from, Text = std::string_view).
template <class Text>
struct RecipientOf {
    std::optional<Text> account;
    std::optional<Text> document_id;
    std::optional<Text> holder;
    std::optional<Text> bank_code;
    std::optional<Text> bank_name;
};
using Recipient = RecipientOf<std::string>;

template <class Text>
struct ScannedQrOf {
    Text reference;
    Decimal amount;
    std::optional<Text> currency;
    std::optional<Text> description;
    RecipientOf<Text> recipient;
    std::optional<Text> expires_on;
};
using ScannedQr = ScannedQrOf<std::string>;

// Inputs of the QR operations view the payload they were read from, which outlives their use.
struct ScanQr {
    std::string_view qr_text;
};

struct PayQr {
    ScannedQrOf<std::string_view> scanned;
    std::string_view source_account;
    std::string_view transaction_id;
    std::optional<Decimal> amount;
    std::optional<std::string_view> description;
};

struct PayoutRef {
    std::string_view reference;
};

struct Payout {
    std::string reference;
    OptionalText transaction_id;
    OptionalText transaction_at;
    PaymentStatus status = PaymentStatus::unknown;
    std::string raw_status;
    OptionalText message;
    std::optional<Decimal> amount;
    OptionalText currency;
    OptionalText description;
    OptionalText source_account;
    OptionalText source_holder;
    Recipient recipient;
    OptionalText ach_order_number;
};

ScannedQr from_wire(const wire::Scan& scan);
Payout from_wire(const wire::WPayout& payout);

// The currency of a batch transfer that names none.
std::string_view default_currency();

// Batch inputs view the payload they were read from: a batch may hold many transfers.
struct BatchTransfer {
    std::string_view transaction_id;
    Decimal amount;
    std::string_view date;
    std::string_view source_account;
    std::string_view destination_account;
    std::string_view bank_code;
    std::string_view branch_city;
    std::string_view description;
    std::string_view recipient_document_id;
    std::string_view recipient_name;
    std::string_view currency;
};

struct AuthorizeBatch {
    std::string_view branch_code;
    std::string_view process_id;
    std::string_view webhook_url;
    std::string_view webhook_token;
    std::vector<BatchTransfer> transfers;
};

struct BatchQuery {
    std::string branch_code;
    std::string process_id;
    OptionalText batch_number;
    OptionalText transaction_id;
};

struct BanksQuery {
    std::string branch_code;
};

struct BatchTransferStatus {
    OptionalText transaction_id;
    OptionalText reference;
    PaymentStatus status = PaymentStatus::unknown;
    std::string raw_status;
    OptionalText message;
    OptionalText source_account;
    OptionalText destination_account;
    OptionalText ach_number;
    OptionalText recipient_number;
    OptionalText recipient_document_id;
    OptionalText recipient_name;
    OptionalText transaction_at;
    OptionalText bank_code;
    OptionalText bank_name;
    std::optional<Decimal> amount;
    OptionalText currency;
};

struct BatchStatus {
    OptionalText batch_number;
    std::vector<BatchTransferStatus> transfers;
};

struct BatchTransferResult {
    std::string transaction_id;
    PaymentStatus status = PaymentStatus::unknown;
    std::string raw_status;
    OptionalText reference;
    OptionalText message;
};

struct BatchAuthorization {
    std::string batch_number;
    std::string process_id;
    std::vector<BatchTransferResult> transfers;
};

struct Bank {
    std::string code;
    OptionalText name;
};

BatchTransferStatus from_wire(const wire::WTransfer& transfer);
BatchStatus from_wire(const wire::WBatchStatus& status);
BatchTransferResult from_wire(const wire::WAuthorized& transfer);
BatchAuthorization from_wire(const wire::Authorized& authorized);
Bank from_wire(const wire::WBank& bank);

}  // namespace quorvel_bo::payouts::model

namespace quorvel_bo::core::json {

template <class Text>
struct Fields<payouts::model::RecipientOf<Text>> {
    using R = payouts::model::RecipientOf<Text>;
    static constexpr std::string_view name = "Recipient";
    static constexpr auto list = std::tuple{
        field("account", &R::account),     field("document_id", &R::document_id), field("holder", &R::holder),
        field("bank_code", &R::bank_code), field("bank_name", &R::bank_name),
    };
};

template <class Text>
struct Fields<payouts::model::ScannedQrOf<Text>> {
    using R = payouts::model::ScannedQrOf<Text>;
    static constexpr std::string_view name = "ScannedQr";
    static constexpr auto list = std::tuple{
        field("reference", &R::reference),     field("amount", &R::amount),       field("currency", &R::currency),
        field("description", &R::description), field("recipient", &R::recipient), field("expires_on", &R::expires_on),
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

template <>
struct Fields<payouts::model::BatchTransfer> {
    using R = payouts::model::BatchTransfer;
    static constexpr std::string_view name = "BatchTransfer";
    static constexpr auto list = std::tuple{
        field("transaction_id", &R::transaction_id),
        field("amount", &R::amount),
        field("date", &R::date),
        field("source_account", &R::source_account),
        field("destination_account", &R::destination_account),
        field("bank_code", &R::bank_code),
        field("branch_city", &R::branch_city),
        field("description", &R::description),
        field("recipient_document_id", &R::recipient_document_id),
        field("recipient_name", &R::recipient_name),
        field_or("currency", &R::currency, &payouts::model::default_currency),
    };
};

template <>
struct Fields<payouts::model::AuthorizeBatch> {
    using R = payouts::model::AuthorizeBatch;
    static constexpr std::string_view name = "AuthorizeBatch";
    static constexpr auto list = std::tuple{
        field("branch_code", &R::branch_code), field("process_id", &R::process_id),
        field("webhook_url", &R::webhook_url), field("webhook_token", &R::webhook_token),
        field("transfers", &R::transfers),
    };
};

template <>
struct Fields<payouts::model::BatchQuery> {
    using R = payouts::model::BatchQuery;
    static constexpr std::string_view name = "BatchQuery";
    static constexpr auto list = std::tuple{
        field("branch_code", &R::branch_code),
        field("process_id", &R::process_id),
        field("batch_number", &R::batch_number),
        field("transaction_id", &R::transaction_id),
    };
};

template <>
struct Fields<payouts::model::BanksQuery> {
    static constexpr std::string_view name = "BanksQuery";
    static constexpr auto list = std::tuple{field("branch_code", &payouts::model::BanksQuery::branch_code)};
};

template <>
struct Fields<payouts::model::BatchTransferStatus> {
    using R = payouts::model::BatchTransferStatus;
    static constexpr std::string_view name = "BatchTransferStatus";
    static constexpr auto list = std::tuple{
        field("transaction_id", &R::transaction_id),
        field("reference", &R::reference),
        field("status", &R::status),
        field("raw_status", &R::raw_status),
        field("message", &R::message),
        field("source_account", &R::source_account),
        field("destination_account", &R::destination_account),
        field("ach_number", &R::ach_number),
        field("recipient_number", &R::recipient_number),
        field("recipient_document_id", &R::recipient_document_id),
        field("recipient_name", &R::recipient_name),
        field("transaction_at", &R::transaction_at),
        field("bank_code", &R::bank_code),
        field("bank_name", &R::bank_name),
        field("amount", &R::amount),
        field("currency", &R::currency),
    };
};

template <>
struct Fields<payouts::model::BatchStatus> {
    using R = payouts::model::BatchStatus;
    static constexpr std::string_view name = "BatchStatus";
    static constexpr auto list = std::tuple{
        field("batch_number", &R::batch_number),
        field("transfers", &R::transfers),
    };
};

template <>
struct Fields<payouts::model::BatchTransferResult> {
    using R = payouts::model::BatchTransferResult;
    static constexpr std::string_view name = "BatchTransferResult";
    static constexpr auto list = std::tuple{
        field("transaction_id", &R::transaction_id), field("status", &R::status),   field("raw_status", &R::raw_status),
        field("reference", &R::reference),           field("message", &R::message),
    };
};

template <>
struct Fields<payouts::model::BatchAuthorization> {
    using R = payouts::model::BatchAuthorization;
    static constexpr std::string_view name = "BatchAuthorization";
    static constexpr auto list = std::tuple{
        field("batch_number", &R::batch_number),
        field("process_id", &R::process_id),
        field("transfers", &R::transfers),
    };
};

template <>
struct Fields<payouts::model::Bank> {
    using R = payouts::model::Bank;
    static constexpr std::string_view name = "Bank";
    static constexpr auto list = std::tuple{
        field("code", &R::code),
        field("name", &R::name),
    };
};

}  // namespace quorvel_bo::core::json
