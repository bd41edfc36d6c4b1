#include "app/console_feed.h"

#include "app/local_time.h"
#include "core/proxy/proxy.h"
#include "core/text/text.h"

#include <chrono>

namespace tavrix {

namespace {

std::int64_t NowMilliseconds()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Puts a comma before every member but the first of a JSON object or array.
struct Members
{
    void next(std::string& out)
    {
        if (!first) {
            out += ',';
        }
        first = false;
    }
    bool first = true;
};

// The list entry of a call: what it is, who, how it stands, when.
void AppendSummary(std::string& out, const CallTrace& call)
{
    AppendPieces(out, "{\"id\":", call.id, ",\"callId\":");
    ConsoleFeed::AppendJson(out, call.callId);
    out += ",\"method\":";
    ConsoleFeed::AppendJson(out, call.method);
    out += ",\"from\":";
    ConsoleFeed::AppendJson(out, call.from);
    out += ",\"to\":";
    ConsoleFeed::AppendJson(out, call.to);
    const std::int64_t start = call.steps.empty() ? 0 : call.steps.front().time;
    const std::int64_t last = call.steps.empty() ? 0 : call.steps.back().time;
    AppendPieces(out, ",\"status\":", call.status, ",\"ended\":", call.ended ? "true" : "false",
                 ",\"start\":", start, ",\"last\":", last,
                 ",\"steps\":", call.steps.size() + call.omitted, "}");
}

} // namespace

ConsoleFeed::ConsoleFeed(Proxy& proxy, TimeFormat& time, std::size_t calls)
    : m_proxy(proxy), m_time(time), m_calls(calls), m_lines(kLogLines)
{
    const SIP_STATS& stats = m_proxy.Stats();
    m_counted = {stats.CallAttempts(), stats.CompletedCalls(), stats.FailedCalls()};
}

std::string ConsoleFeed::Event(std::string_view name, std::string_view json)
{
    return Cat("event: ", name, "\ndata: ", json, "\n\n");
}

void ConsoleFeed::AppendJson(std::string& out, std::string_view text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += ch;
        } else if (byte < 0x20 || byte == 0x7f) {
            AppendPieces(out, "\\u00", std::string_view(&kHex[byte >> 4], 1),
                         std::string_view(&kHex[byte & 0xf], 1));
        } else if (byte < 0x80) {
            out += ch;
        } else { // a Latin-1 character in UTF-8
            out += static_cast<char>(0xc0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3f));
        }
    }
    out += '"';
}

void ConsoleFeed::Write(const LogRecord& record)
{
    RecentLine& line = m_lines[m_written % kLogLines];
    line.level = record.level;
    line.time = record.time;
    line.text.assign(record.text); // into the room of the line it replaces
    ++m_written;
}

void ConsoleFeed::Received(std::string_view text, std::string_view ip, std::uint16_t port)
{
    Trace(text, false, ip, port);
}

void ConsoleFeed::Sent(std::string_view text, std::string_view ip, std::uint16_t port)
{
    Trace(text, true, ip, port);
}

void ConsoleFeed::Trace(std::string_view text, bool sent, std::string_view ip, std::uint16_t port)
{
    // The whole text only where the log would show it too.
    m_calls.Record(text, sent, ip, port, NowMilliseconds(), m_proxy.Log().LogLevel() >= 3);
}

void ConsoleFeed::Tick()
{
    const SIP_STATS& stats = m_proxy.Stats();
    const std::array<std::int64_t, 3> now{stats.CallAttempts(), stats.CompletedCalls(),
                                          stats.FailedCalls()};
    m_rates.push_back({now[0] - m_counted[0], now[1] - m_counted[1], now[2] - m_counted[2]});
    if (m_rates.size() > kRateSeconds) {
        m_rates.pop_front();
    }
    m_counted = now;
    ++m_seconds;
    if (!m_watched) {
        return;
    }
    std::string routes = RoutesJson();
    if (routes != m_routes) {
        m_routes = std::move(routes);
        m_routesChanged = true;
    }
}

std::string ConsoleFeed::FiguresJson() const
{
    const SIP_STATS& stats = m_proxy.Stats();
    std::string out = Cat(
        "{\"Registrations\":", stats.Registrations(), ",\"CallAttempts\":", stats.CallAttempts(),
        ",\"FailedCalls\":", stats.FailedCalls(), ",\"CompletedCalls\":", stats.CompletedCalls(),
        ",\"Errors\":", stats.Errors(), ",\"LastRoute\":");
    AppendJson(out, stats.LastRoute());
    AppendPieces(out, ",\"level\":", m_proxy.Log().LogLevel(), "}");
    return out;
}

std::string ConsoleFeed::RoutesJson() const
{
    const RouteTable& routes = m_proxy.Routes();
    const std::size_t wanted = std::min(routes.Taken(), kMaxRoutes);
    std::string out = Cat("{\"taken\":", routes.Taken(), ",\"shown\":[");
    std::size_t found = 0;
    // Slots are taken lowest first, so the scan ends soon after the last route.
    for (std::int32_t slot = 0; slot < routes.Capacity() && found < wanted; ++slot) {
        const RouteEntry& entry = routes.Entry(slot);
        if (entry.Contact.empty()) {
            continue;
        }
        AppendPieces(out, found++ == 0 ? "[" : ",[", slot, ",");
        AppendJson(out, entry.Username);
        out += ',';
        AppendJson(out, entry.Contact);
        out += ']';
    }
    out += "]}";
    return out;
}

