#include "app/redis_store.h"
#include "app/sqlite_store.h"
#include "core/proxy/sip_messages.h"
#include "mock/memory_log_sink.h"
#include "mock/mock_clock.h"
#include "mock/recording_transport.h"

#include <QDateTime>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <hiredis/hiredis.h>
#include <sqlite3.h>
#include <sys/prctl.h>

#include <algorithm>
#include <csignal>

namespace tavrix {

namespace {

using namespace std::string_literals;

// A proxy at the wall clock's time (Redis runs registrations out by it), its log kept.
struct Rig
{
    Rig() { clock.Set(now); }
    QByteArray log() const { return QByteArray(sink.Text().data(), std::ssize(sink.Text())); }
    // The Call-IDs of the registrations held, in order.
    QString held() const
    {
        QStringList ids;
        for (const Binding& binding : proxy.Bindings()) {
            ids << QString::fromStdString(binding.CallID);
        }
        ids.sort();
        return ids.join(' ');
    }

    const std::int64_t now = QDateTime::currentSecsSinceEpoch();
    test::RecordingTransport transport;
    test::MemoryLogSink sink{"T"};
    NullStatsDisplay display;
    test::MockClock clock;
    Proxy proxy{transport, sink, display, clock};
};

// A registration file in a folder of its own, and a connection of the test's own to it.
struct File
{
    File() { sqlite3_open(path, &db); }
    ~File() { sqlite3_close(db); }
    // Every row the query returns, its columns joined by '|', each row ended by ';'.
    QByteArray query(const QByteArray& sql) const
    {
        QByteArray rows;
        sqlite3_exec(
            db, sql,
            [](void* out, int count, char** values, char**) {
                for (int i = 0; i < count; ++i) {
                    *static_cast<QByteArray*>(out) += values[i] ? values[i] : "NULL";
                    *static_cast<QByteArray*>(out) += i + 1 < count ? '|' : ';';
                }
                return 0;
            },
            &rows, nullptr);
        return rows;
    }

    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.filePath("r.db"));
    sqlite3* db = nullptr;
};

quint16 FreePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// A redis-server of the test's own on a loopback port, and a connection to it.
class RedisServer
{
public:
    explicit RedisServer(quint16 port = FreePort()) : m_port(port)
    {
        // Gone with the test even when the test crashes or is killed.
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_process.start("redis-server", {"--port", QString::number(m_port), "--bind", "127.0.0.1",
                                         "--save", "", "--appendonly", "no"});
        static_cast<void>(QTest::qWaitFor( // up() tells
            [this] {
                redisFree(m_client);
                m_client = redisConnect("127.0.0.1", m_port);
                return m_client != nullptr && m_client->err == 0;
            },
            10000));
    }
    ~RedisServer()
    {
        redisFree(m_client);
        m_process.kill();
        m_process.waitForFinished();
    }
    bool up() const { return m_client != nullptr && m_client->err == 0; }
    quint16 port() const { return m_port; }
    // A command (hiredis's format: each %s one argument); its reply as text, the strings of an
    // array joined by '|'.
    template <typename... Arguments> QByteArray call(const char* format, Arguments... arguments)
    {
        auto* reply = static_cast<redisReply*>(redisCommand(m_client, format, arguments...));
        QByteArray text = reply->type == REDIS_REPLY_INTEGER ? QByteArray::number(reply->integer)
                                                             : QByteArray(reply->str, reply->len);
        for (std::size_t i = 0; i < reply->elements; ++i) {
            text += (i ? "|" : "") + QByteArray(reply->element[i]->str, reply->element[i]->len);
        }
        freeReplyObject(reply);
        return text;
    }

private:
    QProcess m_process;
    quint16 m_port;
    redisContext* m_client = nullptr;
};

} // namespace

