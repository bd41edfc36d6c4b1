#pragma once

#include "core/log/log_sink.h"

namespace tavrix {

// The proxy's one sink, handing each line to the program's own sink and then to a second one
// that comes and goes (the web console).
class LogFanOut final : public LogSink
{
public:
    explicit LogFanOut(LogSink& first) : m_first(first) {}

    // From now on every line also goes to the sink (nullptr: to the first one only).
    void setSecond(LogSink* second) { m_second = second; }

    void Write(const LogRecord& record) override
    {
        m_first.Write(record);
        if (m_second != nullptr) {
            m_second->Write(record);
        }
    }

private:
    LogSink& m_first;
    LogSink* m_second = nullptr;
};

} // namespace tavrix
