#include "core/proxy/registrar.h"

#include "core/text/numeric.h"
#include "core/text/uri.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace tavrix {

namespace {

// Lifetime of a registration that states none (RFC 3261 10.2.1.1 leaves it to the registrar).
constexpr std::int16_t kDefaultRegistrationLifetime = 3600;

// The lifetime a request asks for: its "Expires" header, else the "expires" parameter of its
// Contact (which is where most phones state it), else the fallback.
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

// The ticks left until a moment, as a lifetime field holds them.
std::int16_t TicksUntil(std::int64_t moment, std::int64_t now)
{
    return static_cast<std::int16_t>(
        std::clamp<std::int64_t>(moment - now, 0, std::numeric_limits<std::int16_t>::max()));
}

} // namespace

AdmitResult Registrar::AdmitRequest(CallRecord& rec, const Message& message,
                                    const PeerAddress& peer)
{
    const std::string_view from = message.Header(HeaderId::From);
    const Uri fromUri = ParseUri(from);
    rec.Caller.IP = peer.IP;
    rec.Caller.Port = peer.Port;

    // The only gate: the From URI must be a "sip:" URI (RFC 3261 19.1; this proxy offers no
    // TLS, so "sips:" is refused as well).
    if (!fromUri.Is("sip")) {
        m_log.WriteLimited(Flood::Unhandled, Level::Err,
                           "Invalid to address: ", StripBrackets(from), " from ", peer.IP);
        return AdmitResult::Refused;
    }

    const bool isRegister = message.Method() == "REGISTER";
    const std::string user(fromUri.user);
    // What a REGISTER asks for; an INVITE keeps the call's lifetime already in the record.
    const std::int16_t lifetime =
        RequestedLifetime(message, isRegister ? kDefaultRegistrationLifetime : rec.TimeLeft);

    // A Contact known anywhere is taken as it is, unless this request's own slot holds a
    // registration under another Contact: that one is over, and the request registers anew.
    rec.Contact = std::string(StripBrackets(rec.Contact));
    const CallRecord& held = m_calls.At(rec.Slot);
    const bool known = m_calls.IsKnownContact(rec.Contact) &&
                       (!held.IsRegistration() || held.Contact == rec.Contact);
    if (!WithinLimits(rec, user, !known, !isRegister, peer)) {
        if (m_calls.At(rec.Slot).IsBare()) {
            m_calls.CleanupCall(rec.Slot); // taken only for the request
        }
        return AdmitResult::OverLimit;
    }
    if (!known) {
        return Register(rec, message, peer, lifetime);
    }
    if (!rec.Contact.empty()) {
        const PeerAddress at = ContactAddress(rec.Contact);
        rec.Caller.IP = at.IP;
        rec.Caller.Port = at.Port;
    }
    if (isRegister) {
        Refresh(rec, user, lifetime);
    } else {
        // What "Expires" says (0 without one), so a call never routed frees its slot on the
        // next tick; the slot is the caller's while it lives.
        m_calls.SetTimeLeft(rec.Slot, NumericValue16(message.Header(HeaderId::Expires)));
        m_calls.Claim(rec.Slot, user);
        rec.Owner = user;
    }
    return AdmitResult::Admitted;
}

