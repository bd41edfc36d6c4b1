#pragma once

#include "app/log_fan_out.h"
#include "app/server.h"
#include "core/log/stats.h"
#include "gui/log_window_sink.h"

#include <QWidget>

#include <string_view>

class QLabel;
class QPushButton;

namespace tavrix {

class OperatorDialogs;

// The main window: the six statistics, "Log Window", the socket toggle Command2 and
// "Shutdown". It owns the server, the log window and the routes window. Closing it by its
// title bar is the same as "Shutdown".
class frmMain final : public QWidget, public StatsDisplay
{
    Q_OBJECT

public:
    // The load step: caption, server with its start values, bind (a failure is logged and
    // shown, and leaves the socket closed), centring.
    frmMain(const ServerConfig& config, OperatorDialogs& dialogs, Clock& clock, TimeFormat& time,
            QWidget* parent = nullptr);
    ~frmMain() override;

    Server& server() { return m_server; }
    LogWindowSink& console() { return m_console; }
    // The proxy's sink: the log window, and whatever else is added (the web console).
    LogFanOut& logOut() { return m_logOut; }

    void ShowCompletedCalls(std::string_view text) override;
    void ShowLastRoute(std::string_view text) override;
    void ShowErrors(std::string_view text) override;
    void ShowFailedCalls(std::string_view text) override;
    void ShowCallAttempts(std::string_view text) override;
    void ShowRegistrations(std::string_view text) override;

signals:
    // "Shutdown" was done: socket closed, timer stopped, windows hidden; the program should end.
    void shutdownRequested();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void Command1_Click();
    void Command2_Click();
    void cmdShutdown_Click();
    // Opens the socket, telling the operator why when it fails.
    bool openSocket();

    OperatorDialogs& m_dialogs;
    LogWindowSink m_console;
    LogFanOut m_logOut{m_console};
    Server m_server;
    QLabel* m_lblRegistrations = nullptr;
    QLabel* m_lblCallAttempts = nullptr;
    QLabel* m_lblFailedCalls = nullptr;
    QLabel* m_lblCompletedCalls = nullptr;
    QLabel* m_lblErrors = nullptr;
    QLabel* m_lblLastRoute = nullptr;
    QPushButton* m_command2 = nullptr;
    bool m_shutDown = false;
};

} // namespace tavrix
