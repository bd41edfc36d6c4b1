#include "core/proxy/proxy.h"
#include "core/text/numeric.h"

namespace tavrix {

void Proxy::Sweep()
{
    // Only taken slots, in ascending order. Tested before counted down: a lifetime of N is
    // counted down on N ticks and ends on tick N + 1.
    for (SlotNumber i = m_calls.NextTaken(0); i != 0; i = m_calls.NextTaken(i)) {
        const CallRecord& slot = m_calls.At(i);
        if (slot.AnswerTimeLeft > 0) {
            // RFC 3261 16.8 (timer C): an INVITE nobody answers ends its call, whatever the
            // call's lifetime; the phones' own timers end their sides.
            m_calls.SetAnswerTimeLeft(i, static_cast<std::int16_t>(slot.AnswerTimeLeft - 1));
            if (slot.AnswerTimeLeft == 0) {
                EndCall(i);
                continue;
            }
        }
        if (slot.IsRegistration != 0) {
            if (slot.TimeLeft < 1) {
                EndCall(i);
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

void Proxy::EndCall(SlotNumber slot)
{
    EndRegistration(slot);
    m_calls.CleanupCall(slot);
}

void Proxy::EndRegistration(SlotNumber slot)
{
    const CallRecord& rec = m_calls.At(slot);
    if (rec.IsRegistration == 0) {
        return;
    }
    m_log.WriteLog(Level::Info, "Unregistered '", rec.Username, "' from ", rec.Caller.IP, ":",
                   rec.Caller.Port, "'");
    if (m_calls.RegistrationsOf(rec.Contact) < 2) {
        m_routes.RemoveRoutes(rec);
    }
    if (const auto updated = m_updated.find(rec.CallID); updated != m_updated.end()) {
        if (m_store != nullptr) {
            m_store->Remove(BindingOf(rec, updated->second));
        }
        m_updated.erase(updated);
    }
    m_stats.SetRegistrations(m_stats.Registrations() - 1);
}

} // namespace tavrix
