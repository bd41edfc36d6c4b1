#include "app/command_line.h"
#include "app/local_time.h"
#include "app/metrics_server.h"
#include "app/peer.h"
#include "app/server.h"
#include "mock/memory_log_sink.h"
#include "mock/mock_clock.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace tavrix {

namespace {

// The program without any display; standard error is read until it holds needle.
QByteArray ReadUntil(QProcess& process, QProcess::ProcessChannel channel, const QByteArray& needle)
{
    QByteArray seen;
    const QDeadlineTimer deadline(10000);
    process.setReadChannel(channel);
    while (!seen.contains(needle) && !deadline.hasExpired() &&
           (process.bytesAvailable() > 0 ||
            process.waitForReadyRead(static_cast<int>(deadline.remainingTime())))) {
        seen += process.readAll();
    }
    return seen;
}

void Start(QProcess& process, const QStringList& arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        environment.remove(QString::fromLatin1(name));
    }
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(TAVRIX_PROGRAM), arguments);
    QVERIFY(process.waitForStarted(10000));
}

} // namespace

class AppTest : public QObject
{
    Q_OBJECT

private:
    test::MemoryLogSink m_sink{"T"};
    test::MockClock m_clock;
    NullStatsDisplay m_display;

    // A server on loopback, not yet bound; port 0 lets the system pick.
    std::unique_ptr<Server> makeServer(quint16 port = 0)
    {
        m_sink.SetText("");
        ServerConfig config;
        config.bindAddress = QHostAddress(QHostAddress::LocalHost);
        config.port = port;
        return std::make_unique<Server>(m_sink, m_display, m_clock, config);
    }
    bool logHas(const std::string& text) const
    {
        return m_sink.Text().find(text) != std::string_view::npos;
    }

private slots:
    void datagramsArriveWholeAndAnswersGoOut()
    {
        auto server = makeServer();
        server->proxy().Log().SetLogLevel(4);
        QVERIFY(server->openSocket());
        QCOMPARE(server->proxy().Self().Port, server->port());
        std::string bytes(20000, 'x'); // larger than any default read buffer
        for (int i = 0; i < 256; ++i) {
            bytes[static_cast<std::size_t>(i)] = static_cast<char>(i);
        }
        bytes[10] = bytes[13] = 'x'; // a line break in a dump is indented
        test::LoopbackPeer peer;
        peer.send(bytes, server->port());
        QTRY_VERIFY(logHas("SIP Read: IP=127.0.0.1 Port=" + std::to_string(peer.port()) +
                           "\r\n    " + bytes));
        {
            // The system tells an unconnected socket of an ICMP error only with IP_RECVERR, which
            // the server does not set: here it stands for any error a read reports.
            const int on = 1, socket = static_cast<int>(
                                  server->findChild<QUdpSocket*>("wsck")->socketDescriptor());
            ::setsockopt(socket, IPPROTO_IP, IP_RECVERR, &on, sizeof(on));
            test::LoopbackPeer gone; // its answer comes back as an ICMP error: intake goes on
            gone.send(gone.options("gone"), server->port());
            gone.close();
            QTRY_VERIFY(logHas("LOG_DEBUG: T An earlier datagram was not delivered: Connection "
                               "refused\r\n"));
            QVERIFY(MetricsText(server->proxy()).find("{reason=\"not_sent\"} 1\n") !=
                    std::string::npos);
            char report = 0; // the error's copy in the socket's error queue
            QCOMPARE(::recv(socket, &report, 1, MSG_ERRQUEUE | MSG_DONTWAIT), 1);
        }
        peer.send(peer.options("after"), server->port());
        QCOMPARE(peer.receive(), peer.options("after", true));

        server->closeSocket();
        server->Send("x", "127.0.0.1", 9);
        QVERIFY(server->openSocket());
        server->Send("x", "phone.example", 5060);
        QVERIFY(logHas("LOG_DEBUG: T Not sent to 127.0.0.1:9: the socket is closed\r\n"
                       "LOG_DEBUG: T Not sent: 'phone.example' is not an IPv4 address\r\n"));
    }

    void bindFailureIsLoggedAndCanBeRetried()
    {
        test::HeldPort held;
        auto server = makeServer(held.port());
        QVERIFY(!server->openSocket());
        QVERIFY(!server->isOpen());
        QCOMPARE(std::string(m_sink.Text()), "LOG_ERR: T Cannot bind UDP port " +
                                                 std::to_string(held.port()) +
                                                 ": The bound address is already in use\r\n");
        held.release();
        QVERIFY(server->openSocket());
        QVERIFY(server->lastError().isEmpty());
    }

