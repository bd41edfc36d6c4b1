#include "console/stats.h"

#include "sip/text.h"

namespace tavrix {

void SIP_STATS::SetCompletedCalls(std::int16_t value)
{
    m_completedCalls = value;
    m_display.ShowCompletedCalls(Piece(value).view());
}

void SIP_STATS::SetLastRoute(std::string_view value)
{
    m_lastRoute = value;
    m_display.ShowLastRoute(m_lastRoute);
}

void SIP_STATS::SetErrors(std::int16_t value)
{
    m_errors = value;
    m_display.ShowErrors(Piece(value).view());
}

void SIP_STATS::SetFailedCalls(std::int16_t value)
{
    m_failedCalls = value;
    m_display.ShowFailedCalls(Piece(value).view());
}

void SIP_STATS::SetCallAttempts(std::int16_t value)
{
    m_callAttempts = value;
    m_display.ShowCallAttempts(Piece(value).view());
}

void SIP_STATS::SetRegistrations(std::int16_t value)
{
    m_registrations = value;
    m_display.ShowRegistrations(Piece(value).view());
}

std::string SIP_STATS::Summary() const
{
    return Cat("Statistics: Registrations=", m_registrations, " CallAttempts=", m_callAttempts,
               " FailedCalls=", m_failedCalls, " CompletedCalls=", m_completedCalls,
               " Errors=", m_errors, " LastRoute=", m_lastRoute);
}

} // namespace tavrix
