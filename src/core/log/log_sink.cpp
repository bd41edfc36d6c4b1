#include "core/log/log_sink.h"

#include "core/text/text.h"

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

std::string LogLine(const LogRecord& record, std::string_view time)
{
    // The line end in the same growth as the rest (appended after, it moved the line again).
    const std::string_view end = record.text.ends_with(kCrLf) ? std::string_view() : kCrLf;
    std::string line;
    AppendPieces(line, LevelLabel(record.level), ": ", time, " ", record.text, end);
    return line;
}

} // namespace tavrix
