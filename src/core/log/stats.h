#pragma once

#include <array>
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

// The counters of the statistics panel.
enum class Figure : std::uint8_t
{
    Registrations,
    CallAttempts,
    FailedCalls,
    CompletedCalls,
    Errors,
    Count
};

// The server's figures since start. Every change rewrites its display field (in plain decimal
// for the counters), even when the value is unchanged. Nothing resets them.
class SIP_STATS
{
public:
    explicit SIP_STATS(StatsDisplay& display) : m_display(display) {}

    // One more, or one less (a registration that ended).
    void Increment(Figure figure) { Set(figure, Get(figure) + 1); }
    void Decrement(Figure figure) { Set(figure, Get(figure) - 1); }
    // Sets a counter to a value, as when figures are carried over.
    void Set(Figure figure, Counter value);
    Counter Get(Figure figure) const { return m_counters[static_cast<std::size_t>(figure)]; }
    void SetLastRoute(std::string_view value);
    const std::string& LastRoute() const { return m_lastRoute; }

    Counter CompletedCalls() const { return Get(Figure::CompletedCalls); }
    Counter Errors() const { return Get(Figure::Errors); }
    Counter FailedCalls() const { return Get(Figure::FailedCalls); }
    Counter CallAttempts() const { return Get(Figure::CallAttempts); }
    Counter Registrations() const { return Get(Figure::Registrations); }

    // The one-line summary the headless program prints on request.
    std::string Summary() const;

private:
    StatsDisplay& m_display;
    std::array<Counter, static_cast<std::size_t>(Figure::Count)> m_counters{};
    std::string m_lastRoute;
};

} // namespace tavrix
