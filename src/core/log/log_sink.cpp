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
    std::string line;
    AppendPieces(line, LevelLabel(record.level), ": ", time, " ", record.text);
    if (!record.text.ends_with(kCrLf)) {
        line.append(kCrLf);
    }
    return line;
}

} // namespace tavrix
