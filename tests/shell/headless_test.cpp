#include "support.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <csignal>

namespace tavrix {

namespace {

// Reads the channel until it holds needle or the wait is over; returns all read so far.
QByteArray ReadUntil(QProcess& process, QProcess::ProcessChannel channel, const QByteArray& needle,
                     QByteArray& seen, int timeoutMs = 10000)
{
    const QDeadlineTimer deadline(timeoutMs);
    process.setReadChannel(channel);
    while (!seen.contains(needle) && !deadline.hasExpired()) {
        if (process.bytesAvailable() == 0 &&
            !process.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) {
            break;
        }
        seen += process.readAll();
    }
    return seen;
}

// The program, started without any display.
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

class HeadlessTest : public QObject
{
    Q_OBJECT

private slots:
    void servesLogsReportsAndStopsOnSignals()
    {
        QProcess tavrix;
        Start(tavrix, {"--headless", "--port", "0", "--local-ip", "127.0.0.1"});
        QByteArray err;
        ReadUntil(tavrix, QProcess::StandardError, "\n", err);
        const QRegularExpressionMatch ready =
            QRegularExpression("^Tavrix 0.0.2 listening on UDP port (\\d+), LocalIP 127.0.0.1\n$")
                .match(QString::fromLatin1(err));
        QVERIFY2(ready.hasMatch(), err.constData());
        const auto port = static_cast<quint16>(ready.captured(1).toUInt());

        test::LoopbackPeer peer;
        peer.send(test::OptionsRequest(peer.port()), port);
        QCOMPARE(peer.receive(), test::OptionsAnswer(peer.port()));
        const QByteArray received =
            " Received 'OPTIONS' from 127.0.0.1:" + QByteArray::number(peer.port()) + "\r\n";
        QByteArray out;
        ReadUntil(tavrix, QProcess::StandardOutput, received, out);
        QVERIFY2(out.startsWith("LOG_DEBUG: ") && out.indexOf(received) < out.indexOf("\r\n"),
                 out.constData());

        peer.send(test::RegisterRequest("alice", peer.port(), 60), port);
        QVERIFY(peer.receive().starts_with("SIP/2.0 200 OK\r\n"));
        ::kill(static_cast<pid_t>(tavrix.processId()), SIGUSR1);
        const QByteArray statistics =
            "Statistics: Registrations=1 CallAttempts=0 FailedCalls=0 CompletedCalls=0 "
            "Errors=0 LastRoute=\r\nalice linked to sip:alice@127.0.0.1:" +
            QByteArray::number(peer.port()) + "\r\n";
        err.clear();
        QCOMPARE(ReadUntil(tavrix, QProcess::StandardError, statistics, err), statistics);

        ::kill(static_cast<pid_t>(tavrix.processId()), SIGTERM);
        QVERIFY(tavrix.waitForFinished(10000));
        QCOMPARE(tavrix.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tavrix.exitCode(), 0);
    }

    void badOptionExitsWithTwo()
    {
        QProcess tavrix;
        Start(tavrix, {"--headless", "--log-level", "9"});
        QVERIFY(tavrix.waitForFinished(10000));
        QCOMPARE(tavrix.exitCode(), 2);
        QVERIFY(tavrix.readAllStandardError().startsWith(
            "tavrix: invalid value '9' for --log-level: expected a number from 1 to 4\n"));
    }

    void takenPortExitsWithOne()
    {
        test::HeldPort held;
        QProcess tavrix;
        Start(tavrix, {"--headless", "--port", QString::number(held.port())});
        QVERIFY(tavrix.waitForFinished(10000));
        QCOMPARE(tavrix.exitCode(), 1);
        const QByteArray reason =
            "UDP port " + QByteArray::number(held.port()) + ": The bound address is already in use";
        QCOMPARE(tavrix.readAllStandardError(), "tavrix: cannot bind " + reason + "\n");
        const QByteArray out = tavrix.readAllStandardOutput();
        QVERIFY2(out.startsWith("LOG_ERR: ") && out.endsWith(" Cannot bind " + reason + "\r\n"),
                 out.constData());
    }
};

} // namespace tavrix

QTEST_GUILESS_MAIN(tavrix::HeadlessTest)
#include "headless_test.moc"
