#pragma once

#include "core/log/clock.h"
#include "core/log/log_sink.h"
#include "core/log/logger.h"
#include "core/log/stats.h"
#include "core/proxy/admission.h"
#include "core/proxy/builders.h"
#include "core/proxy/call_relay.h"
#include "core/proxy/call_table.h"
#include "core/proxy/datagram_sender.h"
#include "core/proxy/digest.h"
#include "core/proxy/dispatcher.h"
#include "core/proxy/keepalive.h"
#include "core/proxy/message_trace.h"
#include "core/proxy/outbox.h"
#include "core/proxy/registrar.h"
#include "core/proxy/registrar_store.h"
#include "core/proxy/route_table.h"
#include "core/proxy/sweep.h"
#include "core/proxy/transport.h"
#include "core/text/numeric.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrix {

// Upstream for unregistered long user names when the operator names none.
inline constexpr std::string_view kDefaultRoute = "127.0.0.1:5060";

// Start values of a proxy.
struct ProxyConfig
{
    std::string LocalIP = "127.0.0.1";        // written into Via and Record-Route
    std::uint16_t LocalPort = kSipPort;       // the bound UDP port
    std::string DefaultRoute{kDefaultRoute};  // ADDRESS:PORT
    std::int16_t LogLevel = kDefaultLogLevel; // 1 to 4
    SlotNumber MaxCalls = kCallSlots;         // call-table slots
    std::int32_t MaxRoutes = kRouteSlots;     // route-table slots
    int MaxBindingsPerUser = 10;              // with users: registrations one user may hold
    int MaxCallsPerUser = 10;                 // with users: calls one user may hold at once
    std::int16_t NatKeepAlive = 25;           // seconds between keep-alives; 0: none
};

// One stateful SIP proxy and registrar: owns the call table, the route table, the statistics,
// the logger and the parts that work on them, and reaches the world only through the four
// interfaces it is given. Everything runs on the caller's thread, one event at a time.
class Proxy
{
public:
    Proxy(Transport& transport, LogSink& sink, StatsDisplay& display, Clock& clock,
          ProxyConfig config = {});
    Proxy(const Proxy&) = delete;
    Proxy& operator=(const Proxy&) = delete;

    // Entry point: a datagram arrived from peer (IP and Port set). Logs it, reads it once and
    // takes it through the dispatcher. Any bytes are acceptable input.
    // The peer's transport says what it came over (a stream message whole, as the connection's
    // framing cut it), its IP and Port the far end (of the connection).
    void ReceiveDatagram(std::string_view text, const PeerAddress& peer);
    // A stream connection with that far end closed: a binding that came over a WebSocket
    // can no longer be reached (RFC 7118 5: its Contact names no host) and ends.
    void ConnectionClosed(const PeerAddress& peer);
    // Entry point: one timer tick: the summaries of log lines left out, the expiry sweep.
    void Tick();

    // Keeps every registration in the store from now on, after loading the ones it holds that
    // have not run out (nullptr: memory only).
    void AttachStore(RegistrarStore* store) { m_registrar.AttachStore(store); }
    // A registration made elsewhere (another instance, a file): taken into the tables unless a
    // later one of the same Call-ID is there. Nothing is sent, and the store is not told again.
    void Restore(const Binding& binding) { m_registrar.Restore(binding); }
    // A registration ended elsewhere: it ends here too, without telling the store again.
    void Forget(const Binding& binding) { m_registrar.Forget(binding); }
    // Every registration held now, as the store keeps them.
    std::vector<Binding> Bindings() const { return m_registrar.Bindings(); }
    // From now on every REGISTER and every INVITE that starts a call must carry digest
    // credentials of these users (RFC 3261 22); none: nobody is asked. False when the random
    // source (nullptr: OpenSSL's) gave no nonce key: such requests are then refused.
    bool SetUsers(std::optional<Users> users, RandomSource* random = nullptr);
    // Shows every datagram received and every one sent to the trace (nullptr: none).
    void SetTrace(MessageTrace* trace);

    // What the keep-alives to bindings behind NAT did since start.
    const KeepAliveCounts& KeepAlives() const { return m_keepAlive.Counts(); }
    // Datagrams handed to ReceiveDatagram, and to the transport, since start.
    std::uint64_t Received() const { return m_received; }
    std::uint64_t Sent() const { return m_sender.Sent(); }

    const CallTable& Calls() const { return m_calls; }
    const RouteTable& Routes() const { return m_routes; }
    const SIP_STATS& Stats() const { return m_stats; }
    // The log: its level, and lines the program writes of its own.
    Logger& Log() { return m_log; }
    // Where the proxy is reached, written into Via and Record-Route; the port is the bound one.
    const Endpoint& Self() const { return m_self; }
    void SetLocalEndpoint(std::string ip, std::uint16_t port);
    // The proxy listens there too (an IPv6 address in brackets): written into the Via and
    // Record-Route of what it sends over that transport and family, and its own address for
    // the loop guard.
    void AddFace(TransportKind kind, std::string ip, std::uint16_t port);

private:
    SIP_STATS m_stats;
    Logger m_log;
    CallTable m_calls;
    RouteTable m_routes;
    Endpoint m_self;
    Clock& m_clock;
    DatagramSender m_sender;
    Outbox m_out;
    Registrar m_registrar;
    Admission m_admission;
    CallRelay m_relay;
    KeepAlive m_keepAlive;
    Sweep m_sweep;
    Dispatcher m_dispatcher;
    UserLimits m_limits;
    std::uint64_t m_received = 0;
    MessageTrace* m_trace = nullptr;
};

} // namespace tavrix
