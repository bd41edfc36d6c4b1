#include "core/proxy/call_table.h"

#include "core/text/message.h"
#include "core/text/numeric.h"
#include "core/text/uri.h"
#include "core/text/via.h"

#include <algorithm>

namespace tavrix {

namespace {

const CallRecord kEmptyRecord;

// A call slot that may be given away when the table is full: finished, or run out (a stray
// ACK or response, a call never routed: the next sweep frees it anyway). Never a registration.
bool IsSpent(const CallRecord& slot)
{
    // A forked call waits for the last of its branches: their answers to the proxy's CANCEL
    // and ACK need it.
    const bool branchesDone = std::ranges::all_of(
        slot.forks, [](const Fork& fork) { return fork.state == ForkState::Done; });
    return !slot.IsRegistration() && branchesDone &&
           (slot.stage == CallStage::Ending || slot.TimeLeft <= 0);
}

} // namespace

PeerAddress ContactAddress(std::string_view uri)
{
    const Uri parsed = ParseUri(uri);
    const bool sips = parsed.Is("sips");
    if (!parsed.Is("sip") && !sips) {
        return {"", "", kSipPort};
    }
    // RFC 3261 19.1.2, 26.2: "sips:" and transport=tls ask for TLS, at 5061 without a port.
    const TransportKind kind =
        sips ? TransportKind::Tls : KindNamed(FindParam(parsed.params, "transport").value_or(""));
    const bool tlsPort = kind == TransportKind::Tls && parsed.hostPort.portText.empty();
    return {"", std::string(parsed.hostPort.host), tlsPort ? kSipsPort : parsed.hostPort.Port(),
            kind};
}

bool CallRecord::IsBare() const
{
    CallRecord bare;
    bare.Slot = Slot;
    bare.CallID = CallID;
    bare.Owner = Owner;
    return !CallID.empty() && *this == bare;
}

CallTable::CallTable(Logger& log, SlotNumber slots)
    : m_log(log), m_capacity(slots), m_free(static_cast<std::size_t>(slots), true),
      m_taken(static_cast<std::size_t>(slots)), m_spent(static_cast<std::size_t>(slots))
{}

Found CallTable::LookupCall(const Message& message, const PeerAddress& peer, CallRecord& rec)
{
    const std::string_view callId = message.Header(HeaderId::CallId);
    if (callId.empty()) {
        m_log.WriteLimited(Flood::NoCallId, Level::Err, "Call missing call ID from ", peer.IP);
        rec = {};
        return Found::NoCallId;
    }
    if (const SlotNumber known = Find(callId); known != 0) {
        rec = At(known);
        return Found::Known;
    }
    // Only the copy carries the Contact; the slot gets it when the record is stored.
    rec = AllocateCall(callId);
    rec.Contact = message.Header(HeaderId::Contact);
    return rec.Slot == 0 ? Found::TableFull : Found::New;
}

CallRecord CallTable::AllocateCall(std::string_view callId)
{
    std::size_t index = m_free.First();
    if (index == IndexSet::npos) {
        // A full table would refuse every call until finished calls age out (up to 7200
        // seconds): give the lowest slot that is of no more use to the new Call-ID instead.
        index = m_spent.First();
        if (index == IndexSet::npos) {
            return {};
        }
        CleanupCall(static_cast<SlotNumber>(index + 1));
    }
    const auto number = static_cast<SlotNumber>(index + 1);
    while (m_slots.size() <= index) {
        m_slots.emplace_back();
    }
    CallRecord& slot = Slot(number);
    slot.CallID = std::string(callId);
    slot.Slot = number;
    m_free.Erase(index);
    m_taken.Insert(index);
    Index(number);
    return slot;
}

bool CallTable::IsKnownContact(const std::string& contact) const
{
    if (contact.empty() && m_free.Count() > 0) {
        return true; // every free slot holds an empty Contact
    }
    return m_contacts.contains(contact);
}

void CallTable::CleanupCall(SlotNumber slot)
{
    m_log.WriteLog(Level::Debug, "Cleaning up call: ", slot);
    if (!IsTaken(slot)) {
        return;
    }
    Unindex(slot);
    Slot(slot) = CallRecord{};
    const auto index = static_cast<std::size_t>(slot - 1);
    m_taken.Erase(index);
    m_spent.Erase(index);
    m_free.Insert(index);
}

SlotNumber CallTable::Find(std::string_view callId) const
{
    const auto found = m_byCallId.find(callId);
    return found == m_byCallId.end() ? 0 : found->second;
}

const CallRecord& CallTable::At(SlotNumber slot) const
{
    if (slot < 1 || static_cast<std::size_t>(slot) > m_slots.size()) {
        return kEmptyRecord;
    }
    return m_slots[static_cast<std::size_t>(slot - 1)];
}

void CallTable::Store(const CallRecord& rec)
{
    if (!IsTaken(rec.Slot) || At(rec.Slot).CallID != rec.CallID) {
        return;
    }
    CallRecord& slot = Slot(rec.Slot);
    const bool sameKeys = slot.Contact == rec.Contact && slot.holds == rec.holds &&
                          slot.Username == rec.Username && slot.Owner == rec.Owner;
    if (!sameKeys) {
        Unindex(rec.Slot);
        slot = rec;
        Index(rec.Slot);
        return;
    }
    // Most stores change nothing the indexes hold; only the Call-ID index views the slot's own
    // text, which the copy may move.
    m_byCallId.erase(slot.CallID);
    slot = rec;
    m_byCallId.emplace(slot.CallID, rec.Slot);
    UpdateSpent(rec.Slot);
}

const CallRecord* CallTable::RegistrationOf(const std::string& contact) const
{
    const auto found = m_registered.find(contact);
    return found == m_registered.end() ? nullptr : &At(*found->second.begin());
}

SlotNumber CallTable::NextTaken(SlotNumber after) const
{
    const std::size_t index = m_taken.Next(static_cast<std::size_t>(after < 0 ? 0 : after));
    return index == IndexSet::npos ? 0 : static_cast<SlotNumber>(index + 1);
}

std::size_t CallTable::RegistrationsOf(const std::string& contact) const
{
    const auto found = m_registered.find(contact);
    return found == m_registered.end() ? 0 : found->second.size();
}

SlotNumber CallTable::BindingOf(const std::string& user, const std::string& contact) const
{
    const auto found = m_bindings.find(user);
    if (found != m_bindings.end()) {
        for (const SlotNumber slot : found->second) {
            if (At(slot).Contact == contact) {
                return slot;
            }
        }
    }
    return 0;
}

std::vector<SlotNumber> CallTable::BindingsOf(const std::string& user) const
{
    const auto found = m_bindings.find(user);
    return found == m_bindings.end()
               ? std::vector<SlotNumber>()
               : std::vector<SlotNumber>(found->second.begin(), found->second.end());
}

Holdings CallTable::HoldingsOf(const std::string& user) const
{
    const auto found = m_holdings.find(user);
    return found == m_holdings.end() ? Holdings{} : found->second;
}

CallRecord* SlotWriter::Taken()
{
    return m_table.IsTaken(m_slot) ? &m_table.Slot(m_slot) : nullptr;
}

void SlotWriter::SetTimeLeft(std::int16_t timeLeft)
{
    if (CallRecord* rec = Taken()) {
        rec->TimeLeft = timeLeft;
        m_table.UpdateSpent(m_slot);
    }
}

void SlotWriter::MarkEnding()
{
    if (CallRecord* rec = Taken()) {
        rec->stage = CallStage::Ending;
        m_table.UpdateSpent(m_slot);
    }
}

void SlotWriter::MarkAnswered(std::string_view calleeTag)
{
    CallRecord* rec = Taken();
    if (rec == nullptr) {
        return;
    }
    if (rec->stage == CallStage::Trying) {
        rec->stage = CallStage::Answered;
    }
    if (rec->CalleeTag.empty()) {
        rec->CalleeTag = calleeTag;
    }
}

void SlotWriter::SetKeepAlive(std::int16_t in, std::uint8_t unanswered)
{
    if (CallRecord* rec = Taken()) {
        rec->keepAliveIn = in;
        rec->unanswered = unanswered;
    }
}

void SlotWriter::Heard(Side side, const PeerAddress& from)
{
    if (CallRecord* rec = Taken()) {
        PeerAddress& source = side == Side::Callee ? rec->CalleeSource : rec->Source;
        source = PeerAddress{"", from.IP, from.Port, from.transport};
    }
}

void SlotWriter::Claim(const std::string& owner)
{
    if (CallRecord* rec = Taken(); rec != nullptr && rec->Owner != owner) {
        m_table.Unindex(m_slot);
        rec->Owner = owner;
        m_table.Index(m_slot);
    }
}

void SlotWriter::NoteForwarded(std::uint64_t branch, Side to)
{
    if (CallRecord* rec = Taken()) {
        rec->forwarded[rec->nextForwarded] = Forwarded{branch, to, true};
        rec->nextForwarded = static_cast<std::uint8_t>((rec->nextForwarded + 1) % kForwardedKept);
    }
}

void SlotWriter::SetAnswerTimeLeft(std::int16_t ticks)
{
    if (CallRecord* rec = Taken()) {
        rec->AnswerTimeLeft = ticks;
    }
}

void CallTable::Unindex(SlotNumber slot)
{
    const CallRecord& rec = Slot(slot);
    m_byCallId.erase(rec.CallID);
    const auto drop = [](auto& counts, const std::string& key) {
        if (const auto found = counts.find(key); found != counts.end() && --found->second == 0) {
            counts.erase(found);
        }
    };
    drop(m_contacts, rec.Contact);
    if (rec.IsRegistration()) {
        const auto dropSlot = [slot](auto& index, const std::string& key) {
            const auto found = index.find(key);
            found->second.erase(slot);
            if (found->second.empty()) {
                index.erase(found);
            }
        };
        dropSlot(m_registered, rec.Contact);
        dropSlot(m_bindings, rec.Username);
    }
    if (!rec.Owner.empty()) {
        const auto held = m_holdings.find(rec.Owner);
        held->second.bindings -= rec.IsRegistration() ? 1 : 0;
        held->second.calls -= rec.IsCall() ? 1 : 0;
        if (held->second.bindings == 0 && held->second.calls == 0) {
            m_holdings.erase(held);
        }
    }
}

void CallTable::Index(SlotNumber slot)
{
    const CallRecord& rec = Slot(slot);
    m_byCallId.emplace(rec.CallID, slot);
    ++m_contacts[rec.Contact];
    if (rec.IsRegistration()) {
        m_registered[rec.Contact].insert(slot);
        m_bindings[rec.Username].insert(slot);
    }
    if (!rec.Owner.empty()) {
        Holdings& held = m_holdings[rec.Owner];
        held.bindings += rec.IsRegistration() ? 1 : 0;
        held.calls += rec.IsCall() ? 1 : 0;
    }
    UpdateSpent(slot);
}

void CallTable::UpdateSpent(SlotNumber slot)
{
    const auto index = static_cast<std::size_t>(slot - 1);
    if (IsSpent(Slot(slot))) {
        m_spent.Insert(index);
    } else {
        m_spent.Erase(index);
    }
}

} // namespace tavrix
