#include "core/proxy/sweep.h"

namespace tavrix {

void Sweep::Run()
{
    // Only taken slots, in ascending order; each is tested before it is counted down.
    for (SlotNumber i = m_calls.NextTaken(0); i != 0; i = m_calls.NextTaken(i)) {
        const CallRecord& slot = m_calls.At(i);
        if (!slot.forks.empty()) {
            m_relay.ForkTick(i);
            if (slot.CallID.empty()) {
                continue; // the last branch's silence ended a forked MESSAGE
            }
        }
        if (slot.AnswerTimeLeft > 0) {
            // RFC 3261 16.8 (timer C): an INVITE nobody answers ends its call, whatever the
            // call's lifetime; the phones' own timers end their sides.
            m_calls.Edit(i).SetAnswerTimeLeft(static_cast<std::int16_t>(slot.AnswerTimeLeft - 1));
            if (slot.AnswerTimeLeft == 0) {
                m_registrar.EndCall(i);
                continue;
            }
        }
        if (slot.IsRegistration()) {
            if (slot.TimeLeft < 1) {
                m_registrar.EndCall(i);
            } else {
                m_calls.Edit(i).SetTimeLeft(static_cast<std::int16_t>(slot.TimeLeft - 1));
                m_keepAlive.Visit(i);
            }
        } else if (slot.TimeLeft > 0) {
            m_calls.Edit(i).SetTimeLeft(static_cast<std::int16_t>(slot.TimeLeft - 1));
        } else {
            m_calls.CleanupCall(i);
        }
    }
}

} // namespace tavrix
