#include "app/metrics_server.h"
#include "app/peer.h"
#include "app/server.h"
#include "mock/memory_log_sink.h"
#include "mock/mock_clock.h"

#include <QTcpSocket>
#include <QTest>
#include <QWebSocket>
#include <QWebSocketHandshakeOptions>

#include <memory>

namespace tavrix {

namespace {

// Everything the socket has received within the wait, once it holds the needle.
QByteArray ReadUntil(QTcpSocket& socket, const QByteArray& needle)
{
    QByteArray seen;
    (void)QTest::qWaitFor(
        [&] {
            seen += socket.readAll();
            return seen.contains(needle);
        },
        5000);
    return seen;
}

} // namespace

class StreamTest : public QObject
{
    Q_OBJECT

    test::MemoryLogSink m_sink{"T"};
    test::MockClock m_clock;
    NullStatsDisplay m_display;
    std::unique_ptr<Server> m_server;

    quint16 port() const { return m_server->port(); }
    bool logHas(const std::string& text) const
    {
        return m_sink.Text().find(text) != std::string_view::npos;
    }
    std::string metrics() const
    {
        return MetricsText(m_server->proxy(), &m_server->streams().counts());
    }

private slots:
    void init()
    {
        m_sink.SetText("");
        ServerConfig config;
        config.bindAddress = QHostAddress(QHostAddress::LocalHost);
        config.port = 0;
        config.proxy.LocalIP = "127.0.0.1";
        config.streams.wsAddress = QHostAddress(QHostAddress::LocalHost);
        config.streams.maxPerSource = 3;
        m_server = std::make_unique<Server>(m_sink, m_display, m_clock, config);
        QVERIFY(m_server->openSocket());
    }
    void cleanup() { m_server.reset(); }

    // A phone registered over TCP is answered on its connection, and a call from a UDP phone
    // reaches it there, recorded twice (RFC 5658); a message from a UDP phone's own side keeps
    // its bytes.
    void tcpConnectionCarriesBothWays()
    {
        QTcpSocket phone;
        phone.connectToHost(QHostAddress::LocalHost, port());
        QVERIFY(phone.waitForConnected(5000));
        const std::string at = "127.0.0.1:" + std::to_string(phone.localPort());
        phone.write(
            test::Registration("alice", "TCP " + at, "sip:alice@" + at + ";transport=tcp", 300)
                .c_str());
        const QByteArray ok = ReadUntil(phone, "\r\n\r\n");
        QVERIFY2(ok.startsWith("SIP/2.0 200 OK\r\nVia: SIP/2.0/TCP " + QByteArray(at.c_str()) +
                               ";branch=z9hG4bKr;received=127.0.0.1;rport=") &&
                     ok.endsWith("Content-Length: 0\r\n\r\n"),
                 ok.constData());

        test::LoopbackPeer caller;
        const std::string from = "127.0.0.1:" + std::to_string(caller.port());
        caller.send("INVITE sip:alice@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP " + from +
                        ";branch=z9hG4bKi\r\nFrom: <sip:bob@127.0.0.1>;tag=b\r\nTo: "
                        "<sip:alice@127.0.0.1>\r\nCall-ID: c1\r\nCSeq: 1 INVITE\r\nContact: "
                        "<sip:bob@" +
                        from + ">\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n",
                    port());
        const QByteArray invite = ReadUntil(phone, "Content-Length: 0\r\n\r\n");
        const QByteArray self = "127.0.0.1:" + QByteArray::number(port());
        QVERIFY2(
            invite.startsWith("INVITE sip:alice@" + QByteArray(at.c_str()) +
                              ";transport=tcp SIP/2.0\r\nVia: SIP/2.0/TCP " + self + ";branch=") &&
                invite.contains("\r\nRecord-Route: <sip:" + self +
                                ";transport=tcp;lr>\r\nRecord-Route: <sip:" + self + ";lr>\r\n"),
            invite.constData());
        QCOMPARE(caller.receive().substr(0, 20), "SIP/2.0 100 Trying\r\n");
    }

