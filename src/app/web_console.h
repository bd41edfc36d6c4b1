#pragma once

#include "app/command_line.h"
#include "app/console_admins.h"
#include "app/local_time.h"

#include <QHttpServerResponse>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <memory>
#include <optional>
#include <vector>

class QHttpServer;
class QHttpServerRequest;
class QTcpSocket;

namespace tavrix {

class ConsoleFeed;
class LogFanOut;
class MetricsServer;
class Proxy;

// The operator's windows in a browser: one page (built into the program) with the six figures,
// the log with its level, the routes, a chart of call rates over the last hour and the last
// calls as ladder diagrams, kept live by server-sent events from /events. Runs on the proxy's
// thread. At most --console-viewers event streams are open at once; a viewer that reads too
// slowly misses log lines (and is told how many), and one that stops reading is cut off. With
// users every request needs the credentials of an administrator, and only an administrator
// may change the log level; each change is logged at LOG_INFO with the user's name.
class WebConsole final : public QObject
{
    Q_OBJECT

public:
    // Takes nothing from the proxy until started.
    WebConsole(Proxy& proxy, LogFanOut& log, const Options& options, QObject* parent = nullptr);
    ~WebConsole() override;

    // Serves the console where --console says; on the metrics page's server when --metrics
    // names the same address and port. Nothing without --console. Logs at LOG_INFO where the
    // page is, or at LOG_ERR why it cannot be served. True when serving.
    bool start(MetricsServer& metrics);
    // The port served on; 0 when none.
    quint16 port() const { return m_port; }

signals:
    // An administrator changed the log level on the page.
    void logLevelChanged();

private:
    struct Viewer
    {
        QPointer<QTcpSocket> socket;
        std::size_t dropped = 0; // log lines it missed since it was last sent some
    };

    void addRoutes(QHttpServer& http);
    // The refusal of a request (wrong Host, missing or wrong credentials), or none; user gets
    // the administrator's name.
    std::optional<QHttpServerResponse> refusal(const QHttpServerRequest& request, QString& user);
    QHttpServerResponse asset(const QHttpServerRequest& request, const QString& name,
                              const QByteArray& type);
    void openStream(const QHttpServerRequest& request, QHttpServerResponder&& responder);
    QHttpServerResponse callLadder(const QHttpServerRequest& request);
    QHttpServerResponse changeLevel(const QHttpServerRequest& request);
    // Sends what changed to every viewer; forgets viewers that went away.
    void flush();

    Proxy& m_proxy;
    LogFanOut& m_log;
    ConsoleOptions m_options;
    QHostAddress m_metricsAddress;
    quint16 m_metricsPort;
    ConsoleAdmins m_admins;
    LocalTimeText m_time;
    std::unique_ptr<ConsoleFeed> m_feed;
    std::unique_ptr<QHttpServer> m_ownHttp; // unless the metrics page's server is shared
    QTimer m_tick;
    QTimer m_flush;
    std::vector<Viewer> m_viewers;
    quint16 m_port = 0;
};

} // namespace tavrix
