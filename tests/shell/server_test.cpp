#include "support.h"

#include "console/text_log_sink.h"
#include "shell/command_line.h"
#include "shell/server.h"
#include "shell/system_clock.h"

#include <QTest>

namespace tavrix {

using test::LoopbackPeer;

class ServerTest : public QObject
{
    Q_OBJECT

private:
    TextLogSink m_sink;
    FixedClock m_clock{"12/5/2026 7:13:08 PM"};
    NullStatsDisplay m_display;

    // A server on a free loopback port, not yet bound.
    std::unique_ptr<Server> makeServer(quint16 port = 0)
    {
        m_sink.SetText("");
        ServerConfig config;
        config.bindAddress = QHostAddress(QHostAddress::LocalHost);
        config.port = port;
        config.proxy.LocalIP = "127.0.0.1";
        return std::make_unique<Server>(m_sink, m_display, m_clock, config);
    }
    bool logHas(const std::string& text) const
    {
        return m_sink.Text().find(text) != std::string_view::npos;
    }

private slots:
    void optionsIsAnsweredOnTheWire()
    {
        auto server = makeServer();
        QVERIFY(server->openSocket());
        QVERIFY(server->port() != 0);
        QCOMPARE(server->proxy().LocalPort(), server->port());
        LoopbackPeer peer;
        peer.send(test::OptionsRequest(peer.port()), server->port());
        QCOMPARE(peer.receive(), test::OptionsAnswer(peer.port()));
        const std::string from = "127.0.0.1:" + std::to_string(peer.port());
        QCOMPARE(std::string(m_sink.Text()),
                 "LOG_DEBUG: 12/5/2026 7:13:08 PM Received 'OPTIONS' from " + from + "\r\n" +
                     "LOG_DEBUG: 12/5/2026 7:13:08 PM Sending '200 OK' to " + from + "\r\n");
    }

    void datagramsArriveWholeWithAnyBytes()
    {
        auto server = makeServer();
        server->proxy().Log().SetLogLevel(4);
        QVERIFY(server->openSocket());
        std::string bytes;
        for (int i = 0; i < 256; ++i) {
            bytes.push_back(static_cast<char>(i));
        }
        // Larger than any default read buffer, within the log's cap.
        const std::string large(20000, 'x');
        LoopbackPeer peer;
        const std::string head = "SIP Read: IP=127.0.0.1 Port=" + std::to_string(peer.port());
        peer.send(bytes, server->port());
        QTRY_VERIFY(logHas(head + "\r\n" + bytes));
        peer.send(large, server->port());
        QTRY_VERIFY(logHas(head + "\r\n" + large));
    }

    void intakeSurvivesAnAnswerToAClosedPort()
    {
        auto server = makeServer();
        QVERIFY(server->openSocket());
        {
            LoopbackPeer gone;
            gone.send(test::OptionsRequest(gone.port(), "gone"), server->port());
            gone.close();
            QTRY_VERIFY(logHas("Sending '200 OK'"));
        }
        LoopbackPeer peer;
        peer.send(test::OptionsRequest(peer.port(), "after"), server->port());
        QCOMPARE(peer.receive(), test::OptionsAnswer(peer.port(), "after"));
        QVERIFY(server->isOpen());
    }

    void bindFailureIsLoggedAndCanBeRetried()
    {
        test::HeldPort held;
        auto server = makeServer(held.port());
        QVERIFY(!server->openSocket());
        QVERIFY(!server->isOpen());
        QCOMPARE(server->lastError(), QStringLiteral("The bound address is already in use"));
        QCOMPARE(std::string(m_sink.Text()), "LOG_ERR: 12/5/2026 7:13:08 PM Cannot bind UDP port " +
                                                 std::to_string(held.port()) +
                                                 ": The bound address is already in use\r\n");
        QCOMPARE(server->proxy().Stats().Errors(), 1);
        held.release();
        QVERIFY(server->openSocket());
        QVERIFY(server->lastError().isEmpty());
    }

