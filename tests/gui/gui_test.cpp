#include "app/peer.h"
#include "gui/byte_text_edit.h"
#include "gui/form_helpers.h"
#include "gui/main_window.h"
#include "gui/operator_dialogs.h"
#include "mock/fixed_time_format.h"
#include "mock/mock_clock.h"

#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

#include <random>

namespace tavrix {

namespace {

// Answers the operator's dialogs from fields and records each one asked, in order.
class FakeDialogs final : public OperatorDialogs
{
public:
    QString fileName;    // what the save dialog yields; empty: cancelled
    bool replace = true; // the answer to "File exists! Replace?"
    QStringList asked;

    QString saveFileName(QWidget*) override { return asked << "save as", fileName; }
    bool confirmReplace(QWidget*) override { return asked << "replace?", replace; }
    void logSaved(QWidget*) override { asked << "saved"; }
    void warn(QWidget*, const QString& title, const QString& text) override
    {
        asked << title + ": " + text;
    }
};

QString Text(const QWidget& window, const char* name)
{
    if (const auto* label = window.findChild<QLabel*>(name)) {
        return label->text();
    }
    return window.findChild<QAbstractButton*>(name)->text();
}

void Click(const QWidget& window, const char* name)
{
    QTest::mouseClick(window.findChild<QAbstractButton*>(name), Qt::LeftButton);
}

QByteArray ReadFile(const QString& name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

} // namespace

class GuiTest : public QObject
{
    Q_OBJECT

private:
    FakeDialogs m_dialogs;
    test::MockClock m_clock;
    test::FixedTimeFormat m_time{"T"};
    std::unique_ptr<frmMain> m_main;

    frmMain& start(quint16 port = 0)
    {
        m_dialogs = FakeDialogs();
        ServerConfig config;
        config.bindAddress = QHostAddress(QHostAddress::LocalHost);
        config.port = port;
        m_main = std::make_unique<frmMain>(config, m_dialogs, m_clock, m_time);
        return *m_main;
    }
    Proxy& proxy() { return m_main->server().proxy(); }
    frmLog* logWindow() { return m_main->console().logWindow(); }
    QByteArray logText() { return logWindow()->txtLog().bytes(); }

private slots:
    void cleanup() { m_main.reset(); }

    void mainWindowShowsFiguresAndTogglesTheSocket()
    {
        frmMain& main = start();
        QCOMPARE(main.windowTitle(), QStringLiteral("Tavrix 0.0.2"));
        QCOMPARE(main.size(), QSize(261, 181));
        QCOMPARE(Text(main, "Label2"), QStringLiteral("Calls Attempts:"));
        QCOMPARE(main.findChild<QLabel*>("Label4")->geometry().right() + 1, 1635 / 15);
        QCOMPARE(main.findChild<QTimer*>("Timer1")->interval(), 1000);
        const QRect screen = main.screen()->geometry();
        QCOMPARE(main.pos(), QPoint(Twips(CenteredEdge(screen.width() * 15, 3915)),
                                    Twips(CenteredEdge(screen.height() * 15, 2715))));
        QVERIFY(logWindow() == nullptr);
        const char* const values[] = {"lblRegistrations",  "lblCallAttempts", "lblFailedCalls",
                                      "lblCompletedCalls", "lblErrors",       "lblLastRoute"};
        for (const char* name : values) {
            QCOMPARE(Text(main, name), QStringLiteral("0"));
        }

        // Closed, the socket takes nothing in, and the sweep goes on.
        const quint16 port = main.server().port();
        test::LoopbackPeer peer;
        Click(main, "Command2");
        QCOMPARE(Text(main, "Command2"), QStringLiteral("Open Socket"));
        peer.send(peer.options("while-closed"), port);
        proxy().ReceiveDatagram(peer.registration("alice", 0), {"", "127.0.0.1", peer.port()});
        QCOMPARE(Text(main, "lblRegistrations"), QStringLiteral("1"));
        QSignalSpy ticks(main.findChild<QTimer*>("Timer1"), &QTimer::timeout);
        QVERIFY(ticks.wait(3000));
        QCOMPARE(Text(main, "lblRegistrations"), QStringLiteral("0"));
        Click(main, "Command2");
        QCOMPARE(Text(main, "Command2"), QStringLiteral("Close Socket"));
        peer.send(peer.options("open"), port);
        QCOMPARE(peer.receive(), peer.options("open", true));
        QVERIFY(!logText().contains("while-closed"));

        QSignalSpy shutdown(&main, &frmMain::shutdownRequested);
        main.show();
        Click(main, "cmdShutdown");
        QCOMPARE(shutdown.count(), 1);
        QVERIFY(!main.server().isOpen());
        QVERIFY(!main.findChild<QTimer*>("Timer1")->isActive());
        QVERIFY(!main.isVisible());
    }

