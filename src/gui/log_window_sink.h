#pragma once

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

// The log text as the log window holds it. The window comes and goes: the first line after
// it was closed creates it again, hidden and empty. Also keeps the one routes window.
class LogWindowSink final : public LogSink
{
public:
    explicit LogWindowSink(OperatorDialogs& dialogs) : m_dialogs(dialogs) {}
    LogWindowSink(const LogWindowSink&) = delete;
    LogWindowSink& operator=(const LogWindowSink&) = delete;
    ~LogWindowSink() override { closeWindows(); }

    // The logger whose level the window's options set and the table "Show Routes" lists;
    // needed before the first Open().
    void attach(Logger& log, const RouteTable& routes);

    void Open() override;
    std::size_t Length() const override;
    void RemoveFront(std::size_t count) override;
    void Append(std::string_view line) override;

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
    OperatorDialogs& m_dialogs;
    Logger* m_log = nullptr;
    const RouteTable* m_routes = nullptr;
    QPointer<frmLog> m_logWindow;
    QPointer<frmRoutes> m_routesWindow;
};

} // namespace tavrix
