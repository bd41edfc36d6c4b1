#include "gui/log_window_sink.h"

#include "core/proxy/route_table.h"
#include "gui/byte_text_edit.h"
#include "gui/log_window.h"
#include "gui/routes_window.h"

#include <algorithm>

namespace tavrix {

namespace {

void BringForward(QWidget& window)
{
    window.show();
    window.raise();
    window.activateWindow();
}

} // namespace

void LogWindowSink::attach(Logger& log, const RouteTable& routes)
{
    m_log = &log;
    m_routes = &routes;
}

void LogWindowSink::openLogWindow()
{
    if (m_logWindow != nullptr || m_log == nullptr) {
        return;
    }
    m_logWindow = new frmLog(*m_log, m_dialogs);
    // A closed window is only deleted later; from the close on, its text is no longer the log.
    QObject::connect(m_logWindow, &frmLog::closed, m_logWindow, [this] { m_logWindow = nullptr; });
    QObject::connect(m_logWindow, &frmLog::showRoutesRequested, m_logWindow,
                     [this] { showRoutes(); });
}

void LogWindowSink::Write(const LogRecord& record)
{
    openLogWindow();
    if (m_logWindow == nullptr) {
        return;
    }
    const std::string line = LogLine(record, m_time.Text(record.time));
    ByteTextEdit& text = m_logWindow->txtLog();
    const std::size_t length = text.byteLength();
    if (length > kLogCap) {
        text.removeFrontBytes(std::min(line.size(), length));
    }
    text.appendBytes(line);
}

void LogWindowSink::showLogWindow()
{
    openLogWindow();
    if (m_logWindow != nullptr) {
        BringForward(*m_logWindow);
    }
}

void LogWindowSink::showRoutes()
{
    if (m_routesWindow == nullptr && m_routes != nullptr) {
        m_routesWindow = new frmRoutes(m_routes->Listing());
    }
    if (m_routesWindow != nullptr) {
        BringForward(*m_routesWindow);
    }
}

void LogWindowSink::hideWindows()
{
    if (m_logWindow != nullptr) {
        m_logWindow->hide();
    }
    if (m_routesWindow != nullptr) {
        m_routesWindow->hide();
    }
}

void LogWindowSink::closeWindows()
{
    delete m_logWindow;
    delete m_routesWindow;
}

} // namespace tavrix
