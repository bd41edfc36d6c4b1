#pragma once

#include "app/datagram_batch.h"
#include "app/stream_server.h"
#include "core/proxy/proxy.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <cstdint>
#include <string_view>

class QSocketNotifier;
class QTimer;
class QUdpSocket;

namespace tavrix {

// Where the program serves and the proxy's start values.
struct ServerConfig
{
    QHostAddress bindAddress = QHostAddress(QHostAddress::AnyIPv4);
    quint16 port = kSipPort; // 0: a free port the system picks, kept for every later bind
    ProxyConfig proxy;       // an empty LocalIP: the host's address, found at start-up
    StreamConfig streams;    // TCP beside UDP; TLS, WebSocket and IPv6 when asked for
};

// The proxy on its UDP socket wsck and its one-second timer Timer1, all on the thread that
// owns this object. Each datagram is handed to the proxy whole, with its source; the timer
// runs the expiry sweep whether the socket is open or not. The stream transports (TCP, TLS,
// WebSocket) and the IPv6 socket open and close with the UDP socket.
class Server final : public QObject, public Transport
{
    Q_OBJECT

public:
    Server(LogSink& sink, StatsDisplay& display, Clock& clock, const ServerConfig& config,
           QObject* parent = nullptr);
    ~Server() override;

    // Binds the socket, then the other transports (one that cannot open is logged, and the
    // rest carry on); on failure logs a LOG_ERR line naming the port and the reason, which
    // lastError() then holds, and the socket stays closed. True when it is open.
    bool openSocket();
    // Closes the socket and the other transports' listeners and connections; datagrams sent to
    // the port are dropped until it is opened again.
    void closeSocket();
    bool isOpen() const;
    // Closes the socket and stops the timer for good: nothing is handled any more.
    void shutDown();
    // Why the last openSocket() failed.
    const QString& lastError() const { return m_lastError; }
    // The port the socket binds.
    quint16 port() const { return m_port; }

    Proxy& proxy() { return m_proxy; }
    StreamServer& streams() { return *m_streams; }
    // Every transport listening beside the UDP socket ("TCP 127.0.0.1:5060").
    std::vector<std::string> listening() const;
    // The statistics summary line and the routes listing, each line ending in CR LF.
    std::string statisticsReport();

    // One datagram to address:port. An address that is not an IPv4 or IPv6 literal, a closed
    // socket or a failed send drops the datagram with a LOG_DEBUG line; nothing is retried.
    void Send(std::string_view text, std::string_view address, std::uint16_t port) override;
    bool SendStream(TransportKind kind, std::string_view text, std::string_view address,
                    std::uint16_t port) override;
    bool Connected(TransportKind kind, std::string_view address, std::uint16_t port) const override;

private:
    // Binds the UDP socket to the port asked for, or to a free one whose TCP twin is free too.
    bool bindUdp();
    void readDatagrams();
    void openIPv6();
    void sendIPv6(std::string_view text, std::string_view address, std::uint16_t port);
    void readIPv6();
    // Logs an error the socket reported when read: an earlier send that did not arrive at
    // LOG_DEBUG, anything else at LOG_ERR; both flood-limited and counted for the metrics.
    void reportReadError(int error);

    QUdpSocket* m_socket;
    QUdpSocket* m_socket6 = nullptr; // while open on the IPv6 address
    QTimer* m_timer;
    QSocketNotifier* m_notifier = nullptr; // while the socket is open
    QHostAddress m_bindAddress;
    quint16 m_port;
    QString m_lastError;
    DatagramBatch m_batch;
    bool m_batching = false; // answers wait in m_batch while a burst is handled
    Proxy m_proxy;
    QHostAddress m_ipv6;
    StreamServer* m_streams;
};

// The address of the host's first interface that is up, running and not a loopback, as
// dotted IPv4 text; "127.0.0.1" when there is none.
std::string HostIPv4Address();

} // namespace tavrix
