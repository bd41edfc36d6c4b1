#pragma once

#include "core/log/logger.h"
#include "core/proxy/index_set.h"
#include "core/proxy/transport.h"
#include "core/text/message.h"

#include <array>
#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavrix {

// Slot numbers run from 1; 0 is "no slot".
using SlotNumber = std::int32_t;
inline constexpr SlotNumber kCallSlots = 100;

// Where a party is reached. The source of a datagram has IP and Port, and no Uri.
struct PeerAddress
{
    std::string Uri;
    std::string IP; // an IPv6 address in brackets
    std::uint16_t Port = 0;
    TransportKind transport = TransportKind::Udp;

    bool operator==(const PeerAddress&) const = default;
};

// Where a "sip:" or "sips:" URI (a Contact, a route) is reached: its host and port, 5060
// without one (5061 for TLS), over the transport its transport parameter names ("sips:": TLS;
// none: UDP). A URI of another scheme has no address here (port 5060, no IP).
PeerAddress ContactAddress(std::string_view uri);

// The two sides of a call: who sent its INVITE, and where the proxy forwarded it.
enum class Side : std::uint8_t
{
    Caller,
    Callee
};

// What a taken slot holds.
enum class Holds : std::uint8_t
{
    Nothing,      // only its Call-ID (a request that stored nothing yet)
    Call,         // a call between a known caller and its callee
    Registration, // a REGISTER's binding
    // A call whose INVITE came from a Contact not known yet: its caller is registered in the
    // call's own slot (with the INVITE's Expires), and the sweep ages the slot as a registration.
    CallAndRegistration,
    // A request of another method outside a call (a MESSAGE, a SUBSCRIBE ...), forwarded and
    // waiting for its final answer (RFC 3261 17.1.2.2: at most 32 s).
    Transaction,
    // A SUBSCRIBE answered 2xx: its NOTIFYs and refreshes are relayed until it ends.
    Subscription,
};

// Where a call stands.
enum class CallStage : std::uint8_t
{
    Trying,   // the INVITE is on its way or waits for a final answer
    Answered, // a 2xx answered the call's INVITE; a later INVITE is a re-INVITE
    Ending    // answered with a failure, or its BYE or CANCEL answered: the next ACK frees it
};

// A request the proxy forwarded within a call: the number of its branch and where it went, so
// that only that side's answer carrying that branch is taken.
struct Forwarded
{
    std::uint64_t branch = 0;
    Side to = Side::Callee;
    bool used = false;

    bool operator==(const Forwarded&) const = default;
};
inline constexpr std::size_t kForwardedKept = 4;

// Where one branch of a forked request stands (RFC 3261 16.7).
enum class ForkState : std::uint8_t
{
    Sent,       // forwarded, nothing heard yet
    CancelDue,  // to be cancelled once it answers provisionally (RFC 3261 9.1)
    Proceeding, // a provisional answer came
    Cancelled,  // the proxy sent it a CANCEL
    Done        // its final answer came (or it stayed silent too long)
};

// One branch of a request the proxy forked to every binding of a user.
struct Fork
{
    PeerAddress callee;          // the binding: Uri, IP and Port of its Contact
    PeerAddress heard;           // where the binding's messages come from; empty: its Contact's
    std::uint64_t branch = 0;    // the proxy's branch to it
    std::string tag;             // the To tag of its first answer that had one
    std::int16_t code = 0;       // its final status code; 0 before
    std::int16_t silentLeft = 0; // ticks it may stay silent before it counts as 408
    ForkState state = ForkState::Sent;

    bool operator==(const Fork&) const = default;
};

