#include "core/proxy/proxy.h"
#include "core/text/message.h"
#include "core/text/numeric.h"
#include "core/text/text.h"
#include "core/text/uri.h"

namespace tavrix {

namespace {

// Lifetime of a registration that states none (RFC 3261 10.2.1.1 leaves it to the registrar).
constexpr std::int16_t kDefaultRegistrationLifetime = 3600;

// The lifetime a request asks for: its "Expires" header, else the "expires" parameter of its
// Contact (which is where most phones state it), else the fallback.
std::int16_t RequestedLifetime(std::string_view message, std::int16_t fallback)
{
    const std::string expires = GetHeader(message, "Expires");
    if (!expires.empty()) {
        return NumericValue16(expires);
    }
    const std::string contact = GetHeader(message, "Contact");
    constexpr std::string_view kParameter = ";expires=";
    const std::size_t at = contact.find(kParameter);
    if (at != std::string::npos) {
        return NumericValue16(std::string_view(contact).substr(at + kParameter.size()));
    }
    return fallback;
}

} // namespace

Proxy::Admission Proxy::AdmitRequest(CallRecord& rec, std::string_view message,
                                     const PeerAddress& peer)
{
    std::string fromUri = GetHeader(message, "From");
    StripBrackets(fromUri);
    rec.Caller.IP = peer.IP;
    rec.Caller.Port = peer.Port;

    // The only gate: the From URI must be a SIP URI. No credentials exist anywhere.
    if (fromUri.find("sip:") == std::string::npos) {
        m_log.WriteLimited(Flood::Unhandled, Level::Err, "Invalid to address: ", fromUri, " from ",
                           peer.IP);
        return Admission::Refused;
    }

    const bool isRegister = MethodToken(message) == "REGISTER";
    // What a REGISTER asks for; an INVITE keeps the call's lifetime already in the record.
    const std::int16_t lifetime =
        RequestedLifetime(message, isRegister ? kDefaultRegistrationLifetime : rec.TimeLeft);

    // A Contact known anywhere is taken as it is, unless this request's own slot holds a
    // registration under another Contact: that one is over, and the request registers anew.
    const bool known = m_calls.IsKnownContact(rec); // leaves rec.Contact without brackets
    const CallRecord& held = m_calls.At(rec.Slot);
    if (known && (held.IsRegistration == 0 || held.Contact == rec.Contact)) {
        if (!rec.Contact.empty()) {
            rec.Caller.IP = GetUriHost(rec.Contact);
            rec.Caller.Port = PortFromText(GetUriPort(rec.Contact));
        }
    } else {
        // A new registration, kept in the request's own slot. The first four characters are
        // taken to be "sip:"; an "@" among them leaves no user.
        const std::size_t at = fromUri.find('@');
        rec.Username = at == std::string::npos
                           ? fromUri.substr(std::min<std::size_t>(4, fromUri.size()))
                       : at > 4 ? fromUri.substr(4, at - 4)
                                : std::string();
        if (isRegister && m_routes.NoRoomFor(rec.Contact)) {
            // A registration nobody could be reached at is no success: refuse it whole.
            m_log.WriteLimited(Flood::RouteTableFull, Level::Err,
                               "Route table full, refusing registration of '", rec.Username,
                               "' from ", peer.IP, ":", peer.Port);
            return Admission::NoRoom;
        }
        // A registration this slot held is over: its routes go with it.
        EndRegistration(rec.Slot);
        rec.TimeLeft = lifetime;
        rec.Contact = GetHeader(message, "Contact");
        rec.Caller.IP = GetUriHost(rec.Contact); // leaves rec.Contact without brackets
        rec.Caller.Port = PortFromText(GetUriPort(rec.Contact));
        rec.IsRegistration = kTrue;
        m_routes.AddRoute(rec, message);
        m_calls.Store(rec);
        m_log.WriteLog(Level::Info, "User '", rec.Username, "' successfully registered at '",
                       rec.Caller.IP, ":", rec.Caller.Port, "' with ID: ", rec.Slot);
        m_stats.SetRegistrations(m_stats.Registrations() + 1);
    }

    // The slot in the table, not the copy. For an INVITE this is what "Expires" says (0
    // without one), so a call that is never routed frees its slot on the next tick.
    m_calls.SetTimeLeft(rec.Slot,
                        isRegister ? lifetime : NumericValue16(GetHeader(message, "Expires")));
    if (isRegister) {
        Saved(rec.Slot);
    }
    return Admission::Admitted;
}

} // namespace tavrix
