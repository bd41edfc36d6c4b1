#pragma once

#include "core/log/log_sink.h"

#include <cstdio>
#include <string_view>

namespace tavrix {

// Writes each log line to a stream as it comes, exactly as the log text would hold it, and
// flushes it at once. Keeps no text: Length() is always 0, so nothing is ever trimmed.
class StreamLogSink final : public LogSink
{
public:
    explicit StreamLogSink(std::FILE* stream) : m_stream(stream) {}

    void Open() override {}
    std::size_t Length() const override { return 0; }
    void RemoveFront(std::size_t) override {}
    void Append(std::string_view line) override
    {
        std::fwrite(line.data(), 1, line.size(), m_stream);
        std::fflush(m_stream);
    }

private:
    std::FILE* m_stream;
};

} // namespace tavrix
