// Provider-side records with the provider's Spanish keys: its answers, read leniently, whose
// strings view the provider's body (or the arena it was read into), so they are converted while
// both live; and the transfer of an authorisation request, which is only ever written.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/amount.hpp"
#include "core/record.hpp"

namespace quorvel_bo::payouts {

// A string or a number as text (numbers keep their exact text); anything else counts as absent.
std::optional<std::string_view> opt_text(const core::json::Value& value);
// Trimmed text, or none when absent or blank.
std::optional<std::string> non_empty(std::optional<std::string_view> text);

namespace wire {

using core::Decimal;
// An optional text viewing the provider's body.
using OptionalView = std::optional<std::string_view>;

// Reading mode of an optional identifier: string or number, anything else absent.
struct OptText {
    static core::json::Decoded<OptionalView> decode(const core::json::Value& v) { return opt_text(v); }
};

inline constexpr std::string_view kExpectedStringOrNumber = "expected a string or number";

// Reading mode of a required identifier: string or number, anything else fails.
struct RequiredText {
    static core::json::Decoded<std::string_view> decode(const core::json::Value& v) {
        auto text = opt_text(v);
        if (!text) return core::json::decode_failure(std::string(kExpectedStringOrNumber), v);
        return *text;
    }
};

struct Scan {
    std::string_view reference;
    std::optional<Decimal> amount;
    OptionalView currency;
    OptionalView description;
    OptionalView account;
    OptionalView document_id;
    OptionalView holder;
    OptionalView bank_code;
    OptionalView bank_name;
    OptionalView expires_on;
};

struct WPayout {
    std::string_view reference;
    OptionalView transaction_id;
    OptionalView transaction_at;
    std::string_view status;
    OptionalView message;
    std::optional<Decimal> amount;
    OptionalView currency;
    OptionalView description;
    OptionalView source_account;
    OptionalView source_holder;
    OptionalView account;
    OptionalView holder;
    OptionalView document_id;
    OptionalView bank_code;
    OptionalView bank_name;
    OptionalView ach_order_number;
};

struct WTransfer {
    OptionalView batch_number;
    OptionalView transaction_id;
    OptionalView reference;
    std::string_view status;
    OptionalView message;
    OptionalView source_account;
    OptionalView destination_account;
    OptionalView ach_number;
    OptionalView recipient_number;
    OptionalView recipient_document_id;
    OptionalView recipient_name;
    OptionalView transaction_at;
    OptionalView bank_code;
    OptionalView bank_name;
    std::optional<Decimal> amount;
    OptionalView currency;
};

struct WBatchStatus {
    OptionalView batch_number;
    std::vector<WTransfer> transfers;
};

struct WAuthorized {
    std::string_view transaction_id;
    std::string_view status;
    OptionalView reference;
    OptionalView message;
};

struct Authorized {
    std::string_view batch_number;
    std::string_view process_id;
    std::vector<WAuthorized> transfers;
};

struct WBank {
    std::string_view code;
    OptionalView name;
};

// One transfer of an authorisation request, as the provider reads it; its texts view the caller's
// input and what the checks made of it.
struct WBatchTransfer {
    std::string_view transaction_id;
    core::json::NumberText amount;
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

}  // namespace wire
}  // namespace quorvel_bo::payouts

namespace quorvel_bo::core::json {

template <>
struct Fields<payouts::wire::Scan> {
    using R = payouts::wire::Scan;
    using OptText = payouts::wire::OptText;
    // The record's name in decoding messages, as the provider's answers have always been described.
    static constexpr std::string_view name = "Scan";
    static constexpr auto list = std::tuple{
        field_with<payouts::wire::RequiredText>("numeroReferencia", &R::reference),
        field("importe", &R::amount),
        field("moneda", &R::currency),
        field("glosa", &R::description),
        field_with<OptText>("cuentaDestino", &R::account),
        field_with<OptText>("ciNitDestino", &R::document_id),
        field("titularDestino", &R::holder),
        field_with<OptText>("codigoBancoDestino", &R::bank_code),
        field("nombreBancoDestino", &R::bank_name),
        field("fechaVencimiento", &R::expires_on),
    };
};

template <>
struct Fields<payouts::wire::WPayout> {
    using R = payouts::wire::WPayout;
    using OptText = payouts::wire::OptText;
    static constexpr std::string_view name = "WPayout";
    static constexpr auto list = std::tuple{
        field_with<payouts::wire::RequiredText>("numeroReferencia", &R::reference),
        field_with<OptText>("transaccionId", &R::transaction_id),
        field("fechaHoraTransaccion", &R::transaction_at),
        field("estado", &R::status),
        field("mensaje", &R::message),
        field("importe", &R::amount),
        field("moneda", &R::currency),
        field("glosa", &R::description),
        field_with<OptText>("cuentaOrigen", &R::source_account),
        field("titularOrigen", &R::source_holder),
        field_with<OptText>("cuentaDestino", &R::account),
        field("titularDestino", &R::holder),
        field_with<OptText>("ciNitDestino", &R::document_id),
        field_with<OptText>("codigoBancoDestino", &R::bank_code),
        field("nombreBancoDestino", &R::bank_name),
        field_with<OptText>("numOrdenAch", &R::ach_order_number),
    };
};

template <>
struct Fields<payouts::wire::WTransfer> {
    using R = payouts::wire::WTransfer;
    using OptText = payouts::wire::OptText;
    static constexpr std::string_view name = "WTransfer";
    static constexpr auto list = std::tuple{
        field_with<OptText>("nroLote", &R::batch_number),
        field_with<OptText>("transaccionId", &R::transaction_id),
        field_with<OptText>("numeroReferencia", &R::reference),
        field("estado", &R::status),
        field("mensaje", &R::message),
        field_with<OptText>("cuentaOrigen", &R::source_account),
        field_with<OptText>("cuentaDestino", &R::destination_account),
        field_with<OptText>("numeroAch", &R::ach_number),
        field_with<OptText>("numeroDestinatario", &R::recipient_number),
        field_with<OptText>("ciCliente", &R::recipient_document_id),
        field("nombreCliente", &R::recipient_name),
        field("fechaHoraTransaccion", &R::transaction_at),
        field_with<OptText>("codigoBanco", &R::bank_code),
        field("nombreBanco", &R::bank_name),
        field("importe", &R::amount),
        field("moneda", &R::currency),
    };
};

template <>
struct Fields<payouts::wire::WBatchStatus> {
    using R = payouts::wire::WBatchStatus;
    static constexpr std::string_view name = "WBatchStatus";
    static constexpr auto list = std::tuple{
        field_with<payouts::wire::OptText>("nroLote", &R::batch_number),
        field_or_empty("transacciones", &R::transfers),
    };
};

template <>
struct Fields<payouts::wire::WAuthorized> {
    using R = payouts::wire::WAuthorized;
    static constexpr std::string_view name = "WAuthorized";
    static constexpr auto list = std::tuple{
        field_with<payouts::wire::RequiredText>("transaccionId", &R::transaction_id),
        field("estado", &R::status),
        field_with<payouts::wire::OptText>("numeroReferencia", &R::reference),
        field("mensaje", &R::message),
    };
};

template <>
struct Fields<payouts::wire::Authorized> {
    using R = payouts::wire::Authorized;
    using RequiredText = payouts::wire::RequiredText;
    // The record's name in decoding messages, as the provider's answers have always been described.
    static constexpr std::string_view name = "Authorized";
    static constexpr auto list = std::tuple{
        field_with<RequiredText>("nroLote", &R::batch_number),
        field_with<RequiredText>("processId", &R::process_id),
        field_or_empty("transacciones", &R::transfers),
    };
};

template <>
struct Fields<payouts::wire::WBank> {
    using R = payouts::wire::WBank;
    static constexpr std::string_view name = "WBank";
    static constexpr auto list = std::tuple{
        field_with<payouts::wire::RequiredText>("codigoBanco", &R::code),
        field("descripcion", &R::name),
    };
};

template <>
struct Fields<payouts::wire::WBatchTransfer> {
    using R = payouts::wire::WBatchTransfer;
    static constexpr std::string_view name = "WBatchTransfer";
    static constexpr auto list = std::tuple{
        field("transaccionId", &R::transaction_id),
        field("importe", &R::amount),
        field("fechaTransaccion", &R::date),
        field("cuentaOrigen", &R::source_account),
        field("cuentaDestino", &R::destination_account),
        field("codeBanco", &R::bank_code),
        field("codeSucursal", &R::branch_city),
        field("glosa", &R::description),
        field("ciNitDestino", &R::recipient_document_id),
        field("titularDestino", &R::recipient_name),
        field("tipoMoneda", &R::currency),
    };
};

}  // namespace quorvel_bo::core::json
