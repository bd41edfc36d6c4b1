#include "core/proxy/proxy.h"

#include "core/text/text.h"

#include <algorithm>

namespace tavrix {

Proxy::Proxy(Transport& transport, LogSink& sink, StatsDisplay& display, Clock& clock,
             ProxyConfig config)
    : m_stats(display), m_log(sink, clock, m_stats), m_calls(m_log, config.MaxCalls),
      m_routes(m_log, m_stats, std::move(config.DefaultRoute), config.MaxRoutes),
      m_self{std::move(config.LocalIP), config.LocalPort}, m_clock(clock),
      m_sender(transport, m_log, m_self), m_out(m_sender, m_log, m_self),
      m_registrar(m_calls, m_routes, m_log, m_stats, clock),
      m_admission(m_calls, m_out, m_log, m_stats, clock, m_self),
      m_relay(m_calls, m_routes, m_registrar, m_admission, m_out, m_log, m_stats, m_self),
      m_keepAlive(m_calls, m_registrar, m_sender, m_log, m_self),
      m_sweep(m_calls, m_registrar, m_keepAlive, m_relay),
      m_dispatcher(m_calls, m_registrar, m_admission, m_relay, m_keepAlive, m_out, m_log, m_self)
{
    m_log.SetLogLevel(config.LogLevel);
    m_limits.bindings = config.MaxBindingsPerUser;
    m_limits.calls = config.MaxCallsPerUser;
    m_keepAlive.SetInterval(config.NatKeepAlive);
}

bool Proxy::SetUsers(std::optional<Users> users, RandomSource* random)
{
    // RFC 3261 10.3 step 7 and 22: what a user may hold is counted per authenticated user; with
    // nobody authenticated there is nobody to count.
    m_limits.enforced = users.has_value();
    m_registrar.SetLimits(m_limits);
    m_out.SetRealm(users ? users->Realm : std::string());
    return m_admission.SetUsers(std::move(users), random);
}

void Proxy::SetLocalEndpoint(std::string ip, std::uint16_t port)
{
    m_self.IP = std::move(ip);
    m_self.Port = port;
}

void Proxy::AddFace(TransportKind kind, std::string ip, std::uint16_t port)
{
    Endpoint face{std::move(ip), port, kind, {}};
    if (std::find(m_self.faces.begin(), m_self.faces.end(), face) == m_self.faces.end()) {
        m_self.faces.push_back(std::move(face));
    }
}

void Proxy::ConnectionClosed(const PeerAddress& peer)
{
    m_registrar.ConnectionClosed(peer);
}

void Proxy::SetTrace(MessageTrace* trace)
{
    m_trace = trace;
    m_sender.SetTrace(trace);
}

void Proxy::ReceiveDatagram(std::string_view text, const PeerAddress& peer)
{
    if (m_trace != nullptr) {
        m_trace->Received(text, peer.IP, peer.Port);
    }
    ++m_received;
    m_log.WriteLog(Level::DebugV, "SIP Read: IP=", peer.IP, " Port=", peer.Port, kCrLf, text);
    m_dispatcher.Dispatch(Message(text), peer);
}

void Proxy::Tick()
{
    m_log.Tick();
    m_out.Tick();
    m_admission.Tick();
    m_sweep.Run();
}

} // namespace tavrix