    // The transports' settings, and what stops the start: TLS files checked before any
    // socket opens (a certificate made here with the key of another).
    void transportOptions()
    {
        QTemporaryDir dir;
        const QString cert = dir.filePath("cert.pem"), key = dir.filePath("key.pem"),
                      other = dir.filePath("other.pem"), junk = dir.filePath("cert.pem.junk");
        for (const QString& out : {key, other}) {
            QVERIFY(QProcess::execute("openssl", {"genrsa", "-out", out, "2048"}) == 0);
        }
        QVERIFY(QProcess::execute("openssl", {"req", "-x509", "-key", key, "-out", cert, "-days",
                                              "1", "-subj", "/CN=127.0.0.1"}) == 0);
        const struct
        {
            QStringList arguments;
            int exitStatus;
            QString expected; // when it runs: the streams' settings and the default route
        } rows[] = {
            {{}, -1, "tls 5061 ws :0 wss :0 ip6  1000/64 127.0.0.1:5060"},
            {{"--tls-cert", cert, "--tls-key", key, "--tls-port", "0", "--ws", "127.0.0.1:0",
              "--wss", "[::1]:8443", "--local-ip6", "::1", "--max-connections", "5",
              "--max-connections-per-source", "2", "--default-route", "[2001:db8::9]"},
             -1,
             "tls 0 ws 127.0.0.1:0 wss ::1:8443 ip6 ::1 5/2 [2001:db8::9]:5060"},
            {{"--default-route", "[::1]:5080"},
             -1,
             "tls 5061 ws :0 wss :0 ip6  1000/64 [::1]:5080"},
            {{"--tls-cert", cert}, 2, "tavrix: --tls-cert and --tls-key go together\n"},
            {{"--wss", "127.0.0.1:1"}, 2, "tavrix: --wss needs --tls-cert and --tls-key\n"},
            {{"--tls-cert", key, "--tls-key", key}, 2, key + " holds no PEM certificate\n"},
            {{"--tls-cert", cert, "--tls-key", other},
             2,
             other + " is not the private key of the certificate in " + cert + "\n"},
            {{"--tls-cert", junk, "--tls-key", key}, 2, "cannot read " + junk + ": No such"},
            {{"--local-ip6", "127.0.0.1"}, 2, "--local-ip6: expected an IPv6 address"},
            {{"--ws", "::1:80"}, 2, "'::1:80' for --ws: expected ADDR:PORT"},
            {{"--default-route", "[::1]:0"}, 2, "--default-route: expected a dotted IPv4"},
        };
        for (const auto& row : rows) {
            const CommandLine result = ParseCommandLine(QStringList{"tavrix"} + row.arguments);
            QCOMPARE(result.exitStatus.value_or(-1), row.exitStatus);
            const StreamConfig& s = result.options.server.streams;
            const QString got =
                row.exitStatus != -1
                    ? result.err
                    : QStringLiteral("tls %1 ws %2:%3 wss %4:%5 ip6 %6 %7/%8 %9")
                          .arg(s.tlsPort)
                          .arg(s.wsAddress.toString())
                          .arg(s.wsPort)
                          .arg(s.wssAddress.toString())
                          .arg(s.wssPort)
                          .arg(s.ipv6.toString())
                          .arg(s.maxConnections)
                          .arg(s.maxPerSource)
                          .arg(QString::fromStdString(result.options.server.proxy.DefaultRoute));
            QVERIFY2(got.contains(row.expected), qPrintable(got));
        }
    }

