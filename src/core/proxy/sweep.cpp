#include "core/proxy/proxy.h"
#include "core/text/numeric.h"

namespace tavrix {

void Proxy::Sweep()
{
    // Only taken slots, in ascending order. Tested before counted down: a lifetime of N is
    // counted down on N ticks and ends on tick N + 1.
    for (SlotNumber i = m_calls.NextTaken(0); i != 0; i = m_calls.NextTaken(i)) {
        const CallRecord& slot = m_calls.At(i);
        if (slot.IsRegistration != 0) {
            if (slot.TimeLeft < 1) {
                m_log.WriteLog(Level::Info, "Unregistered '", slot.Username, "' from ",
                               slot.Caller.IP, ":", slot.Caller.Port, "'");
                m_routes.RemoveRoutes(slot);
                m_calls.CleanupCall(i);
                m_stats.SetRegistrations(Saturated(m_stats.Registrations(), -1));
            } else {
                m_calls.SetTimeLeft(i, static_cast<std::int16_t>(slot.TimeLeft - 1));
            }
        } else if (slot.TimeLeft > 0) {
            m_calls.SetTimeLeft(i, static_cast<std::int16_t>(slot.TimeLeft - 1));
        } else {
            m_calls.CleanupCall(i);
        }
    }
}

} // namespace tavrix
