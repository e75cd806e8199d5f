// Reading and writing a command body at the loopback limit (60000 bytes): the largest document the
// agent reads from a peer in one piece.
#include "core/JSON.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

using corvane::JSON;

// A "command" envelope whose parameters hold what large commands carry: a long text to type with
// escapes and non-ASCII letters, and a list of element records as returned by an observation.
std::string commandBody(std::size_t targetBytes) {
    std::string text =
        R"({"v":1,"type":"command","id":"0b8c6f1e-1c2d-4e5f-8a9b-0c1d2e3f4a5b",)"
        R"("command_id":"6f0e9d8c-7b6a-4594-8372-615049382716",)"
        R"("ts":"2026-01-02T03:04:05.678Z","deadline":"2026-01-02T03:04:20.678Z",)"
        R"("action":"desktop_observe","params":{"text":"Grüße aus Köln — \"quoted\",)"
        R"( a\/b\\c\tend. ","elements":[)";
    const std::string tail = "]}}";
    for (int i = 0;; ++i) {
        std::string element = std::string(i == 0 ? "" : ",") + R"({"id":"e)" + std::to_string(i) +
                              R"(","role":")" + (i % 3 == 0 ? "AXButton" : "AXStaticText") +
                              R"(","title":"Élément numéro )" + std::to_string(i) +
                              R"( \/ \"Fenêtre\"","frame":[)" + JSON(12.5 * i).data() +
                              R"(,40.25,120,24],"enabled":)" + (i % 5 != 0 ? "true" : "false") +
                              R"(,"value":)" + (i % 4 == 0 ? "null" : JSON(0.1 * i).data()) + "}";
        if (text.size() + element.size() + tail.size() > targetBytes)
            break;
        text += element;
    }
    text += tail;
    // Written back in the writer's own form, as a peer using this agent's JSON would send it.
    return JSON::parse(text).data();
}

const std::string& body() {
    static const std::string text = commandBody(60000);
    return text;
}

void BM_JSONReadCommandBody(benchmark::State& state) {
    const std::string& text = body();
    for (auto _ : state) {
        JSON value = JSON::parse(text);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.counters["body_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_JSONReadCommandBody);

void BM_JSONWriteCommandBody(benchmark::State& state) {
    const JSON value = JSON::parse(body());
    for (auto _ : state) {
        std::string text = value.data();
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body().size()));
}
BENCHMARK(BM_JSONWriteCommandBody);

// The numbers of state reports and log records alone: byte counts, levels, ratios and instants of
// every magnitude, a few very small or very large ones among them.
JSON numbers() {
    JSON::Array values;
    for (int i = 0; i < 2000; ++i) {
        const double n = i;
        for (const double value : {17179869184.0 + 4096.0 * n, 8192000000.0 + 1000000.0 * n,
                                   static_cast<double>(i % 101), n / 7.0, 1767323045678.0 + n,
                                   1.5e-7 * (n + 1), 1e21 * (n + 1)}) {
            values.emplace_back(value);
        }
    }
    return JSON(std::move(values));
}

void BM_JSONWriteNumbers(benchmark::State& state) {
    const JSON value = numbers();
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string text = value.data();
        bytes = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * value.array()->size()));
}
BENCHMARK(BM_JSONWriteNumbers);

void BM_JSONCompareCommandBody(benchmark::State& state) {
    const JSON a = JSON::parse(body());
    const JSON b = JSON::parse(body());
    for (auto _ : state)
        benchmark::DoNotOptimize(a == b);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body().size()));
}
BENCHMARK(BM_JSONCompareCommandBody);

} // namespace