    // What the proxy refuses or closes, each with its line and its count.
    void connectionsRefusedAndClosed()
    {
        const struct
        {
            const char* name;
            QByteArray bytes; // empty: only connect
            std::string line, sample;
        } rows[] = {
            {"no length", "OPTIONS sip:x SIP/2.0\r\nVia: SIP/2.0/TCP x\r\n\r\n",
             " closed: a message without Content-Length\r\n", "{reason=\"no_length\"} 1"},
            {"too large", QByteArray("OPTIONS sip:x SIP/2.0\r\n") + QByteArray(70000, 'x'),
             " closed: a message longer than 65535 bytes\r\n", "{reason=\"too_large\"} 1"},
        };
        for (const auto& row : rows) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port());
            QVERIFY(socket.waitForConnected(5000));
            const std::string far = "127.0.0.1:" + std::to_string(socket.localPort());
            socket.write(row.bytes);
            QTRY_COMPARE(socket.state(), QAbstractSocket::UnconnectedState);
            QVERIFY2(logHas("LOG_ERR: T Connection from " + far + row.line), row.name);
            QVERIFY2(metrics().find("tavrix_connections_closed_total" + row.sample) !=
                         std::string::npos,
                     row.name);
        }
        // Three from one address at most: the fourth is closed at once, the others stay.
        std::vector<std::unique_ptr<QTcpSocket>> open;
        for (int i = 0; i < 4; ++i) {
            open.push_back(std::make_unique<QTcpSocket>());
            open.back()->connectToHost(QHostAddress::LocalHost, port());
            QVERIFY(open.back()->waitForConnected(5000));
        }
        const std::string far = "127.0.0.1:" + std::to_string(open.back()->localPort());
        QTRY_COMPARE(open.back()->state(), QAbstractSocket::UnconnectedState);
        QVERIFY(logHas("LOG_ERR: T Connection from " + far +
                       " refused: 3 connections from that address open\r\n"));
        const std::string page = metrics();
        QVERIFY(page.find("tavrix_connections_refused_total{reason=\"source_limit\"} 1\n") !=
                std::string::npos);
        QVERIFY(page.find("tavrix_connections_open{transport=\"tcp\"} 3\n") != std::string::npos);
        QCOMPARE(open.front()->state(), QAbstractSocket::ConnectedState);
    }

    // A browser phone: subprotocol "sip", a message a frame, its registration gone with its
    // connection (RFC 7118).
    void webSocketPhone()
    {
        const std::string wsLine = m_server->listening().back();
        QVERIFY2(wsLine.starts_with("WS 127.0.0.1:"), wsLine.c_str());
        QWebSocket phone;
        QWebSocketHandshakeOptions options;
        options.setSubprotocols({QStringLiteral("sip")});
        phone.open(QUrl(QStringLiteral("ws://") + QString::fromStdString(wsLine.substr(3))),
                   options);
        QTRY_COMPARE(phone.state(), QAbstractSocket::ConnectedState);
        QCOMPARE(phone.subprotocol(), QStringLiteral("sip"));
        QString answer;
        connect(&phone, &QWebSocket::textMessageReceived, this,
                [&answer](const QString& text) { answer = text; });
        phone.sendTextMessage(QString::fromStdString(
            test::Registration("bob", "WS h7.invalid", "sip:bob@h7.invalid;transport=ws", 300)));
        QTRY_VERIFY(answer.startsWith("SIP/2.0 200 OK\r\nVia: SIP/2.0/WS h7.invalid;"));
        QTRY_VERIFY(
            logHas("REGISTER request from '127.0.0.1:" + std::to_string(phone.localPort()) + "'"));
        const std::string far = "127.0.0.1:" + std::to_string(phone.localPort());
        phone.close();
        QTRY_VERIFY(logHas("LOG_INFO: T Connection from " + far +
                           " closed: registration of 'bob' ended\r\n"));
        QCOMPARE(m_server->proxy().Stats().Registrations(), 0);
    }
};

} // namespace tavrix

QTEST_GUILESS_MAIN(tavrix::StreamTest)
#include "stream_test.moc"
