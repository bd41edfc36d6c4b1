#include "app/server.h"

#include "app/latin1.h"
#include "core/text/numeric.h"

#include <QNetworkInterface>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tavrix {

namespace {

// Room in the socket for bursts while a turn of the event loop is busy elsewhere; the
// system may grant less (net.core.rmem_max).
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;

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
      m_proxy(*this, sink, display, clock, WithLocalEndpoint(config)), m_ipv6(config.streams.ipv6),
      m_streams(new StreamServer(m_proxy, config.streams, this))
{
    m_socket->setObjectName(QStringLiteral("wsck"));
    m_timer->setObjectName(QStringLiteral("Timer1"));
    connect(m_timer, &QTimer::timeout, this, [this] { m_proxy.Tick(); });
    m_timer->start(1000);
}

Server::~Server() = default;

bool Server::bindUdp()
{
    // Not shared: a second program on the same port would silently take half the traffic.
    if (m_port != 0 || !m_streams->wantsTcp()) {
        return m_socket->bind(m_bindAddress, m_port, QAbstractSocket::DontShareAddress);
    }
    // A free port for UDP whose TCP twin is free too, so both are the same port.
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (!m_socket->bind(m_bindAddress, 0, QAbstractSocket::DontShareAddress)) {
            return false;
        }
        QTcpServer probe;
        if (probe.listen(m_bindAddress, m_socket->localPort())) {
            return true;
        }
        m_socket->abort();
    }
    return m_socket->bind(m_bindAddress, 0, QAbstractSocket::DontShareAddress);
}

