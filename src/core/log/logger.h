#pragma once

#include "core/log/clock.h"
#include "core/log/log_sink.h"
#include "core/log/stats.h"
#include "core/text/text.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tavrix {

// The kinds of datagram error a hostile sender can repeat at will; each writes at most
// kFloodLines lines per second (between two ticks), the rest are summed up at the next tick.
enum class Flood : std::uint8_t
{
    NoCallId,
    CallTableFull,
    RouteTableFull,
    TooManyHops,
    Loop,
    NotSent,
    Unhandled, // a method, response or From the proxy cannot handle
    AuthFailed,
    SocketError, // the socket reported an error other than "would block"
    Stranger,    // a message within a call or registration from none of its parties
    UserLimit,   // a user over the bindings or calls one user may hold
    AnswerLimit, // an answer to a refused request not sent (rate or size)
    Connection,  // a stream connection refused or closed by the proxy
    Kinds
};

// The name of each kind, in the order of Flood, as the metrics page labels it ("no_call_id").
inline constexpr std::string_view kFloodNames[] = {
    "no_call_id", "call_table_full", "route_table_full", "too_many_hops", "loop",
    "not_sent",   "unhandled",       "auth_failed",      "socket_error",  "not_a_party",
    "user_limit", "answer_limit",    "connection"};
static_assert(std::size(kFloodNames) == static_cast<std::size_t>(Flood::Kinds),
              "every kind of datagram error has a name");

inline constexpr std::int16_t kDefaultLogLevel = 3;
inline constexpr int kFloodLines = 10;
// The most lines of one kind a second when each source has a budget of its own.
inline constexpr int kFloodTotal = 200;

// Hands each line that passes LogLevel to the sink as a record with the clock's time. In lines
// of levels 1 to 3 every control character of the text is written as \r, \n, \t or \xNN, so
// text taken from a datagram cannot start a line of its own; level 4 dumps stay raw.
class Logger
{
public:
    Logger(LogSink& sink, Clock& clock, SIP_STATS& stats)
        : m_sink(sink), m_clock(clock), m_stats(stats)
    {}

    std::int16_t LogLevel() const { return m_logLevel; }
    void SetLogLevel(std::int16_t level) { m_logLevel = level; }

    // True when a line of this level would be written.
    bool Passes(Level level) const { return static_cast<std::int16_t>(level) <= m_logLevel; }

    // A line made of the pieces (texts as they are, integers in decimal). Filtered first, so a
    // line that is not written costs no text; a LOG_ERR is counted in Errors before it is
    // written.
    template <typename... Pieces> void WriteLog(Level level, const Pieces&... pieces)
    {
        if (!Passes(level)) {
            return;
        }
        CountError(level);
        Write(level, pieces...);
    }

    // WriteLog for a datagram error of this kind: beyond kFloodLines in one second the line is
    // only counted (in Errors too); the first one left out is kept for the summary. Counted in
    // Events whatever the level.
    template <typename... Pieces>
    void WriteLimited(Flood kind, Level level, const Pieces&... pieces)
    {
        if (Admit(kind, level, {})) {
            Write(level, pieces...);
        } else {
            KeepFirst(kind, level, pieces...);
        }
    }
    // WriteLimited with a budget for each source address: kFloodLines a second from each,
    // kFloodTotal in all, so one sender cannot push another's lines out of the log.
    template <typename... Pieces>
    void WriteLimitedFrom(Flood kind, std::string_view source, Level level, const Pieces&... pieces)
    {
        if (Admit(kind, level, source)) {
            Write(level, pieces...);
        } else {
            KeepFirst(kind, level, pieces...);
        }
    }
    // Counts a datagram error of this kind without a line of its own (its summary is written
    // elsewhere).
    void Count(Flood kind) { ++m_events[static_cast<std::size_t>(kind)]; }

    // The second is over: "N similar messages suppressed: " and the first of them, once per
    // kind that left lines out, at its level (counted nowhere); every kind starts afresh.
    void Tick();

    // How many datagram errors of this kind happened, logged or not, since start.
    std::uint64_t Events(Flood kind) const { return m_events[static_cast<std::size_t>(kind)]; }
    // How many lines of this level were written since start.
    std::uint64_t Lines(Level level) const
    {
        return m_lines[static_cast<std::size_t>(level) % m_lines.size()];
    }

private:
    struct Suppressed
    {
        int written = 0;
        long long count = 0;
        Level level = Level::Err;
        std::string first;
        std::unordered_map<std::string, int> bySource; // lines written this second per source
    };

    // Counts the event; whether its line may be written now (it passes the level and the
    // budgets). A source of "" has no budget of its own.
    bool Admit(Flood kind, Level level, std::string_view source);
    // The first line left out this second, for the summary.
    template <typename... Pieces> void KeepFirst(Flood kind, Level level, const Pieces&... pieces)
    {
        Suppressed& flood = m_floods[static_cast<std::size_t>(kind)];
        if (Passes(level) && flood.count++ == 0) {
            flood.level = level;
            flood.first = Cat(pieces...);
        }
    }
    void CountError(Level level);
    template <typename... Pieces> void Write(Level level, const Pieces&... pieces)
    {
        m_text.clear();
        AppendPieces(m_text, pieces...);
        Emit(level, m_text);
    }
    // Escapes the text (levels 1 to 3) and hands it to the sink.
    void Emit(Level level, std::string& text);

    LogSink& m_sink;
    Clock& m_clock;
    SIP_STATS& m_stats;
    std::int16_t m_logLevel = kDefaultLogLevel;
    std::array<Suppressed, static_cast<std::size_t>(Flood::Kinds)> m_floods;
    std::array<std::uint64_t, static_cast<std::size_t>(Flood::Kinds)> m_events{};
    std::array<std::uint64_t, 5> m_lines{}; // by level, 1 to 4
    std::string m_text; // the line being written; its room is kept from line to line
};

} // namespace tavrix