    void commandLine()
    {
        const struct
        {
            QStringList arguments; // a --config value with a line end is the file's text
            int exitStatus;        // -1: runs, with the options in expected
            QString expected;      // for a file, FILE stands for its name
        } rows[] = {
            {{}, -1, "desktop 5060 '' 127.0.0.1:5060 3 100 11 :0 0"},
            {QString("--headless --port 0 --local-ip 192.0.2.7 --default-route 192.0.2.9:5080 "
                     "--log-level 4 --max-calls 1000000 --max-routes 1 --metrics 127.0.0.1:9 "
                     "--log-format text --registrar redis://127.0.0.1:6380/2")
                 .split(' '),
             -1,
             "headless 0 '192.0.2.7' 192.0.2.9:5080 4 1000000 1 127.0.0.1:9 1 "
             "redis://127.0.0.1:6380/2"},
            {{"--default-route", "192.0.2.9"}, -1, "desktop 5060 '' 192.0.2.9:5060 3 100 11 :0 0"},
            {{"--registrar", "redis://127.0.0.1/0", "--metrics", "127.0.0.1:0"},
             -1,
             "desktop 5060 '' 127.0.0.1:5060 3 100 11 127.0.0.1:0 0 redis://127.0.0.1:6379"},
            {{"--config", "# port = 1\n; port = 2\nport = 5070\n[General]\nheadless = true\n"
                          "log-level=2 ; quiet\nlog-format = journal\n"},
             -1,
             "headless 5070 '' 127.0.0.1:5060 2 100 11 :0 2"},
            {{"--config", TAVRIX_EXAMPLE_CONFIG},
             -1,
             "desktop 5060 '' 127.0.0.1:5060 3 100 11 :0 0"},
            {{"--port", "5080", "--config", "port = 5070\n"},
             -1,
             "desktop 5080 '' 127.0.0.1:5060 3 100 11 :0 0"},
            {{"--config", "port = 5070\n\nprot = 5071\n"},
             2,
             "tavrix: FILE:3: unknown key 'prot'\n"},
            {{"--config", "log-level = 2\nport = 50x\n"},
             2,
             "tavrix: FILE:2: invalid value '50x' for port"},
            {{"--config", "port 5070\n"}, 2, "tavrix: FILE:1: expected a line \"name = value\"\n"},
            {{"--config", "/none/tavrix.conf"},
             2,
             "tavrix: cannot read /none/tavrix.conf: No such"},
            {{"--help"}, 0, "Usage: tavrix [options]\n"},
            {{"--version"}, 0, "Tavrix 0.0.2\n"},
            {{"--port", "50x"},
             2,
             "tavrix: invalid value '50x' for --port: expected a number from 0 to 65535"},
            {{"--max-calls", "0"}, 2, "'0' for --max-calls: expected a number from 1 to 1000000"},
            {{"--default-route", "127.0.0.010:5080"}, 2, "--default-route: expected a dotted IPv4"},
            {{"--local-ip", "0x7f.0.0.1"}, 2, "--local-ip: expected a dotted IPv4 address"},
            {{"--state", "r.db", "--registrar", "redis://127.0.0.1"}, 2, "cannot be used together"},
            {{"--registrar", "redis://localhost:6379"}, 2, "HOST a dotted IPv4"},
            {{"--metrics", "127.0.0.1"}, 2, "'127.0.0.1' for --metrics: expected a dotted IPv4"},
            {{"--log-format", "xml"}, 2, "text or journal"},
            {{"--console", "127.0.0.1"}, 2, "'127.0.0.1' for --console: expected a dotted IPv4"},
            {{"--console-admins", "alice"}, 2, "tavrix: console-admins needs --users"},
            {{"--users", "/none/users"}, 2, "tavrix: /none/users: No such file"},
            {{"--verbose"}, 2, "Unknown option 'verbose'"},
            {{"5060"}, 2, "unexpected argument '5060'"},
        };
        QTemporaryDir dir;
        int n = 0;
        for (auto row : rows) {
            if (const qsizetype at = row.arguments.indexOf("--config") + 1;
                at && row.arguments[at].contains('\n')) {
                QFile file(dir.filePath(QString::number(++n))); // settings are cached by name
                QVERIFY(file.open(QIODevice::WriteOnly) &&
                        file.write(row.arguments[at].toUtf8()) > 0);
                row.arguments[at] = file.fileName();
                row.expected.replace("FILE", file.fileName());
            }
            const CommandLine result = ParseCommandLine(QStringList{"tavrix"} + row.arguments);
            QCOMPARE(result.exitStatus.value_or(-1), row.exitStatus);
            if (row.exitStatus == -1) {
                const ServerConfig& server = result.options.server;
                const auto& registrar = result.options.store.registrar;
                QCOMPARE(QStringLiteral("%1 %2 '%3' %4 %5 %6 %7 %8:%9 %10%11")
                             .arg(result.options.headless ? "headless" : "desktop")
                             .arg(server.port)
                             .arg(QString::fromStdString(server.proxy.LocalIP),
                                  QString::fromStdString(server.proxy.DefaultRoute))
                             .arg(server.proxy.LogLevel)
                             .arg(server.proxy.MaxCalls)
                             .arg(server.proxy.MaxRoutes)
                             .arg(result.options.metricsAddress.toString())
                             .arg(result.options.metricsPort)
                             .arg(static_cast<int>(result.options.logFormat))
                             .arg(registrar ? " " + QString::fromStdString(registrar->Url()) : ""),
                         row.expected);
            } else if (row.exitStatus == 0) {
                QVERIFY2(result.out.startsWith(row.expected), qPrintable(result.out));
            } else {
                QVERIFY2(result.err.contains(row.expected), qPrintable(result.err));
                QVERIFY(result.err.endsWith("\nTry 'tavrix --help' for more information.\n"));
            }
        }
    }

