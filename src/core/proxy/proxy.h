#pragma once

#include "core/log/log_sink.h"
#include "core/log/logger.h"
#include "core/log/stats.h"
#include "core/proxy/builders.h"
#include "core/proxy/call_table.h"
#include "core/proxy/datagram_sender.h"
#include "core/proxy/digest.h"
#include "core/proxy/message_trace.h"
#include "core/proxy/registrar_store.h"
#include "core/proxy/route_table.h"
#include "core/proxy/transport.h"
#include "core/text/numeric.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tavrix {

// How long a forwarded INVITE may wait for a final answer, each provisional one restarting it
// (RFC 3261 16.6 step 11, timer C).
inline constexpr std::int16_t kAnswerTime = 180;

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
};

// One stateful SIP proxy and registrar: owns the call table, the route table, the statistics
// and the logger, and reaches the world only through the four interfaces it is given.
// Everything runs on the caller's thread, one event at a time.
class Proxy
{
public:
    Proxy(Transport& transport, LogSink& sink, StatsDisplay& display, Clock& clock,
          ProxyConfig config = {});
    Proxy(const Proxy&) = delete;
    Proxy& operator=(const Proxy&) = delete;

    // Entry point: a datagram arrived from peer (IP and Port set). Logs it, finds its call
    // record and dispatches it. Any bytes are acceptable input.
    void ReceiveDatagram(std::string_view message, const PeerAddress& peer);

    // Entry point: one timer tick: the summaries of log lines left out, the expiry sweep.
    void Tick();

    // Keeps every registration in the store from now on, after loading the ones it holds that
    // have not run out (nullptr: memory only).
    void AttachStore(RegistrarStore* store);
    // A registration made elsewhere (another instance, a file): taken into the tables unless a
    // later one of the same Call-ID is there. Nothing is sent, and the store is not told again.
    void Restore(const Binding& binding);
    // A registration ended elsewhere: it ends here too, without telling the store again.
    void Forget(const Binding& binding);
    // Every registration held now, as the store keeps them.
    std::vector<Binding> Bindings();
    // From now on every REGISTER and every INVITE that starts a call must carry digest
    // credentials of these users (RFC 3261 22); none: nobody is asked.
    void SetUsers(std::optional<Users> users);
    // Shows every datagram received and every one sent to the trace (nullptr: none).
    void SetTrace(MessageTrace* trace);

    // Datagrams handed to ReceiveDatagram since start.
    std::uint64_t Received() const { return m_received; }
    // Datagrams handed to the transport since start.
    std::uint64_t Sent() const { return m_out.Sent(); }

    CallTable& Calls() { return m_calls; }
    RouteTable& Routes() { return m_routes; }
    SIP_STATS& Stats() { return m_stats; }
    Logger& Log() { return m_log; }
    const std::string& LocalIP() const { return m_self.IP; }
    std::uint16_t LocalPort() const { return m_self.Port; }
    void SetLocalEndpoint(std::string ip, std::uint16_t port);

private:
    // Runs the branch of the message's first word; rec is the working copy of its record.
    void HandleMessage(CallRecord& rec, std::string_view message, const PeerAddress& peer);
    enum class Admission
    {
        Admitted,
        Refused, // the From URI holds no "sip:"
        NoRoom   // a REGISTER needs a route and the route table is full
    };
    // The gate of REGISTER and INVITE, and the registrar. Records a new registration for an
    // unknown Contact.
    Admission AdmitRequest(CallRecord& rec, std::string_view message, const PeerAddress& peer);
    // Relays a response (status 100 or more) to the other leg of its call.
    void HandleResponse(CallRecord& rec, std::string_view status, std::string_view message,
                        const PeerAddress& peer);
    // Counts every lifetime down; ends registrations and calls that have run out, and calls
    // whose INVITE waited too long for an answer.
    void Sweep();
    // Frees a slot by any path. A registration ends with it as the sweep ends one: its line,
    // its routes (unless another registration holds the Contact), the counter.
    void EndCall(SlotNumber slot);
    // Ends the registration the slot holds, if any, as EndCall does, and leaves the slot taken.
    void EndRegistration(SlotNumber slot);
    // A request that carries a Via this proxy wrote for it has come back (RFC 3261 16.3
    // step 4): an INVITE is answered 482, anything else dropped. True when it looped.
    bool Looped(std::string_view message, const PeerAddress& peer);

    // A response built from source, to the Callee when rec.Leg is 1, else to the Caller.
    void SendResponse(const CallRecord& rec, std::string_view status, std::string_view source,
                      std::string_view ownLine = {});
    // A request built from source, to the Callee's Uri when rec.Leg is 1, else to the caller's
    // Contact (RFC 3261 12.2.1.1).
    void SendRequest(const CallRecord& rec, std::string_view method, std::string_view source);
    // A response to whoever sent the message, whatever the record says.
    void AnswerSender(const CallRecord& rec, std::string_view status, std::string_view message,
                      const PeerAddress& peer, std::string_view ownLine = {});
    // A response to the record's Caller, or to the sender when the record has no usable
    // address for it.
    void AnswerCaller(const CallRecord& rec, std::string_view status, std::string_view message,
                      const PeerAddress& peer);
    // With users set: whether the REGISTER (or the INVITE that starts a call) carries valid
    // credentials of its From user; if not, it has been challenged or refused, to its sender.
    // A slot taken only for the request is given back, so the phone's retry under the same
    // Call-ID is a new request.
    bool Authorized(const CallRecord& rec, std::string_view message, const PeerAddress& peer,
                    bool invite);

    // The store's view of a registration slot.
    Binding BindingOf(const CallRecord& rec, std::int64_t updated);
    // Tells the store that the slot's registration was made or refreshed.
    void Saved(SlotNumber slot);

    void HandleWithoutSlot(std::string_view message, const PeerAddress& peer);
    void RelayRequest(CallRecord& rec, std::string_view method, std::string_view message,
                      const PeerAddress& peer);
    bool HopsExhausted(std::string_view method, std::string_view message, const PeerAddress& peer);
    // Whether the sender is on the caller's side of the call: by address and port, else by
    // address alone.
    bool OnCallerSide(const CallRecord& rec, const PeerAddress& peer) const;

    SIP_STATS m_stats;
    Logger m_log;
    CallTable m_calls;
    RouteTable m_routes;
    Endpoint m_self;
    DatagramSender m_out;
    Clock& m_clock;
    RegistrarStore* m_store = nullptr;
    std::optional<Authenticator> m_auth;
    std::unordered_map<std::string, std::int64_t> m_updated; // Call-ID -> last registered
    std::uint64_t m_received = 0;
    MessageTrace* m_trace = nullptr;
};

} // namespace tavrix
