#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrix {

// Log levels; a line is written when its level is at most the logger's LogLevel. The lines
// carry the labels "LOG_ERR" ... "LOG_DEBUGV" (the names of <syslog.h>, whose macros these
// enumerators must not be spelled like).
enum class Level : std::int16_t
{
    Err = 1,
    Info = 2,
    Debug = 3,
    DebugV = 4,
};

// The label a line of this level starts with ("LOG_ERR" ...); empty for an unknown level.
std::string_view LevelLabel(Level level);

// One line of the log as the logger hands it out.
struct LogRecord
{
    Level level = Level::Err;
    std::int64_t time = 0; // seconds since 1970 (UTC) when it was written
    std::string_view text; // the message, escaped as its level asks; no label, time or line end
};

// Where log lines go: the log window's text area, standard output, the journal, a test's text.
class LogSink
{
public:
    virtual ~LogSink() = default;
    // Takes one line; the record's text is valid only during the call.
    virtual void Write(const LogRecord& record) = 0;
};

// The line as every text form shows it: "LABEL: " time " " text and CR LF, the CR LF left out
// when the text ends in one already (a dumped message).
std::string LogLine(const LogRecord& record, std::string_view time);

} // namespace tavrix
