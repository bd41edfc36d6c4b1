#include "fake_dialogs.h"
#include "support.h"

#include "console/byte_text_edit.h"
#include "console/form_helpers.h"
#include "console/text_log_sink.h"
#include "shell/main_window.h"

#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace tavrix {

namespace {

const char* const kValueLabels[] = {"lblRegistrations",  "lblCallAttempts", "lblFailedCalls",
                                    "lblCompletedCalls", "lblErrors",       "lblLastRoute"};

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

void WriteFile(const QString& name, const QByteArray& bytes)
{
    QFile file(name);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

} // namespace

class WindowsTest : public QObject
{
    Q_OBJECT

private:
    test::FakeDialogs m_dialogs;
    FixedClock m_clock{"12/5/2026 7:13:08 PM"};
    std::unique_ptr<frmMain> m_main;

    frmMain& start(quint16 port = 0)
    {
        m_dialogs = test::FakeDialogs();
        ServerConfig config;
        config.bindAddress = QHostAddress(QHostAddress::LocalHost);
        config.port = port;
        config.proxy.LocalIP = "127.0.0.1";
        m_main = std::make_unique<frmMain>(config, m_dialogs, m_clock);
        return *m_main;
    }
    Proxy& proxy() { return m_main->server().proxy(); }
    frmLog* logWindow() { return m_main->console().logWindow(); }
    QByteArray logText() { return logWindow()->txtLog().bytes(); }
    std::string line(const char* label, const std::string& text)
    {
        return std::string(label) + ": 12/5/2026 7:13:08 PM " + text + "\r\n";
    }

private slots:
    void cleanup() { m_main.reset(); }

    void startsWithOpenSocketAndZeroFigures()
    {
        frmMain& main = start();
        QCOMPARE(main.windowTitle(), QStringLiteral("Tavrix 0.0.2"));
        QCOMPARE(main.size(), QSize(261, 181));
        for (const char* name : kValueLabels) {
            QCOMPARE(Text(main, name), QStringLiteral("0"));
        }
        QCOMPARE(Text(main, "Label2"), QStringLiteral("Calls Attempts:"));
        QCOMPARE(main.findChild<QLabel*>("Label4")->geometry().right() + 1, 1635 / 15);
        QCOMPARE(Text(main, "Command2"), QStringLiteral("Close Socket"));
        QVERIFY(main.server().isOpen());
        const auto* timer = main.findChild<QTimer*>("Timer1");
        QVERIFY(timer->isActive());
        QCOMPARE(timer->interval(), 1000);
        QVERIFY(logWindow() == nullptr);
        QVERIFY(m_dialogs.asked.isEmpty());

        // Centred by the inner size, in twips, each half truncated.
        QCOMPARE(CenteredEdge(12000, 3915), 4043);
        QCOMPARE(CenteredEdge(15, 7), 4);
        const QRect screen = main.screen()->geometry();
        QCOMPARE(main.pos(), QPoint(Twips(CenteredEdge(screen.width() * 15, 3915)),
                                    Twips(CenteredEdge(screen.height() * 15, 2715))));

        proxy().Stats().SetRegistrations(-1);
        proxy().Stats().SetLastRoute("alice");
        QCOMPARE(Text(main, "lblRegistrations"), QStringLiteral("-1"));
        QCOMPARE(Text(main, "lblLastRoute"), QStringLiteral("alice"));
    }

    void socketToggleStopsIntakeButNotTheTimer()
    {
        frmMain& main = start();
        const quint16 port = main.server().port();
        test::LoopbackPeer peer;
        Click(main, "Command2");
        QCOMPARE(Text(main, "Command2"), QStringLiteral("Open Socket"));
        QVERIFY(!main.server().isOpen());
        peer.send(test::OptionsRequest(peer.port(), "while-closed"), port);

        // The sweep goes on: a registration made now runs out on the next tick.
        proxy().ReceiveDatagram(test::RegisterRequest("alice", peer.port(), 0),
                                {"", "127.0.0.1", peer.port()});
        QCOMPARE(Text(main, "lblRegistrations"), QStringLiteral("1"));
        QSignalSpy ticks(main.findChild<QTimer*>("Timer1"), &QTimer::timeout);
        QVERIFY(ticks.wait(3000));
        QCOMPARE(Text(main, "lblRegistrations"), QStringLiteral("0"));

        Click(main, "Command2");
        QCOMPARE(Text(main, "Command2"), QStringLiteral("Close Socket"));
        QCOMPARE(main.server().port(), port);
        peer.send(test::OptionsRequest(peer.port(), "open"), port);
        QCOMPARE(peer.receive(), test::OptionsAnswer(peer.port(), "open"));
        QVERIFY(!logText().contains("while-closed"));
        QCOMPARE(logText().count("Received 'OPTIONS'"), 1);
    }

