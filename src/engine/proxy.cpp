#include "engine/proxy.h"

#include "sip/message.h"
#include "sip/text.h"

namespace tavrix {

Proxy::Proxy(Transport& transport, LogSink& sink, StatsDisplay& display, Clock& clock,
             ProxyConfig config)
    : m_stats(display), m_log(sink, clock, m_stats), m_calls(m_log), m_routes(m_log, m_stats),
      m_localIp(std::move(config.LocalIP)), m_localPort(config.LocalPort),
      m_sender(transport, m_log, m_localIp, m_localPort)
{
    m_log.SetLogLevel(config.LogLevel);
    m_routes.SetDefaultRoute(std::move(config.DefaultRoute));
}

void Proxy::SetLocalEndpoint(std::string ip, std::uint16_t port)
{
    m_localIp = std::move(ip);
    m_localPort = port;
}

void Proxy::ReceiveDatagram(std::string_view message, const PeerAddress& peer)
{
    if (m_log.Passes(Level::LOG_DEBUGV)) {
        m_log.WriteLog(Level::LOG_DEBUGV,
                       Cat("SIP Read: IP=", peer.IP, " Port=", peer.Port, kCrLf, message));
    }
    CallRecord rec = m_calls.LookupCall(message, peer);
    if (rec.Slot == 0) {
        HandleWithoutSlot(message, peer);
        return;
    }
    HandleMessage(rec, message, peer);
}

void Proxy::HandleWithoutSlot(std::string_view message, const PeerAddress& peer)
{
    // Without a Call-ID the message belongs to no call: the lookup has logged it; drop it.
    if (GetHeader(message, "Call-ID").empty()) {
        return;
    }
    // Every slot holds a live call or registration: refuse new requests (RFC 3261 21.5.4),
    // drop what cannot be answered.
    const std::string_view token = MethodToken(message);
    if (token == "SIP/2.0" || token == "ACK") {
        m_log.WriteLog(Level::LOG_ERR, Cat("Call table full, dropping '", token, "' from ", peer.IP,
                                           ":", peer.Port));
        return;
    }
    m_log.WriteLog(Level::LOG_ERR, Cat("Call table full, refusing '", token, "' request from ",
                                       peer.IP, ":", peer.Port));
    AnswerSender(CallRecord{}, "503 Service Unavailable", message, peer);
}

void Proxy::AnswerSender(const CallRecord& rec, std::string_view status, std::string_view message,
                         const PeerAddress& peer)
{
    CallRecord answer = rec;
    answer.Caller.IP = peer.IP;
    answer.Caller.Port = peer.Port;
    answer.Leg = 0;
    m_sender.SendResponse(answer, status, message);
}

} // namespace tavrix
