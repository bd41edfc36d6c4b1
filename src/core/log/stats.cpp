#include "core/log/stats.h"

#include "core/text/text.h"

namespace tavrix {

void SIP_STATS::Set(Figure figure, Counter value)
{
    const auto index = static_cast<std::size_t>(figure);
    if (index >= m_counters.size()) {
        return;
    }
    m_counters[index] = value;
    const std::string text = Cat(value);
    switch (figure) {
    case Figure::Registrations:
        m_display.ShowRegistrations(text);
        break;
    case Figure::CallAttempts:
        m_display.ShowCallAttempts(text);
        break;
    case Figure::FailedCalls:
        m_display.ShowFailedCalls(text);
        break;
    case Figure::CompletedCalls:
        m_display.ShowCompletedCalls(text);
        break;
    case Figure::Errors:
        m_display.ShowErrors(text);
        break;
    case Figure::Count:
        break;
    }
}

void SIP_STATS::SetLastRoute(std::string_view value)
{
    m_lastRoute = value;
    m_display.ShowLastRoute(m_lastRoute);
}

std::string SIP_STATS::Summary() const
{
    return Cat("Statistics: Registrations=", Registrations(), " CallAttempts=", CallAttempts(),
               " FailedCalls=", FailedCalls(), " CompletedCalls=", CompletedCalls(),
               " Errors=", Errors(), " LastRoute=", m_lastRoute);
}

} // namespace tavrix
