// Throughput of the core: header access, logging and whole calls through the datagram entry
// point, without any network. Run: build/bench/tavrix_bench
#include "core/proxy/builders.h"
#include "core/proxy/proxy.h"
#include "core/proxy/sip_messages.h"
#include "core/text/message.h"
#include "mock/memory_log_sink.h"
#include "mock/mock_clock.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
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
    NullStatsDisplay display;
    SIP_STATS stats(display);
    test::DiscardingLogSink sink;
    test::MockClock clock;
    Logger log(sink, clock, stats);
    for (auto _ : state) {
        log.WriteLog(Level::Debug, "Sending '200 OK' to 127.0.0.1:5061");
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("one line, formatted as a text sink writes it");
}
BENCHMARK(BM_WriteLog);

// Resident memory of this process in KiB.
long ResidentKiB()
{
    long pages = 0;
    long resident = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(statm);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// A registration of phone n: its own Call-ID, user and Contact.
std::string Registration(int n)
{
    const std::string user = "u" + std::to_string(n);
    const test::Party phone{user, "127.0.0." + std::to_string(10 + n % 200),
                            static_cast<std::uint16_t>(10000 + n / 200)};
    return test::Register(phone, "reg-" + user, "Expires: 3600\n");
}

// Takes count call slots with live calls: alice (registered first, when she is not) calls a
// user of the default route under a Call-ID of its own each time.
void FillWithCalls(Proxy& proxy, int count)
{
    const PeerAddress alice{"", test::kAlice.ip, test::kAlice.port};
    proxy.ReceiveDatagram(test::Register(test::kAlice, "reg-a", "Expires: 3600\n"), alice);
    for (int n = 0; n < count; ++n) {
        proxy.ReceiveDatagram(test::Invite("seven77", "live-" + std::to_string(n)), alice);
    }
}

// Resident memory of 100,000 live calls, then of 100,000 registrations (a call slot and a
// route each); first of the benchmarks, so the heap is still fresh.
void BM_Memory(benchmark::State& state)
{
    for (auto _ : state) {
        NullTransport net;
        NullStatsDisplay display;
        test::DiscardingLogSink sink;
        test::MockClock clock;
        Proxy proxy(net, sink, display, clock,
                    {"127.0.0.1", 5070, "127.0.0.9:5080", 1, 200000, 200000});
        const long empty = ResidentKiB();
        FillWithCalls(proxy, 100000);
        const long calls = ResidentKiB();
        for (int n = 0; n < 100000; ++n) {
            proxy.ReceiveDatagram(Registration(n), {"", "127.0.0.3", 5063});
        }
        const long registrations = ResidentKiB();
        state.counters["bytes per call slot"] = (calls - empty) * 1024.0 / 100000;
        state.counters["bytes per registration"] = (registrations - calls) * 1024.0 / 100000;
    }
}
BENCHMARK(BM_Memory)->Iterations(1)->Unit(benchmark::kMillisecond);

// The engine tests' whole registered call (INVITE, 180, 200, ACK, BYE, 200 in; every answer and
// forward out), under more Call-IDs than the calls running at once, so each call takes a slot
// as a new one. Arguments: log level, call slots, route slots; half of the routes are
// registrations of other phones, and live calls take half of the call slots.
void BM_WholeCall(benchmark::State& state)
{
    const auto level = static_cast<std::int16_t>(state.range(0));
    const auto slots = static_cast<SlotNumber>(state.range(1));
    const auto routes = static_cast<std::int32_t>(state.range(2));
    NullTransport net;
    NullStatsDisplay display;
    test::DiscardingLogSink sink;
    test::MockClock clock;
    Proxy proxy(net, sink, display, clock,
                {"127.0.0.1", 5070, "127.0.0.9:5080", level, slots, routes});
    const auto peer = [](const test::Party& p) { return PeerAddress{"", p.ip, p.port}; };
    proxy.ReceiveDatagram(test::Register(test::kAlice, "reg-a", "Expires: 3600\n"),
                          peer(test::kAlice));
    proxy.ReceiveDatagram(test::Register(test::kBob, "reg-b", "Expires: 3600\n"), peer(test::kBob));
    for (int n = 0; n < routes / 2; ++n) {
        proxy.ReceiveDatagram(Registration(n), {"", "127.0.0.3", 5063});
    }
    FillWithCalls(proxy, slots / 2 - static_cast<int>(proxy.Calls().Taken()));

    std::vector<std::vector<std::pair<std::string, PeerAddress>>> calls;
    for (int i = 0; i < 256; ++i) {
        auto& call = calls.emplace_back();
        const test::Scenario scenario = test::Scenarios("bench-" + std::to_string(i))[0];
        for (const test::Step& step : scenario.steps) {
            call.emplace_back(step.text, peer(*step.from));
        }
    }
    std::size_t i = 0;
    for (auto _ : state) {
        for (const auto& [text, from] : calls[i++ % calls.size()]) {
            proxy.ReceiveDatagram(text, from);
        }
        if (i % 20000 == 0) {
            proxy.Tick(); // once a second of calls at the highest rates: the sweep visits them all
        }
    }
    if (proxy.Stats().CompletedCalls() == 0) {
        state.SkipWithError("no call completed");
    }
    state.counters["calls/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetLabel(Cat(level == 1 ? "LogLevel 1, " : "LogLevel 3, full log text, ", slots,
                       " slots, ", routes, " routes"));
}
BENCHMARK(BM_WholeCall)
    ->Args({1, 100, 11})
    ->Args({3, 100, 11})
    ->Args({1, 10000, 10000})
    ->Args({1, 1000000, 100000});

