// QR payouts: request building with the input checks, and reading the provider's answers.
#include "payouts/qr.hpp"

#include <array>

#include "core/envelope.hpp"
#include "core/text.hpp"
#include "core/validate.hpp"
#include "payouts/validate.hpp"

namespace quorvel_bo::payouts::qr {

namespace {

using core::Error;
using core::ErrorKind;
using core::fail;
using core::HttpRequest;
using core::HttpResponse;
using core::propagate;
using core::Result;
using core::json::Arena;
using core::json::Member;
using core::json::Value;

constexpr std::string_view kScanPath = "scan";
constexpr std::string_view kConfirmPath = "confirm";
constexpr std::string_view kStatusPath = "/status/";
constexpr std::string_view kFixedAmountText = "0.00";
constexpr std::string_view kFixedAmountGiven = "the QR has a fixed amount; omit it";
constexpr std::string_view kAmountRequired = "required: the QR has no amount";
constexpr std::string_view kDescriptionRequired = "required: the QR has no description";
// Provider codes after which the payment may or may not have gone through.
constexpr std::array<std::string_view, 2> kAmbiguousCodes = {"94", "96"};

Result<model::Payout> read_payout(const HttpResponse& response) {
    Arena arena;
    auto payout = core::CodeData::open<wire::WPayout>(response, arena);
    if (!payout) return propagate(payout);
    return model::from_wire(*payout);
}

bool is_ambiguous(const Error& error) {
    for (const core::ApiFieldError& entry : error.errors)
        for (std::string_view code : kAmbiguousCodes)
            if (entry.code == code) return true;
    return false;
}

}  // namespace

Result<HttpRequest> post(const core::Ctx& ctx, std::string_view sub_path, const Value& body) {
    auto headers = ctx.api_headers();
    if (!headers) return propagate(headers);
    std::string path(kPathPrefix);
    path += '/';
    path += sub_path;
    return HttpRequest{core::Method::POST, ctx.config.url(path), std::move(*headers), core::json::to_string(body)};
}

Result<HttpRequest> ScanOp::request(const core::Ctx& ctx, const Input& input) {
    if (auto ok = core::require_text("qr_text", input.qr_text); !ok) return propagate(ok);
    const Member members[] = {{"imagen", Value::string(core::text::trim(input.qr_text))}};
    return post(ctx, kScanPath, Value::object(members));
}

Result<model::ScannedQr> ScanOp::response(const Input&, const HttpResponse& response) {
    Arena arena;
    auto scan = core::CodeData::open<wire::Scan>(response, arena);
    if (!scan) return propagate(scan);
    return model::from_wire(*scan);
}

Result<HttpRequest> PayOp::request(const core::Ctx& ctx, const Input& input) {
    if (auto ok = validate::digits("scanned.reference", input.scanned.reference, 1, 20); !ok) return propagate(ok);
    if (auto ok = validate::digits("source_account", input.source_account, 6, 20); !ok) return propagate(ok);
    if (auto ok = validate::identifier("transaction_id", input.transaction_id, 1, 32); !ok) return propagate(ok);

    Arena arena;
    Value amount;
    if (!input.scanned.amount.is_zero()) {
        // A fixed-amount QR is confirmed with zero; a caller amount may only repeat the QR's own.
        if (input.amount && *input.amount != input.scanned.amount)
            return fail(core::validation("amount", std::string(kFixedAmountGiven)));
        amount = Value::number(kFixedAmountText);
    } else {
        if (!input.amount) return fail(core::validation("amount", std::string(kAmountRequired)));
        auto checked = core::amount::validate("amount", *input.amount);
        if (!checked) return propagate(checked);
        auto number = core::amount::to_json_number(*checked, arena);
        if (!number) return propagate(number);
        amount = *number;
    }

    std::array<Member, 5> members = {{
        {"cuentaOrigen", Value::string(input.source_account)},
        {"importe", amount},
        {"numeroReferencia", Value::string(input.scanned.reference)},
        {"transaccionId", Value::string(input.transaction_id)},
        {},
    }};
    std::size_t count = 4;
    bool qr_has_description = input.scanned.description && !core::text::is_blank(*input.scanned.description);
    if (!qr_has_description) {
        if (!input.description) return fail(core::validation("description", std::string(kDescriptionRequired)));
        if (auto ok = validate::text("description", *input.description, 1, 255); !ok) return propagate(ok);
        members[count++] = Member{"glosa", Value::string(core::text::trim(*input.description))};
    }
    return post(ctx, kConfirmPath, Value::object({members.data(), count}));
}

Result<model::Payout> PayOp::response(const Input&, const HttpResponse& response) {
    auto payout = read_payout(response);
    if (!payout && payout.error().kind == ErrorKind::api && is_ambiguous(payout.error())) {
        Error& error = payout.error();
        return fail(core::ambiguous(std::move(error.message), std::move(error.errors)));
    }
    return payout;
}

Result<HttpRequest> PayoutStatusOp::request(const core::Ctx& ctx, const Input& input) {
    if (auto ok = validate::digits("reference", input.reference, 1, 20); !ok) return propagate(ok);
    auto headers = ctx.api_headers();
    if (!headers) return propagate(headers);
    std::string path(kPathPrefix);
    path += kStatusPath;
    path += input.reference;
    return HttpRequest{core::Method::GET, ctx.config.url(path), std::move(*headers), std::nullopt};
}

Result<model::Payout> PayoutStatusOp::response(const Input&, const HttpResponse& response) {
    return read_payout(response);
}

}  // namespace quorvel_bo::payouts::qr