    void bindFailureLeavesTheSocketToReopen()
    {
        test::HeldPort held;
        const std::string failure = "Cannot bind UDP port " + std::to_string(held.port()) +
                                    ": The bound address is already in use";
        frmMain& main = start(held.port());
        QCOMPARE(m_dialogs.asked, QStringList{QCoreApplication::applicationName() + ": " +
                                              QString::fromStdString(failure)});
        QCOMPARE(Text(main, "Command2"), QStringLiteral("Open Socket"));
        QCOMPARE(Text(main, "lblErrors"), QStringLiteral("1"));
        QVERIFY(!logWindow()->isVisible());
        QCOMPARE(logText().toStdString(), line("LOG_ERR", failure));

        Click(main, "Command2");
        QCOMPARE(m_dialogs.asked.size(), 2);
        QCOMPARE(Text(main, "Command2"), QStringLiteral("Open Socket"));
        held.release();
        Click(main, "Command2");
        QCOMPARE(Text(main, "Command2"), QStringLiteral("Close Socket"));
        QVERIFY(main.server().isOpen());
    }

    void logWindowComesWithTheFirstLineAndGoesWhenClosed()
    {
        frmMain& main = start();
        proxy().Log().WriteLog(Level::LOG_DEBUGV, "too verbose");
        QVERIFY(logWindow() == nullptr);
        proxy().Log().WriteLog(Level::LOG_DEBUG, "first");
        QPointer<frmLog> window = logWindow();
        QVERIFY(window != nullptr);
        QVERIFY(!window->isVisible());
        QCOMPARE(window->windowTitle(), QStringLiteral("Log Window"));
        QVERIFY(window->findChild<QRadioButton*>("opLogLvl(3)")->isChecked());
        QCOMPARE(logText().toStdString(), line("LOG_DEBUG", "first"));

        Click(main, "Command1");
        QVERIFY(window->isVisible());
        Click(main, "Command1");
        QCOMPARE(logWindow(), window.data());

        window->close();
        QVERIFY(logWindow() == nullptr);
        QTRY_VERIFY(window.isNull());
        proxy().Log().WriteLog(Level::LOG_INFO, "again");
        QVERIFY(!logWindow()->isVisible());
        QCOMPARE(logText().toStdString(), line("LOG_INFO", "again"));
    }

    void levelOptionsClearAndLayout()
    {
        start();
        proxy().Log().SetLogLevel(2);
        m_main->console().Open();
        frmLog& window = *logWindow();
        QVERIFY(window.findChild<QRadioButton*>("opLogLvl(2)")->isChecked());

        Click(window, "opLogLvl(1)");
        QCOMPARE(proxy().Log().LogLevel(), 1);
        proxy().Log().WriteLog(Level::LOG_INFO, "dropped");
        proxy().Log().WriteLog(Level::LOG_ERR, "kept");
        QCOMPARE(logText().toStdString(), line("LOG_ERR", "kept"));
        QCOMPARE(Text(*m_main, "lblErrors"), QStringLiteral("1"));
        Click(window, "opLogLvl(4)");
        QCOMPARE(proxy().Log().LogLevel(), 4);

        Click(window, "cmdClear");
        QCOMPARE(logText(), QByteArray());
        proxy().Log().WriteLog(Level::LOG_INFO, "fresh");
        QCOMPARE(logText().toStdString(), line("LOG_INFO", "fresh"));

        // The text area fills the window below the button strip, never with a negative height.
        const ByteTextEdit& txtLog = window.txtLog();
        QCOMPARE(window.size(), QSize(576, 404));
        QCOMPARE(txtLog.geometry(), QRect(0, 32, 576, 372));
        window.show();
        window.resize(400, 300);
        QTRY_COMPARE(txtLog.geometry(), QRect(0, 32, 400, 268));
        window.resize(400, 20);
        QTRY_COMPARE(txtLog.geometry(), QRect(0, 32, 400, 0));
        window.resize(500, 200);
        QTRY_COMPARE(txtLog.geometry(), QRect(0, 32, 500, 168));
        window.showMaximized();
        QTRY_VERIFY(window.size() != QSize(500, 200));
        QCOMPARE(txtLog.geometry(), QRect(0, 32, 500, 168));
    }