// A datagram of up to 65,535 bytes of one hostile shape, as alice's INVITE to bob: its lines
// of one kind fill what the usual headers leave.
std::string Hostile(int shape)
{
    constexpr std::size_t kMax = 65535;
    const std::string head = "INVITE sip:bob@127.0.0.1:5070 SIP/2.0\r\n";
    std::string tail = test::Invite("bob", "hostile");
    tail.erase(0, tail.find("\r\n") + 2);
    const char* const lines[] = {"Via: SIP/2.0/UDP 127.0.0.1:5070;branch=z9hG4bK0123456789abcdef",
                                 "Route: <sip:127.0.0.1:5070;lr>",
                                 "Record-Route: <sip:127.0.0.1:5070;lr>", "X: y"};
    std::string text = head;
    if (shape < 4) {
        while (text.size() + tail.size() + 80 < kMax) {
            AppendPieces(text, lines[shape], kCrLf);
        }
        return text + tail;
    }
    // One huge line (a Subject), or a huge body.
    const std::size_t room = kMax - head.size() - tail.size() - 16;
    if (shape == 4) {
        return head + "Subject: " + std::string(room, 's') + "\r\n" + tail;
    }
    return head + tail + std::string(room, 'b');
}

// CPU time of one hostile datagram through the datagram entry point (target: 2 ms at most),
// by shape: 0 Via lines naming the proxy, 1 Route lines naming it, 2 Record-Route lines, 3
// ten thousand lines of one header, 4 one huge line, 5 a huge body; at log level 1 and 4.
void BM_HostileDatagram(benchmark::State& state)
{
    NullTransport net;
    NullStatsDisplay display;
    test::DiscardingLogSink sink;
    test::MockClock clock;
    Proxy proxy(net, sink, display, clock,
                {"127.0.0.1", 5070, "127.0.0.9:5080", static_cast<std::int16_t>(state.range(1))});
    const auto peer = [](const test::Party& p) { return PeerAddress{"", p.ip, p.port}; };
    proxy.ReceiveDatagram(test::Register(test::kBob, "reg-b", "Expires: 3600\n"), peer(test::kBob));
    const std::string text = Hostile(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        proxy.ReceiveDatagram(text, peer(test::kAlice));
    }
    state.SetLabel(Cat(text.size(), " bytes, log level ", state.range(1)));
}
BENCHMARK(BM_HostileDatagram)
    ->ArgsProduct({{0, 1, 2, 3, 4, 5}, {1, 4}})
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
