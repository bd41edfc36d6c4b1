#include "sip/call_table.h"

#include "sip/message.h"
#include "sip/text.h"

namespace tavrix {

CallRecord CallTable::LookupCall(std::string_view message, const PeerAddress& peer)
{
    const std::string callId = GetHeader(message, "Call-ID");
    if (callId.empty()) {
        m_log.WriteLog(Level::LOG_ERR, Cat("Call missing call ID from ", peer.IP));
        return {};
    }
    for (const CallRecord& slot : m_slots) {
        if (slot.CallID == callId) {
            return slot;
        }
    }
    // Only the copy carries the Contact; the slot gets it when the record is stored.
    CallRecord rec = AllocateCall(callId);
    rec.Contact = GetHeader(message, "Contact");
    return rec;
}

CallRecord CallTable::AllocateCall(std::string_view callId)
{
    CallRecord* chosen = nullptr;
    for (CallRecord& slot : m_slots) {
        if (slot.CallID.empty()) {
            chosen = &slot;
            break;
        }
    }
    if (chosen == nullptr) {
        // A full table would refuse every call until finished calls age out (up to 7200
        // seconds): give the lowest slot that is of no more use to the new Call-ID instead.
        for (std::int16_t n = 1; n <= kCallSlots; ++n) {
            if (IsSpent(At(n))) {
                CleanupCall(n);
                chosen = &At(n);
                break;
            }
        }
    }
    if (chosen == nullptr) {
        return {};
    }
    chosen->CallID = std::string(callId);
    chosen->Slot = static_cast<std::int16_t>(chosen - m_slots.data() + 1);
    return *chosen;
}

bool CallTable::IsSpent(const CallRecord& slot)
{
    // A finished call, or one the next sweep releases anyway (a stray ACK or response, a call
    // that was never routed). Registrations are never given away.
    return slot.IsRegistration == 0 && (slot.Finished != 0 || slot.TimeLeft <= 0);
}

bool CallTable::IsKnownContact(CallRecord& rec)
{
    StripBrackets(rec.Contact);
    for (const CallRecord& slot : m_slots) {
        if (slot.Contact == rec.Contact) {
            return true;
        }
    }
    return false;
}

void CallTable::CleanupCall(std::int16_t slot)
{
    if (m_log.Passes(Level::LOG_DEBUG)) {
        m_log.WriteLog(Level::LOG_DEBUG, Cat("Cleaning up call: ", slot));
    }
    if (slot >= 1 && slot <= kCallSlots) {
        m_slots[slot - 1] = CallRecord{};
    }
}

CallRecord& CallTable::At(std::int16_t slot)
{
    if (slot >= 1 && slot <= kCallSlots) {
        return m_slots[slot - 1];
    }
    m_scratch = CallRecord{};
    return m_scratch;
}

const CallRecord& CallTable::At(std::int16_t slot) const
{
    static const CallRecord kEmpty;
    if (slot >= 1 && slot <= kCallSlots) {
        return m_slots[slot - 1];
    }
    return kEmpty;
}

void CallTable::Store(const CallRecord& rec)
{
    if (rec.Slot >= 1 && rec.Slot <= kCallSlots) {
        m_slots[rec.Slot - 1] = rec;
    }
}

} // namespace tavrix
