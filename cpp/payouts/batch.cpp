// Batch transfers: input checks, request building and reading the provider's batch answers.
#include "payouts/batch.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/envelope.hpp"
#include "core/text.hpp"
#include "core/validate.hpp"
#include "payouts/validate.hpp"

namespace quorvel_bo::payouts::batch {

namespace {

using core::fail;
using core::HttpRequest;
using core::HttpResponse;
using core::propagate;
using core::Result;
using core::json::Arena;

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

// The path below the batch API's prefix.
std::string path(std::string_view relative) {
    std::string out(kPathPrefix);
    out += '/';
    out += relative;
    return out;
}

std::string branch_city_message() {
    std::string message = "one of ";
    for (std::size_t i = 0; i < kBranchCities.size(); ++i) {
        if (i != 0) message += ", ";
        message += kBranchCities[i];
    }
    return message;
}

// The transaction ids met so far: open addressing over a flat table of small slots, so that a
// batch of many transfers costs one probe per id rather than a node allocation and a division.
class SeenIds {
public:
    explicit SeenIds(std::size_t expected) {
        std::size_t capacity = 16;
        while (capacity < expected * 2) capacity *= 2;
        slots_.resize(capacity);
        ids_.reserve(expected);
    }
    // False when `id` was inserted before.
    bool insert(std::string_view id) {
        const std::size_t hash = std::hash<std::string_view>{}(id);
        const auto tag = static_cast<std::uint32_t>(hash >> 32);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (slot.index == 0) {
                ids_.push_back(id);
                slot = Slot{tag, static_cast<std::uint32_t>(ids_.size())};
                return true;
            }
            if (slot.tag == tag && ids_[slot.index - 1] == id) return false;
        }
    }

private:
    struct Slot {
        std::uint32_t tag = 0;
        std::uint32_t index = 0;  // 1 + position in ids_; 0 for a free slot
    };
    std::vector<Slot> slots_;
    std::vector<std::string_view> ids_;
};

// What the checks make of a transfer besides its own texts.
struct Mapped {
    std::string_view city;
    std::string_view amount;  // the text of a JSON number
};

// Checks one transfer and works out its branch city and amount text.
Result<Mapped> map_transfer(const model::BatchTransfer& t, SeenIds& seen, Arena& arena) {
    if (auto ok = validate::identifier("transfers.transaction_id", t.transaction_id, 3, 14); !ok) return propagate(ok);
    if (!seen.insert(t.transaction_id))
        return fail(core::validation("transfers.transaction_id", std::string(kUniqueInBatch)));
    if (auto days = core::iso_date_days("transfers.date", t.date); !days) return propagate(days);
    if (auto ok = validate::digits("transfers.source_account", t.source_account, 6, 30); !ok) return propagate(ok);
    if (auto ok = validate::digits("transfers.destination_account", t.destination_account, 6, 30); !ok)
        return propagate(ok);
    if (auto ok = validate::digits("transfers.bank_code", t.bank_code, 3, 8); !ok) return propagate(ok);
    std::string city = core::text::ascii_upper(core::text::trim(t.branch_city));
    if (std::find(kBranchCities.begin(), kBranchCities.end(), city) == kBranchCities.end())
        return fail(core::validation("transfers.branch_city", branch_city_message()));
    if (auto ok = validate::text("transfers.description", t.description, 3, 80); !ok) return propagate(ok);
    if (auto ok = validate::identifier("transfers.recipient_document_id", t.recipient_document_id, 5, 20); !ok)
        return propagate(ok);
    if (auto ok = validate::text("transfers.recipient_name", t.recipient_name, 3, 80); !ok) return propagate(ok);
    if (std::find(kCurrencyCodes.begin(), kCurrencyCodes.end(), t.currency) == kCurrencyCodes.end())
        return fail(core::validation("transfers.currency", std::string(kCurrencies)));
    auto amount = core::amount::validate("transfers.amount", t.amount);
    if (!amount) return propagate(amount);
    auto number = core::amount::to_json_number(*amount, arena);
    if (!number) return propagate(number);
    return Mapped{arena.copy(city), number->text()};
}

// The transfers of a batch in the provider's form, each made when it is written: a batch of many
// transfers never exists as a tree of values or as a second list.
class ProviderTransfers {
public:
    ProviderTransfers(const std::vector<model::BatchTransfer>& transfers, const std::vector<Mapped>& mapped)
        : transfers_(transfers), mapped_(mapped) {}
    std::size_t size() const noexcept { return transfers_.size(); }
    wire::WBatchTransfer operator[](std::size_t i) const {
        const model::BatchTransfer& t = transfers_[i];
        return {.transaction_id = t.transaction_id,
                .amount = core::json::NumberText{mapped_[i].amount},
                .date = t.date,
                .source_account = t.source_account,
                .destination_account = t.destination_account,
                .bank_code = t.bank_code,
                .branch_city = mapped_[i].city,
                .description = core::text::trim(t.description),
                .recipient_document_id = t.recipient_document_id,
                .recipient_name = core::text::trim(t.recipient_name),
                .currency = t.currency};
    }

private:
    const std::vector<model::BatchTransfer>& transfers_;
    const std::vector<Mapped>& mapped_;
};

// The body of an authorisation request.
struct WAuthorizeRequest {
    std::string_view process_id;
    core::json::Each<ProviderTransfers> transfers;
    std::string_view webhook_url;
};

}  // namespace

