#include "fake_dialogs.h"

#include "console/byte_text_edit.h"
#include "console/log_window_sink.h"
#include "console/logger.h"
#include "console/text_log_sink.h"
#include "routing/route_table.h"

#include <QSignalSpy>
#include <QTest>
#include <QTextDocument>

#include <random>

namespace tavrix {

namespace {

std::string Bytes(const QByteArray& bytes)
{
    return bytes.toStdString();
}

// A logger writing into the log window, as the program wires them.
struct WindowLog
{
    test::FakeDialogs dialogs;
    NullStatsDisplay display;
    SIP_STATS stats{display};
    FixedClock clock{"T"};
    LogWindowSink sink{dialogs};
    Logger log{sink, clock, stats};
    RouteTable routes{log, stats};

    WindowLog() { sink.attach(log, routes); }
};

} // namespace

class LogTextTest : public QObject
{
    Q_OBJECT

private slots:
    void bytesMapToTheDocument_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("document");
        QTest::addColumn<int>("rows");
        QTest::newRow("crlf") << QByteArray("a\r\nb\r\n") << QStringLiteral("a\u2029b\u2029") << 3;
        QTest::newRow("lone lf") << QByteArray("a\nb") << QStringLiteral("a\u2028b") << 1;
        QTest::newRow("lone cr") << QByteArray("a\rb") << QStringLiteral("a\u240Db") << 1;
        QTest::newRow("cr crlf lf")
            << QByteArray("\r\r\n\n") << QStringLiteral("\u240D\u2029\u2028") << 2;
        QTest::newRow("latin-1") << QByteArray("\xe9\xff\x00\t", 4)
                                 << QStringLiteral("\u00e9\u00ff") + QChar(0) + u'\t' << 1;
    }

    void bytesMapToTheDocument()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, document);
        QFETCH(int, rows);
        ByteTextEdit edit;
        edit.appendBytes(std::string_view(bytes.constData(), bytes.size()));
        edit.flush();
        QCOMPARE(edit.document()->toRawText(), document);
        QCOMPARE(edit.document()->blockCount(), rows);
        QCOMPARE(edit.bytes(), bytes);
        QCOMPARE(edit.byteLength(), static_cast<std::size_t>(bytes.size()));
    }

    // Any mix of appends and cuts, also between CR and LF, keeps the bytes and the length
    // of the text equal to the same edits made on a plain string.
    void editsMatchTheTextInMemory()
    {
        std::mt19937 random(7);
        const std::string pieces[] = {"ab", "\r\n", "\r", "\n", "x\r\ny", "\xe9", "\r\n\r\n"};
        ByteTextEdit edit;
        TextLogSink model;
        for (int step = 0; step < 600; ++step) {
            if (step % 5 == 0) {
                edit.flush(); // some edits reach the document one by one, some together
            }
            if (random() % 3 != 0) {
                const std::string& piece = pieces[random() % std::size(pieces)];
                edit.appendBytes(piece);
                model.Append(piece);
            } else {
                const std::size_t count = random() % 7;
                edit.removeFrontBytes(count);
                model.RemoveFront(count);
            }
            QCOMPARE(Bytes(edit.bytes()), std::string(model.Text()));
            QCOMPARE(edit.byteLength(), model.Length());
        }
        edit.removeFrontBytes(edit.byteLength() + 5);
        QCOMPARE(edit.byteLength(), 0u);
    }

    // Past the cap every line removes as many leading characters as it adds, and the text
    // area changes only at its two ends, by what came since the last flush: never a rewrite
    // of the whole text.
    void cappedLogIsEditedAtItsEnds()
    {
        WindowLog window;
        TextLogSink model;
        Logger modelLog(model, window.clock, window.stats);
        window.sink.Open();
        ByteTextEdit& txtLog = window.sink.logWindow()->txtLog();
        QSignalSpy changes(txtLog.document(), &QTextDocument::contentsChange);
        for (int i = 0; i < 800; ++i) {
            const std::string text = "line " + std::to_string(i) + std::string(i % 50, '.');
            window.log.WriteLog(Level::LOG_DEBUG, text);
            modelLog.WriteLog(Level::LOG_DEBUG, text);
            if (i % 10 == 9) {
                txtLog.flush();
            }
        }
        QVERIFY(model.Length() > kLogCap);
        QCOMPARE(Bytes(txtLog.bytes()), std::string(model.Text()));
        QCOMPARE(txtLog.textCursor().position(), txtLog.document()->characterCount() - 1);
        for (const QList<QVariant>& change : changes) {
            QVERIFY(change.at(1).toInt() < 1000 && change.at(2).toInt() < 1000);
        }
    }

    // What the operator types is log text: the next line goes after it and counts it.
    void typedTextStaysInTheLog()
    {
        WindowLog window;
        window.log.WriteLog(Level::LOG_INFO, "one");
        ByteTextEdit& txtLog = window.sink.logWindow()->txtLog();
        QTest::keyClicks(&txtLog, "note");
        QTest::keyClick(&txtLog, Qt::Key_Return);
        QCOMPARE(window.sink.Length(), std::string("LOG_INFO: T one\r\nnote\r\n").size());
        txtLog.moveCursor(QTextCursor::Start);
        window.log.WriteLog(Level::LOG_INFO, "two");
        QCOMPARE(Bytes(txtLog.bytes()), "LOG_INFO: T one\r\nnote\r\nLOG_INFO: T two\r\n");
        txtLog.flush();
        QCOMPARE(txtLog.textCursor().position(), txtLog.document()->characterCount() - 1);
    }
};

} // namespace tavrix

QTEST_MAIN(tavrix::LogTextTest)
#include "log_text_test.moc"
