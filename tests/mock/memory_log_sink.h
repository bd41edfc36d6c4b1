#pragma once

#include "core/log/log_sink.h"

#include <string>
#include <string_view>
#include <utility>

namespace tavrix::test {

// The log text in memory, each line stamped with the same time text.
class MemoryLogSink final : public LogSink
{
public:
    explicit MemoryLogSink(std::string stamp = "12/5/2026 7:13:08 PM") : m_stamp(std::move(stamp))
    {}

    void Write(const LogRecord& record) override
    {
        m_text += LogLine(record, m_stamp);
        m_lastTime = record.time;
        ++m_written;
    }

    std::string_view Text() const { return m_text; }
    void SetText(std::string text) { m_text = std::move(text); }
    // Lines written since start, and the time of the last one.
    int Written() const { return m_written; }
    std::int64_t LastTime() const { return m_lastTime; }

private:
    std::string m_stamp;
    std::string m_text;
    int m_written = 0;
    std::int64_t m_lastTime = 0;
};

// Formats every line as a text sink would, and keeps only the last one.
class DiscardingLogSink final : public LogSink
{
public:
    void Write(const LogRecord& record) override
    {
        m_last = LogLine(record, "12/5/2026 7:13:08 PM");
    }

private:
    std::string m_last;
};

} // namespace tavrix::test
