// Batch transfers: input checks, request building and reading the provider's batch answers.
#include "payouts/batch.hpp"

#include <algorithm>
#include <array>
#include <unordered_set>

#include "core/envelope.hpp"
#include "core/text.hpp"
#include "core/validate.hpp"
#include "payouts/validate.hpp"

namespace quorvel_bo::payouts::batch {

namespace {

using core::fail;
using core::HttpRequest;
using core::HttpResponse;
using core::Result;
using core::Status;
using core::json::Arena;
using core::json::Member;
using core::json::Value;

constexpr std::string_view kBanksPath = "bancos";
constexpr std::string_view kAuthorizePath = "lote/autorizar";
constexpr std::string_view kStatusPath = "lote/estado/";
constexpr std::string_view kAtLeastOneTransfer = "at least one transfer";
constexpr std::string_view kUniqueInBatch = "must be unique in the batch";
constexpr std::string_view kCurrencies = "BOB or USD";
constexpr std::string_view kExactlyOneQuery = "give exactly one of batch_number or transaction_id";
constexpr std::array<std::string_view, 9> kBranchCities = {"CBB", "COB", "LPZ", "ORU", "POT",
                                                           "SCZ", "SUC", "TJA", "TRI"};
constexpr std::array<std::string_view, 2> kCurrencyCodes = {"BOB", "USD"};

std::string branch_city_message() {
    std::string message = "one of ";
    for (std::size_t i = 0; i < kBranchCities.size(); ++i) {
        if (i != 0) message += ", ";
        message += kBranchCities[i];
    }
    return message;
}

// Checks one transfer and writes its provider object into `members` (11 entries).
Status map_transfer(const model::BatchTransfer& t, std::unordered_set<std::string_view>& seen, Member* members,
                    Arena& arena) {
    if (auto ok = validate::identifier("transfers.transaction_id", t.transaction_id, 3, 14); !ok) return ok;
    if (!seen.insert(t.transaction_id).second)
        return fail(core::validation("transfers.transaction_id", std::string(kUniqueInBatch)));
    if (auto days = core::iso_date_days("transfers.date", t.date); !days) return fail(std::move(days.error()));
    if (auto ok = validate::digits("transfers.source_account", t.source_account, 6, 30); !ok) return ok;
    if (auto ok = validate::digits("transfers.destination_account", t.destination_account, 6, 30); !ok) return ok;
    if (auto ok = validate::digits("transfers.bank_code", t.bank_code, 3, 8); !ok) return ok;
    std::string city = core::text::ascii_upper(core::text::trim(t.branch_city));
    if (std::find(kBranchCities.begin(), kBranchCities.end(), city) == kBranchCities.end())
        return fail(core::validation("transfers.branch_city", branch_city_message()));
    if (auto ok = validate::text("transfers.description", t.description, 3, 80); !ok) return ok;
    if (auto ok = validate::identifier("transfers.recipient_document_id", t.recipient_document_id, 5, 20); !ok)
        return ok;
    if (auto ok = validate::text("transfers.recipient_name", t.recipient_name, 3, 80); !ok) return ok;
    if (std::find(kCurrencyCodes.begin(), kCurrencyCodes.end(), t.currency) == kCurrencyCodes.end())
        return fail(core::validation("transfers.currency", std::string(kCurrencies)));
    auto amount = core::amount::validate("transfers.amount", t.amount);
    if (!amount) return fail(std::move(amount.error()));
    auto number = core::amount::to_json_number(*amount, arena);
    if (!number) return fail(std::move(number.error()));

    // Already in ascending key order, so the writer need not sort them.
    const Member fields[] = {
        {"ciNitDestino", Value::string(t.recipient_document_id)},
        {"codeBanco", Value::string(t.bank_code)},
        {"codeSucursal", Value::string(arena.copy(city))},
        {"cuentaDestino", Value::string(t.destination_account)},
        {"cuentaOrigen", Value::string(t.source_account)},
        {"fechaTransaccion", Value::string(t.date)},
        {"glosa", Value::string(core::text::trim(t.description))},
        {"importe", *number},
        {"tipoMoneda", Value::string(t.currency)},
        {"titularDestino", Value::string(core::text::trim(t.recipient_name))},
        {"transaccionId", Value::string(t.transaction_id)},
    };
    std::copy(std::begin(fields), std::end(fields), members);
    return {};
}

}  // namespace

Result<HttpRequest> request(const core::Ctx& ctx, core::Method method, std::string_view path,
                            std::string_view branch_code, const Value* body) {
    const core::HeaderPair extra[] = {{kBranchCodeHeader, branch_code}};
    auto headers = ctx.api_headers_with(extra);
    if (!headers) return fail(std::move(headers.error()));
    std::string relative(kPathPrefix);
    relative += '/';
    relative += path;
    std::optional<std::string> text;
    if (body != nullptr) text = core::json::to_string(*body);
    return HttpRequest{method, ctx.config.url(relative), std::move(*headers), std::move(text)};
}

Result<HttpRequest> BanksOp::request(const core::Ctx& ctx, const Input& input) {
    if (auto ok = validate::identifier("branch_code", input.branch_code, 1, 20); !ok)
        return fail(std::move(ok.error()));
    return batch::request(ctx, core::Method::POST, kBanksPath, input.branch_code, nullptr);
}

Result<std::vector<model::Bank>> BanksOp::response(const Input&, const HttpResponse& response) {
    Arena arena;
    auto banks = core::CodeData::open<std::vector<wire::WBank>>(response, arena);
    if (!banks) return fail(std::move(banks.error()));
    std::vector<model::Bank> out;
    out.reserve(banks->size());
    for (wire::WBank& bank : *banks) out.push_back(model::from_wire(std::move(bank)));
    return out;
}

Result<HttpRequest> AuthorizeBatchOp::request(const core::Ctx& ctx, const Input& input) {
    if (auto ok = validate::identifier("branch_code", input.branch_code, 1, 20); !ok)
        return fail(std::move(ok.error()));
    if (auto ok = validate::uuid("process_id", input.process_id); !ok) return fail(std::move(ok.error()));
    auto webhook_url = validate::webhook(input.webhook_url, input.webhook_token);
    if (!webhook_url) return fail(std::move(webhook_url.error()));
    if (input.transfers.empty()) return fail(core::validation("transfers", std::string(kAtLeastOneTransfer)));

    Arena arena;
    constexpr std::size_t kTransferKeys = 11;
    Value* transfers = arena.allocate<Value>(input.transfers.size());
    std::unordered_set<std::string_view> seen;
    seen.reserve(input.transfers.size());
    for (std::size_t i = 0; i < input.transfers.size(); ++i) {
        Member* members = arena.allocate<Member>(kTransferKeys);
        if (auto ok = map_transfer(input.transfers[i], seen, members, arena); !ok) return fail(std::move(ok.error()));
        std::construct_at(transfers + i, Value::object({members, kTransferKeys}));
    }
    const Member body[] = {
        {"processId", Value::string(input.process_id)},
        {"transacciones", Value::array({transfers, input.transfers.size()})},
        {"webhookUrl", Value::string(*webhook_url)},
    };
    const Value object = Value::object(body);
    return batch::request(ctx, core::Method::POST, kAuthorizePath, input.branch_code, &object);
}

Result<model::BatchAuthorization> AuthorizeBatchOp::response(const Input&, const HttpResponse& response) {
    Arena arena;
    auto authorized = core::CodeData::open<wire::Authorized>(response, arena);
    if (!authorized) return fail(std::move(authorized.error()));
    return model::from_wire(std::move(*authorized));
}

Result<HttpRequest> BatchStatusOp::request(const core::Ctx& ctx, const Input& input) {
    if (auto ok = validate::identifier("branch_code", input.branch_code, 1, 20); !ok)
        return fail(std::move(ok.error()));
    if (auto ok = validate::uuid("process_id", input.process_id); !ok) return fail(std::move(ok.error()));
    std::string path(kStatusPath);
    path += input.process_id;
    path += '?';
    if (input.batch_number) {
        if (input.transaction_id) return fail(core::validation("batch_number", std::string(kExactlyOneQuery)));
        if (auto ok = validate::identifier("batch_number", *input.batch_number, 1, 20); !ok)
            return fail(std::move(ok.error()));
        path += "nroLote=";
        path += *input.batch_number;
    } else {
        if (!input.transaction_id) return fail(core::validation("batch_number", std::string(kExactlyOneQuery)));
        if (auto ok = validate::identifier("transaction_id", *input.transaction_id, 3, 36); !ok)
            return fail(std::move(ok.error()));
        path += "transaccionId=";
        path += *input.transaction_id;
    }
    return batch::request(ctx, core::Method::GET, path, input.branch_code, nullptr);
}

Result<model::BatchStatus> BatchStatusOp::response(const Input&, const HttpResponse& response) {
    Arena arena;
    auto status = core::CodeData::open<wire::WBatchStatus>(response, arena);
    if (!status) return fail(std::move(status.error()));
    return model::from_wire(std::move(*status));
}

}  // namespace quorvel_bo::payouts::batch
