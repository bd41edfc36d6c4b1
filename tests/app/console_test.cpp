#include "app/console_feed.h"
#include "app/log_fan_out.h"
#include "core/proxy/proxy.h"
#include "core/proxy/sip_messages.h"
#include "core/text/message.h"
#include "mock/fixed_time_format.h"
#include "mock/memory_log_sink.h"
#include "mock/mock_clock.h"
#include "mock/recording_transport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <algorithm>

namespace tavrix {

namespace {

using test::kAlice;
using test::kBob;

// A proxy with the feed attached as the web console attaches it: beside the log's own sink,
// and as the trace of its datagrams.
struct Rig
{
    explicit Rig(std::size_t calls = 200) : feed(proxy, time, calls)
    {
        log.setSecond(&feed);
        proxy.SetTrace(&feed);
    }
    void from(const test::Party& party, const std::string& text)
    {
        proxy.ReceiveDatagram(text, {"", party.ip, party.port});
    }

    test::MemoryLogSink sink{"T"};
    LogFanOut log{sink};
    test::RecordingTransport transport;
    NullStatsDisplay display;
    test::MockClock clock;
    test::FixedTimeFormat time{"T"};
    Proxy proxy{transport, log, display, clock,
                ProxyConfig{.LocalPort = 5070, .DefaultRoute = "127.0.0.9:5080"}};
    ConsoleFeed feed;
};

// The data of one whole event of that name, parsed; a null object when it is not one.
QJsonObject Data(const std::string& event, const char* name)
{
    const std::string head = std::string("event: ") + name + "\ndata: ";
    if (event.rfind(head, 0) != 0 || !event.ends_with("\n\n") ||
        event.find('\n', head.size()) != event.size() - 2) {
        return {};
    }
    return QJsonDocument::fromJson(QByteArray::fromStdString(event.substr(head.size()))).object();
}

} // namespace

class ConsoleTest : public QObject
{
    Q_OBJECT

private slots:
    // Each exchange of the engine tests as its ladder shows it: every datagram in and out, in
    // order, whole at log level 3; and how the call stands in the list.
    void callsAsTheirLaddersShowThem()
    {
        const struct
        {
            std::string scenario;
            int status;
            bool ended;
            QString ladder;
        } rows[] = {
            {"call", 200, true,
             "in INVITE,out 100,out INVITE,in 180,out 180,in 200,out 200,in ACK,out ACK,in BYE,"
             "out 100,out BYE,in 200,out 200"},
            {"cancelled", 487, true,
             "in INVITE,out 100,out INVITE,in CANCEL,out 100,out CANCEL,in 200,out 200,in 487,"
             "out 487,in ACK,out ACK"},
            {"busy", 486, true, "in INVITE,out 100,out INVITE,in 486,out 486,in ACK,out ACK"},
            {"default route", 0, false, "in INVITE,out 100,out INVITE"},
            {"expiry", 200, false, "in REGISTER,out 200,in REGISTER,out 200"},
        };
        for (const test::Scenario& scenario : test::Scenarios()) {
            const auto row = std::find_if(std::begin(rows), std::end(rows), [&](const auto& r) {
                return r.scenario == scenario.name;
            });
            QVERIFY2(row != std::end(rows), scenario.name.c_str());
            Rig rig;
            rig.from(kAlice, test::Register(kAlice, "reg-a"));
            rig.from(kBob, test::Register(kBob, "reg-b"));
            for (const test::Step& step : scenario.steps) {
                if (step.from) {
                    rig.from(*step.from, step.text);
                }
            }
            // The call of the scenario's first datagram.
            const std::string callId(GetHeader(scenario.steps.front().text, "Call-ID"));
            rig.feed.SetWatched(true);
            QJsonObject call;
            for (const QJsonValue listed :
                 Data(rig.feed.Snapshot(false), "snapshot")["calls"].toArray()) {
                if (listed["callId"].toString().toStdString() == callId) {
                    call = listed.toObject();
                }
            }
            QCOMPARE(call["status"].toInt(), row->status);
            QCOMPARE(call["ended"].toBool(), row->ended);
            const QJsonObject ladder =
                QJsonDocument::fromJson(
                    QByteArray::fromStdString(rig.feed.CallJson(call["id"].toInteger())))
                    .object();
            QStringList steps;
            for (const QJsonValue step : ladder["ladder"].toArray()) {
                const QString line = step["line"].toString();
                steps << (step["sent"].toBool() ? "out " : "in ") +
                             line.section(' ', line.startsWith("SIP/2.0") ? 1 : 0,
                                          line.startsWith("SIP/2.0") ? 1 : 0);
                QVERIFY(step["text"].toString().startsWith(line + "\r\n"));
            }
            QCOMPARE(steps.join(','), row->ladder);
            QCOMPARE(ladder["proxy"].toString(), "127.0.0.1:5070");
            QCOMPARE(ladder["ladder"][0]["peer"].toString(),
                     QString::fromStdString(scenario.steps.front().from->Host()));
        }
    }

