#pragma once

#include "console/logger.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavrix {

inline constexpr std::int16_t kCallSlots = 100;
inline constexpr std::int16_t kTrue = -1;
inline constexpr std::int16_t kFalse = 0;

// Where a party is reached. The source of a datagram has IP and Port, and no Uri.
struct PeerAddress
{
    std::string Uri;
    std::string IP;
    std::uint16_t Port = 0;

    bool operator==(const PeerAddress&) const = default;
};

// One dialog or registration. An empty record (all empty, all 0) is a free slot.
struct CallRecord
{
    std::int16_t Slot = 0;           // own slot number 1..100; 0 when it has none
    std::int16_t IsRegistration = 0; // -1 for a registration
    std::string CallID;              // empty marks a free slot
    std::int16_t TimeLeft = 0;       // lifetime in sweep ticks (seconds)
    std::int16_t Finished = 0;       // -1 once the call ended; the slot is then released
    PeerAddress Caller;              // who opened the dialog or registration
    PeerAddress Callee;              // the routed leg; an empty Uri means not routed
    std::string Username;            // user part of a registration's From URI
    std::string Contact;             // Contact of the creating message
    std::int16_t Leg = 0;            // where the next message goes: 1 the Callee, else the Caller

    bool operator==(const CallRecord&) const = default;
};

// The 100 slots keyed by Call-ID. Records are handed out as copies; a change reaches the
// table only when a whole record is stored back with Store().
class CallTable
{
public:
    explicit CallTable(Logger& log) : m_log(log) {}

    // A copy of the message's record: its slot, or a fresh slot for a new Call-ID, whose copy
    // alone carries the message's Contact. No Call-ID: logged as an error, empty record.
    // A full table with nothing to reclaim: an empty record (Slot 0), nothing logged.
    CallRecord LookupCall(std::string_view message, const PeerAddress& peer);

    // Takes the first free slot for the Call-ID; with none free, reclaims the lowest spent
    // slot. A copy of the slot, or an empty record when nothing is left.
    CallRecord AllocateCall(std::string_view callId);

    // A call slot that may be given away when the table is full: finished, or run out.
    static bool IsSpent(const CallRecord& slot);

    // Strips rec.Contact of its brackets in place, then whether any slot (free ones too,
    // whose Contact is empty) holds that Contact.
    bool IsKnownContact(CallRecord& rec);

    // Logs "Cleaning up call: N" and resets slot N to an empty record. Other numbers: nothing.
    void CleanupCall(std::int16_t slot);

    // Slot n (1..100). Any other number reaches a scratch record that is reset on each access,
    // so a record without a slot can never touch the table.
    CallRecord& At(std::int16_t slot);
    const CallRecord& At(std::int16_t slot) const;

    // Replaces slot rec.Slot by rec; a record without a slot is not stored.
    void Store(const CallRecord& rec);

private:
    Logger& m_log;
    std::array<CallRecord, kCallSlots> m_slots{};
    CallRecord m_scratch;
};

} // namespace tavrix