    void unsendableDatagramsAreDroppedWithADebugLine()
    {
        auto server = makeServer();
        server->Send("x", "127.0.0.1", 9);
        QVERIFY(server->openSocket());
        server->Send("x", "phone.example", 5060);
        server->Send("x", "10.1", 5060);
        QCOMPARE(std::string(m_sink.Text()),
                 "LOG_DEBUG: 12/5/2026 7:13:08 PM Not sent to 127.0.0.1:9: the socket is closed\r\n"
                 "LOG_DEBUG: 12/5/2026 7:13:08 PM Not sent: 'phone.example' is not an IPv4 "
                 "address\r\n"
                 "LOG_DEBUG: 12/5/2026 7:13:08 PM Not sent: '10.1' is not an IPv4 address\r\n");
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitStatus"); // -1: runs, with the options in "expected"
        QTest::addColumn<QString>("expected");
        QTest::newRow("none") << QStringList{} << -1 << "desktop 5060 '' 127.0.0.1:5060 3";
        QTest::newRow("all") << QStringList{"--headless",     "--port",      "0",
                                            "--local-ip",     "192.0.2.7",   "--default-route",
                                            "192.0.2.9:5080", "--log-level", "4"}
                             << -1 << "headless 0 '192.0.2.7' 192.0.2.9:5080 4";
        QTest::newRow("route port") << QStringList{"--default-route", "192.0.2.9"} << -1
                                    << "desktop 5060 '' 192.0.2.9:5060 3";
        QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: tavrix [options]\n";
        QTest::newRow("version") << QStringList{"--version"} << 0 << "Tavrix 0.0.2\n";
        QTest::newRow("port text")
            << QStringList{"--port", "50x"} << 2
            << "tavrix: invalid value '50x' for --port: expected a number from 0 to 65535";
        QTest::newRow("port range") << QStringList{"--port", "65536"} << 2 << "'65536'";
        QTest::newRow("level") << QStringList{"--log-level", "5"} << 2 << "--log-level";
        QTest::newRow("short ip") << QStringList{"--local-ip", "10.1"} << 2 << "--local-ip";
        QTest::newRow("route") << QStringList{"--default-route", "1.2.3.4:0"} << 2 << "route";
        QTest::newRow("unknown") << QStringList{"--verbose"} << 2 << "Unknown option 'verbose'";
        QTest::newRow("missing") << QStringList{"--port"} << 2 << "Missing value after";
        QTest::newRow("positional") << QStringList{"5060"} << 2 << "unexpected argument '5060'";
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitStatus);
        QFETCH(QString, expected);
        const CommandLine result = ParseCommandLine(QStringList{"tavrix"} + arguments);
        QCOMPARE(result.exitStatus.value_or(-1), exitStatus);
        if (exitStatus == -1) {
            const Options& options = result.options;
            QCOMPARE(QStringLiteral("%1 %2 '%3' %4 %5")
                         .arg(options.headless ? "headless" : "desktop")
                         .arg(options.port)
                         .arg(QString::fromStdString(options.localIp),
                              QString::fromStdString(options.defaultRoute))
                         .arg(options.logLevel),
                     expected);
        } else if (exitStatus == 0) {
            QVERIFY2(result.out.startsWith(expected), qPrintable(result.out));
        } else {
            QVERIFY2(result.err.contains(expected), qPrintable(result.err));
            QVERIFY(result.err.endsWith("\nTry 'tavrix --help' for more information.\n"));
        }
    }

    void timeFormatLosesItsZone_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("expected");
        QTest::newRow("trailing") << "HH:mm:ss t"
                                  << "HH:mm:ss";
        QTest::newRow("after AM/PM") << "h:mm:ss AP t"
                                     << "h:mm:ss AP";
        QTest::newRow("leading") << "t HH:mm:ss"
                                 << "HH:mm:ss";
        QTest::newRow("joined") << "tAPh:mm:ss"
                                << "APh:mm:ss";
        QTest::newRow("none") << "h:mm:ss\u202fAP"
                              << "h:mm:ss\u202fAP";
        QTest::newRow("quoted") << "HH 'at' mm"
                                << "HH 'at' mm";
    }

    void timeFormatLosesItsZone()
    {
        QFETCH(QString, format);
        QFETCH(QString, expected);
        QCOMPARE(WithoutTimeZone(format), expected);
    }
};

} // namespace tavrix

QTEST_GUILESS_MAIN(tavrix::ServerTest)
#include "server_test.moc"