    // A viewer starts with everything the page shows; a batch holds only what changed since
    // the last one, once for every viewer. Text from the network comes back unchanged.
    void snapshotAndBatches()
    {
        Rig rig;
        rig.from(kAlice, test::Register(kAlice, "reg-a"));
        rig.from(kBob, test::Register(kBob, "reg-b"));
        const test::Scenario call = test::Scenarios().front();
        for (const test::Step& step : call.steps) {
            rig.from(*step.from, step.text);
        }
        rig.feed.Tick();
        rig.feed.SetWatched(true);
        rig.feed.TakeBatch();
        const QJsonObject snapshot = Data(rig.feed.Snapshot(true), "snapshot");
        QCOMPARE(snapshot["figures"].toObject(), QJsonObject({{"Registrations", 2},
                                                              {"CallAttempts", 1},
                                                              {"FailedCalls", 0},
                                                              {"CompletedCalls", 1},
                                                              {"Errors", 0},
                                                              {"LastRoute", "bob"},
                                                              {"level", 3}}));
        QCOMPARE(snapshot["routes"]["shown"].toArray(),
                 QJsonArray({QJsonArray{0, "alice", "sip:alice@127.0.0.1:5061"},
                             QJsonArray{1, "bob", "sip:bob@127.0.0.2:5062"}}));
        QCOMPARE(snapshot["rates"].toObject(),
                 QJsonObject({{"end", 1}, {"values", QJsonArray{QJsonArray{1, 1, 0}}}}));
        QVERIFY(snapshot["canChangeLevel"].toBool());
        QVERIFY(snapshot["log"].toArray().contains(
            QJsonArray{2, "LOG_INFO: T User 'alice' successfully registered at '127.0.0.1:5061' "
                          "with ID: 1\r\n"}));

        // A From of quotes, a backslash, a control character, a Latin-1 letter and markup.
        const std::string user = "a\"\\\x01\xe9<script>x</script>";
        const int before = rig.sink.Written();
        rig.from(kBob,
                 test::Crlf("REGISTER sip:127.0.0.1 SIP/2.0\nFrom: <sip:" + user +
                            "@127.0.0.1>\nCall-ID: odd\nContact: <sip:x@127.0.0.2:5062>\n\n"));
        for (int i = 0; i < 600; ++i) {
            rig.proxy.Log().WriteLog(Level::Info, "line ", i);
        }
        ConsoleFeed::Batch batch = rig.feed.TakeBatch();
        const QJsonObject update = Data(batch.update, "update");
        QCOMPARE(update.keys(), QStringList({"calls", "figures"}));
        QCOMPARE(update["calls"].toArray().size(), 1);
        // Markup in a URI leaves it no user part: the whole From shows, as text.
        QCOMPARE(update["calls"][0]["from"].toString(),
                 QString::fromLatin1(("<sip:" + user + "@127.0.0.1>").c_str()));
        const QJsonObject log = Data(batch.log, "log");
        QCOMPARE(log["leftOut"].toInt(), rig.sink.Written() - before - 500);
        QCOMPARE(log["lines"].toArray().size(), 500);
        QCOMPARE(log["lines"][0][1].toString(), "LOG_INFO: T line 100\r\n");
        QCOMPARE(batch.logLines, 500u);

        // Nothing new, nothing sent; below level 3 the messages keep only their first lines.
        batch = rig.feed.TakeBatch();
        QVERIFY(batch.update.empty() && batch.log.empty());
        rig.proxy.Log().SetLogLevel(2);
        rig.from(kAlice, test::Invite("bob", "call-2"));
        const std::string ladder = rig.feed.CallJson(5);
        QVERIFY(ladder.find("\"line\":\"INVITE sip:bob@") != std::string::npos);
        QVERIFY(ladder.find("\"text\"") == std::string::npos);
        rig.feed.SetWatched(false);
        batch = rig.feed.TakeBatch();
        QVERIFY(batch.update.empty() && batch.log.empty());
    }