class StoreTest : public QObject
{
    Q_OBJECT

private slots:
    // What a restart finds: the changes of one turn in one transaction, the bytes as saved,
    // a row that makes no sense left out and deleted.
    void sqliteKeepsEachTurnInOneTransaction()
    {
        File file;
        Rig rig;
        auto store = std::make_unique<SqliteStore>(file.path.toStdString(), rig.proxy);
        const int version = file.query("PRAGMA data_version").chopped(1).toInt();
        const Binding odd{"\xe9\0id"s,  "b\xe9",    "sip:b@127.0.0.1:5071", "127.0.0.1", 5071,
                          rig.now + 60, rig.now - 9};
        Binding alice{"a", "alice", "sip:alice@127.0.0.1:5070", "127.0.0.1", 5070, rig.now + 30, 1};
        store->Save(alice);
        store->Save(odd);
        store->Save({"c", "carol", "sip:carol@127.0.0.1", "127.0.0.1", 5060, rig.now + 60, 1});
        store->Remove({"c", "", "", "", 0, 0, 2});
        alice.Updated = 2;
        store->Save(alice);
        QCOMPARE(file.query("SELECT count(*) FROM bindings"), "0;"); // not while handling
        QTRY_COMPARE(file.query("SELECT count(*) FROM bindings"), "2;");
        QCOMPARE(file.query("PRAGMA data_version"), QByteArray::number(version + 1) + ";");
        QCOMPARE(file.query("SELECT * FROM bindings WHERE call_id = 'a'"),
                 "a|alice|sip:alice@127.0.0.1:5070|127.0.0.1|5070|" +
                     QByteArray::number(rig.now + 30) + "|2;");
        alice.Updated = 3;
        store->Save(alice); // written as the store goes
        store.reset();

        file.query("INSERT INTO bindings VALUES ('odd', 'u', 'sip:u@127.0.0.1', '127.0.0.1', "
                   "5072, 'soon', 0)");
        Rig again;
        store = std::make_unique<SqliteStore>(file.path.toStdString(), again.proxy);
        std::vector<Binding> restored = again.proxy.Bindings();
        std::sort(restored.begin(), restored.end(),
                  [](const Binding& x, const Binding& y) { return x.CallID < y.CallID; });
        QVERIFY(restored == (std::vector<Binding>{alice, odd}));
        QTRY_COMPARE(file.query("SELECT count(*) FROM bindings"), "2;");
    }

    void sqliteRetriesAFailedWrite()
    {
        File file;
        Rig rig;
        SqliteStore store(file.path.toStdString(), rig.proxy);
        auto* retry = store.findChild<QTimer*>("flushTimer");
        file.query("BEGIN IMMEDIATE");
        store.Save({"a", "alice", "sip:alice@127.0.0.1", "127.0.0.1", 5060, rig.now + 60, 1});
        QTRY_VERIFY(retry->isActive() && retry->interval() == 1000);
        store.Save({"b", "bob", "sip:bob@127.0.0.1", "127.0.0.1", 5060, rig.now + 60, 1});
        retry->start(0); // a second failure: kept, not logged again
        QTRY_VERIFY(retry->isActive() && retry->interval() == 1000);
        file.query("ROLLBACK");
        retry->start(0);
        QTRY_COMPARE(file.query("SELECT call_id FROM bindings ORDER BY 1"), "a;b;");
        QVERIFY(!retry->isActive());
        QCOMPARE(rig.log(), "LOG_ERR: T Cannot write registrations to '" + file.path +
                                "': database is locked; trying again every second\r\n"
                                "LOG_INFO: T Registrations written to '" +
                                file.path + "' again\r\n");
    }

