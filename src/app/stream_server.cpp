#include "app/stream_server.h"

#include "app/latin1.h"
#include "app/stream_connection.h"
#include "core/proxy/proxy.h"

#include <QSslSocket>
#include <QTcpSocket>
#include <QWebSocket>

namespace tavrix {

namespace {

// What a peer that does not read may leave waiting before its connection is closed.
constexpr qint64 kMaxUnsent = 4 * 1024 * 1024;

QHostAddress Unbracketed(std::string_view address)
{
    if (address.size() > 2 && address.front() == '[') {
        address = address.substr(1, address.size() - 2);
    }
    return QHostAddress(
        QString::fromLatin1(address.data(), static_cast<qsizetype>(address.size())));
}

} // namespace

StreamServer::Connection* StreamServer::track(std::unique_ptr<Connection> connection)
{
    Connection* raw = connection.get();
    raw->lastHeard = m_clock.elapsed();
    ++m_perSource[raw->ip];
    ++m_counts.open[static_cast<std::size_t>(raw->kind)];
    // A newer connection with the same far end (the old one's close not yet seen) takes over.
    m_byPeer[Key{raw->kind, raw->ip, raw->port}] = raw;
    m_connections.emplace(raw, std::move(connection));
    return raw;
}

void StreamServer::wireSocket(Connection* connection)
{
    QTcpSocket* socket = connection->socket;
    connect(socket, &QTcpSocket::readyRead, this, [this, connection] {
        received(connection, connection->socket->readAll().toStdString());
    });
    connect(socket, &QTcpSocket::disconnected, this, [this, connection] { forget(connection); });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, connection] {
        auto* tls = qobject_cast<QSslSocket*>(connection->socket);
        if (tls != nullptr && !tls->isEncrypted() && connection->inbound) {
            ++m_counts.closed[static_cast<std::size_t>(Closing::Handshake)];
            m_proxy.Log().WriteLimitedFrom(
                Flood::Connection, connection->ip, Level::Err, "TLS handshake with ",
                connection->ip, ":", connection->port, " failed: ", Latin1(tls->errorString()));
        } else if (!connection->inbound &&
                   connection->socket->state() != QAbstractSocket::ConnectedState) {
            m_proxy.Log().WriteLimited(Flood::NotSent, Level::Debug, "Not sent to ", connection->ip,
                                       ":", connection->port, ": ",
                                       Latin1(connection->socket->errorString()));
        }
        QTcpSocket* socket = connection->socket;
        forget(connection);
        socket->abort();
    });
    if (auto* tls = qobject_cast<QSslSocket*>(socket)) {
        connect(tls, &QSslSocket::encrypted, this, [this, connection] {
            connection->partSince = -1;
            connection->lastHeard = m_clock.elapsed();
        });
    }
}

void StreamServer::wireWebSocket(Connection* connection)
{
    QWebSocket* socket = connection->webSocket;
    const auto take = [this, connection](const QByteArray& frame) {
        if (frame.size() > static_cast<qsizetype>(kMaxMessageSize)) {
            closeFor(connection, Closing::TooLarge, "a message longer than 65535 bytes");
            return;
        }
        connection->lastHeard = m_clock.elapsed();
        deliver(connection, frame.toStdString()); // RFC 7118 5: one message per frame
    };
    connect(socket, &QWebSocket::textMessageReceived, this,
            [take](const QString& text) { take(text.toUtf8()); });
    connect(socket, &QWebSocket::binaryMessageReceived, this, take);
    connect(socket, &QWebSocket::disconnected, this, [this, connection] { forget(connection); });
}

void StreamServer::received(Connection* connection, std::string_view bytes)
{
    connection->lastHeard = m_clock.elapsed();
    std::vector<std::string> messages;
    const StreamFramer::Status status = connection->framer.Feed(bytes, messages);
    if (const int pings = connection->framer.TakePings(); pings > 0) {
        // RFC 5626 4.4.1: each CR LF CR LF is answered with a CR LF.
        for (int i = 0; i < pings; ++i) {
            connection->socket->write("\r\n", 2);
        }
    }
    if (!connection->framer.Partial()) {
        connection->partSince = -1;
    } else if (connection->partSince < 0) {
        connection->partSince = m_clock.elapsed();
    }
    const QObject* alive = connection->object();
    for (std::string& message : messages) {
        if (!m_connections.contains(connection) || connection->object() != alive) {
            return;
        }
        deliver(connection, std::move(message));
    }
    if (!m_connections.contains(connection)) {
        return;
    }
    if (status == StreamFramer::Status::NoLength) {
        closeFor(connection, Closing::NoLength, "a message without Content-Length");
    } else if (status == StreamFramer::Status::TooLarge) {
        closeFor(connection, Closing::TooLarge, "a message longer than 65535 bytes");
    }
}

void StreamServer::deliver(Connection* connection, std::string message)
{
    m_proxy.ReceiveDatagram(message, connection->peer());
}

