#include "engine/proxy.h"
#include "sip/numeric.h"
#include "sip/text.h"

namespace tavrix {

void Proxy::Sweep()
{
    // Tested before counted down: a lifetime of N is counted down on N ticks and ends on
    // tick N + 1.
    for (std::int16_t i = 1; i <= kCallSlots; ++i) {
        CallRecord& slot = m_calls.At(i);
        if (slot.IsRegistration != 0) {
            if (slot.TimeLeft < 1) {
                if (m_log.Passes(Level::LOG_INFO)) {
                    m_log.WriteLog(Level::LOG_INFO,
                                   Cat("Unregistered '", slot.Username, "' from ", slot.Caller.IP,
                                       ":", slot.Caller.Port, "'"));
                }
                m_routes.RemoveRoutes(slot);
                m_calls.CleanupCall(i);
                m_stats.SetRegistrations(Saturated(m_stats.Registrations(), -1));
            } else {
                --slot.TimeLeft;
            }
        } else if (!slot.CallID.empty()) {
            if (slot.TimeLeft > 0) {
                --slot.TimeLeft;
            } else {
                m_calls.CleanupCall(i);
            }
        }
    }
}

} // namespace tavrix
