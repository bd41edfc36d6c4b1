#pragma once

#include "core/log/log_sink.h"

#include <string>
#include <string_view>
#include <utility>

namespace tavrix {

// The log text held in memory. Removing from the front only moves a start mark, and the
// text is compacted once the dead part outgrows the live one, so a write costs what its
// line costs, not what the text already holds.
class TextLogSink final : public LogSink
{
public:
    void Open() override { m_opened = true; }
    std::size_t Length() const override { return m_buffer.size() - m_start; }
    void RemoveFront(std::size_t count) override;
    void Append(std::string_view line) override;

    // The whole log text.
    std::string_view Text() const { return std::string_view(m_buffer).substr(m_start); }
    // Replaces the text, as an operator's edit or "Clear Log" would.
    void SetText(std::string_view text);
    // Whether Open() has been called (the log window would exist).
    bool Opened() const { return m_opened; }

private:
    std::string m_buffer;
    std::size_t m_start = 0;
    bool m_opened = false;
};

// A clock that always reads the same text.
class FixedClock final : public Clock
{
public:
    explicit FixedClock(std::string text) : m_text(std::move(text)) {}
    std::string_view Now() override { return m_text; }
    std::int64_t Seconds() override { return m_seconds; }
    void Set(std::string text) { m_text = std::move(text); }
    void SetSeconds(std::int64_t seconds) { m_seconds = seconds; }

private:
    std::string m_text;
    std::int64_t m_seconds = 1796000000;
};

} // namespace tavrix
