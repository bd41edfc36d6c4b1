// Registrations per second through each registrar store, and a whole call with and without
// one: a store hears of registrations only, so a call should cost the same. Run:
//   build/bench/tavrix_store_bench
//   TAVRIX_BENCH_REDIS=redis://127.0.0.1:PORT build/bench/tavrix_store_bench  # adds Redis
// The SQLite file goes to /tmp and is removed afterwards; Redis keeps the bench's
// registrations for the minute they last.
#include "app/command_line.h"
#include "app/redis_store.h"
#include "app/sqlite_store.h"
#include "app/system_clock.h"
#include "core/proxy/sip_messages.h"
#include "mock/memory_log_sink.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <memory>

namespace {

using namespace tavrix;

enum Store
{
    None,
    Sqlite,
    Redis
};

const char* const kNames[] = {"no store", "SQLite file", "Redis"};
const std::string kFile = "/tmp/tavrix-store-bench-" + std::to_string(getpid()) + ".db";

void RemoveFile()
{
    for (const char* suffix : {"", "-wal", "-shm"}) {
        QFile::remove(QString::fromStdString(kFile + suffix));
    }
}

// A proxy at log level 1 with the store under test attached, on the real clock (Redis drops
// what has run out by it).
struct Bench
{
    explicit Bench(Store kind)
        : proxy(net, sink, display, clock, {"127.0.0.1", 5070, "127.0.0.9:5080", 1, 30000, 30000})
    {
        if (kind == Sqlite) {
            RemoveFile();
            store = std::make_unique<SqliteStore>(kFile, proxy);
        } else if (kind == Redis) {
            const auto url =
                ParseCommandLine({"tavrix", "--registrar",
                                  QString::fromLocal8Bit(std::getenv("TAVRIX_BENCH_REDIS"))})
                    .options.store.registrar;
            auto* redis = url ? new RedisStore(*url, proxy) : nullptr;
            store.reset(redis);
            Settle([redis] { return redis == nullptr || redis->isShared(); });
            shared = redis != nullptr && redis->isShared();
        }
    }
    ~Bench()
    {
        store.reset();
        RemoveFile();
    }
    // Runs the event loop until done() holds, five seconds at most.
    template <typename Done> static void Settle(Done done)
    {
        const QDeadlineTimer deadline(5000);
        do {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        } while (!done() && !deadline.hasExpired());
    }
    void Settle()
    {
        auto* redis = dynamic_cast<RedisStore*>(store.get());
        Settle([redis] { return redis == nullptr || redis->awaiting() == 0; });
    }

    NullTransport net;
    NullStatsDisplay display;
    test::DiscardingLogSink sink;
    SystemClock clock;
    Proxy proxy;
    std::unique_ptr<QObject> store;
    bool shared = true;
};

// Bursts of 100 registrations (and refreshes: 20000 phones in turn), each burst handled in
// one pass of the event loop and written before the next one comes.
void BM_Registrations(benchmark::State& state)
{
    Bench bench(static_cast<Store>(state.range(0)));
    if (!bench.shared) {
        state.SkipWithError("no Redis: set TAVRIX_BENCH_REDIS=redis://127.0.0.1:PORT");
        return;
    }
    std::vector<std::string> registrations;
    for (int n = 0; n < 20000; ++n) {
        const test::Party phone{"u" + std::to_string(n), "127.0.0." + std::to_string(10 + n % 200),
                                static_cast<std::uint16_t>(10000 + n / 200)};
        registrations.push_back(test::Register(phone, "reg-" + phone.user, "Expires: 60\n"));
    }
    std::size_t next = 0;
    for (auto _ : state) {
        for (int i = 0; i < 100; ++i) {
            bench.proxy.ReceiveDatagram(registrations[next++ % registrations.size()],
                                        {"", "127.0.0.3", 5063});
        }
        bench.Settle();
    }
    state.SetItemsProcessed(state.iterations() * 100);
    state.SetLabel(kNames[state.range(0)]);
}
BENCHMARK(BM_Registrations)->DenseRange(None, Redis)->UseRealTime()->Unit(benchmark::kMillisecond);

// core_bench's whole registered call (256 Call-IDs in turn), alice and bob registered through
// the store, the event loop given a pass after every call.
void BM_WholeCall(benchmark::State& state)
{
    Bench bench(static_cast<Store>(state.range(0)));
    if (!bench.shared) {
        state.SkipWithError("no Redis: set TAVRIX_BENCH_REDIS=redis://127.0.0.1:PORT");
        return;
    }
    const auto peer = [](const test::Party& p) { return PeerAddress{"", p.ip, p.port}; };
    bench.proxy.ReceiveDatagram(test::Register(test::kAlice, "reg-a"), peer(test::kAlice));
    bench.proxy.ReceiveDatagram(test::Register(test::kBob, "reg-b"), peer(test::kBob));
    bench.Settle();
    std::vector<std::vector<std::pair<std::string, PeerAddress>>> calls(256);
    for (const test::Scenario& scenario : test::Scenarios()) {
        for (std::size_t i = 0; scenario.name == "call" && i < calls.size(); ++i) {
            for (const test::Step& step : scenario.steps) {
                std::string text = step.text;
                text.replace(text.find("call-1"), 6, "bench-" + std::to_string(i));
                calls[i].emplace_back(std::move(text), peer(*step.from));
            }
        }
    }
    std::size_t i = 0;
    for (auto _ : state) {
        for (const auto& [text, from] : calls[i++ % calls.size()]) {
            bench.proxy.ReceiveDatagram(text, from);
        }
        QCoreApplication::processEvents();
        if (i % 20000 == 0) {
            bench.proxy.Tick();
        }
    }
    if (bench.proxy.Stats().CompletedCalls() == 0) {
        state.SkipWithError("no call completed");
    }
    state.counters["calls/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetLabel(kNames[state.range(0)]);
}
BENCHMARK(BM_WholeCall)->DenseRange(None, Redis);

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