// One dialog or registration. An empty record (all empty, all 0) is a free slot.
struct CallRecord
{
    SlotNumber Slot = 0;          // own slot number from 1; 0 when it has none
    Holds holds = Holds::Nothing; // a call, a registration, or both
    std::string CallID;           // empty marks a free slot
    std::int16_t TimeLeft = 0;    // lifetime in sweep ticks (seconds)
    CallStage stage = CallStage::Trying;
    PeerAddress Caller;              // who opened the dialog or registration
    PeerAddress Callee;              // the routed leg; an empty Uri means not routed
    std::string Username;            // user part of a registration's From URI
    std::string Contact;             // Contact of the creating message
    std::int16_t AnswerTimeLeft = 0; // ticks the INVITE may still wait for a final answer; 0: none
    std::string Owner;               // the From user of the REGISTER or INVITE that made it
    PeerAddress Source;              // where that request (the caller) came from (IP and Port)
    PeerAddress CalleeSource;        // where the callee's messages come from; empty before
    std::string CallerTag;           // the From tag of the call's INVITE
    std::string CalleeTag;           // the To tag of the 2xx that answered it; empty before
    std::string InviteBranch;        // the branch of the INVITE's topmost Via
    std::string Method;              // a Transaction's method
    std::int16_t Asked = 0;          // the Expires a SUBSCRIBE asked for; 0: none
    std::int16_t keepAliveIn = 0;    // a binding behind NAT: ticks to its next keep-alive
    std::uint8_t unanswered = 0;     // its keep-alives unanswered in a row
    std::array<Forwarded, kForwardedKept> forwarded{}; // the last requests forwarded
    std::uint8_t nextForwarded = 0;
    std::vector<Fork> forks; // the branches of a forked INVITE or MESSAGE; empty: not forked
    std::string request;     // a forked request as received, for the proxy's own answers
    std::string held;        // the best final failure of its branches so far

    // Whether the slot holds a registration (alone or beside a call).
    bool IsRegistration() const
    {
        return holds == Holds::Registration || holds == Holds::CallAndRegistration;
    }
    // Whether it counts as a call of its Owner: an INVITE made it.
    bool IsCall() const { return holds != Holds::Registration && !Owner.empty(); }
    // Whether the call has been forwarded to a callee.
    bool Routed() const { return !Callee.Uri.empty(); }
    // Whether a taken slot holds nothing but its Call-ID and whose it is: nothing was stored.
    bool IsBare() const;
    // The party on that side.
    const PeerAddress& Party(Side side) const { return side == Side::Callee ? Callee : Caller; }

    bool operator==(const CallRecord&) const = default;
};

// How many slots a user holds: bindings (registrations) and calls (a slot an INVITE of the
// user's took, answered or not). A registration an INVITE made counts as both.
struct Holdings
{
    int bindings = 0;
    int calls = 0;
};

// What LookupCall found for a message.
enum class Found
{
    Known,    // the slot of a Call-ID seen before
    New,      // a slot just taken for a new Call-ID
    NoCallId, // the message has no Call-ID (logged as an error); no slot
    TableFull // a new Call-ID and no slot left; no slot
};

class CallTable;

// The field writes to one taken slot that leave the indexes beside the slots as they are (a
// slot not taken ignores them). CallTable::Edit hands one out.
class SlotWriter
{
public:
    // Sets TimeLeft.
    void SetTimeLeft(std::int16_t timeLeft);
    // Marks the call Ending.
    void MarkEnding();
    // Marks the call Answered, unless it is Ending already, and keeps the tag the callee gave
    // the dialog (the first one).
    void MarkAnswered(std::string_view calleeTag);
    // Sets the keep-alive countdown and unanswered count.
    void SetKeepAlive(std::int16_t in, std::uint8_t unanswered);
    // Keeps where a message from that side of the call came from.
    void Heard(Side side, const PeerAddress& from);
    // Makes the user the owner, whose holdings the slot then counts in.
    void Claim(const std::string& owner);
    // Keeps a request forwarded within the call (the oldest of kForwardedKept is forgotten).
    void NoteForwarded(std::uint64_t branch, Side to);
    // Sets AnswerTimeLeft.
    void SetAnswerTimeLeft(std::int16_t ticks);

private:
    friend class CallTable;
    SlotWriter(CallTable& table, SlotNumber slot) : m_table(table), m_slot(slot) {}
    // The slot, or nullptr when it is not taken.
    CallRecord* Taken();

    CallTable& m_table;
    SlotNumber m_slot;
};