void Registrar::Refresh(const CallRecord& rec, const std::string& user, std::int16_t lifetime)
{
    // RFC 3261 10.3 step 7: the user's binding of this Contact is updated, under whatever
    // Call-ID it was made; the request's own new slot holds nothing then.
    const SlotNumber binding = m_calls.BindingOf(user, rec.Contact);
    const SlotNumber target = binding != 0 ? binding : rec.Slot;
    if (target != rec.Slot && m_calls.At(rec.Slot).IsBare()) {
        m_calls.CleanupCall(rec.Slot);
    }
    if (binding == 0 && m_calls.At(target).IsBare()) {
        m_calls.CleanupCall(target); // a Contact only a call or another user holds
        return;
    }
    m_calls.SetTimeLeft(target, lifetime);
    Saved(target);
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

AdmitResult Registrar::Register(CallRecord& rec, const Message& message, const PeerAddress& peer,
                                std::int16_t lifetime)
{
    const bool isRegister = message.Method() == "REGISTER";
    rec.Username = ParseUri(message.Header(HeaderId::From)).user;
    if (isRegister && m_routes.NoRoomFor(rec.Contact)) {
        // A registration nobody could be reached at is no success: refuse it whole.
        m_log.WriteLimited(Flood::RouteTableFull, Level::Err,
                           "Route table full, refusing registration of '", rec.Username, "' from ",
                           peer.IP, ":", peer.Port);
        return AdmitResult::NoRoom;
    }
    // A registration this slot held is over: its routes go with it.
    EndRegistration(rec.Slot);
    rec.TimeLeft = lifetime;
    rec.Contact = std::string(StripBrackets(message.Header(HeaderId::Contact)));
    const PeerAddress at = ContactAddress(rec.Contact);
    rec.Caller.IP = at.IP;
    rec.Caller.Port = at.Port;
    rec.Owner = rec.Username;
    rec.Source = PeerAddress{"", peer.IP, peer.Port};
    // An INVITE's caller is registered in the call's own slot.
    rec.holds = isRegister && !rec.Routed() ? Holds::Registration : Holds::CallAndRegistration;
    m_routes.AddRoute(rec.Username, rec.Contact);
    m_calls.Store(rec);
    m_log.WriteLog(Level::Info, "User '", rec.Username, "' successfully registered at '",
                   rec.Caller.IP, ":", rec.Caller.Port, "' with ID: ", rec.Slot);
    m_stats.Increment(Figure::Registrations);
    if (isRegister) {
        Saved(rec.Slot);
    } else {
        // The slot in the table, not the copy: what "Expires" says for the caller's binding.
        m_calls.SetTimeLeft(rec.Slot, NumericValue16(message.Header(HeaderId::Expires)));
    }
    return AdmitResult::Admitted;
}

void Registrar::EndCall(SlotNumber slot)
{
    EndRegistration(slot);
    m_calls.CleanupCall(slot);
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

Binding Registrar::BindingOf(const CallRecord& rec, std::int64_t updated) const
{
    return {rec.CallID,    rec.Username,    rec.Contact,
            rec.Caller.IP, rec.Caller.Port, m_clock.Seconds() + rec.TimeLeft,
            updated};
}

void Registrar::Saved(SlotNumber slot)
{
    const CallRecord& rec = m_calls.At(slot);
    if (m_store == nullptr || !rec.IsRegistration()) {
        return;
    }
    const std::int64_t now = m_clock.Seconds();
    m_updated[rec.CallID] = now;
    m_store->Save(BindingOf(rec, now));
}

std::vector<Binding> Registrar::Bindings() const
{
    std::vector<Binding> bindings;
    for (SlotNumber i = m_calls.NextTaken(0); i != 0; i = m_calls.NextTaken(i)) {
        const CallRecord& rec = m_calls.At(i);
        if (rec.IsRegistration()) {
            const auto updated = m_updated.find(rec.CallID);
            bindings.push_back(
                BindingOf(rec, updated == m_updated.end() ? m_clock.Seconds() : updated->second));
        }
    }
    return bindings;
}

void Registrar::AttachStore(RegistrarStore* store)
{
    m_store = nullptr; // what is loaded is not written back
    if (store != nullptr) {
        for (const Binding& binding : store->LoadAll()) {
            if (binding.Expires > m_clock.Seconds()) {
                Restore(binding);
            } else {
                store->Remove(binding);
            }
        }
    }
    m_store = store;
}

void Registrar::Restore(const Binding& binding)
{
    const std::int64_t now = m_clock.Seconds();
    if (binding.Expires <= now) {
        return;
    }
    if (const auto known = m_updated.find(binding.CallID);
        known != m_updated.end() && known->second > binding.Updated) {
        return; // the registration here is the later one
    }
    CallRecord rec;
    if (const SlotNumber slot = m_calls.Find(binding.CallID); slot != 0) {
        rec = m_calls.At(slot);
        if (!rec.IsRegistration()) {
            return;
        }
    } else {
        rec = m_calls.AllocateCall(binding.CallID);
        if (rec.Slot == 0 || m_routes.NoRoomFor(binding.Contact)) {
            m_log.WriteLog(Level::Err, "No room to restore the registration of '", binding.Username,
                           "'");
            m_calls.CleanupCall(rec.Slot);
            return;
        }
        rec.holds = Holds::Registration;
        rec.Username = binding.Username;
        rec.Owner = binding.Username;
        rec.Contact = binding.Contact;
        m_routes.AddRoute(binding.Username, binding.Contact);
        m_stats.Increment(Figure::Registrations);
    }
    rec.Caller = PeerAddress{"", binding.IP, binding.Port};
    rec.TimeLeft = TicksUntil(binding.Expires, now);
    m_calls.Store(rec);
    m_updated[binding.CallID] = binding.Updated;
    m_log.WriteLog(Level::Info, "User '", rec.Username, "' restored at '", rec.Caller.IP, ":",
                   rec.Caller.Port, "' with ID: ", rec.Slot, ", ", rec.TimeLeft, " seconds left");
}

void Registrar::Forget(const Binding& binding)
{
    const SlotNumber slot = m_calls.Find(binding.CallID);
    const auto known = m_updated.find(binding.CallID);
    if (slot == 0 || !m_calls.At(slot).IsRegistration() ||
        (known != m_updated.end() && known->second > binding.Updated)) {
        return;
    }
    RegistrarStore* const store = std::exchange(m_store, nullptr);
    EndCall(slot);
    m_store = store;
}

} // namespace tavrix
