#pragma once

#include "console/log_sink.h"
#include "console/stats.h"

#include <cstdint>
#include <string_view>

namespace tavrix {

// Log levels; a line is written when its level is at most LogLevel.
enum class Level : std::int16_t
{
    LOG_ERR = 1,
    LOG_INFO = 2,
    LOG_DEBUG = 3,
    LOG_DEBUGV = 4,
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

    // True when a line of this level would be written; callers skip building text otherwise.
    bool Passes(Level level) const { return static_cast<std::int16_t>(level) <= m_logLevel; }

    // Filters, counts a LOG_ERR in Errors (first, held at 32767), stamps and appends the line.
    void WriteLog(Level level, std::string_view text);

private:
    LogSink& m_sink;
    Clock& m_clock;
    SIP_STATS& m_stats;
    std::int16_t m_logLevel = kDefaultLogLevel;
};

} // namespace tavrix