    // Set aside only when the file itself is damaged; held by another program, it is left alone.
    void sqliteFileThatCannotBeUsed()
    {
        File file;
        const auto logOf = [](const QByteArray& path) {
            Rig rig;
            SqliteStore store(path.toStdString(), rig.proxy);
            return rig.log();
        };
        file.query("PRAGMA locking_mode=EXCLUSIVE; CREATE TABLE t (x); WITH RECURSIVE n(i) AS "
                   "(SELECT 1 UNION SELECT i + 1 FROM n WHERE i < 2000) "
                   "INSERT INTO t SELECT hex(randomblob(40)) FROM n");
        const QByteArray folder = QFile::encodeName(file.dir.filePath("d"));
        QVERIFY(QDir().mkdir(folder));
        for (const auto& [path, reason] : {std::pair{file.path, "database is locked"},
                                           {folder, "unable to open database file"}}) {
            QCOMPARE(logOf(path), "LOG_ERR: T Cannot keep registrations in '" + path +
                                      "': " + reason + "; they live in memory only\r\n");
        }
        sqlite3_close(std::exchange(file.db, nullptr));
        QCOMPARE(QDir(file.dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 (QStringList{"d", "r.db"}));

        // Past the header only a check of the whole file finds the damage.
        const QRegularExpression setAside("^LOG_ERR: T Registration file '" +
                                          QRegularExpression::escape(file.path) +
                                          "' unreadable \\(.+\\), set aside as "
                                          "'(.+\\.corrupt-\\d{8}-\\d{6})'; starting empty\r\n$");
        for (const qint64 at : {3 * 4096, 0}) {
            QFile damaged(file.path);
            QVERIFY(damaged.open(QIODevice::ReadWrite) && damaged.seek(at) &&
                    damaged.write(QByteArray(4096, 'x')) == 4096 && damaged.flush());
            const QRegularExpressionMatch match = setAside.match(logOf(file.path));
            QVERIFY(match.hasMatch());
            // The next one may be set aside within the same second.
            QVERIFY(QFile::remove(match.captured(1)));
        }
    }

    // Each change is a hash that Redis drops when it runs out, and a message to the others; a
    // change older than what Redis holds is neither.
    void redisWritesEachChange()
    {
        RedisServer redis;
        QVERIFY2(redis.up(), "needs redis-server (scripts/install-deps.sh test)");
        Rig rig;
        RedisStore store({"127.0.0.1", redis.port()}, rig.proxy);
        RedisLink events;
        QStringList heard; // the confirmation (""), then what the others hear
        QString error;
        QVERIFY(events.open({"127.0.0.1", redis.port()}, error));
        connect(&events, &RedisLink::connected, this, [&] {
            events.subscribe("tavrix:changes:0", [&](const redisReply& reply) {
                heard << QString::fromLatin1(reply.element[2]->str, reply.element[2]->len);
            });
        });
        QTRY_VERIFY(store.isShared() && heard.size() == 1);
        const Binding alice{"a b",        "alice", "sip:alice@127.0.0.1", "127.0.0.1", 5070,
                            rig.now + 60, rig.now};
        Binding older = alice;
        older.Updated -= 1;
        store.Save(alice);
        store.Save(older);
        store.Remove(older);
        QTRY_COMPARE(store.awaiting(), 0);
        const QByteArray now = QByteArray::number(rig.now),
                         expires = QByteArray::number(rig.now + 60);
        QCOMPARE(
            redis.call("HGETALL %s", "tavrix:binding:a b"),
            "callid|a b|user|alice|contact|sip:alice@127.0.0.1|ip|127.0.0.1|port|5070|expires|" +
                expires + "|updated|" + now);
        QCOMPARE(redis.call("EXPIRETIME %s", "tavrix:binding:a b"), expires);
        store.Remove(alice);
        QTRY_COMPARE(redis.call("EXISTS %s", "tavrix:binding:a b"), "0");
        QTRY_COMPARE(heard.size(), 3);
        heard.replaceInStrings(QRegularExpression("^(\\w+) [0-9a-f]+ "), "\\1 ME ");
        QCOMPARE(heard, (QStringList{"", "save ME " + now + " " + expires + " a b",
                                     "remove ME " + now + " a b"}));
        // A Redis with a client timeout closes the idle command link, never a subscriber.
        redis.call("CLIENT KILL TYPE normal SKIPME yes");
        QTRY_VERIFY(rig.log().contains(" unreachable: Server closed the connection; "));
    }

    // What Redis holds at the start and what the others publish: a hash with a field missing
    // or a key of another type is passed over, a change older than the one held is not taken.
    void redisTakesTheOthersChanges()
    {
        RedisServer redis;
        QVERIFY2(redis.up(), "needs redis-server (scripts/install-deps.sh test)");
        Rig rig;
        const auto hash = [&](const char* id, const std::string& last = " updated 10") {
            const std::string command = "HSET tavrix:binding:%s callid %s user %s contact "
                                        "sip:%s@127.0.0.1 ip 127.0.0.1 port 5070 expires %lld";
            redis.call((command + last).c_str(), id, id, id, id,
                       static_cast<long long>(rig.now + 60));
        };
        hash("good");
        hash("good2");
        hash("partial", "");
        redis.call("SET tavrix:binding:text x");
        RedisStore store({"127.0.0.1", redis.port()}, rig.proxy);
        QTRY_VERIFY(store.isShared());
        QVERIFY(rig.log().endsWith("through redis://127.0.0.1:" + QByteArray::number(redis.port()) +
                                   ": 2 taken in, 2 held\r\n"));
        hash("late", " updated 20");
        hash("other", " updated 20");
        rig.proxy.ReceiveDatagram(test::Register(test::kAlice, "mine"), {"", "127.0.0.1", 5061});
        // A wrong step shows at the latest in the last row: nothing undoes it.
        const std::string expires = " " + std::to_string(rig.now + 60) + " ";
        const std::pair<std::string, QString> rows[] = {
            {"save", "good good2 mine"},
            {"bogus other 20" + expires + "other", "good good2 mine"},
            {"remove other 9 good", "good good2 mine"},
            {"save other 20" + expires + "late", "good good2 late mine"},
            {"remove other 20 late", "good good2 mine"},
            {"remove other " + std::to_string(rig.now) + " mine", "good good2"},
        };
        for (const auto& [message, held] : rows) {
            redis.call("PUBLISH tavrix:changes:0 %s", message.c_str());
            QTRY_COMPARE(rig.held(), held);
        }
    }

    // 0.5 s after the first failed try, doubling to 8 s; one LOG_ERR line per outage, and the
    // next outage starts again at 0.5 s.
    void redisBacksOff()
    {
        const quint16 port = FreePort();
        Rig rig;
        RedisStore store({"127.0.0.1", port}, rig.proxy);
        auto* retry = store.findChild<QTimer*>("retryTimer");
        QTRY_VERIFY(retry->isActive() && retry->interval() == 500);
        for (const int delay : {1000, 2000, 4000, 8000, 8000}) {
            retry->start(0); // the next try at once
            QTRY_VERIFY(retry->isActive() && retry->interval() == delay);
        }
        auto redis = std::make_unique<RedisServer>(port);
        retry->start(0);
        QTRY_VERIFY(store.isShared());
        store.Save({"a", "alice", "sip:alice@127.0.0.1", "127.0.0.1", 5060, rig.now + 60, 1});
        redis.reset(); // with the write on its way
        QTRY_VERIFY(retry->isActive() && retry->interval() == 500);
        const QByteArray url = "redis://127.0.0.1:" + QByteArray::number(port);
        const QByteArray serving = "; serving the registrations held here, trying again\r\n";
        QCOMPARE(rig.log(), "LOG_ERR: T Registrar " + url + " unreachable: Connection refused" +
                                serving + "LOG_INFO: T Registrations shared through " + url +
                                ": 0 taken in, 0 held\r\nLOG_ERR: T Registrar " + url +
                                " unreachable: Server closed the connection" + serving);
    }
};

} // namespace tavrix

QTEST_GUILESS_MAIN(tavrix::StoreTest)
#include "store_test.moc"
