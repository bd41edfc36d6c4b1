#pragma once

#include <QHostAddress>
#include <QHttpServer>

#include <string>

namespace tavrix {

class Proxy;
struct ConnectionCounts;

// The proxy's figures in the Prometheus text format (version 0.0.4), as they stand now, with
// the stream transports' connections when given.
std::string MetricsText(Proxy& proxy, const ConnectionCounts* connections = nullptr);

// Answers GET /metrics over HTTP with MetricsText, on the thread that owns it, between two
// datagrams: no copy of the figures, no lock. Any other path or method is answered 404.
class MetricsServer
{
public:
    explicit MetricsServer(Proxy& proxy, const ConnectionCounts* connections = nullptr);

    // Listens on exactly this address and port (0: a free one the system picks). Logs at
    // LOG_INFO the address of the page, or at LOG_ERR why it cannot be served. True when
    // listening.
    bool listen(const QHostAddress& address, quint16 port);
    // The HTTP server, for another page to share; listening only after listen() succeeded.
    QHttpServer& http() { return m_http; }
    // The port listened on; 0 before listen() succeeded.
    quint16 port() const { return m_port; }

private:
    Proxy& m_proxy;
    const ConnectionCounts* m_connections;
    QHttpServer m_http;
    quint16 m_port = 0;
};

} // namespace tavrix
