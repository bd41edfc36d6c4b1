#include "app/datagram_batch.h"
#include "app/journal_log_sink.h"
#include "app/metrics_server.h"
#include "app/peer.h"
#include "core/proxy/proxy.h"
#include "core/proxy/sip_messages.h"
#include "mock/fixed_time_format.h"
#include "mock/memory_log_sink.h"
#include "mock/mock_clock.h"
#include "mock/recording_transport.h"

#include <QTest>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace tavrix {

class IoTest : public QObject
{
    Q_OBJECT

private slots:
    // Every family with its HELP and TYPE, every kind of dropped datagram once, in one page.
    void metricsPage()
    {
        using namespace std::string_literals;
        test::RecordingTransport transport;
        test::MemoryLogSink sink;
        NullStatsDisplay display;
        test::MockClock clock;
        Proxy proxy(transport, sink, display, clock);
        for (
            const std::string& datagram :
            {test::Register(test::kAlice, "r1"),
             "BYE x SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5061\r\nCall-ID: c1\r\nMax-Forwards: 0\r\n\r\n"s,
             "OPTIONS sip:x SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5061\r\n\r\n"s}) {
            proxy.ReceiveDatagram(datagram, {"", "127.0.0.1", 5061});
        }
        // Every sample follows its family's HELP and TYPE lines.
        const QStringList lines = QString::fromStdString(MetricsText(proxy)).split('\n');
        QString family;
        for (int i = 0; i < lines.size(); ++i) {
            if (lines[i].startsWith("# HELP ")) {
                family = lines[i].section(' ', 2, 2);
                QVERIFY(lines[i + 1].startsWith("# TYPE " + family + " "));
            } else if (!lines[i].isEmpty() && !lines[i].startsWith('#')) {
                QVERIFY2(lines[i].startsWith(family), qPrintable(lines[i]));
            }
        }
        for (const char* sample :
             {"tavrix_registrations 1", "tavrix_errors_total 2", "tavrix_call_slots_taken 2",
              "tavrix_route_slots_taken 1", "tavrix_datagrams_received_total 3",
              "tavrix_datagrams_sent_total 2",
              "tavrix_datagrams_dropped_total{reason=\"no_call_id\"} 1",
              "tavrix_datagrams_dropped_total{reason=\"too_many_hops\"} 1",
              "tavrix_datagrams_dropped_total{reason=\"answer_limit\"} 0",
              "tavrix_nat_keepalives_sent_total 0",
              "tavrix_log_lines_total{level=\"LOG_ERR\"} 2"}) {
            QVERIFY2(lines.contains(sample), sample);
        }
    }

    // The priority comes from the record, and every row of the line carries it.
    void journalLines()
    {
        const std::pair<LogRecord, std::string> rows[] = {
            {{Level::Info, 0, "x\nLOG_ERR: forged"}, "<6>LOG_INFO: T x\n<6>LOG_ERR: forged\n"},
            {{Level::DebugV, 0, "INVITE x\r\nTo: y\r\n\r\n"},
             "<7>LOG_DEBUGV: T INVITE x\n<7>To: y\n<7>\n"},
            {{Level::Err, 0, "a\rb\r"}, "<3>LOG_ERR: T a\\rb\\r\n"},
            {{Level::Err, 0, "\x01\x1b[1m\t\x7f\x80\x9f"},
             "<3>LOG_ERR: T \\x01\\x1B[1m\t\\x7F\\x80\\x9F\n"},
            {{Level::Err, 0, "caf\xe9 \xa0\xff"}, "<3>LOG_ERR: T caf\xc3\xa9 \xc2\xa0\xc3\xbf\n"},
        };
        test::FixedTimeFormat time("T");
        for (const auto& [record, expected] : rows) {
            char* text = nullptr;
            std::size_t size = 0;
            std::FILE* stream = open_memstream(&text, &size);
            JournalLogSink(stream, time).Write(record);
            QCOMPARE(QByteArray(text, static_cast<qsizetype>(size)), QByteArray(expected.c_str()));
            std::fclose(stream);
            std::free(text);
        }
    }

    // A burst is read up to the batch's size at a time; a send the system refuses is reported
    // and the rest go out; an ICMP error of an earlier send comes once, with the datagrams.
    // Loopback delivers a datagram before its send returns: nothing here waits.
    void datagramBatches()
    {
        QUdpSocket socket;
        QVERIFY(socket.bind(QHostAddress(QHostAddress::LocalHost), 0));
        const int proxy = static_cast<int>(socket.socketDescriptor());
        test::LoopbackPeer peer, gone;
        DatagramBatch batch;
        std::vector<std::string> sent, read;
        for (int i = 0; i < DatagramBatch::kSize + 6; ++i) {
            sent.push_back(i == 0 ? "" : i == 1 ? std::string(65507, 'x') : std::to_string(i));
            peer.send(sent.back(), socket.localPort());
        }
        for (const int count : {DatagramBatch::kSize, 6, 0}) {
            const DatagramBatch::Received received = batch.Receive(proxy);
            QCOMPARE(received.count, count);
            QVERIFY(received.errors.empty());
            for (int i = 0; i < count; ++i) {
                read.emplace_back(batch.Data(i));
                QCOMPARE(ntohs(batch.Source(i).sin_port), peer.port());
            }
        }
        QVERIFY(read == sent);

        batch.Queue("one", INADDR_LOOPBACK, peer.port());
        batch.Queue(std::string(65508, 'x'), INADDR_LOOPBACK, peer.port()); // too large for UDP
        batch.Queue("three", INADDR_LOOPBACK, 0);
        batch.Queue("four", INADDR_LOOPBACK, peer.port());
        QCOMPARE(batch.Flush(proxy),
                 (std::vector<std::pair<int, int>>{{1, EMSGSIZE}, {2, EINVAL}}));
        QCOMPARE(ntohs(batch.Destination(1).sin_port), peer.port());
        batch.Queue("five", INADDR_LOOPBACK, peer.port());
        QVERIFY(batch.Flush(proxy).empty());
        for (const char* expected : {"one", "four", "five", ""}) {
            QCOMPARE(peer.receive(expected[0] ? 1000 : 0), expected);
        }

        // The system reports an ICMP error to an unconnected socket only when asked to.
        const int on = 1;
        ::setsockopt(proxy, IPPROTO_IP, IP_RECVERR, &on, sizeof(on));
        batch.Queue("lost", INADDR_LOOPBACK, gone.port());
        gone.close();
        QVERIFY(batch.Flush(proxy).empty());
        peer.send("after", socket.localPort());
        const DatagramBatch::Received received = batch.Receive(proxy);
        QCOMPARE(received.errors, std::vector<int>{ECONNREFUSED});
        QCOMPARE(received.count, 1);
        QCOMPARE(batch.Data(0), "after");
        QVERIFY(batch.Receive(proxy).errors.empty());
    }
};

} // namespace tavrix

QTEST_GUILESS_MAIN(tavrix::IoTest)
#include "io_test.moc"
