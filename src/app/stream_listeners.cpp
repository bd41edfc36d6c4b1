#include "app/latin1.h"
#include "app/stream_connection.h"
#include "app/stream_server.h"
#include "app/tls_files.h"
#include "core/proxy/proxy.h"

#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <functional>

// The stream server's listeners: what it opens, and whom it lets in.
namespace tavrix {

namespace {

// Hands every accepted descriptor on untouched, so a TLS connection can be a QSslSocket and a
// refused one is closed before anything is read from it.
class Listener final : public QTcpServer
{
public:
    Listener(std::function<void(qintptr)> incoming, QObject* parent)
        : QTcpServer(parent), m_incoming(std::move(incoming))
    {}

protected:
    void incomingConnection(qintptr descriptor) override { m_incoming(descriptor); }

private:
    std::function<void(qintptr)> m_incoming;
};

} // namespace

std::string AddressText(const QHostAddress& address)
{
    bool mapped = false;
    const quint32 ipv4 = address.toIPv4Address(&mapped);
    if (mapped) {
        return Latin1(QHostAddress(ipv4).toString());
    }
    QHostAddress plain = address;
    plain.setScopeId(QString());
    return "[" + Latin1(plain.toString()) + "]";
}

StreamServer::StreamServer(Proxy& proxy, StreamConfig config, QObject* parent)
    : QObject(parent), m_proxy(proxy), m_config(std::move(config)), m_timer(new QTimer(this))
{
    m_clock.start();
    if (!m_config.tlsCert.isEmpty() && !m_config.tlsKey.isEmpty()) {
        reloadTls();
    }
    connect(m_timer, &QTimer::timeout, this, &StreamServer::sweep);
}

StreamServer::~StreamServer()
{
    for (auto& [raw, connection] : m_connections) {
        if (QObject* object = connection->object()) {
            object->disconnect(this);
        }
    }
}

bool StreamServer::reloadTls()
{
    auto loaded = LoadTls(m_config.tlsCert, m_config.tlsKey);
    if (const QString* error = std::get_if<QString>(&loaded)) {
        m_proxy.Log().WriteLog(Level::Err, "TLS files not taken: ", Latin1(*error));
        return false;
    }
    m_tls = std::get<QSslConfiguration>(std::move(loaded));
    m_hasTls = true;
    for (QObject* listener : m_listeners) {
        if (auto* ws = qobject_cast<QWebSocketServer*>(listener);
            ws != nullptr && ws->secureMode() == QWebSocketServer::SecureMode) {
            ws->setSslConfiguration(m_tls);
        }
    }
    return true;
}

void StreamServer::open(const QHostAddress& udpAddress, quint16 port)
{
    if (!m_listeners.empty()) {
        return;
    }
    std::vector<QHostAddress> addresses{udpAddress};
    if (!m_config.ipv6.isNull()) {
        addresses.push_back(m_config.ipv6);
    }
    for (const QHostAddress& address : addresses) {
        if (m_config.tcp) {
            listenTcp(TransportKind::Tcp, address, port);
        }
        if (m_hasTls) {
            listenTcp(TransportKind::Tls, address, m_config.tlsPort);
        }
    }
    if (!m_config.wsAddress.isNull()) {
        listenWebSocket(TransportKind::Ws, m_config.wsAddress, m_config.wsPort);
    }
    if (!m_config.wssAddress.isNull() && m_hasTls) {
        listenWebSocket(TransportKind::Wss, m_config.wssAddress, m_config.wssPort);
    }
    m_timer->start(1000);
}

void StreamServer::close()
{
    m_timer->stop();
    for (QObject* listener : m_listeners) {
        delete listener;
    }
    m_listeners.clear();
    m_listening.clear();
    std::vector<Connection*> open;
    for (auto& [raw, connection] : m_connections) {
        open.push_back(raw);
    }
    for (Connection* connection : open) {
        QObject* object = connection->object();
        forget(connection);
        if (auto* socket = qobject_cast<QTcpSocket*>(object)) {
            socket->abort();
        } else if (auto* ws = qobject_cast<QWebSocket*>(object)) {
            ws->abort();
        }
    }
}

void StreamServer::addFace(TransportKind kind, const QHostAddress& address, quint16 port)
{
    // An unspecified address is written as the proxy's own one of that family.
    std::string ip = AddressText(address);
    if (address == QHostAddress::AnyIPv4 || address == QHostAddress::Any) {
        ip = m_proxy.Self().IP;
    }
    m_proxy.AddFace(kind, ip, port);
    m_listening.push_back(std::string(ViaName(kind)) + " " + ip + ":" + std::to_string(port));
}

void StreamServer::listenTcp(TransportKind kind, const QHostAddress& address, quint16 port)
{
    auto* listener =
        new Listener([this, kind](qintptr descriptor) { accept(kind, descriptor); }, this);
    // Room for a burst of connection attempts while the event loop is busy: past the queue the
    // system drops them unseen, and they neither count nor get the refusal's log line.
    listener->setListenBacklogSize(1024);
    if (!listener->listen(address, port)) {
        m_proxy.Log().WriteLog(Level::Err, "Cannot listen for ", ViaName(kind), " on ",
                               AddressText(address), ":", port, ": ",
                               Latin1(listener->errorString()));
        delete listener;
        return;
    }
    m_listeners.push_back(listener);
    addFace(kind, address, listener->serverPort());
    if (kind == TransportKind::Tls) {
        m_config.tlsPort = listener->serverPort(); // the same free port on every address
    }
}

void StreamServer::listenWebSocket(TransportKind kind, const QHostAddress& address, quint16 port)
{
    const bool secure = kind == TransportKind::Wss;
    auto* listener = new QWebSocketServer(
        QStringLiteral("Tavrix"),
        secure ? QWebSocketServer::SecureMode : QWebSocketServer::NonSecureMode, this);
    if (secure) {
        listener->setSslConfiguration(m_tls);
    }
    listener->setSupportedSubprotocols({QStringLiteral("sip")}); // RFC 7118 4
    listener->setHandshakeTimeout(std::chrono::seconds(kWholeMessageSeconds));
    listener->setMaxPendingConnections(m_config.maxConnections);
    if (!listener->listen(address, port)) {
        m_proxy.Log().WriteLog(Level::Err, "Cannot listen for ", ViaName(kind), " on ",
                               AddressText(address), ":", port, ": ",
                               Latin1(listener->errorString()));
        delete listener;
        return;
    }
    connect(listener, &QWebSocketServer::newConnection, this,
            [this, kind, listener] { acceptWebSocket(kind, listener); });
    m_listeners.push_back(listener);
    addFace(kind, address, listener->serverPort());
}

bool StreamServer::admit(const std::string& ip, std::uint16_t port)
{
    const int fromThere = m_perSource.contains(ip) ? m_perSource[ip] : 0;
    const auto refuse = [&](Refusal reason, int count, std::string_view what) {
        ++m_counts.refused[static_cast<std::size_t>(reason)];
        m_proxy.Log().WriteLimitedFrom(Flood::Connection, ip, Level::Err, "Connection from ", ip,
                                       ":", port, " refused: ", count, what);
        return false;
    };
    if (static_cast<int>(m_connections.size()) >= m_config.maxConnections) {
        return refuse(Refusal::Limit, m_config.maxConnections, " connections open");
    }
    if (fromThere >= m_config.maxPerSource) {
        return refuse(Refusal::SourceLimit, m_config.maxPerSource,
                      " connections from that address open");
    }
    return true;
}

std::unique_ptr<StreamServer::Connection>
StreamServer::admitted(TransportKind kind, const QHostAddress& address, quint16 port)
{
    const std::string ip = AddressText(address);
    if (!admit(ip, port)) {
        return nullptr;
    }
    auto connection = std::make_unique<Connection>();
    connection->kind = kind;
    connection->ip = ip;
    connection->port = port;
    return connection;
}

void StreamServer::accept(TransportKind kind, qintptr descriptor)
{
    QTcpSocket* socket = kind == TransportKind::Tls ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    // Each message is written whole: waiting to fill a segment (Nagle) only delays it until
    // the peer's delayed acknowledgement, some 40 ms.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    auto connection = admitted(kind, socket->peerAddress(), socket->peerPort());
    if (!connection) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    connection->socket = socket;
    Connection* tracked = track(std::move(connection));
    wireSocket(tracked);
    if (auto* tls = qobject_cast<QSslSocket*>(socket)) {
        // The handshake must end within the time a message has.
        tracked->partSince = m_clock.elapsed();
        tls->setSslConfiguration(m_tls);
        tls->startServerEncryption();
    }
}

void StreamServer::acceptWebSocket(TransportKind kind, QWebSocketServer* listener)
{
    while (QWebSocket* socket = listener->nextPendingConnection()) {
        socket->setParent(this);
        auto connection = admitted(kind, socket->peerAddress(), socket->peerPort());
        if (!connection) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connection->webSocket = socket;
        // A frame may be larger than a message, so the proxy can say why it closes.
        socket->setMaxAllowedIncomingMessageSize(2 * kMaxMessageSize);
        wireWebSocket(track(std::move(connection)));
    }
}

} // namespace tavrix
