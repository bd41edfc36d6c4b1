#pragma once

#include "app/local_time.h"
#include "core/log/log_sink.h"

#include <cstdio>

namespace tavrix {

// Writes each log line to a stream as it comes, exactly as the log text would hold it, and
// flushes it at once. Keeps no text, so nothing is ever trimmed.
class StreamLogSink final : public LogSink
{
public:
    StreamLogSink(std::FILE* stream, TimeFormat& time) : m_stream(stream), m_time(time) {}

    void Write(const LogRecord& record) override
    {
        const std::string line = LogLine(record, m_time.Text(record.time));
        std::fwrite(line.data(), 1, line.size(), m_stream);
        std::fflush(m_stream);
    }

private:
    std::FILE* m_stream;
    TimeFormat& m_time;
};

} // namespace tavrix
