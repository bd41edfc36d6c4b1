#include "core/log/logger.h"

#include "core/text/numeric.h"

#include <algorithm>

namespace tavrix {

std::string_view LevelLabel(Level level)
{
    switch (level) {
    case Level::Err:
        return "LOG_ERR";
    case Level::Info:
        return "LOG_INFO";
    case Level::Debug:
        return "LOG_DEBUG";
    case Level::DebugV:
        return "LOG_DEBUGV";
    }
    return {};
}

std::string Logger::Head(Level level)
{
    if (level == Level::Err) {
        // Counted before the line is written; at the limit the count stays, the line is written.
        m_stats.SetErrors(Saturated(m_stats.Errors(), 1));
    }
    m_sink.Open();
    return Cat(LevelLabel(level), ": ", m_clock.Now(), " ");
}

void Logger::Emit(Level /*level*/, std::string& line, std::size_t start)
{
    if (!std::string_view(line).substr(start).ends_with(kCrLf)) {
        line.append(kCrLf);
    }
    // Past the cap every write removes as many leading characters as it adds, ignoring line
    // boundaries; a line longer than the whole text leaves the line alone.
    const std::size_t length = m_sink.Length();
    if (length > kLogCap) {
        m_sink.RemoveFront(std::min(line.size(), length));
    }
    m_sink.Append(line);
}

} // namespace tavrix
