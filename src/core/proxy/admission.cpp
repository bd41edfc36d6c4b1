#include "core/proxy/admission.h"

#include "core/text/numeric.h"
#include "core/text/text.h"
#include "core/text/uri.h"
#include "core/text/via.h"

namespace tavrix {

bool Admission::Looped(const Message& message, const PeerAddress& peer)
{
    // Only the topmost Via this proxy wrote counts: it is the one of the pass that came back,
    // and its branch is computed once, so a message of many such Vias costs no more than one.
    const std::vector<std::string_view> vias = message.Headers(HeaderId::Via);
    for (std::size_t i = 0; i < vias.size(); ++i) {
        const ViaValue via = ParseVia(vias[i]);
        const std::optional<std::string_view> branch = via.Param("branch");
        if (!branch || !IsOwnEndpoint(via.sentBy.host, via.sentBy.Port(), m_self)) {
            continue;
        }
        const std::string_view below = i + 1 < vias.size() ? vias[i + 1] : std::string_view();
        if (*branch !=
            Branch(below, message.Header(HeaderId::CallId), message.Header(HeaderId::CSeq))) {
            return false;
        }
        const std::string_view method = message.Method();
        if (method == "ACK") {
            return true;
        }
        m_log.WriteLimited(Flood::Loop, Level::Err, "Loop detected: '", method, "' from ", peer.IP,
                           ":", peer.Port, " came back to this proxy");
        if (method == "INVITE") {
            m_out.Answer(peer, "482 Loop Detected", message);
            m_stats.Increment(Figure::FailedCalls);
        }
        return true;
    }
    return false;
}

bool Admission::HopsExhausted(const Message& message, const PeerAddress& peer)
{
    const std::string_view hops = message.Header(HeaderId::MaxForwards);
    if (hops.empty() || NumericValue16(hops) > 0) {
        return false;
    }
    const std::string_view method = message.Method();
    m_log.WriteLimited(Flood::TooManyHops, Level::Err, "Too many hops: '", method, "' from ",
                       peer.IP, ":", peer.Port, " not forwarded");
    if (method != "ACK") {
        m_out.Answer(peer, "483 Too Many Hops", message);
    }
    return true;
}

bool Admission::Authorized(const CallRecord& rec, const Message& message, const PeerAddress& peer)
{
    if (!m_auth) {
        return true;
    }
    // A REGISTER answers the registrar's challenge (401); any other request the proxy's (407).
    const bool invite = message.Method() != "REGISTER";
    const std::string_view user = ParseUri(message.Header(HeaderId::From)).user;
    const std::int64_t now = m_clock.Seconds();
    const Authenticator::Verdict verdict = m_auth->Check(
        message.Header(invite ? HeaderId::ProxyAuthorization : HeaderId::Authorization), user,
        message.Method(), now);
    if (verdict == Authenticator::Verdict::Accepted) {
        return true;
    }
    if (m_calls.At(rec.Slot).IsBare()) {
        m_calls.CleanupCall(rec.Slot);
    }
    if (verdict == Authenticator::Verdict::Refused) {
        m_log.WriteLimitedFrom(Flood::AuthFailed, peer.IP, Level::Err,
                               "Authentication failed for '", user, "' from ", peer.IP, ":",
                               peer.Port);
        m_out.Answer(peer, "403 Forbidden", message);
        return false;
    }
    // No credentials of ours, or a nonce that ran out: ask again.
    const std::optional<std::string> challenge =
        m_auth->Challenge(now, verdict == Authenticator::Verdict::Stale);
    if (!challenge) {
        // Without good random bytes a nonce could be guessed: nobody is let in.
        m_log.WriteLimited(Flood::AuthFailed, Level::Err,
                           "Credentials cannot be checked: no random source, no nonce");
        m_out.Answer(peer, "503 Service Unavailable", message);
        return false;
    }
    m_out.Answer(peer, invite ? "407 Proxy Authentication Required" : "401 Unauthorised", message,
                 Cat(invite ? "Proxy-Authenticate: " : "WWW-Authenticate: ", *challenge));
    return false;
}

bool Admission::SetUsers(std::optional<Users> users, RandomSource* random)
{
    if (!users) {
        m_auth.reset();
    } else if (m_auth) {
        m_auth->SetUsers(std::move(*users)); // nonces handed out stay good
    } else {
        m_auth.emplace(std::move(*users), random != nullptr ? *random : m_systemRandom);
    }
    return !m_auth || m_auth->Ready();
}

void Admission::Tick()
{
    if (m_auth) {
        m_auth->Tick(m_clock.Seconds());
    }
}

} // namespace tavrix
