#pragma once

#include "app/local_time.h"
#include "core/log/log_sink.h"
#include "gui/log_window.h"
#include "gui/routes_window.h"

#include <QPointer>

#include <cstddef>
#include <string_view>

namespace tavrix {

class Logger;
class OperatorDialogs;
class RouteTable;

// The most characters the log text keeps growing to: past it, every line written removes as
// many characters from the front as it adds.
inline constexpr std::size_t kLogCap = 30000;

// The log text as the log window holds it. The window comes and goes: the first line after
// it was closed creates it again, hidden and empty. Also keeps the one routes window.
class LogWindowSink final : public LogSink
{
public:
    LogWindowSink(OperatorDialogs& dialogs, TimeFormat& time) : m_dialogs(dialogs), m_time(time) {}
    LogWindowSink(const LogWindowSink&) = delete;
    LogWindowSink& operator=(const LogWindowSink&) = delete;
    ~LogWindowSink() override { closeWindows(); }

    // The logger whose level the window's options set and the table "Show Routes" lists;
    // needed before the first line.
    void attach(Logger& log, const RouteTable& routes);

    // Appends the line to the log text, creating the window hidden when it is not there. Once
    // the text is longer than kLogCap, removes as many leading characters as the line adds
    // (whole lines or not; a line longer than the whole text leaves the line alone), so what
    // the operator typed into the text counts and stays until it is pushed out.
    void Write(const LogRecord& record) override;

    // Shows the log window, creating it first when it does not exist.
    void showLogWindow();
    // Shows the routes window with the table as it stands now; an open one is only raised.
    void showRoutes();
    // Hides both windows; they are destroyed with this object. Safe while one of them is
    // waiting in a modal dialog, which a destruction would not be.
    void hideWindows();
    // Destroys both windows at once.
    void closeWindows();

    frmLog* logWindow() const { return m_logWindow; }
    frmRoutes* routesWindow() const { return m_routesWindow; }

private:
    // Creates the log window, hidden, unless it exists.
    void openLogWindow();

    OperatorDialogs& m_dialogs;
    TimeFormat& m_time;
    Logger* m_log = nullptr;
    const RouteTable* m_routes = nullptr;
    QPointer<frmLog> m_logWindow;
    QPointer<frmRoutes> m_routesWindow;
};

} // namespace tavrix
