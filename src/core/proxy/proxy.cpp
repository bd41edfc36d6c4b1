#include "core/proxy/proxy.h"

#include "core/text/message.h"
#include "core/text/numeric.h"
#include "core/text/text.h"
#include "core/text/uri.h"

namespace tavrix {

Proxy::Proxy(Transport& transport, LogSink& sink, StatsDisplay& display, Clock& clock,
             ProxyConfig config)
    : m_stats(display), m_log(sink, clock, m_stats), m_calls(m_log, config.MaxCalls),
      m_routes(m_log, m_stats, std::move(config.DefaultRoute), config.MaxRoutes),
      m_self{std::move(config.LocalIP), config.LocalPort}, m_out(transport, m_log, m_self),
      m_clock(clock)
{
    m_log.SetLogLevel(config.LogLevel);
}

void Proxy::SetLocalEndpoint(std::string ip, std::uint16_t port)
{
    m_self = Endpoint{std::move(ip), port};
}

void Proxy::SetTrace(MessageTrace* trace)
{
    m_trace = trace;
    m_out.SetTrace(trace);
}

void Proxy::ReceiveDatagram(std::string_view message, const PeerAddress& peer)
{
    if (m_trace != nullptr) {
        m_trace->Received(message, peer.IP, peer.Port);
    }
    ++m_received;
    m_log.WriteLog(Level::DebugV, "SIP Read: IP=", peer.IP, " Port=", peer.Port, kCrLf, message);
    if (message.find_first_not_of(" \t\r\n") == std::string_view::npos) {
        return; // a keep-alive (RFC 5626 3.5.1), nothing to answer
    }
    if (!IsResponse(message) && Looped(message, peer)) {
        return;
    }
    Lookup lookup = m_calls.LookupCall(message, peer);
    switch (lookup.found) {
    case Found::NoCallId:
        return; // the message belongs to no call; the lookup has logged it
    case Found::TableFull:
        HandleWithoutSlot(message, peer);
        return;
    case Found::Known:
    case Found::New:
        HandleMessage(lookup.rec, message, peer);
        return;
    }
}

bool Proxy::Looped(std::string_view message, const PeerAddress& peer)
{
    const std::vector<std::string_view> vias = GetHeaders(message, "Via");
    for (std::size_t i = 0; i < vias.size(); ++i) {
        // "SIP/2.0/UDP host[:port];branch=...": the sent-by after the protocol, then the branch.
        std::string_view via = vias[i];
        const std::size_t space = via.find_first_of(" \t");
        const std::string_view sentBy =
            space == std::string_view::npos ? std::string_view() : via.substr(space + 1);
        const std::string_view hostPort = sentBy.substr(0, sentBy.find_first_of(";, \t"));
        const std::size_t colon = hostPort.find(':');
        const std::uint16_t port =
            colon == std::string_view::npos ? kSipPort : PortFromText(hostPort.substr(colon + 1));
        const std::size_t at = via.find(";branch=");
        if (at == std::string_view::npos ||
            !IsOwnEndpoint(hostPort.substr(0, colon), port, m_self)) {
            continue;
        }
        const std::string_view branch =
            via.substr(at + 8, via.find_first_of(";, \t", at + 8) - at - 8);
        if (branch == Branch(i + 1 < vias.size() ? vias[i + 1] : std::string_view(),
                             GetHeader(message, "Call-ID"), GetHeader(message, "CSeq"))) {
            const std::string_view token = MethodToken(message);
            if (token == "ACK") {
                return true;
            }
            m_log.WriteLimited(Flood::Loop, Level::Err, "Loop detected: '", token, "' from ",
                               peer.IP, ":", peer.Port, " came back to this proxy");
            if (token == "INVITE") {
                AnswerSender(CallRecord{}, "482 Loop Detected", message, peer);
                m_stats.SetFailedCalls(m_stats.FailedCalls() + 1);
            }
            return true;
        }
    }
    return false;
}

void Proxy::HandleWithoutSlot(std::string_view message, const PeerAddress& peer)
{
    // Every slot holds a live call or registration: refuse new requests (RFC 3261 21.5.4),
    // drop what cannot be answered.
    const std::string_view token = MethodToken(message);
    if (token == "SIP/2.0" || token == "ACK") {
        m_log.WriteLimited(Flood::CallTableFull, Level::Err, "Call table full, dropping '", token,
                           "' from ", peer.IP, ":", peer.Port);
        return;
    }
    m_log.WriteLimited(Flood::CallTableFull, Level::Err, "Call table full, refusing '", token,
                       "' request from ", peer.IP, ":", peer.Port);
    AnswerSender(CallRecord{}, "503 Service Unavailable", message, peer);
}

void Proxy::SendResponse(const CallRecord& rec, std::string_view status, std::string_view source,
                         std::string_view ownLine)
{
    const PeerAddress& to = rec.Leg == 1 ? rec.Callee : rec.Caller;
    m_log.WriteLog(Level::Debug, "Sending '", status, "' to ", to.IP, ":", to.Port);
    m_out.SendDatagram(BuildResponse(status, source, rec.TimeLeft, ownLine), to.IP, to.Port);
}

void Proxy::SendRequest(const CallRecord& rec, std::string_view method, std::string_view source)
{
    const PeerAddress& to = rec.Leg == 1 ? rec.Callee : rec.Caller;
    m_log.WriteLog(Level::Debug, "Sending '", method, "' request to: ", to.IP, ":", to.Port);
    const std::string& target = rec.Leg == 1 || rec.Contact.empty() ? rec.Callee.Uri : rec.Contact;
    m_out.SendDatagram(BuildRequest(method, target, source, m_self), to.IP, to.Port);
}

void Proxy::AnswerSender(const CallRecord& rec, std::string_view status, std::string_view message,
                         const PeerAddress& peer, std::string_view ownLine)
{
    CallRecord answer = rec;
    answer.Caller.IP = peer.IP;
    answer.Caller.Port = peer.Port;
    answer.Leg = 0;
    SendResponse(answer, status, message, ownLine);
}

void Proxy::AnswerCaller(const CallRecord& rec, std::string_view status, std::string_view message,
                         const PeerAddress& peer)
{
    if (rec.Caller.IP.empty() || rec.Caller.Port == 0) {
        AnswerSender(rec, status, message, peer);
    } else {
        SendResponse(rec, status, message);
    }
}

void Proxy::Tick()
{
    m_log.Tick();
    if (m_auth) {
        m_auth->Tick(m_clock.Seconds());
    }
    Sweep();
}

void Proxy::SetUsers(std::optional<Users> users)
{
    if (!users) {
        m_auth.reset();
    } else if (m_auth) {
        m_auth->SetUsers(std::move(*users)); // nonces handed out stay good
    } else {
        m_auth.emplace(std::move(*users));
    }
}

bool Proxy::Authorized(const CallRecord& rec, std::string_view message, const PeerAddress& peer,
                       bool invite)
{
    if (!m_auth) {
        return true;
    }
    std::string from = GetHeader(message, "From");
    const std::string user = GetUriUser(StripBrackets(from));
    const std::int64_t now = m_clock.Seconds();
    const Authenticator::Verdict verdict =
        m_auth->Check(GetHeader(message, invite ? "Proxy-Authorization" : "Authorization"), user,
                      MethodToken(message), now);
    if (verdict == Authenticator::Verdict::Accepted) {
        return true;
    }
    if (m_calls.IsBare(rec.Slot)) {
        m_calls.CleanupCall(rec.Slot);
    }
    if (verdict == Authenticator::Verdict::Refused) {
        m_log.WriteLimited(Flood::AuthFailed, Level::Err, "Authentication failed for '", user,
                           "' from ", peer.IP, ":", peer.Port);
        AnswerSender(CallRecord{}, "403 Forbidden", message, peer);
        return false;
    }
    // No credentials of ours, or a nonce that ran out: ask again.
    AnswerSender(CallRecord{}, invite ? "407 Proxy Authentication Required" : "401 Unauthorised",
                 message, peer,
                 Cat(invite ? "Proxy-Authenticate: " : "WWW-Authenticate: ",
                     m_auth->Challenge(now, verdict == Authenticator::Verdict::Stale)));
    return false;
}

} // namespace tavrix
