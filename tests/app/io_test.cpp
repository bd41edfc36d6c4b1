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
        for (const std::string& datagram :
             {test::Register(test::kAlice, "r1"),
              "BYE x SIP/2.0\r\nCall-ID: c1\r\nMax-Forwards: 0\r\n\r\n"s,
              "OPTIONS sip:x SIP/2.0\r\n\r\n"s}) {
            proxy.ReceiveDatagram(datagram, {"", "127.0.0.1", 5061});
        }
        QCOMPARE(QByteArray::fromStdString(MetricsText(proxy)),
                 R"(# HELP tavrix_build_info The running version.
# TYPE tavrix_build_info gauge
tavrix_build_info{version=")" TAVRIX_VERSION R"("} 1
# HELP tavrix_registrations Registrations held now.
# TYPE tavrix_registrations gauge
tavrix_registrations 1
# HELP tavrix_call_attempts_total Calls started by an INVITE.
# TYPE tavrix_call_attempts_total counter
tavrix_call_attempts_total 0
# HELP tavrix_failed_calls_total Calls answered 404 Not Found (no route, or relayed from the callee) or 482 Loop Detected.
# TYPE tavrix_failed_calls_total counter
tavrix_failed_calls_total 0
# HELP tavrix_completed_calls_total Calls ended by a BYE or CANCEL answered 200 OK.
# TYPE tavrix_completed_calls_total counter
tavrix_completed_calls_total 0
# HELP tavrix_errors_total LOG_ERR events, also those the flood limit kept out of the log.
# TYPE tavrix_errors_total counter
tavrix_errors_total 2
# HELP tavrix_call_slots_taken Call-table slots held by calls and registrations.
# TYPE tavrix_call_slots_taken gauge
tavrix_call_slots_taken 2
# HELP tavrix_call_slots_capacity Call-table slots.
# TYPE tavrix_call_slots_capacity gauge
tavrix_call_slots_capacity 100
# HELP tavrix_route_slots_taken Route-table slots in use.
# TYPE tavrix_route_slots_taken gauge
tavrix_route_slots_taken 1
# HELP tavrix_route_slots_capacity Route-table slots.
# TYPE tavrix_route_slots_capacity gauge
tavrix_route_slots_capacity 11
# HELP tavrix_datagrams_received_total Datagrams received.
# TYPE tavrix_datagrams_received_total counter
tavrix_datagrams_received_total 3
# HELP tavrix_datagrams_sent_total Datagrams handed to the socket.
# TYPE tavrix_datagrams_sent_total counter
tavrix_datagrams_sent_total 2
# HELP tavrix_datagrams_dropped_total Datagrams not handled as asked (refused, not forwarded or not sent), by reason.
# TYPE tavrix_datagrams_dropped_total counter
tavrix_datagrams_dropped_total{reason="no_call_id"} 1
tavrix_datagrams_dropped_total{reason="call_table_full"} 0
tavrix_datagrams_dropped_total{reason="route_table_full"} 0
tavrix_datagrams_dropped_total{reason="too_many_hops"} 1
tavrix_datagrams_dropped_total{reason="loop"} 0
tavrix_datagrams_dropped_total{reason="not_sent"} 0
tavrix_datagrams_dropped_total{reason="unhandled"} 0
tavrix_datagrams_dropped_total{reason="auth_failed"} 0
tavrix_datagrams_dropped_total{reason="socket_error"} 0
# HELP tavrix_log_lines_total Log lines written, by level.
# TYPE tavrix_log_lines_total counter
tavrix_log_lines_total{level="LOG_ERR"} 2
tavrix_log_lines_total{level="LOG_INFO"} 1
tavrix_log_lines_total{level="LOG_DEBUG"} 5
tavrix_log_lines_total{level="LOG_DEBUGV"} 0
)");
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
