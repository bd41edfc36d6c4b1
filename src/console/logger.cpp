#include "console/logger.h"

#include "sip/numeric.h"

#include <algorithm>
#include <string>

namespace tavrix {

std::string_view LevelLabel(Level level)
{
    switch (level) {
    case Level::LOG_ERR:
        return "LOG_ERR";
    case Level::LOG_INFO:
        return "LOG_INFO";
    case Level::LOG_DEBUG:
        return "LOG_DEBUG";
    case Level::LOG_DEBUGV:
        return "LOG_DEBUGV";
    }
    return {};
}

void Logger::WriteLog(Level level, std::string_view text)
{
    if (!Passes(level)) {
        return;
    }
    if (level == Level::LOG_ERR) {
        // Counted before the line is written; at 32767 the count stays, the line is written.
        m_stats.SetErrors(Saturated(m_stats.Errors(), 1));
    }
    m_sink.Open();

    const std::string_view label = LevelLabel(level);
    const std::string_view stamp = m_clock.Now();
    const bool endsInCrLf = text.size() >= 2 && text.substr(text.size() - 2) == "\r\n";
    std::string line;
    line.reserve(label.size() + stamp.size() + text.size() + 5);
    line.append(label);
    line.append(": ");
    line.append(stamp);
    line.append(" ");
    line.append(text);
    if (!endsInCrLf) {
        line.append("\r\n");
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