    void bindFailureIsShownAndTheSocketCanBeReopened()
    {
        test::HeldPort held;
        const QString failure = QStringLiteral("Cannot bind UDP port %1: The bound address is "
                                               "already in use")
                                    .arg(held.port());
        frmMain& main = start(held.port());
        QCOMPARE(m_dialogs.asked,
                 QStringList{QCoreApplication::applicationName() + ": " + failure});
        QCOMPARE(Text(main, "Command2"), QStringLiteral("Open Socket"));
        QCOMPARE(Text(main, "lblErrors"), QStringLiteral("1"));
        QVERIFY(!logWindow()->isVisible());
        QCOMPARE(logText(), "LOG_ERR: T " + failure.toLatin1() + "\r\n");
        held.release();
        Click(main, "Command2");
        QCOMPARE(Text(main, "Command2"), QStringLiteral("Close Socket"));
    }

    void logWindowLevelsClearLayoutAndLife()
    {
        frmMain& main = start();
        proxy().Log().WriteLog(Level::DebugV, "too verbose");
        QVERIFY(logWindow() == nullptr);
        proxy().Log().WriteLog(Level::Debug, "first");
        QPointer<frmLog> window = logWindow();
        QVERIFY(!window->isVisible());
        QCOMPARE(window->windowTitle(), QStringLiteral("Log Window"));
        QVERIFY(window->findChild<QRadioButton*>("opLogLvl(3)")->isChecked());
        QCOMPARE(logText(), "LOG_DEBUG: T first\r\n");
        Click(main, "Command1");
        QVERIFY(window->isVisible());

        Click(*window, "opLogLvl(1)");
        proxy().Log().WriteLog(Level::Info, "dropped");
        proxy().Log().WriteLog(Level::Err, "kept");
        QCOMPARE(logText(), "LOG_DEBUG: T first\r\nLOG_ERR: T kept\r\n");
        Click(*window, "opLogLvl(4)");
        QCOMPARE(proxy().Log().LogLevel(), 4);
        Click(*window, "cmdClear");
        proxy().Log().WriteLog(Level::Info, "fresh");
        QCOMPARE(logText(), "LOG_INFO: T fresh\r\n");

        // Each option shows its whole caption left of the next control, no further right of
        // its designed place than the captions before it need.
        int right = 0;
        for (const auto& [name, left] : {std::pair{"opLogLvl(1)", 60},
                                         {"opLogLvl(2)", 1140},
                                         {"opLogLvl(3)", 2400},
                                         {"opLogLvl(4)", 3540},
                                         {"cmdClear", 5160},
                                         {"cmdSave", 6240},
                                         {"cmdShowRoutes", 7380}}) {
            const QWidget* control = window->findChild<QWidget*>(name);
            QCOMPARE(control->x(), std::max(Twips(left), right));
            if (qobject_cast<const QRadioButton*>(control) != nullptr) {
                QVERIFY2(control->width() >= control->sizeHint().width(), name);
            }
            right = control->geometry().right() + 1;
        }

        // The text area fills the window below the strip, never with a negative height.
        const ByteTextEdit& txtLog = window->txtLog();
        window->resize(400, 300);
        QTRY_COMPARE(txtLog.geometry(), QRect(0, 32, 400, 268));
        window->resize(400, 20);
        QTRY_COMPARE(txtLog.geometry(), QRect(0, 32, 400, 0));
        window->showMaximized();
        QTest::qWait(50);
        QCOMPARE(txtLog.geometry(), QRect(0, 32, 400, 0));

        window->close();
        QVERIFY(logWindow() == nullptr);
        QTRY_VERIFY(window.isNull());
        proxy().Log().WriteLog(Level::Info, "again");
        QCOMPARE(logText(), "LOG_INFO: T again\r\n");
    }

    // Past 30000 characters each line pushes as many out at the front, typed text included; a
    // line longer than the whole text stays whole.
    void logTextIsCappedFromTheFront()
    {
        start();
        proxy().Log().WriteLog(Level::Info, "opens the window");
        ByteTextEdit& text = logWindow()->txtLog();
        const std::string line50(50 - 14, 'x'); // "LOG_INFO: T " and CR LF around it
        Click(*logWindow(), "cmdClear");
        text.appendBytes(std::string(30000, 'a'));
        proxy().Log().WriteLog(Level::Info, line50);
        QCOMPARE(text.byteLength(), std::size_t{30050}); // exactly 30000 still grows
        Click(*logWindow(), "cmdClear");
        text.appendBytes(std::string(10, 'b') + std::string(30000, 'a'));
        proxy().Log().WriteLog(Level::Info, line50);
        QCOMPARE(text.byteLength(), std::size_t{30010});
        QCOMPARE(text.bytes().left(10), QByteArray(10, 'a'));
        for (int i = 0; i < 300; ++i) {
            proxy().Log().WriteLog(Level::Info, "Looking for destination for: ", i);
        }
        QCOMPARE(text.byteLength(), std::size_t{30010});
        QVERIFY(text.bytes().endsWith("Looking for destination for: 299\r\n"));
        const std::string huge(40000, 'z');
        proxy().Log().WriteLog(Level::Debug, huge);
        QCOMPARE(text.bytes().toStdString(), "LOG_DEBUG: T " + huge + "\r\n");
    }

