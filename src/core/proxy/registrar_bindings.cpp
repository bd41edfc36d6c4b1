#include "core/proxy/registrar.h"
#include "core/text/numeric.h"
#include "core/text/text.h"
#include "core/text/uri.h"

#include <algorithm>

namespace tavrix {

namespace {

// Lifetime of a registration that states none (RFC 3261 10.2.1.1 leaves it to the registrar).
constexpr std::int16_t kDefaultRegistrationLifetime = 3600;

// The lifetime one Contact of a REGISTER asks for: the request's "Expires", else the Contact's
// own "expires" parameter (which is where most phones state it), else an hour.
std::int16_t ContactLifetime(const Message& message, std::string_view contact)
{
    const std::string_view expires = message.Header(HeaderId::Expires);
    if (!expires.empty()) {
        return NumericValue16(expires);
    }
    constexpr std::string_view kParameter = ";expires=";
    const std::size_t at = contact.find(kParameter);
    if (at != std::string_view::npos) {
        return NumericValue16(contact.substr(at + kParameter.size()));
    }
    return kDefaultRegistrationLifetime;
}

} // namespace

AdmitResult Registrar::AdmitRegister(CallRecord& rec, const Message& message,
                                     const PeerAddress& peer)
{
    if (!FromSipUri(rec, message, peer)) {
        return AdmitResult::Refused;
    }
    const std::string user(ParseUri(message.Header(HeaderId::From)).user);
    std::vector<std::string_view> contacts;
    for (const HeaderLine& line : message.Lines()) {
        if (line.id == HeaderId::Contact) {
            const std::vector<std::string_view> values = SplitAddresses(line.value);
            contacts.insert(contacts.end(), values.begin(), values.end());
        }
    }
    const bool wildcard = std::find(contacts.begin(), contacts.end(), "*") != contacts.end();
    AdmitResult result = AdmitResult::Admitted;
    if (wildcard) {
        // RFC 3261 10.3 step 6: "*" stands alone, and only to end every binding at once.
        const std::string_view expires = message.Header(HeaderId::Expires);
        if (contacts.size() != 1 || expires.empty() || NumericValue(expires) != 0) {
            result = AdmitResult::BadRequest;
        } else {
            for (const SlotNumber slot : m_calls.BindingsOf(user)) {
                EndCall(slot);
            }
        }
    }
    for (std::size_t i = 0; !wildcard && i < contacts.size() && result == AdmitResult::Admitted;
         ++i) {
        result = Bind(rec, message, peer, user, contacts[i]);
    }
    if (m_calls.At(rec.Slot).IsBare()) {
        m_calls.CleanupCall(rec.Slot); // taken for the request alone
    }
    return result;
}

AdmitResult Registrar::Bind(const CallRecord& rec, const Message& message, const PeerAddress& peer,
                            const std::string& user, std::string_view value)
{
    std::string contact(StripBrackets(value));
    const std::int16_t lifetime = ContactLifetime(message, value);
    // RFC 3261 10.3 step 7: the user's binding of this Contact is updated, under whatever
    // Call-ID it was made.
    if (const SlotNumber binding = m_calls.BindingOf(user, contact); binding != 0) {
        m_calls.Edit(binding).SetTimeLeft(lifetime);
        // The phone is heard where this REGISTER came from (its NAT mapping may be new).
        m_calls.Edit(binding).Heard(Side::Caller, peer);
        m_calls.Edit(binding).SetKeepAlive(m_calls.At(binding).keepAliveIn, 0);
        Saved(binding);
        return AdmitResult::Admitted;
    }
    if (m_calls.RegistrationsOf(contact) > 0) {
        return AdmitResult::Admitted; // another user's Contact: left to that user
    }
    if (IsStream(peer.transport)) {
        ReplaceOnConnection(user, peer, rec.Slot);
    }
    if (!WithinLimits(rec, user, true, false, peer)) {
        return AdmitResult::OverLimit;
    }
    if (m_routes.NoRoomFor(contact)) {
        // A registration nobody could be reached at is no success: refuse it whole.
        m_log.WriteLimited(Flood::RouteTableFull, Level::Err,
                           "Route table full, refusing registration of '", user, "' from ", peer.IP,
                           ":", peer.Port);
        return AdmitResult::NoRoom;
    }
    // The request's own slot while it holds nothing; a further binding of the same Call-ID
    // gets a slot of its own, keyed by the Call-ID and the Contact.
    CallRecord slot = m_calls.At(rec.Slot);
    if (!slot.IsBare()) {
        const std::string key = Cat(rec.CallID, " ", contact);
        const SlotNumber found = m_calls.Find(key);
        slot = found != 0 ? m_calls.At(found) : m_calls.AllocateCall(key);
        EndRegistration(found);
    }
    if (slot.Slot == 0) {
        m_log.WriteLimited(Flood::CallTableFull, Level::Err,
                           "Call table full, refusing registration of '", user, "' from ", peer.IP,
                           ":", peer.Port);
        return AdmitResult::NoRoom;
    }
    CreateBinding(std::move(slot), user, std::move(contact), lifetime, peer);
    return AdmitResult::Admitted;
}

void Registrar::ReplaceOnConnection(const std::string& user, const PeerAddress& peer,
                                    SlotNumber own)
{
    // One connection is one phone (the flow of RFC 5626 4.2): a new Contact it registers for
    // the user replaces the one it registered before (a phone that learnt its address from
    // received and rport registers again with it), rather than ringing the phone twice.
    std::vector<SlotNumber> replaced;
    for (SlotNumber i = m_calls.NextTaken(0); i != 0; i = m_calls.NextTaken(i)) {
        const CallRecord& slot = m_calls.At(i);
        if (slot.holds == Holds::Registration && slot.Username == user &&
            slot.Source.transport == peer.transport && slot.Source.IP == peer.IP &&
            slot.Source.Port == peer.Port) {
            replaced.push_back(i);
        }
    }
    for (const SlotNumber slot : replaced) {
        if (slot == own) {
            EndRegistration(slot); // the request's own slot stays taken for it
        } else {
            EndCall(slot);
        }
    }
}

void Registrar::CreateBinding(CallRecord slot, const std::string& user, std::string contact,
                              std::int16_t lifetime, const PeerAddress& peer)
{
    slot.holds = Holds::Registration;
    slot.Username = user;
    slot.Owner = user;
    slot.Contact = std::move(contact);
    slot.TimeLeft = lifetime;
    const PeerAddress at = ContactAddress(slot.Contact);
    slot.Caller = PeerAddress{"", at.IP, at.Port, at.transport};
    slot.Source = PeerAddress{"", peer.IP, peer.Port, peer.transport};
    m_routes.AddRoute(user, slot.Contact);
    m_calls.Store(slot);
    m_log.WriteLog(Level::Info, "User '", user, "' successfully registered at '", slot.Caller.IP,
                   ":", slot.Caller.Port, "' with ID: ", slot.Slot);
    m_stats.Increment(Figure::Registrations);
    Saved(slot.Slot);
}

std::string Registrar::BindingLines(const std::string& user) const
{
    std::string lines;
    for (const SlotNumber slot : m_calls.BindingsOf(user)) {
        const CallRecord& binding = m_calls.At(slot);
        AppendPieces(lines, lines.empty() ? "" : kCrLf, "Contact: <", binding.Contact,
                     ">;expires=", binding.TimeLeft);
    }
    return lines;
}

} // namespace tavrix
