#include "gui/log_window_sink.h"

#include "core/proxy/route_table.h"
#include "gui/byte_text_edit.h"
#include "gui/log_window.h"
#include "gui/routes_window.h"

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

void LogWindowSink::Open()
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

std::size_t LogWindowSink::Length() const
{
    return m_logWindow != nullptr ? m_logWindow->txtLog().byteLength() : 0;
}

void LogWindowSink::RemoveFront(std::size_t count)
{
    if (m_logWindow != nullptr) {
        m_logWindow->txtLog().removeFrontBytes(count);
    }
}

void LogWindowSink::Append(std::string_view line)
{
    if (m_logWindow != nullptr) {
        m_logWindow->txtLog().appendBytes(line);
    }
}

void LogWindowSink::showLogWindow()
{
    Open();
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
