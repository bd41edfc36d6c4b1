#pragma once

#include "app/local_time.h"
#include "core/log/log_sink.h"

#include <cstdio>
#include <string_view>

namespace tavrix {

// Writes each log line to a stream in the form the systemd journal reads from a service's
// standard output, and flushes it at once. Every row of the line (a verbose dump has many)
// starts with the priority of the line's level, "<3>" LOG_ERR, "<6>" LOG_INFO, "<7>" the debug
// levels, and ends in LF instead of CR LF. The journal would keep a row with a control
// character or bytes that are not UTF-8 as binary data: a lone CR is written as \r, other
// control characters but tab as \xNN, and the Latin-1 letters of the log text as UTF-8. Keeps
// no text, so nothing is ever trimmed.
class JournalLogSink final : public LogSink
{
public:
    JournalLogSink(std::FILE* stream, TimeFormat& time) : m_stream(stream), m_time(time) {}

    void Write(const LogRecord& record) override;

private:
    std::FILE* m_stream;
    TimeFormat& m_time;
};

// Whether standard output is the journal: JOURNAL_STREAM holds the "DEVICE:INODE" of its
// stream. A child whose output was redirected inherits the variable but not the stream.
bool StdoutIsJournal();

} // namespace tavrix
