#pragma once

#include <QHostAddress>
#include <QTest>
#include <QUdpSocket>

#include <string>

namespace tavrix::test {

// A REGISTER of user over the transport and from the address of via ("UDP 127.0.0.1:5060").
inline std::string Registration(const std::string& user, const std::string& via,
                                const std::string& contact, int expires)
{
    return "REGISTER sip:127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/" + via +
           ";branch=z9hG4bKr\r\nFrom: <sip:" + user + "@127.0.0.1>;tag=1\r\nTo: <sip:" + user +
           "@127.0.0.1>\r\nCall-ID: reg-" + user + "\r\nCSeq: 1 REGISTER\r\nContact: <" + contact +
           ">\r\nExpires: " + std::to_string(expires) + "\r\nContent-Length: 0\r\n\r\n";
}

// A user agent on a free loopback port. Waits run the event loop and are bounded.
class LoopbackPeer
{
public:
    LoopbackPeer() { m_socket.bind(QHostAddress(QHostAddress::LocalHost), 0); }

    quint16 port() const { return m_socket.localPort(); }
    void send(const std::string& text, quint16 to)
    {
        m_socket.writeDatagram(text.data(), static_cast<qint64>(text.size()),
                               QHostAddress(QHostAddress::LocalHost), to);
    }
    // The next datagram, or "" when none comes within the wait.
    std::string receive(int timeoutMs = 5000)
    {
        if (!QTest::qWaitFor([this] { return m_socket.hasPendingDatagrams(); }, timeoutMs)) {
            return {};
        }
        std::string data(static_cast<std::size_t>(m_socket.pendingDatagramSize()), '\0');
        m_socket.readDatagram(data.data(), static_cast<qint64>(data.size()));
        return data;
    }
    // An OPTIONS from this peer, and the proxy's answer to it.
    std::string options(const std::string& callId, bool answer = false) const
    {
        return (answer ? "SIP/2.0 200 OK" : "OPTIONS sip:x@127.0.0.1 SIP/2.0") +
               std::string("\r\nVia: SIP/2.0/UDP 127.0.0.1:") + std::to_string(port()) +
               ";branch=z9hG4bK1\r\nCall-ID: " + callId + "\r\nCSeq: 1 OPTIONS\r\n\r\n";
    }
    // A REGISTER of user from this peer.
    std::string registration(const std::string& user, int expires) const
    {
        const std::string at = "127.0.0.1:" + std::to_string(port());
        return Registration(user, "UDP " + at, "sip:" + user + "@" + at, expires);
    }
    void close() { m_socket.close(); }

private:
    QUdpSocket m_socket;
};

// A loopback port held by another socket. It allows sharing, so binding it again fails only
// for a socket that insists on having the port to itself.
class HeldPort
{
public:
    HeldPort()
    {
        m_socket.bind(QHostAddress(QHostAddress::LocalHost), 0,
                      QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint);
    }
    quint16 port() const { return m_socket.localPort(); }
    void release() { m_socket.close(); }

private:
    QUdpSocket m_socket;
};

} // namespace tavrix::test