    void saveSequenceAndDialogs()
    {
        start();
        proxy().Log().WriteLog(Level::Info, "saved line");
        const QByteArray text = logText();
        QTemporaryDir dir;
        const QString name = dir.filePath("log.txt");
        const auto save = [this](const QString& fileName, bool replace) {
            m_dialogs.asked.clear();
            m_dialogs.fileName = fileName;
            m_dialogs.replace = replace;
            Click(*logWindow(), "cmdSave");
            return m_dialogs.asked;
        };
        QCOMPARE(save(name, true), (QStringList{"save as", "saved"}));
        QCOMPARE(ReadFile(name), text);
        QFile old(name);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write(QByteArray(200, 'o')) == 200);
        old.close();
        QCOMPARE(save(name, false), (QStringList{"save as", "replace?"}));
        QCOMPARE(ReadFile(name), QByteArray(200, 'o'));
        QCOMPARE(save(name, true), (QStringList{"save as", "replace?", "saved"}));
        QCOMPARE(ReadFile(name), text);
        QCOMPARE(save("", true), QStringList{"save as"});
        const QStringList failed = save(dir.filePath("missing/log.txt"), true);
        QVERIFY2(failed.size() == 2 && failed[1].startsWith("Save Log: Cannot write the log to "),
                 qPrintable(failed.join('|')));
        QCOMPARE(logText(), text);
    }

    void routesWindowIsASnapshot()
    {
        start();
        test::LoopbackPeer alice, bob;
        const auto registerAt = [this](const char* user, const test::LoopbackPeer& peer) {
            proxy().ReceiveDatagram(peer.registration(user, 60), {"", "127.0.0.1", peer.port()});
            return QByteArray(user) + " linked to sip:" + user +
                   "@127.0.0.1:" + QByteArray::number(peer.port()) + "\r\n";
        };
        const QByteArray listing = registerAt("alice", alice);
        Click(*logWindow(), "cmdShowRoutes");
        QPointer<frmRoutes> routes = m_main->console().routesWindow();
        QCOMPARE(routes->windowTitle(), QStringLiteral("Valid Routes"));
        QCOMPARE(routes->txtRoutes().geometry(), QRect(4, 4, 593, 161));
        QCOMPARE(routes->txtRoutes().bytes(), listing);
        const QByteArray added = registerAt("bob", bob);
        Click(*logWindow(), "cmdShowRoutes");
        QCOMPARE(m_main->console().routesWindow(), routes.data());
        QCOMPARE(routes->txtRoutes().bytes(), listing);
        routes->close();
        QTRY_VERIFY(routes.isNull());
        Click(*logWindow(), "cmdShowRoutes");
        QCOMPARE(m_main->console().routesWindow()->txtRoutes().bytes(), listing + added);
    }

    // Lone LF, lone CR and Latin-1 show as themselves; any mix of appends and cuts (also
    // between CR and LF), flushed at any point, keeps the bytes of the same edits on a string.
    void logTextKeepsItsBytes()
    {
        ByteTextEdit edit;
        edit.appendBytes(std::string("a\r\nb\nc\rd\xe9", 9));
        edit.flush();
        QCOMPARE(edit.document()->toRawText(), QStringLiteral("a\u2029b\u2028c\u240Dd\u00e9"));
        std::mt19937 random(7);
        const std::string pieces[] = {"ab", "\r\n", "\r", "\n", "x\r\ny", "\r\n\r\n"};
        std::string model("a\r\nb\nc\rd\xe9", 9);
        for (int step = 0; step < 300; ++step) {
            if (step % 5 == 0) {
                edit.flush();
            }
            if (random() % 3 != 0) {
                const std::string& piece = pieces[random() % std::size(pieces)];
                edit.appendBytes(piece);
                model += piece;
            } else {
                const std::size_t count = random() % 7;
                edit.removeFrontBytes(count);
                model.erase(0, count);
            }
            QCOMPARE(edit.bytes().toStdString(), model);
            QCOMPARE(edit.byteLength(), model.size());
        }
    }
};

} // namespace tavrix

QTEST_MAIN(tavrix::GuiTest)
#include "gui_test.moc"
