// Throughput of the JSON reader next to simdjson's own DOM parse of the same documents.
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <cstddef>
#include <string>

#include "core/json.hpp"

namespace {

namespace json = quorvel_bo::core::json;

constexpr std::size_t kSmall = std::size_t{1} << 20;
constexpr std::size_t kLarge = 30 * (std::size_t{1} << 20);

// A batch authorisation payload of about `bytes` bytes: the shape the core reads most.
std::string transfers_document(std::size_t bytes) {
    std::string out =
        "{\"config\":{\"client_id\":\"bo-payouts-prod-7\",\"environment\":\"sandbox\"},\"token\":{\"access_token\":"
        "\"eyJhbGciOiJSUzI1NiJ9.eyJzdWIiOiJiby1wYXlvdXRzIn0.c2ln\",\"token_type\":\"Bearer\",\"expires_at\":"
        "1767225600},\"input\":{\"branch_code\":\"SUC-01\",\"process_id\":\"5b0f8f0e-2f7c-4d7e-9a53-0c5d2e7b9f11\","
        "\"webhook_url\":\"https://payouts.example.com/hooks/batch\",\"webhook_token\":\"s3cr3t-t0ken-2024-xyz\","
        "\"transfers\":[";
    static constexpr const char* kNames[] = {"Maria Quispe Mamani", "Juan Condori Flores", "Ana Choque Vargas",
                                             "Luis Rojas Apaza", "Jos\\u00e9 Pe\\u00f1a Gutierrez"};
    for (std::size_t i = 0; out.size() < bytes; ++i) {
        if (i != 0) out += ',';
        const std::string n = std::to_string(i);
        out += "{\"transaction_id\":\"TRX-" + n + "\",\"amount\":\"" + std::to_string(100 + i * 37 % 9000) + "." +
               std::to_string(10 + i % 90) +
               "\",\"date\":\"2026-12-07\",\"source_account\":\"2012345678\","
               "\"destination_account\":\"" +
               std::to_string(3000000000 + i * 7919) + "\",\"bank_code\":\"" + std::to_string(1001 + i % 12) +
               "\",\"branch_city\":\"lpz\",\"description\":\"Sueldo diciembre " + "planilla " + std::to_string(i % 40) +
               "\",\"recipient_document_id\":\"" + std::to_string(4500000 + i) + "\",\"recipient_name\":\"" +
               kNames[i % 5] + "\"}";
    }
    out += "]}}";
    return out;
}

// A provider answer of about `bytes` bytes: numbers, nulls and nested objects as well as strings.
std::string status_document(std::size_t bytes) {
    std::string out = "{\"code\":\"00\",\"data\":{\"nroLote\":7781,\"transacciones\":[";
    for (std::size_t i = 0; out.size() < bytes; ++i) {
        if (i != 0) out += ',';
        const std::string n = std::to_string(i);
        out += "{\"nroLote\":7781,\"transaccionId\":\"TRX-" + n +
               "\",\"numeroReferencia\":" + std::to_string(880000000 + i) +
               ",\"estado\":\"PAGADO\",\"mensaje\":" + (i % 4 == 0 ? "\"Transferencia procesada\"" : "null") +
               ",\"cuentaOrigen\":\"2012345678\",\"codigoBanco\":" + std::to_string(1001 + i % 12) +
               ",\"importe\":" + std::to_string(100 + i % 9000) + ".5,\"flags\":[true,false],\"moneda\":\"BOB\"}";
    }
    out += "]}}";
    return out;
}

std::string document(std::size_t bytes, bool status) {
    return status ? status_document(bytes) : transfers_document(bytes);
}

// The reader as the core calls it: validation, the DOM in a fresh arena, nothing kept between calls.
void BM_Reader(benchmark::State& state) {
    const std::string text = document(static_cast<std::size_t>(state.range(0)), state.range(1) != 0);
    for (auto _ : state) {
        json::Arena arena;
        auto value = json::parse(text, arena);
        if (!value) state.SkipWithError("the reader refused the document");
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// simdjson's DOM parser kept across iterations (its intended use): buffers allocated once.
void BM_SimdjsonDom(benchmark::State& state) {
    const simdjson::padded_string text(document(static_cast<std::size_t>(state.range(0)), state.range(1) != 0));
    simdjson::dom::parser parser;
    for (auto _ : state) {
        simdjson::dom::element root;
        if (parser.parse(text).get(root)) state.SkipWithError("simdjson refused the document");
        benchmark::DoNotOptimize(root);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
    state.SetLabel(simdjson::get_active_implementation()->name());
}

// simdjson's DOM parser made anew for each document, as a call of the core does with its own state.
void BM_SimdjsonDomFresh(benchmark::State& state) {
    const simdjson::padded_string text(document(static_cast<std::size_t>(state.range(0)), state.range(1) != 0));
    for (auto _ : state) {
        simdjson::dom::parser parser;
        simdjson::dom::element root;
        if (parser.parse(text).get(root)) state.SkipWithError("simdjson refused the document");
        benchmark::DoNotOptimize(root);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// Arguments: document size, shape (0 transfers, 1 provider status answer).
void Sizes(benchmark::internal::Benchmark* b) {
    b->ArgNames({"bytes", "status"});
    for (std::int64_t shape : {0, 1})
        for (std::size_t bytes : {kSmall, kLarge}) b->Args({static_cast<std::int64_t>(bytes), shape});
    b->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Reader)->Apply(Sizes);
BENCHMARK(BM_SimdjsonDom)->Apply(Sizes);
BENCHMARK(BM_SimdjsonDomFresh)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();
