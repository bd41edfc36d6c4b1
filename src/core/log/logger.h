#pragma once

#include "core/log/log_sink.h"
#include "core/log/stats.h"
#include "core/text/text.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrix {

// Log levels; a line is written when its level is at most LogLevel. The lines carry the
// labels "LOG_ERR" ... "LOG_DEBUGV" (the names of <syslog.h>, whose macros these enumerators
// must not be spelled like).
enum class Level : std::int16_t
{
    Err = 1,
    Info = 2,
    Debug = 3,
    DebugV = 4,
};

inline constexpr std::size_t kLogCap = 30000;
inline constexpr std::int16_t kDefaultLogLevel = 3;

// The label a line of this level starts with ("LOG_ERR" ...); empty for an unknown level.
std::string_view LevelLabel(Level level);

// Writes "LABEL: date time text" CR LF into the log text, filtered by LogLevel. Once the
// text is longer than kLogCap, each write removes as many leading characters as it adds.
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
        std::string line = Head(level);
        const std::size_t start = line.size();
        AppendPieces(line, pieces...);
        Emit(level, line, start);
    }

private:
    // "LABEL: date time ", counting an error first.
    std::string Head(Level level);
    // Ends the message that starts at start with CR LF and appends the line to the text.
    void Emit(Level level, std::string& line, std::size_t start);

    LogSink& m_sink;
    Clock& m_clock;
    SIP_STATS& m_stats;
    std::int16_t m_logLevel = kDefaultLogLevel;
};

} // namespace tavrix