    // The ring keeps the last calls it was made for, each within its steps and text.
    void ringBounds()
    {
        CallRing ring(3);
        const auto record = [&ring](const std::string& text, bool sent = false) {
            ring.Record(text, sent, "127.0.0.1", 5061, 0, true);
        };
        const auto ids = [&ring] {
            QList<std::uint64_t> ids;
            for (const CallTrace* call : ring.Calls()) {
                ids << call->id;
            }
            return ids;
        };
        const std::string longId(400, 'x');
        for (const std::string& callId :
             {longId, std::string("c2"), std::string("c3"), std::string("c4"), std::string("c5")}) {
            record(test::Invite("bob", callId));
        }
        QCOMPARE(ids(), QList<std::uint64_t>({3, 4, 5}));
        QVERIFY(ring.Find(2) == nullptr && ring.Find(0) == nullptr);
        QCOMPARE(ring.TakeChanged().size(), 3u); // the calls in the ring, each once
        QVERIFY(ring.TakeChanged().empty());

        // Gone calls stay gone, only INVITE and REGISTER begin one, no Call-ID is nothing.
        const std::string invite = test::Invite("bob", longId);
        record(test::Answer("180 Ringing", "1 INVITE", invite, "", longId));
        record(test::Crlf("OPTIONS sip:127.0.0.1 SIP/2.0\nCall-ID: o1\n\n"));
        record(test::Crlf("INVITE sip:bob@127.0.0.1 SIP/2.0\nFrom: <sip:a@b>\n\n"));
        QCOMPARE(ids(), QList<std::uint64_t>({3, 4, 5}));
        for (const CallTrace* call : ring.Calls()) {
            QCOMPARE(call->steps.size(), 1u);
        }

        // A call past its steps counts the rest; past its text keeps first lines only.
        const std::string big = test::Invite("bob", "c5") + std::string(2000, 'v');
        for (int i = 0; i < 150; ++i) {
            record(big, i % 2 == 1);
        }
        const CallTrace& call = *ring.Find(5);
        QCOMPARE(call.steps.size(), CallRing::kMaxSteps);
        QCOMPARE(call.omitted, 51u);
        QVERIFY(call.textBytes <= CallRing::kTextPerCall);
        QVERIFY(!call.steps[1].text.empty() && call.steps.back().text.empty());
        QCOMPARE(call.steps.back().firstLine, "INVITE sip:bob@127.0.0.1:5070 SIP/2.0");
        QVERIFY(!call.steps[1].sent && call.steps[2].sent);
    }
};

} // namespace tavrix

QTEST_GUILESS_MAIN(tavrix::ConsoleTest)
#include "console_test.moc"
