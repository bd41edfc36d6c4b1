#pragma once

#include "app/console_calls.h"
#include "core/log/log_sink.h"
#include "core/proxy/message_trace.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace tavrix {

class Proxy;
class TimeFormat;

// What the web console shows, gathered between two datagrams and written as server-sent
// events whose data is JSON. Each datagram is recorded once in the call ring and each log line
// is copied once into a ring of recent lines, whoever watches; the events are made from them a
// few times a second, once for all viewers. Text from the network (log lines, Call-IDs, user
// names, Contacts, messages) is JSON-escaped here and shown as text by the page.
class ConsoleFeed final : public LogSink, public MessageTrace
{
public:
    static constexpr std::size_t kLogLines = 500;     // recent lines kept, and sent per batch
    static constexpr std::size_t kRateSeconds = 3600; // the chart's hour
    static constexpr std::size_t kMaxRoutes = 1000;   // routes shown; the rest are counted

    ConsoleFeed(Proxy& proxy, TimeFormat& time, std::size_t calls);

    void Write(const LogRecord& record) override;
    void Received(std::string_view text, std::string_view ip, std::uint16_t port) override;
    void Sent(std::string_view text, std::string_view ip, std::uint16_t port) override;

    // The second is over: adds the calls attempted, completed and failed in it to the chart,
    // and, while watched, looks whether the routes changed.
    void Tick();
    // Whether anybody watches; the routes are looked at only then.
    void SetWatched(bool watched) { m_watched = watched; }

    // The event a new viewer starts with ("snapshot"): the figures, the chart's hour, the
    // routes, the calls in the ring and the recent log lines. Take a batch first, so that the
    // next one holds only what comes after.
    std::string Snapshot(bool canChangeLevel) const;

    // What changed since the last batch: "update" (figures, chart seconds, routes, calls; empty
    // when nothing did) and "log" (the lines written since, at most kLogLines, and how many
    // were left out before them; empty when none), each a whole event.
    struct Batch
    {
        std::string update;
        std::string log;
        std::size_t logLines = 0;
    };
    Batch TakeBatch();

    // The ladder of one call as JSON, steps in order with their whole text where kept; empty
    // when the call has left the ring.
    std::string CallJson(std::uint64_t id) const;

    // An event of this name and JSON data.
    static std::string Event(std::string_view name, std::string_view json);
    // Appends the bytes (one character each, Latin-1) as a quoted JSON string.
    static void AppendJson(std::string& out, std::string_view text);

private:
    struct RecentLine
    {
        Level level = Level::Err;
        std::int64_t time = 0;
        std::string text;
    };
    void Trace(std::string_view text, bool sent, std::string_view ip, std::uint16_t port);
    std::string FiguresJson() const;
    std::string RoutesJson() const;
    void AppendLogLines(std::string& out, std::uint64_t from, std::uint64_t to) const;

    Proxy& m_proxy;
    TimeFormat& m_time;
    CallRing m_calls;
    std::vector<RecentLine> m_lines;                 // line n lives in slot n % kLogLines
    std::uint64_t m_written = 0;                     // lines since start
    std::uint64_t m_batched = 0;                     // lines handed out in batches
    std::deque<std::array<std::int64_t, 3>> m_rates; // attempts, completed, failed per second
    std::array<std::int64_t, 3> m_counted{};         // the counters at the last tick
    std::uint64_t m_seconds = 0;                     // ticks since start
    std::uint64_t m_ratesBatched = 0;                // ticks handed out in batches
    std::string m_routes;                            // as last looked at
    bool m_routesChanged = false;
    std::string m_figures; // as last handed out
    bool m_watched = false;
};

} // namespace tavrix