void StreamServer::closeFor(Connection* connection, Closing reason, std::string_view why)
{
    ++m_counts.closed[static_cast<std::size_t>(reason)];
    if (reason == Closing::Handshake) {
        m_proxy.Log().WriteLimitedFrom(Flood::Connection, connection->ip, Level::Err,
                                       "TLS handshake with ", connection->ip, ":", connection->port,
                                       " failed: ", why);
    } else {
        m_proxy.Log().WriteLimitedFrom(Flood::Connection, connection->ip, Level::Err,
                                       "Connection from ", connection->ip, ":", connection->port,
                                       " closed: ", why);
    }
    QObject* object = connection->object();
    forget(connection);
    if (auto* socket = qobject_cast<QTcpSocket*>(object)) {
        socket->abort();
    } else if (auto* ws = qobject_cast<QWebSocket*>(object)) {
        ws->close(QWebSocketProtocol::CloseCodePolicyViolated);
    }
}

void StreamServer::forget(Connection* connection)
{
    const auto found = m_connections.find(connection);
    if (found == m_connections.end()) {
        return;
    }
    std::unique_ptr<Connection> owned = std::move(found->second);
    m_connections.erase(found);
    const Key key{owned->kind, owned->ip, owned->port};
    if (const auto byPeer = m_byPeer.find(key);
        byPeer != m_byPeer.end() && byPeer->second == connection) {
        m_byPeer.erase(byPeer);
    }
    if (--m_perSource[owned->ip] <= 0) {
        m_perSource.erase(owned->ip);
    }
    --m_counts.open[static_cast<std::size_t>(owned->kind)];
    QObject* object = owned->object();
    object->disconnect(this);
    object->deleteLater();
    if (!m_byPeer.contains(key)) {
        m_proxy.ConnectionClosed(owned->peer());
    }
}

StreamServer::Connection* StreamServer::outgoing(TransportKind kind, std::string_view address,
                                                 std::uint16_t port)
{
    if (kind == TransportKind::Tls && !m_hasTls) {
        m_proxy.Log().WriteLimited(Flood::NotSent, Level::Debug, "Not sent to ", address, ":", port,
                                   ": TLS is not set up (--tls-cert, --tls-key)");
        return nullptr;
    }
    auto connection = std::make_unique<Connection>();
    connection->kind = kind;
    connection->ip = std::string(address);
    connection->port = port;
    connection->inbound = false;
    if (kind == TransportKind::Tls) {
        auto* tls = new QSslSocket(this);
        QSslConfiguration client = m_tls;
        client.setPeerVerifyMode(QSslSocket::VerifyNone);
        tls->setSslConfiguration(client);
        connection->socket = tls;
        tls->connectToHostEncrypted(Unbracketed(address).toString(), port);
    } else {
        connection->socket = new QTcpSocket(this);
        connection->socket->connectToHost(Unbracketed(address), port);
    }
    QTcpSocket* socket = connection->socket;
    connect(socket, &QTcpSocket::connected, socket,
            [socket] { socket->setSocketOption(QAbstractSocket::LowDelayOption, 1); });
    Connection* tracked = track(std::move(connection));
    wireSocket(tracked);
    return tracked;
}

bool StreamServer::send(TransportKind kind, std::string_view text, std::string_view address,
                        std::uint16_t port)
{
    const auto found = m_byPeer.find(Key{kind, std::string(address), port});
    Connection* connection = found != m_byPeer.end() ? found->second : nullptr;
    if (connection == nullptr && (kind == TransportKind::Tcp || kind == TransportKind::Tls) &&
        !m_listeners.empty()) {
        connection = outgoing(kind, address, port);
    }
    if (connection == nullptr) {
        return false;
    }
    if (connection->webSocket != nullptr) {
        const QByteArray bytes(text.data(), static_cast<qsizetype>(text.size()));
        const QString asText = QString::fromUtf8(bytes);
        if (asText.toUtf8() == bytes) {
            connection->webSocket->sendTextMessage(asText);
        } else {
            connection->webSocket->sendBinaryMessage(bytes);
        }
        return true;
    }
    connection->socket->write(text.data(), static_cast<qint64>(text.size()));
    if (connection->socket->bytesToWrite() > kMaxUnsent) {
        closeFor(connection, Closing::Slow, "more than 4 MB waiting to be sent");
        return false;
    }
    return true;
}

bool StreamServer::connected(TransportKind kind, std::string_view address, std::uint16_t port) const
{
    return m_byPeer.contains(Key{kind, std::string(address), port});
}

void StreamServer::sweep()
{
    const qint64 now = m_clock.elapsed();
    std::vector<std::pair<Connection*, Closing>> closing;
    for (const auto& [raw, connection] : m_connections) {
        if (connection->partSince >= 0 &&
            now - connection->partSince > kWholeMessageSeconds * 1000) {
            closing.emplace_back(raw, Closing::Slow);
        } else if (now - connection->lastHeard > kIdleSeconds * 1000LL) {
            closing.emplace_back(raw, Closing::Idle);
        }
    }
    for (const auto& [connection, reason] : closing) {
        auto* tls = qobject_cast<QSslSocket*>(connection->object());
        if (reason == Closing::Slow && tls != nullptr && !tls->isEncrypted()) {
            closeFor(connection, Closing::Handshake, "not done within 10 s");
        } else if (reason == Closing::Slow) {
            closeFor(connection, reason, "no whole message within 10 s");
        } else {
            closeFor(connection, reason, "idle for 10 minutes");
        }
    }
}

} // namespace tavrix
