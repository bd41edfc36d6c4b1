#pragma once

#include "core/proxy/transport.h"
#include "core/text/stream_framer.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>
#include <QString>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

class QTcpServer;
class QTimer;
class QWebSocket;
class QWebSocketServer;

namespace tavrix {

class Proxy;

// Where the stream transports listen and how many connections they take.
struct StreamConfig
{
    bool tcp = true;         // TCP beside every UDP socket, on its address and port
    QString tlsCert, tlsKey; // PEM files; TLS only with both
    quint16 tlsPort = 5061;  // 0: a free port the system picks
    QHostAddress wsAddress;  // null: no WebSocket server
    quint16 wsPort = 0;      // 0: a free port
    QHostAddress wssAddress; // null: no secure WebSocket server (needs the TLS files)
    quint16 wssPort = 0;     // 0: a free port
    QHostAddress ipv6;       // null: IPv4 only; else UDP, TCP and TLS there too
    int maxConnections = 1000;
    int maxPerSource = 64;
};

// Why a connection was refused or closed by the proxy, as the metrics page labels it.
enum class Refusal : std::uint8_t
{
    Limit,
    SourceLimit,
    Kinds
};
enum class Closing : std::uint8_t
{
    NoLength,
    TooLarge,
    Slow,
    Idle,
    Handshake,
    Kinds
};
inline constexpr std::string_view kRefusalNames[] = {"limit", "source_limit"};
inline constexpr std::string_view kClosingNames[] = {"no_length", "too_large", "slow", "idle",
                                                     "handshake"};

// What the stream transports did since start, for the metrics page.
struct ConnectionCounts
{
    std::array<std::uint64_t, 5> open{}; // now, by TransportKind (UDP always 0)
    std::array<std::uint64_t, static_cast<std::size_t>(Refusal::Kinds)> refused{};
    std::array<std::uint64_t, static_cast<std::size_t>(Closing::Kinds)> closed{};
};

// A connection has this long after its first byte of a message (or after it was opened, for
// TLS) to deliver the whole message; an idle one closes after kIdleSeconds.
inline constexpr int kWholeMessageSeconds = 10;
inline constexpr int kIdleSeconds = 600;

// The proxy's TCP, TLS and WebSocket listeners and their connections (RFC 3261 18, RFC 7118):
// each message a connection delivers whole goes to the proxy with the connection's far end
// and kind; messages the proxy sends go over the open connection to that far end, or over a
// new one to it (TCP, TLS). Runs on the thread that owns the proxy.
class StreamServer final : public QObject
{
    Q_OBJECT

public:
    StreamServer(Proxy& proxy, StreamConfig config, QObject* parent = nullptr);
    ~StreamServer() override;

    // Opens every listener the configuration asks for; udpAddress and port are those of the
    // UDP socket (TCP shares them). A listener that cannot open is a LOG_ERR line, and the
    // others carry on. Tells the proxy each address it now listens on.
    void open(const QHostAddress& udpAddress, quint16 port);
    // Closes the listeners and every connection.
    void close();
    // "TCP 127.0.0.1:5060", one per listener open, in the order opened.
    const std::vector<std::string>& listening() const { return m_listening; }
    // Takes the TLS files again; false (logged at LOG_ERR, the old ones kept) when they cannot.
    bool reloadTls();
    const ConnectionCounts& counts() const { return m_counts; }
    bool wantsTcp() const { return m_config.tcp; }

    bool send(TransportKind kind, std::string_view text, std::string_view address,
              std::uint16_t port);
    bool connected(TransportKind kind, std::string_view address, std::uint16_t port) const;

private:
    struct Connection;
    using Key = std::tuple<TransportKind, std::string, std::uint16_t>;

    void listenTcp(TransportKind kind, const QHostAddress& address, quint16 port);
    void listenWebSocket(TransportKind kind, const QHostAddress& address, quint16 port);
    void accept(TransportKind kind, qintptr descriptor);
    void acceptWebSocket(TransportKind kind, QWebSocketServer* listener);
    // Whether one more connection from that address may open; logs and counts a refusal.
    bool admit(const std::string& ip, std::uint16_t port);
    // A new connection from that far end when it may open, else nullptr.
    std::unique_ptr<Connection> admitted(TransportKind kind, const QHostAddress& address,
                                         quint16 port);
    Connection* track(std::unique_ptr<Connection> connection);
    void wireSocket(Connection* connection);
    void wireWebSocket(Connection* connection);
    void received(Connection* connection, std::string_view bytes);
    void deliver(Connection* connection, std::string message);
    // The proxy closes it: logged, counted, and forgotten at once.
    void closeFor(Connection* connection, Closing reason, std::string_view why);
    // It has closed (either end): the proxy is told, and it is deleted later.
    void forget(Connection* connection);
    Connection* outgoing(TransportKind kind, std::string_view address, std::uint16_t port);
    void sweep();
    void addFace(TransportKind kind, const QHostAddress& address, quint16 port);

    Proxy& m_proxy;
    StreamConfig m_config;
    QSslConfiguration m_tls;
    bool m_hasTls = false;
    QTimer* m_timer;
    QElapsedTimer m_clock;
    std::vector<QObject*> m_listeners;
    std::vector<std::string> m_listening;
    std::map<Key, Connection*> m_byPeer;
    std::map<Connection*, std::unique_ptr<Connection>> m_connections;
    std::map<std::string, int> m_perSource;
    ConnectionCounts m_counts;
};

// An address as the proxy writes it: IPv4 dotted, IPv6 in brackets without a scope, an
// IPv4-mapped IPv6 address as IPv4.
std::string AddressText(const QHostAddress& address);

} // namespace tavrix
