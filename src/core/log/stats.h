#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrix {

// The six value fields of the statistics panel, one operation per property.
class StatsDisplay
{
public:
    virtual ~StatsDisplay() = default;
    virtual void ShowCompletedCalls(std::string_view text) = 0;
    virtual void ShowLastRoute(std::string_view text) = 0;
    virtual void ShowErrors(std::string_view text) = 0;
    virtual void ShowFailedCalls(std::string_view text) = 0;
    virtual void ShowCallAttempts(std::string_view text) = 0;
    virtual void ShowRegistrations(std::string_view text) = 0;
};

// A display that shows nothing, for a proxy without a window.
class NullStatsDisplay final : public StatsDisplay
{
public:
    void ShowCompletedCalls(std::string_view) override {}
    void ShowLastRoute(std::string_view) override {}
    void ShowErrors(std::string_view) override {}
    void ShowFailedCalls(std::string_view) override {}
    void ShowCallAttempts(std::string_view) override {}
    void ShowRegistrations(std::string_view) override {}
};

// A counter of the statistics: 64 bits, so no real server ever sees one wrap.
using Counter = std::int64_t;

// The server's figures since start. Every set rewrites its display field (in plain decimal
// for the counters), even when the value is unchanged. Nothing resets them.
class SIP_STATS
{
public:
    explicit SIP_STATS(StatsDisplay& display) : m_display(display) {}

    void SetCompletedCalls(Counter value);
    Counter CompletedCalls() const { return m_completedCalls; }
    void SetLastRoute(std::string_view value);
    const std::string& LastRoute() const { return m_lastRoute; }
    void SetErrors(Counter value);
    Counter Errors() const { return m_errors; }
    void SetFailedCalls(Counter value);
    Counter FailedCalls() const { return m_failedCalls; }
    void SetCallAttempts(Counter value);
    Counter CallAttempts() const { return m_callAttempts; }
    void SetRegistrations(Counter value);
    Counter Registrations() const { return m_registrations; }

    // The one-line summary the headless program prints on request.
    std::string Summary() const;

private:
    StatsDisplay& m_display;
    Counter m_completedCalls = 0;
    std::string m_lastRoute;
    Counter m_errors = 0;
    Counter m_failedCalls = 0;
    Counter m_callAttempts = 0;
    Counter m_registrations = 0;
};

} // namespace tavrix
