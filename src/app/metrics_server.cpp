#include "app/metrics_server.h"

#include "app/latin1.h"
#include "app/stream_server.h"
#include "core/proxy/proxy.h"

#include <QTcpServer>

#include <memory>
#include <utility>

namespace tavrix {

namespace {

constexpr Level kLevels[] = {Level::Err, Level::Info, Level::Debug, Level::DebugV};

// The families of the page, written one after the other into text.
struct Exposition
{
    // The HELP and TYPE lines of a family; its samples follow.
    void family(std::string_view name, std::string_view type, std::string_view help)
    {
        AppendPieces(text, "# HELP ", name, " ", help, "\n# TYPE ", name, " ", type, "\n");
    }
    // A sample; labels is empty or "{name=\"value\"}".
    template <typename T> void sample(std::string_view name, std::string_view labels, T value)
    {
        AppendPieces(text, name, labels, " ", value, "\n");
    }
    // A family of one sample without labels.
    template <typename T>
    void single(std::string_view name, std::string_view type, std::string_view help, T value)
    {
        family(name, type, help);
        sample(name, "", value);
    }

    std::string text;
};

// The stream transports' connections: open now by transport, refused and closed by reason.
void ConnectionFamilies(Exposition& page, const ConnectionCounts& counts)
{
    page.family("tavrix_connections_open", "gauge",
                "TCP, TLS and WebSocket connections open now, by transport.");
    for (const TransportKind kind :
         {TransportKind::Tcp, TransportKind::Tls, TransportKind::Ws, TransportKind::Wss}) {
        page.sample("tavrix_connections_open", Cat("{transport=\"", UriParam(kind), "\"}"),
                    counts.open[static_cast<std::size_t>(kind)]);
    }
    page.family("tavrix_connections_refused_total", "counter",
                "Connections refused at once: too many open, or from one address.");
    for (std::size_t reason = 0; reason < std::size(kRefusalNames); ++reason) {
        page.sample("tavrix_connections_refused_total",
                    Cat("{reason=\"", kRefusalNames[reason], "\"}"), counts.refused[reason]);
    }
    page.family("tavrix_connections_closed_total", "counter",
                "Connections the proxy closed, by reason.");
    for (std::size_t reason = 0; reason < std::size(kClosingNames); ++reason) {
        page.sample("tavrix_connections_closed_total",
                    Cat("{reason=\"", kClosingNames[reason], "\"}"), counts.closed[reason]);
    }
}

} // namespace

std::string MetricsText(Proxy& proxy, const ConnectionCounts* connections)
{
    const SIP_STATS& stats = proxy.Stats();
    Exposition page;
    page.family("tavrix_build_info", "gauge", "The running version.");
    page.sample("tavrix_build_info", "{version=\"" TAVRIX_VERSION "\"}", 1);
    page.single("tavrix_registrations", "gauge", "Registrations held now.", stats.Registrations());
    page.single("tavrix_call_attempts_total", "counter", "Calls started by an INVITE.",
                stats.CallAttempts());
    page.single("tavrix_failed_calls_total", "counter",
                "Calls answered 404 Not Found (no route, or relayed from the callee) or 482 Loop "
                "Detected.",
                stats.FailedCalls());
    page.single("tavrix_completed_calls_total", "counter",
                "Calls ended by a BYE or CANCEL answered 200 OK.", stats.CompletedCalls());
    page.single("tavrix_errors_total", "counter",
                "LOG_ERR events, also those the flood limit kept out of the log.", stats.Errors());
    page.single("tavrix_call_slots_taken", "gauge",
                "Call-table slots held by calls and registrations.", proxy.Calls().Taken());
    page.single("tavrix_call_slots_capacity", "gauge", "Call-table slots.",
                proxy.Calls().Capacity());
    page.single("tavrix_route_slots_taken", "gauge", "Route-table slots in use.",
                proxy.Routes().Taken());
    page.single("tavrix_route_slots_capacity", "gauge", "Route-table slots.",
                proxy.Routes().Capacity());
    page.single("tavrix_datagrams_received_total", "counter", "Datagrams received.",
                proxy.Received());
    page.single("tavrix_datagrams_sent_total", "counter", "Datagrams handed to the socket.",
                proxy.Sent());
    page.family("tavrix_datagrams_dropped_total", "counter",
                "Datagrams not handled as asked (refused, not forwarded or not sent), by reason.");
    for (std::size_t kind = 0; kind < std::size(kFloodNames); ++kind) {
        page.sample("tavrix_datagrams_dropped_total", Cat("{reason=\"", kFloodNames[kind], "\"}"),
                    proxy.Log().Events(static_cast<Flood>(kind)));
    }
    page.single("tavrix_nat_keepalives_sent_total", "counter",
                "OPTIONS sent to keep the NAT mappings of phones behind NAT open.",
                proxy.KeepAlives().sent);
    page.single("tavrix_nat_bindings_ended_total", "counter",
                "Registrations behind NAT ended because their keep-alives went unanswered.",
                proxy.KeepAlives().ended);
    if (connections != nullptr) {
        ConnectionFamilies(page, *connections);
    }
    page.family("tavrix_log_lines_total", "counter", "Log lines written, by level.");
    for (const Level level : kLevels) {
        page.sample("tavrix_log_lines_total", Cat("{level=\"", LevelLabel(level), "\"}"),
                    proxy.Log().Lines(level));
    }
    return page.text;
}

MetricsServer::MetricsServer(Proxy& proxy, const ConnectionCounts* connections)
    : m_proxy(proxy), m_connections(connections)
{
    m_http.route(QStringLiteral("/metrics"), QHttpServerRequest::Method::Get, [this] {
        const std::string text = MetricsText(m_proxy, m_connections);
        return QHttpServerResponse("text/plain; version=0.0.4; charset=utf-8",
                                   QByteArray(text.data(), static_cast<qsizetype>(text.size())));
    });
}

bool MetricsServer::listen(const QHostAddress& address, quint16 port)
{
    auto tcp = std::make_unique<QTcpServer>();
    if (!tcp->listen(address, port)) {
        m_proxy.Log().WriteLog(Level::Err, "Cannot serve metrics at ", Latin1(address.toString()),
                               ":", port, ": ", Latin1(tcp->errorString()));
        return false;
    }
    m_proxy.Log().WriteLog(Level::Info, "Metrics at http://", Latin1(address.toString()), ":",
                           tcp->serverPort(), "/metrics");
    m_port = tcp->serverPort();
    m_http.bind(tcp.release()); // which takes it over
    return true;
}

} // namespace tavrix
