#include "core/log/stats.h"

#include "core/text/text.h"

namespace tavrix {

void SIP_STATS::SetCompletedCalls(Counter value)
{
    m_completedCalls = value;
    m_display.ShowCompletedCalls(Cat(value));
}

void SIP_STATS::SetLastRoute(std::string_view value)
{
    m_lastRoute = value;
    m_display.ShowLastRoute(m_lastRoute);
}

void SIP_STATS::SetErrors(Counter value)
{
    m_errors = value;
    m_display.ShowErrors(Cat(value));
}

void SIP_STATS::SetFailedCalls(Counter value)
{
    m_failedCalls = value;
    m_display.ShowFailedCalls(Cat(value));
}

void SIP_STATS::SetCallAttempts(Counter value)
{
    m_callAttempts = value;
    m_display.ShowCallAttempts(Cat(value));
}

void SIP_STATS::SetRegistrations(Counter value)
{
    m_registrations = value;
    m_display.ShowRegistrations(Cat(value));
}

std::string SIP_STATS::Summary() const
{
    return Cat("Statistics: Registrations=", m_registrations, " CallAttempts=", m_callAttempts,
               " FailedCalls=", m_failedCalls, " CompletedCalls=", m_completedCalls,
               " Errors=", m_errors, " LastRoute=", m_lastRoute);
}

} // namespace tavrix
