// Throughput of the core: header access, logging and whole calls through the datagram entry
// point, without any network. Run: build/bench/tavrix_bench
#include "core/log/text_log_sink.h"
#include "core/proxy/builders.h"
#include "core/proxy/proxy.h"
#include "core/proxy/sip_messages.h"
#include "core/text/message.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

using namespace tavrix;

void BM_GetHeader(benchmark::State& state)
{
    const std::string invite = test::Invite("bob", "a84b4c76e66710@pc33.example");
    for (auto _ : state) {
        benchmark::DoNotOptimize(GetHeader(invite, "Call-ID"));
        benchmark::DoNotOptimize(GetHeader(invite, "Content-Type"));
    }
    state.SetItemsProcessed(state.iterations() * 2);
    state.SetLabel(std::to_string(invite.size()) + "-byte INVITE, 2 lookups per iteration");
}
BENCHMARK(BM_GetHeader);

void BM_WriteLog(benchmark::State& state)
{
    const bool full = state.range(0) != 0;
    NullStatsDisplay display;
    SIP_STATS stats(display);
    TextLogSink sink;
    FixedClock clock("12/5/2026 7:13:08 PM");
    Logger log(sink, clock, stats);
    if (full) {
        sink.SetText(std::string(kLogCap + 1, 'x'));
    }
    std::int64_t n = 0;
    for (auto _ : state) {
        log.WriteLog(Level::Debug, "Sending '200 OK' to 127.0.0.1:5061");
        if (!full && ++n % 256 == 0) {
            sink.SetText(""); // stay well below the cap
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(full ? "full log text (past the cap)" : "empty log text");
}
BENCHMARK(BM_WriteLog)->Arg(0)->Arg(1);

// The engine tests' whole registered call (INVITE, 180, 200, ACK, BYE, 200 in; every answer and
// forward out), under more Call-IDs than slots, so each call finds its old slot reclaimed.
void BM_WholeCall(benchmark::State& state)
{
    const auto level = static_cast<std::int16_t>(state.range(0));
    NullTransport net;
    NullStatsDisplay display;
    TextLogSink sink;
    FixedClock clock("12/5/2026 7:13:08 PM");
    Proxy proxy(net, sink, display, clock, {"127.0.0.1", 5070, "127.0.0.9:5080", level});
    const auto peer = [](const test::Party& p) { return PeerAddress{"", p.ip, p.port}; };
    proxy.ReceiveDatagram(test::Register(test::kAlice, "reg-a", "Expires: 3600\n"),
                          peer(test::kAlice));
    proxy.ReceiveDatagram(test::Register(test::kBob, "reg-b", "Expires: 3600\n"), peer(test::kBob));
    sink.SetText(std::string(kLogCap + 1, 'x'));

    std::vector<std::vector<std::pair<std::string, PeerAddress>>> calls;
    for (const test::Scenario& scenario : test::Scenarios()) {
        if (scenario.name != "call") {
            continue;
        }
        for (int i = 0; i < 256; ++i) {
            auto& call = calls.emplace_back();
            for (const test::Step& step : scenario.steps) {
                std::string text = step.text;
                text.replace(text.find("call-1"), 6, "bench-" + std::to_string(i));
                call.emplace_back(std::move(text), peer(*step.from));
            }
        }
    }
    std::size_t i = 0;
    for (auto _ : state) {
        for (const auto& [text, from] : calls[i++ % calls.size()]) {
            proxy.ReceiveDatagram(text, from);
        }
    }
    if (proxy.Stats().CompletedCalls() == 0) {
        state.SkipWithError("no call completed");
    }
    state.counters["calls/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetLabel(level == 1 ? "LogLevel 1" : "LogLevel 3, full log text");
}
BENCHMARK(BM_WholeCall)->Arg(1)->Arg(3);

} // namespace

BENCHMARK_MAIN();