Result<HttpRequest> request(const core::Ctx& ctx, core::Method method, std::string_view path,
                            std::string_view branch_code, std::optional<std::string> body) {
    const core::HeaderPair extra[] = {{kBranchCodeHeader, branch_code}};
    auto headers = ctx.api_headers_with(extra);
    if (!headers) return propagate(headers);
    return HttpRequest{method, ctx.config.url(batch::path(path)), std::move(*headers), std::move(body)};
}

Result<HttpRequest> BanksOp::request(const core::Ctx& ctx, const Input& input) {
    if (auto ok = validate::identifier("branch_code", input.branch_code, 1, 20); !ok) return propagate(ok);
    return batch::request(ctx, core::Method::POST, kBanksPath, input.branch_code, std::nullopt);
}

Result<std::vector<model::Bank>> BanksOp::response(const Input&, const HttpResponse& response) {
    Arena arena;
    auto banks = core::CodeData::open<std::vector<wire::WBank>>(response, arena);
    if (!banks) return propagate(banks);
    std::vector<model::Bank> out;
    out.reserve(banks->size());
    for (const wire::WBank& bank : *banks) out.push_back(model::from_wire(bank));
    return out;
}

Result<HttpRequest> AuthorizeBatchOp::request(const core::Ctx& ctx, const Input& input) {
    if (auto ok = validate::identifier("branch_code", input.branch_code, 1, 20); !ok) return propagate(ok);
    if (auto ok = validate::uuid("process_id", input.process_id); !ok) return propagate(ok);
    auto webhook_url = validate::webhook(input.webhook_url, input.webhook_token);
    if (!webhook_url) return propagate(webhook_url);
    if (input.transfers.empty()) return fail(core::validation("transfers", std::string(kAtLeastOneTransfer)));

    Arena arena;
    std::vector<Mapped> mapped;
    mapped.reserve(input.transfers.size());
    SeenIds seen(input.transfers.size());
    for (const model::BatchTransfer& transfer : input.transfers) {
        auto one = map_transfer(transfer, seen, arena);
        if (!one) return propagate(one);
        mapped.push_back(*one);
    }
    const ProviderTransfers transfers(input.transfers, mapped);
    std::string body = core::json::to_text(WAuthorizeRequest{input.process_id, {&transfers}, *webhook_url});
    return batch::request(ctx, core::Method::POST, kAuthorizePath, input.branch_code, std::move(body));
}

Result<model::BatchAuthorization> AuthorizeBatchOp::response(const Input&, const HttpResponse& response) {
    Arena arena;
    auto authorized = core::CodeData::open<wire::Authorized>(response, arena);
    if (!authorized) return propagate(authorized);
    return model::from_wire(*authorized);
}

Result<HttpRequest> BatchStatusOp::request(const core::Ctx& ctx, const Input& input) {
    if (auto ok = validate::identifier("branch_code", input.branch_code, 1, 20); !ok) return propagate(ok);
    if (auto ok = validate::uuid("process_id", input.process_id); !ok) return propagate(ok);
    std::string path(kStatusPath);
    path += input.process_id;
    path += '?';
    if (input.batch_number) {
        if (input.transaction_id) return fail(core::validation("batch_number", std::string(kExactlyOneQuery)));
        if (auto ok = validate::identifier("batch_number", *input.batch_number, 1, 20); !ok) return propagate(ok);
        path += "nroLote=";
        path += *input.batch_number;
    } else {
        if (!input.transaction_id) return fail(core::validation("batch_number", std::string(kExactlyOneQuery)));
        if (auto ok = validate::identifier("transaction_id", *input.transaction_id, 3, 36); !ok) return propagate(ok);
        path += "transaccionId=";
        path += *input.transaction_id;
    }
    return batch::request(ctx, core::Method::GET, path, input.branch_code, std::nullopt);
}

Result<model::BatchStatus> BatchStatusOp::response(const Input&, const HttpResponse& response) {
    // The body's tree goes as soon as its transfers are read; what they view stays in `strings`.
    Arena strings;
    Result<wire::WBatchStatus> status;
    {
        Arena tree(strings);
        status = core::CodeData::open<wire::WBatchStatus>(response, tree);
    }
    if (!status) return propagate(status);
    return model::from_wire(*status);
}

}  // namespace quorvel_bo::payouts::batch

namespace quorvel_bo::core::json {

template <>
struct Fields<payouts::batch::WAuthorizeRequest> {
    using R = payouts::batch::WAuthorizeRequest;
    static constexpr std::string_view name = "WAuthorizeRequest";
    static constexpr auto list = std::tuple{
        field("processId", &R::process_id),
        field("transacciones", &R::transfers),
        field("webhookUrl", &R::webhook_url),
    };
};

}  // namespace quorvel_bo::core::json
