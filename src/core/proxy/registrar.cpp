#include "core/proxy/registrar.h"

#include "core/text/numeric.h"
#include "core/text/uri.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace tavrix {

namespace {

// The lifetime an INVITE asks for its caller's registration: its "Expires" header, else the
// "expires" parameter of its Contact, else the fallback.
std::int16_t RequestedLifetime(const Message& message, std::int16_t fallback)
{
    const std::string_view expires = message.Header(HeaderId::Expires);
    if (!expires.empty()) {
        return NumericValue16(expires);
    }
    const std::string_view contact = message.Header(HeaderId::Contact);
    constexpr std::string_view kParameter = ";expires=";
    const std::size_t at = contact.find(kParameter);
    if (at != std::string_view::npos) {
        return NumericValue16(contact.substr(at + kParameter.size()));
    }
    return fallback;
}

} // namespace

bool Registrar::FromSipUri(CallRecord& rec, const Message& message, const PeerAddress& peer)
{
    rec.Caller.IP = peer.IP;
    rec.Caller.Port = peer.Port;
    // The only gate: the From URI must be a "sip:" URI (RFC 3261 19.1; this proxy offers no
    // TLS, so "sips:" is refused as well).
    const std::string_view from = message.Header(HeaderId::From);
    if (!ParseUri(from).Is("sip")) {
        m_log.WriteLimited(Flood::Unhandled, Level::Err,
                           "Invalid to address: ", StripBrackets(from), " from ", peer.IP);
        return false;
    }
    return true;
}

AdmitResult Registrar::AdmitRequest(CallRecord& rec, const Message& message,
                                    const PeerAddress& peer)
{
    if (!FromSipUri(rec, message, peer)) {
        return AdmitResult::Refused;
    }
    const std::string user(ParseUri(message.Header(HeaderId::From)).user);
    // A Contact known anywhere is taken as it is, unless this request's own slot holds a
    // registration under another Contact: that one is over, and the caller registers anew.
    rec.Contact = std::string(StripBrackets(rec.Contact));
    const CallRecord& held = m_calls.At(rec.Slot);
    const bool known = m_calls.IsKnownContact(rec.Contact) &&
                       (!held.IsRegistration() || held.Contact == rec.Contact);
    if (!WithinLimits(rec, user, !known, true, peer)) {
        if (m_calls.At(rec.Slot).IsBare()) {
            m_calls.CleanupCall(rec.Slot); // taken only for the request
        }
        return AdmitResult::OverLimit;
    }
    if (!known) {
        return Register(rec, message, peer, RequestedLifetime(message, rec.TimeLeft));
    }
    if (!rec.Contact.empty()) {
        const PeerAddress at = ContactAddress(rec.Contact);
        rec.Caller.IP = at.IP;
        rec.Caller.Port = at.Port;
    }
    // What "Expires" says (0 without one), so a call never routed frees its slot on the next
    // tick; the slot is the caller's while it lives.
    m_calls.Edit(rec.Slot).SetTimeLeft(NumericValue16(message.Header(HeaderId::Expires)));
    m_calls.Edit(rec.Slot).Claim(user);
    rec.Owner = user;
    return AdmitResult::Admitted;
}

AdmitResult Registrar::Register(CallRecord& rec, const Message& message, const PeerAddress& peer,
                                std::int16_t lifetime)
{
    // A registration this slot held is over: its routes go with it.
    EndRegistration(rec.Slot);
    rec.Username = ParseUri(message.Header(HeaderId::From)).user;
    rec.TimeLeft = lifetime;
    rec.Contact = std::string(StripBrackets(message.Header(HeaderId::Contact)));
    const PeerAddress at = ContactAddress(rec.Contact);
    rec.Caller.IP = at.IP;
    rec.Caller.Port = at.Port;
    rec.Owner = rec.Username;
    rec.Source = PeerAddress{"", peer.IP, peer.Port, peer.transport};
    // The caller is registered in the call's own slot.
    rec.holds = Holds::CallAndRegistration;
    m_routes.AddRoute(rec.Username, rec.Contact);
    m_calls.Store(rec);
    m_log.WriteLog(Level::Info, "User '", rec.Username, "' successfully registered at '",
                   rec.Caller.IP, ":", rec.Caller.Port, "' with ID: ", rec.Slot);
    m_stats.Increment(Figure::Registrations);
    // The slot in the table, not the copy: what "Expires" says for the caller's binding.
    m_calls.Edit(rec.Slot).SetTimeLeft(NumericValue16(message.Header(HeaderId::Expires)));
    return AdmitResult::Admitted;
}

bool Registrar::WithinLimits(const CallRecord& rec, const std::string& user, bool binding,
                             bool call, const PeerAddress& peer)
{
    if (!m_limits.enforced) {
        return true;
    }
    const Holdings holdings = m_calls.HoldingsOf(user);
    // A registration of the user's that the request replaces in its slot makes room for it.
    const CallRecord& held = m_calls.At(rec.Slot);
    const int replaced = held.IsRegistration() && held.Owner == user ? 1 : 0;
    if (call && holdings.calls >= m_limits.calls) {
        m_log.WriteLimited(Flood::UserLimit, Level::Err, "Too many calls for '", user, "' from ",
                           peer.IP, ":", peer.Port);
        return false;
    }
    if (binding && holdings.bindings - replaced >= m_limits.bindings) {
        m_log.WriteLimited(Flood::UserLimit, Level::Err, "Too many registrations for '", user,
                           "' from ", peer.IP, ":", peer.Port);
        return false;
    }
    return true;
}

void Registrar::EndCall(SlotNumber slot)
{
    EndRegistration(slot);
    m_calls.CleanupCall(slot);
}

void Registrar::ConnectionClosed(const PeerAddress& peer)
{
    if (peer.transport != TransportKind::Ws && peer.transport != TransportKind::Wss) {
        return;
    }
    std::vector<SlotNumber> ended;
    for (SlotNumber i = m_calls.NextTaken(0); i != 0; i = m_calls.NextTaken(i)) {
        const CallRecord& slot = m_calls.At(i);
        if (slot.holds == Holds::Registration && slot.Source.transport == peer.transport &&
            slot.Source.IP == peer.IP && slot.Source.Port == peer.Port) {
            ended.push_back(i);
        }
    }
    for (const SlotNumber slot : ended) {
        m_log.WriteLog(Level::Info, "Connection from ", peer.IP, ":", peer.Port,
                       " closed: registration of '", m_calls.At(slot).Username, "' ended");
        EndCall(slot);
    }
}

void Registrar::EndRegistration(SlotNumber slot)
{
    const CallRecord& rec = m_calls.At(slot);
    if (!rec.IsRegistration()) {
        return;
    }
    m_log.WriteLog(Level::Info, "Unregistered '", rec.Username, "' from ", rec.Caller.IP, ":",
                   rec.Caller.Port, "'");
    if (m_calls.RegistrationsOf(rec.Contact) < 2) {
        m_routes.RemoveRoutes(rec.Contact);
    }
    if (const auto updated = m_updated.find(rec.CallID); updated != m_updated.end()) {
        if (m_store != nullptr) {
            m_store->Remove(BindingOf(rec, updated->second));
        }
        m_updated.erase(updated);
    }
    m_stats.Decrement(Figure::Registrations);
}

} // namespace tavrix
