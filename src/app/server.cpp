#include "app/server.h"

#include "core/text/numeric.h"

#include <QNetworkInterface>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>

#include <algorithm>

namespace tavrix {

namespace {

// Datagrams handed on per wake-up; the rest wait for the next turn of the event loop, so a
// flood cannot keep the timer from ticking.
constexpr int kDatagramsPerTurn = 64;

// The largest UDP payload; a datagram is always read whole.
constexpr qint64 kMaxDatagram = 65535;

// Room in the socket for bursts while a turn of the event loop is busy elsewhere; the
// system may grant less (net.core.rmem_max).
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;

// The sender as dotted IPv4 text; an IPv4-mapped IPv6 address is given as plain IPv4.
std::string SourceText(const QHostAddress& address)
{
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    return Latin1(isIPv4 ? QHostAddress(ipv4).toString() : address.toString());
}

// The proxy's start values with the port the socket is to bind as LocalPort, and the host's
// address as LocalIP unless one is given.
ProxyConfig WithLocalEndpoint(const ServerConfig& config)
{
    ProxyConfig proxy = config.proxy;
    proxy.LocalPort = config.port;
    if (proxy.LocalIP.empty()) {
        proxy.LocalIP = HostIPv4Address();
    }
    return proxy;
}

} // namespace

std::string Latin1(const QString& text)
{
    std::string out;
    out.reserve(static_cast<std::size_t>(text.size()));
    for (const QChar ch : text) {
        out.push_back(ch.unicode() <= 0xFF ? static_cast<char>(ch.unicode()) : '?');
    }
    return out;
}

std::string HostIPv4Address()
{
    const auto wanted = QNetworkInterface::IsUp | QNetworkInterface::IsRunning;
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        if ((interface.flags() & wanted) != wanted ||
            interface.flags().testFlag(QNetworkInterface::IsLoopBack)) {
            continue;
        }
        for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
            const QHostAddress ip = entry.ip();
            if (ip.protocol() == QAbstractSocket::IPv4Protocol && !ip.isLoopback()) {
                return Latin1(ip.toString());
            }
        }
    }
    return "127.0.0.1";
}

Server::Server(LogSink& sink, StatsDisplay& display, Clock& clock, const ServerConfig& config,
               QObject* parent)
    : QObject(parent), m_socket(new QUdpSocket(this)), m_timer(new QTimer(this)),
      m_bindAddress(config.bindAddress), m_port(config.port),
      m_proxy(*this, sink, display, clock, WithLocalEndpoint(config))
{
    m_socket->setObjectName(QStringLiteral("wsck"));
    m_timer->setObjectName(QStringLiteral("Timer1"));
    // Errors the socket reports (an ICMP answer to an earlier send among them) are ignored:
    // intake goes on with the next datagram.
    connect(m_socket, &QUdpSocket::readyRead, this, &Server::readDatagrams);
    connect(m_timer, &QTimer::timeout, this, [this] { m_proxy.Tick(); });
    m_timer->start(1000);
}

Server::~Server() = default;

bool Server::openSocket()
{
    if (isOpen()) {
        return true;
    }
    // Not shared: a second program on the same port would silently take half the traffic.
    if (!m_socket->bind(m_bindAddress, m_port, QAbstractSocket::DontShareAddress)) {
        m_lastError = m_socket->errorString();
        m_socket->abort();
        m_proxy.Log().WriteLog(Level::Err, "Cannot bind UDP port ", m_port, ": ",
                               Latin1(m_lastError));
        return false;
    }
    m_lastError.clear();
    m_socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                              QVariant(kReceiveBufferBytes));
    if (m_port == 0) {
        m_port = m_socket->localPort();
        m_proxy.SetLocalEndpoint(m_proxy.LocalIP(), m_port);
    }
    return true;
}

void Server::closeSocket()
{
    m_socket->close();
}

void Server::shutDown()
{
    m_timer->stop();
    m_socket->close();
}

bool Server::isOpen() const
{
    return m_socket->state() == QAbstractSocket::BoundState;
}

std::string Server::statisticsReport()
{
    return m_proxy.Stats().Summary() + "\r\n" + m_proxy.Routes().Listing();
}

void Server::readDatagrams()
{
    // One receive per datagram: asking for the next one's size first would cost a second
    // system call each time.
    m_buffer.resize(kMaxDatagram);
    for (int i = 0; i < kDatagramsPerTurn; ++i) {
        QHostAddress source;
        quint16 sourcePort = 0;
        const qint64 size =
            m_socket->readDatagram(m_buffer.data(), kMaxDatagram, &source, &sourcePort);
        if (size < 0) {
            if (m_socket->hasPendingDatagrams()) {
                continue; // an error report (ICMP) in the queue: the datagrams behind it count
            }
            break;
        }
        PeerAddress peer;
        peer.IP = SourceText(source);
        peer.Port = sourcePort;
        m_proxy.ReceiveDatagram(
            std::string_view(m_buffer.constData(), static_cast<std::size_t>(size)), peer);
    }
}

void Server::Send(std::string_view text, std::string_view address, std::uint16_t port)
{
    if (!isOpen()) {
        m_proxy.Log().WriteLimited(Flood::NotSent, Level::Debug, "Not sent to ", address, ":", port,
                                   ": the socket is closed");
        return;
    }
    // The proxy sends only plain dotted quads; anything else would need a lookup, which stalls
    // every other event.
    const std::optional<std::uint32_t> to = ParseIPv4(address);
    if (!to) {
        m_proxy.Log().WriteLimited(Flood::NotSent, Level::Debug, "Not sent: '", address,
                                   "' is not an IPv4 address");
        return;
    }
    if (m_socket->writeDatagram(text.data(), static_cast<qint64>(text.size()), QHostAddress(*to),
                                port) < 0) {
        m_proxy.Log().WriteLimited(Flood::NotSent, Level::Debug, "Not sent to ", address, ":", port,
                                   ": ", Latin1(m_socket->errorString()));
    }
}

} // namespace tavrix