// The slots keyed by Call-ID. Records are handed out as copies; a change reaches the table
// only through Store() and the few field writes below, which keep the indexes beside the slots
// in step, so every look-up takes the same time however large the table.
class CallTable
{
public:
    explicit CallTable(Logger& log, SlotNumber slots = kCallSlots);

    // A copy of the message's record: its slot, or a fresh slot for a new Call-ID, whose copy
    // alone carries the message's Contact. No Call-ID: logged as an error. A full table with
    // nothing to reclaim: nothing logged. In both cases an empty record (Slot 0).
    // The copy goes into rec, whose texts keep their room (a record reused message after
    // message).
    Found LookupCall(const Message& message, const PeerAddress& peer, CallRecord& rec);

    // Takes the lowest free slot for the Call-ID; with none free, reclaims the lowest spent
    // slot (a call that finished or ran out). A copy of the slot, or an empty record.
    CallRecord AllocateCall(std::string_view callId);

    // Whether any slot (free ones too, whose Contact is empty) holds this Contact.
    bool IsKnownContact(const std::string& contact) const;

    // Logs "Cleaning up call: N" and frees slot N. Other numbers: only the line.
    void CleanupCall(SlotNumber slot);

    // The slot of a Call-ID; 0 when no slot holds it.
    SlotNumber Find(std::string_view callId) const;

    // Slot n; an empty record for a free slot or any other number.
    const CallRecord& At(SlotNumber slot) const;

    // Replaces the taken slot rec.Slot by rec; a record of no slot, of a free slot or of
    // another Call-ID is not stored.
    void Store(const CallRecord& rec);
    // The field writes to slot n.
    SlotWriter Edit(SlotNumber slot) { return {*this, slot}; }
    // The first registration that holds this Contact; nullptr when none does.
    const CallRecord* RegistrationOf(const std::string& contact) const;

    // How many registration slots hold this Contact.
    std::size_t RegistrationsOf(const std::string& contact) const;
    // The registration slot of the user for this Contact; 0 when the user holds none.
    SlotNumber BindingOf(const std::string& user, const std::string& contact) const;
    // The registration slots of a user, in slot order.
    std::vector<SlotNumber> BindingsOf(const std::string& user) const;
    // What a user holds now.
    Holdings HoldingsOf(const std::string& user) const;

    // The lowest taken slot above after; 0 when there is none.
    SlotNumber NextTaken(SlotNumber after) const;
    SlotNumber Capacity() const { return m_capacity; }
    std::size_t Taken() const { return m_taken.Count(); }

private:
    friend class SlotWriter;
    CallRecord& Slot(SlotNumber slot) { return m_slots[static_cast<std::size_t>(slot - 1)]; }
    bool IsTaken(SlotNumber slot) const
    {
        return slot >= 1 && m_taken.Contains(static_cast<std::size_t>(slot - 1));
    }
    // Takes the slot's keys out of the indexes, before the slot changes.
    void Unindex(SlotNumber slot);
    // Puts the slot's keys into the indexes, after it changed.
    void Index(SlotNumber slot);
    void UpdateSpent(SlotNumber slot);

    Logger& m_log;
    SlotNumber m_capacity;
    std::deque<CallRecord> m_slots; // grows to the highest slot taken so far; references stay
    IndexSet m_free;                // slot - 1 of every free slot
    IndexSet m_taken;               // slot - 1 of every taken slot
    IndexSet m_spent;               // slot - 1 of every slot a new Call-ID may take over
    // The Call-ID of each taken slot; the keys are views of the slots' own CallID texts.
    std::unordered_map<std::string_view, SlotNumber> m_byCallId;
    std::unordered_map<std::string, SlotNumber> m_contacts; // Contact -> taken slots with it
    std::unordered_map<std::string, std::set<SlotNumber>> m_registered; // Contact -> slots
    std::unordered_map<std::string, Holdings> m_holdings;               // Owner -> counts
    std::unordered_map<std::string, std::set<SlotNumber>> m_bindings;   // Username -> slots
};

} // namespace tavrix