void ConsoleFeed::AppendLogLines(std::string& out, std::uint64_t from, std::uint64_t to) const
{
    Members lines;
    out += '[';
    for (std::uint64_t n = from; n < to; ++n) {
        const RecentLine& line = m_lines[n % kLogLines];
        lines.next(out);
        AppendPieces(out, "[", static_cast<int>(line.level), ",");
        AppendJson(out, LogLine({line.level, line.time, line.text}, m_time.Text(line.time)));
        out += ']';
    }
    out += ']';
}

std::string ConsoleFeed::Snapshot(bool canChangeLevel) const
{
    std::string out = Cat("{\"version\":\"" TAVRIX_VERSION "\",\"proxy\":");
    AppendJson(out, Cat(m_proxy.Self().IP, ":", m_proxy.Self().Port));
    AppendPieces(out, ",\"canChangeLevel\":", canChangeLevel ? "true" : "false",
                 ",\"ringSize\":", m_calls.Size(), ",\"figures\":", FiguresJson(),
                 ",\"routes\":", RoutesJson(), ",\"rates\":{\"end\":", m_seconds, ",\"values\":[");
    Members rates;
    for (const auto& [attempts, completed, failed] : m_rates) {
        rates.next(out);
        AppendPieces(out, "[", attempts, ",", completed, ",", failed, "]");
    }
    out += "]},\"calls\":[";
    Members calls;
    for (const CallTrace* call : m_calls.Calls()) {
        calls.next(out);
        AppendSummary(out, *call);
    }
    out += "],\"log\":";
    AppendLogLines(out, m_written - std::min<std::uint64_t>(m_written, kLogLines), m_written);
    out += '}';
    return Event("snapshot", out);
}

ConsoleFeed::Batch ConsoleFeed::TakeBatch()
{
    Batch batch;
    const std::vector<const CallTrace*> changed = m_calls.TakeChanged();
    const std::uint64_t from = m_batched;
    const std::uint64_t seconds = m_ratesBatched;
    m_batched = m_written;
    m_ratesBatched = m_seconds;
    if (!m_watched) {
        m_figures.clear(); // a new viewer's snapshot holds everything up to here
        return batch;
    }
    std::string update = "{";
    Members members;
    if (std::string figures = FiguresJson(); figures != m_figures) {
        members.next(update);
        AppendPieces(update, "\"figures\":", figures);
        m_figures = std::move(figures);
    }
    if (m_seconds > seconds) {
        members.next(update);
        update += "\"rates\":[";
        Members rates;
        const std::uint64_t first = std::max(seconds, m_seconds - m_rates.size()) + 1;
        for (std::uint64_t second = first; second <= m_seconds; ++second) {
            const auto& [attempts, completed, failed] =
                m_rates[m_rates.size() - 1 - (m_seconds - second)];
            rates.next(update);
            AppendPieces(update, "[", second, ",", attempts, ",", completed, ",", failed, "]");
        }
        update += ']';
    }
    if (m_routesChanged) {
        members.next(update);
        AppendPieces(update, "\"routes\":", m_routes);
        m_routesChanged = false;
    }
    if (!changed.empty()) {
        members.next(update);
        update += "\"calls\":[";
        Members calls;
        for (const CallTrace* call : changed) {
            calls.next(update);
            AppendSummary(update, *call);
        }
        update += ']';
    }
    if (!members.first) {
        batch.update = Event("update", update + "}");
    }
    if (m_written > from) {
        const std::uint64_t kept =
            std::max(from, m_written - std::min<std::uint64_t>(m_written, kLogLines));
        std::string log = Cat("{\"leftOut\":", kept - from, ",\"lines\":");
        AppendLogLines(log, kept, m_written);
        batch.log = Event("log", log + "}");
        batch.logLines = m_written - kept;
    }
    return batch;
}

std::string ConsoleFeed::CallJson(std::uint64_t id) const
{
    const CallTrace* call = m_calls.Find(id);
    if (call == nullptr) {
        return {};
    }
    std::string out = "{\"call\":";
    AppendSummary(out, *call);
    out += ",\"proxy\":";
    AppendJson(out, Cat(m_proxy.Self().IP, ":", m_proxy.Self().Port));
    out += ",\"ladder\":[";
    Members steps;
    for (const LadderStep& step : call->steps) {
        steps.next(out);
        AppendPieces(out, "{\"t\":", step.time, ",\"sent\":", step.sent ? "true" : "false",
                     ",\"peer\":");
        AppendJson(out, step.peer);
        out += ",\"line\":";
        AppendJson(out, step.firstLine);
        if (!step.text.empty()) {
            out += ",\"text\":";
            AppendJson(out, step.text);
        }
        out += '}';
    }
    out += "]}";
    return out;
}

} // namespace tavrix