    // The installed example names every setting (commented out, it changes nothing: above).
    void exampleConfigurationIsComplete()
    {
        QFile example(QStringLiteral(TAVRIX_EXAMPLE_CONFIG));
        QVERIFY(example.open(QIODevice::ReadOnly));
        const QByteArray text = example.readAll();
        for (const Setting& setting : Settings()) {
            QVERIFY2(text.contains("\n# " + QByteArray(setting.name) + " = "), setting.name);
        }
    }

    void timeFormatLosesItsZone()
    {
        const std::pair<QString, QString> rows[] = {
            {"HH:mm:ss t", "HH:mm:ss"},   {"h:mm:ss AP t", "h:mm:ss AP"},
            {"t HH:mm:ss", "HH:mm:ss"},   {"tAPh:mm:ss", "APh:mm:ss"},
            {"HH 'at' mm", "HH 'at' mm"}, {"h:mm:ss\u202fAP", "h:mm:ss\u202fAP"}};
        for (const auto& [format, expected] : rows) {
            QCOMPARE(WithoutTimeZone(format), expected);
        }
    }

    // Each line's time is that of its own second.
    void timeTextFollowsTheClock()
    {
        LocalTimeText time;
        const std::string first(time.Text(0)), later(time.Text(86400 + 3661));
        QVERIFY(!first.empty() && later.find(first) == std::string::npos);
    }

    void headlessServesReportsAndStopsOnSignals()
    {
        QProcess tavrix;
        Start(tavrix, {"--headless", "--port", "0", "--local-ip", "127.0.0.1"});
        // TCP beside UDP, on its port.
        const QRegularExpressionMatch ready =
            QRegularExpression("^Tavrix 0.0.2 listening on UDP port (\\d+), LocalIP 127.0.0.1\n"
                               "Listening on TCP 127.0.0.1:\\1\n$")
                .match(QString::fromLatin1(ReadUntil(tavrix, QProcess::StandardError, "TCP")));
        QVERIFY(ready.hasMatch());
        const auto port = static_cast<quint16>(ready.captured(1).toUInt());

        test::LoopbackPeer peer;
        peer.send(peer.registration("alice", 60), port);
        QVERIFY(peer.receive().starts_with("SIP/2.0 200 OK\r\n"));
        const QByteArray line =
            " REGISTER request from '127.0.0.1:" + QByteArray::number(peer.port()) + "'\r\n";
        const QByteArray out = ReadUntil(tavrix, QProcess::StandardOutput, line);
        QVERIFY2(out.startsWith("LOG_DEBUG: ") && out.indexOf(line) < out.indexOf("\r\n"),
                 out.constData());

        ::kill(static_cast<pid_t>(tavrix.processId()), SIGUSR1);
        const QByteArray statistics =
            "Statistics: Registrations=1 CallAttempts=0 FailedCalls=0 CompletedCalls=0 "
            "Errors=0 LastRoute=\r\nalice linked to sip:alice@127.0.0.1:" +
            QByteArray::number(peer.port()) + "\r\n";
        QCOMPARE(ReadUntil(tavrix, QProcess::StandardError, statistics), statistics);
        ::kill(static_cast<pid_t>(tavrix.processId()), SIGTERM);
        QVERIFY(tavrix.waitForFinished(10000));
        QCOMPARE(tavrix.exitCode(), 0);

        // A bad option exits with 2, a port that is taken with 1, each saying why.
        test::HeldPort held;
        const QByteArray reason =
            "UDP port " + QByteArray::number(held.port()) + ": The bound address is already in use";
        const std::tuple<QStringList, int, QByteArray> failures[] = {
            {{"--headless", "--log-level", "9"},
             2,
             "tavrix: invalid value '9' for --log-level: expected a number from 1 to 4\n"},
            {{"--headless", "--port", QString::number(held.port())},
             1,
             "tavrix: cannot bind " + reason + "\n"}};
        for (const auto& [arguments, status, message] : failures) {
            QProcess failing;
            Start(failing, arguments);
            QVERIFY(failing.waitForFinished(10000));
            QCOMPARE(failing.exitCode(), status);
            QVERIFY(failing.readAllStandardError().startsWith(message));
        }
    }
};

} // namespace tavrix

QTEST_GUILESS_MAIN(tavrix::AppTest)
#include "app_test.moc"
