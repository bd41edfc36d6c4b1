#include "core/proxy/proxy.h"
#include "core/text/message.h"
#include "core/text/numeric.h"
#include "core/text/text.h"
#include "core/text/uri.h"

namespace tavrix {

namespace {

// Lifetime of a call whose INVITE names no Session-Expires.
constexpr std::int16_t kDefaultCallLifetime = 7200;

} // namespace

void Proxy::HandleMessage(CallRecord& rec, std::string_view message, const PeerAddress& peer)
{
    const std::string_view token = MethodToken(message);

    if (token == "REGISTER") {
        m_log.WriteLog(Level::Debug, "REGISTER request from '", peer.IP, ":", peer.Port, "'");
        if (!Authorized(rec, message, peer, false)) {
            return;
        }
        const Admission admission = AdmitRequest(rec, message, peer);
        if (admission == Admission::Admitted) {
            SendResponse(rec, "200 OK", message);
            return;
        }
        if (admission == Admission::NoRoom) {
            AnswerSender(rec, "503 Service Unavailable", message, peer);
            return;
        }
        // Admission has put the sender into rec.Caller, so the refusal reaches it.
        SendResponse(rec, "401 Unauthorised", message);
        m_log.WriteLog(Level::Info, "Registration failed for '", rec.Username, "' at '", peer.IP,
                       ":", peer.Port, "'");
        return;
    }

    if (token == "INVITE" && !rec.Callee.Uri.empty() && rec.Finished == 0) {
        // RFC 3261 14: a re-INVITE within the call (hold, resume, a new codec) or a
        // retransmission goes to the other leg like a BYE; the call stays as it is.
        m_log.WriteLog(Level::Debug, "Received 'INVITE' from ", peer.IP, ":", peer.Port);
        if (!HopsExhausted(token, message, peer)) {
            RelayRequest(rec, token, message, peer);
        }
        return;
    }

    if (token == "INVITE") {
        m_log.WriteLog(Level::Debug, "Using latest request as basis request");
        if (HopsExhausted(token, message, peer) || !Authorized(rec, message, peer, true)) {
            return;
        }
        rec.TimeLeft = NumericValue16(GetHeader(message, "Session-Expires"));
        if (rec.TimeLeft == 0) {
            rec.TimeLeft = kDefaultCallLifetime;
        }
        if (AdmitRequest(rec, message, peer) != Admission::Admitted) {
            return;
        }
        m_log.WriteLog(Level::Info, "Call started");
        m_stats.SetCallAttempts(m_stats.CallAttempts() + 1);
        SendResponse(rec, "100 Trying", message);

        std::string route = m_routes.FindRoute(message);
        if (route.empty()) {
            SendResponse(rec, "404 Not Found", message);
            m_stats.SetFailedCalls(m_stats.FailedCalls() + 1);
            return;
        }
        rec.Callee.IP = GetUriHost(route);
        rec.Callee.Port = PortFromText(GetUriPort(route));
        rec.Callee.Uri = route; // stripped of its brackets by GetUriHost
        if (IsOwnEndpoint(rec.Callee.IP, rec.Callee.Port, m_self)) {
            // Forwarding to ourselves would go round forever (RFC 3261 16.3 step 4).
            SendResponse(rec, "482 Loop Detected", message);
            m_stats.SetFailedCalls(m_stats.FailedCalls() + 1);
            m_log.WriteLimited(Flood::Loop, Level::Err, "Loop detected: route for '",
                               m_stats.LastRoute(), "' leads back to this proxy (", rec.Callee.IP,
                               ":", rec.Callee.Port, ")");
            return;
        }
        rec.AnswerTimeLeft = kAnswerTime;
        m_calls.Store(rec);
        rec.Leg = 1;
        SendRequest(rec, "INVITE", message);
        return;
    }

    if (token == "CANCEL") {
        m_log.WriteLog(Level::Debug, "Received 'CANCEL' from ", peer.IP, ":", peer.Port);
        if (!HopsExhausted(token, message, peer)) {
            RelayRequest(rec, token, message, peer);
        }
        return;
    }

    if (token == "ACK") {
        m_log.WriteLog(Level::Debug, "Received 'ACK' from ", peer.IP, ":", peer.Port);
        if (HopsExhausted(token, message, peer)) {
            return;
        }
        // An ACK goes to the other side: the caller's of an answer to its INVITE, the callee's
        // of an answer to the callee's re-INVITE.
        if (!rec.Callee.Uri.empty()) {
            rec.Leg = OnCallerSide(rec, peer) ? 1 : 0;
            SendRequest(rec, "ACK", message);
        }
        // The table decides, not the copy: the relay marks the slot when the call ends. A stray
        // ACK (of a challenge, say) takes no slot from the request that follows it.
        if (m_calls.At(rec.Slot).Finished != 0 || m_calls.IsBare(rec.Slot)) {
            EndCall(rec.Slot);
        }
        return;
    }

    if (token == "BYE") {
        m_log.WriteLog(Level::Debug, "Received 'BYE' from ", peer.IP, ":", peer.Port);
        if (!HopsExhausted(token, message, peer)) {
            RelayRequest(rec, token, message, peer);
        }
        return;
    }

    if (token == "OPTIONS") {
        m_log.WriteLog(Level::Debug, "Received 'OPTIONS' from ", peer.IP, ":", peer.Port);
        rec.Leg = 0;
        AnswerCaller(rec, "200 OK", message, peer);
        return;
    }

    if (token == "SIP/2.0") {
        const std::string status = GetStatus(message);
        if (NumericValue16(status) < 100) {
            m_log.WriteLimited(Flood::Unhandled, Level::Err, "Invalid response: ", status);
            return;
        }
        HandleResponse(rec, status, message, peer);
        return;
    }

    m_log.WriteLimited(Flood::Unhandled, Level::Err, "Dunno how to handle '", token,
                       "' request from ", peer.IP, ":", peer.Port, ".");
    AnswerCaller(rec, "405 Method not allowed", message, peer);
}

void Proxy::RelayRequest(CallRecord& rec, std::string_view method, std::string_view message,
                         const PeerAddress& peer)
{
    const bool fromCaller = OnCallerSide(rec, peer);
    rec.Leg = fromCaller ? 0 : 1;
    SendResponse(rec, "100 Trying", message);
    rec.Leg = fromCaller ? 1 : 0;
    SendRequest(rec, method, message);
}

bool Proxy::OnCallerSide(const CallRecord& rec, const PeerAddress& peer) const
{
    // Two phones may share an address (one PC, one NAT): the port tells them apart. Only a
    // sender that is neither leg exactly is placed by its address alone.
    if (peer.IP == rec.Callee.IP && peer.Port == rec.Callee.Port) {
        return false;
    }
    if (peer.IP == rec.Caller.IP && peer.Port == rec.Caller.Port) {
        return true;
    }
    return peer.IP == rec.Caller.IP;
}

bool Proxy::HopsExhausted(std::string_view method, std::string_view message,
                          const PeerAddress& peer)
{
    // RFC 3261 16.3 step 3: a request that may not travel further is refused, an ACK dropped.
    const std::string hops = GetHeader(message, "Max-Forwards");
    if (hops.empty() || NumericValue16(hops) > 0) {
        return false;
    }
    m_log.WriteLimited(Flood::TooManyHops, Level::Err, "Too many hops: '", method, "' from ",
                       peer.IP, ":", peer.Port, " not forwarded");
    if (method != "ACK") {
        AnswerSender(CallRecord{}, "483 Too Many Hops", message, peer);
    }
    return true;
}

} // namespace tavrix