    void saveSequence()
    {
        start();
        proxy().Log().WriteLog(Level::LOG_INFO, "saved line");
        const QByteArray text = logText();
        QTemporaryDir dir;
        const QString name = dir.filePath("log.txt");
        // Clicks "Save To File" with these answers; the dialogs that came up.
        const auto save = [this](const QString& fileName, bool replace) {
            m_dialogs.asked.clear();
            m_dialogs.fileName = fileName;
            m_dialogs.replace = replace;
            Click(*logWindow(), "cmdSave");
            return m_dialogs.asked;
        };

        QCOMPARE(save(name, true), (QStringList{"save as", "saved"}));
        QCOMPARE(ReadFile(name), text);
        WriteFile(name, QByteArray(200, 'o'));
        QCOMPARE(save(name, false), (QStringList{"save as", "replace?"}));
        QCOMPARE(ReadFile(name), QByteArray(200, 'o'));
        QCOMPARE(save(name, true), (QStringList{"save as", "replace?", "saved"}));
        QCOMPARE(ReadFile(name), text);
        QCOMPARE(save("", true), QStringList{"save as"});

        for (const QString& bad : {dir.path(), dir.filePath("missing/log.txt")}) {
            const QStringList asked = save(bad, true);
            QCOMPARE(asked.size(), 2);
            QVERIFY2(asked[1].startsWith("Save Log: Cannot write the log to " + bad + ": "),
                     qPrintable(asked[1]));
        }
        QCOMPARE(logText(), text);
    }

    void dialogsCarryTheirCaptions()
    {
        const auto save = MakeSaveLogDialog(nullptr);
        QCOMPARE(save->windowTitle(), QStringLiteral("Save Log To File"));
        QCOMPARE(save->nameFilters(), QStringList{"Text Files (*.txt)"});
        QCOMPARE(save->acceptMode(), QFileDialog::AcceptSave);
        QVERIFY(save->testOption(QFileDialog::DontConfirmOverwrite));
        QVERIFY(save->defaultSuffix().isEmpty());

        const auto replace = MakeReplaceQuestion(nullptr);
        QCOMPARE(replace->text(), QStringLiteral("File exists! Replace?"));
        QCOMPARE(replace->windowTitle(), QStringLiteral("Save Log"));
        QCOMPARE(replace->icon(), QMessageBox::Question);
        QCOMPARE(replace->standardButtons(), QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(replace->defaultButton(), replace->button(QMessageBox::Yes));

        const auto saved = MakeSavedNotice(nullptr);
        QCOMPARE(saved->text(), QStringLiteral("Log Saved"));
        QCOMPARE(saved->windowTitle(), QCoreApplication::applicationName());
        QCOMPARE(saved->standardButtons(), QMessageBox::Ok);
    }

    void showRoutesTwiceGivesOneWindow()
    {
        start();
        test::LoopbackPeer alice, bob, carol;
        const auto registerAt = [this](const char* user, const test::LoopbackPeer& peer) {
            proxy().ReceiveDatagram(test::RegisterRequest(user, peer.port(), 60),
                                    {"", "127.0.0.1", peer.port()});
            return QByteArray(user) + " linked to sip:" + user +
                   "@127.0.0.1:" + QByteArray::number(peer.port()) + "\r\n";
        };
        QByteArray listing = registerAt("alice", alice);
        listing += registerAt("bob", bob);
        frmLog& window = *logWindow();
        Click(window, "cmdShowRoutes");
        QPointer<frmRoutes> routes = m_main->console().routesWindow();
        QVERIFY(routes != nullptr && routes->isVisible());
        QCOMPARE(routes->windowTitle(), QStringLiteral("Valid Routes"));
        QCOMPARE(routes->size(), QSize(603, 173));
        QCOMPARE(routes->txtRoutes().geometry(), QRect(4, 4, 593, 161));
        QCOMPARE(routes->txtRoutes().bytes(), listing);

        const QByteArray added = registerAt("carol", carol);
        Click(window, "cmdShowRoutes");
        QCOMPARE(m_main->console().routesWindow(), routes.data());
        QCOMPARE(routes->txtRoutes().bytes(), listing);

        routes->close();
        QTRY_VERIFY(routes.isNull());
        Click(window, "cmdShowRoutes");
        QCOMPARE(m_main->console().routesWindow()->txtRoutes().bytes(), listing + added);
    }

    void shutdownEndsEverything()
    {
        frmMain& main = start();
        main.show();
        m_main->console().showLogWindow();
        QSignalSpy shutdown(&main, &frmMain::shutdownRequested);
        Click(main, "cmdShutdown");
        QCOMPARE(shutdown.count(), 1);
        QVERIFY(!main.server().isOpen());
        QVERIFY(!main.findChild<QTimer*>("Timer1")->isActive());
        QVERIFY(!logWindow()->isVisible());
        QVERIFY(!main.isVisible());
    }
};

} // namespace tavrix

QTEST_MAIN(tavrix::WindowsTest)
#include "windows_test.moc"