bool Server::openSocket()
{
    if (isOpen()) {
        return true;
    }
    if (!bindUdp()) {
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
        m_proxy.SetLocalEndpoint(m_proxy.Self().IP, m_port);
    }
    // Datagrams are read past the socket object, many at a time, so the descriptor is watched
    // here: the socket's own notice would wait for a read through it. Errors the socket reports
    // are logged, and intake goes on.
    m_notifier = new QSocketNotifier(m_socket->socketDescriptor(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &Server::readDatagrams);
    openIPv6();
    m_streams->open(m_bindAddress, m_port);
    return true;
}

void Server::openIPv6()
{
    if (m_ipv6.isNull()) {
        return;
    }
    m_socket6 = new QUdpSocket(this);
    if (!m_socket6->bind(m_ipv6, m_port, QAbstractSocket::DontShareAddress)) {
        m_proxy.Log().WriteLog(Level::Err, "Cannot listen for UDP on ", AddressText(m_ipv6), ":",
                               m_port, ": ", Latin1(m_socket6->errorString()));
        delete m_socket6;
        m_socket6 = nullptr;
        return;
    }
    m_proxy.AddFace(TransportKind::Udp, AddressText(m_ipv6), m_port);
    connect(m_socket6, &QUdpSocket::readyRead, this, &Server::readIPv6);
}

void Server::readIPv6()
{
    while (m_socket6 != nullptr && m_socket6->hasPendingDatagrams()) {
        const qint64 size = std::max<qint64>(m_socket6->pendingDatagramSize(), 0);
        std::string data(static_cast<std::size_t>(size), '\0');
        QHostAddress from;
        quint16 fromPort = 0;
        const qint64 read = m_socket6->readDatagram(data.data(), size, &from, &fromPort);
        if (read < 0) {
            // Mostly an ICMP answer to an earlier send, as on the IPv4 socket.
            m_proxy.Log().WriteLimited(
                Flood::NotSent, Level::Debug,
                "An earlier datagram was not delivered: ", Latin1(m_socket6->errorString()));
            return;
        }
        data.resize(static_cast<std::size_t>(read));
        PeerAddress peer;
        peer.IP = AddressText(from);
        peer.Port = fromPort;
        m_proxy.ReceiveDatagram(data, peer);
    }
}

std::vector<std::string> Server::listening() const
{
    std::vector<std::string> lines;
    if (m_socket6 != nullptr) {
        lines.push_back("UDP " + AddressText(m_ipv6) + ":" + std::to_string(m_port));
    }
    const auto& streams = m_streams->listening();
    lines.insert(lines.end(), streams.begin(), streams.end());
    return lines;
}

void Server::closeSocket()
{
    delete m_notifier; // before the descriptor goes
    m_notifier = nullptr;
    m_socket->close();
    delete m_socket6;
    m_socket6 = nullptr;
    m_streams->close();
}

void Server::shutDown()
{
    m_timer->stop();
    closeSocket();
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
    // A burst is read in one call and answered in one: the answers wait in the batch until
    // every datagram read has been handled. At most one batch per wake-up, so a flood cannot
    // keep the timer from ticking.
    const int descriptor = static_cast<int>(m_socket->socketDescriptor());
    const DatagramBatch::Received received = m_batch.Receive(descriptor);
    for (const int error : received.errors) {
        reportReadError(error);
    }
    m_batching = true;
    for (int i = 0; i < received.count; ++i) {
        const sockaddr_in& source = m_batch.Source(i);
        PeerAddress peer;
        peer.IP = Latin1(QHostAddress(ntohl(source.sin_addr.s_addr)).toString());
        peer.Port = ntohs(source.sin_port);
        m_proxy.ReceiveDatagram(m_batch.Data(i), peer);
    }
    m_batching = false;
    for (const auto& [index, error] : m_batch.Flush(descriptor)) {
        const sockaddr_in& to = m_batch.Destination(index);
        m_proxy.Log().WriteLimited(Flood::NotSent, Level::Debug, "Not sent to ",
                                   Latin1(QHostAddress(ntohl(to.sin_addr.s_addr)).toString()), ":",
                                   ntohs(to.sin_port), ": ", std::strerror(error));
    }
}

void Server::reportReadError(int error)
{
    Logger& log = m_proxy.Log();
    switch (error) {
    case ECONNREFUSED:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
        // An ICMP answer to an earlier send: that datagram did not arrive.
        log.WriteLimited(Flood::NotSent, Level::Debug,
                         "An earlier datagram was not delivered: ", std::strerror(error));
        return;
    default:
        log.WriteLimited(Flood::SocketError, Level::Err,
                         "Cannot read from the UDP socket: ", std::strerror(error));
        return;
    }
}

void Server::Send(std::string_view text, std::string_view address, std::uint16_t port)
{
    if (!isOpen()) {
        m_proxy.Log().WriteLimited(Flood::NotSent, Level::Debug, "Not sent to ", address, ":", port,
                                   ": the socket is closed");
        return;
    }
    if (!address.empty() && address.front() == '[') {
        sendIPv6(text, address, port);
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
    if (m_batching) {
        m_batch.Queue(text, *to, port);
    } else if (m_socket->writeDatagram(text.data(), static_cast<qint64>(text.size()),
                                       QHostAddress(*to), port) < 0) {
        m_proxy.Log().WriteLimited(Flood::NotSent, Level::Debug, "Not sent to ", address, ":", port,
                                   ": ", Latin1(m_socket->errorString()));
    }
}

void Server::sendIPv6(std::string_view text, std::string_view address, std::uint16_t port)
{
    const QHostAddress to(QString::fromLatin1(address.substr(1, address.size() - 2)));
    if (m_socket6 == nullptr || to.protocol() != QAbstractSocket::IPv6Protocol) {
        m_proxy.Log().WriteLimited(Flood::NotSent, Level::Debug, "Not sent to ", address, ":", port,
                                   m_socket6 == nullptr ? ": no IPv6 socket (--local-ip6)"
                                                        : ": not an IPv6 address");
        return;
    }
    if (m_socket6->writeDatagram(text.data(), static_cast<qint64>(text.size()), to, port) < 0) {
        m_proxy.Log().WriteLimited(Flood::NotSent, Level::Debug, "Not sent to ", address, ":", port,
                                   ": ", Latin1(m_socket6->errorString()));
    }
}

bool Server::SendStream(TransportKind kind, std::string_view text, std::string_view address,
                        std::uint16_t port)
{
    return m_streams->send(kind, text, address, port);
}

bool Server::Connected(TransportKind kind, std::string_view address, std::uint16_t port) const
{
    return m_streams->connected(kind, address, port);
}

} // namespace tavrix
