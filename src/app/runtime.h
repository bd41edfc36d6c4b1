#pragma once

#include "app/log_fan_out.h"
#include "app/metrics_server.h"
#include "app/options.h"
#include "app/signal_pipe.h"
#include "app/web_console.h"

#include <QObject>

#include <memory>
#include <string>

namespace tavrix {

class Server;

// Writes the text to standard error at once.
void PrintToStderr(const std::string& text);

// Everything the options put around a server, for the windows and headless alike: the users,
// the registrar store, the signals (SIGUSR1 prints the statistics and routes to standard error,
// SIGHUP rereads the configuration and the users file), the metrics page and the web console.
// The server, and log (the sink the server's proxy writes to), must outlive it.
class Runtime final : public QObject
{
    Q_OBJECT

public:
    // Gives the proxy its users and its store (registrations kept elsewhere are back before the
    // first datagram is read) and installs the signal handlers. Throws std::runtime_error when
    // users are asked for and no random source works.
    Runtime(const Options& options, Server& server, LogFanOut& log);
    ~Runtime() override;

    // Serves the metrics page and the web console where the options ask for them; a page that
    // cannot be served is logged, and the proxy serves on without it.
    void startPages();

signals:
    // SIGTERM or SIGINT arrived.
    void terminationRequested();
    // SIGHUP has been handled, or the web console changed the level: the log level may have
    // changed.
    void reloaded();

private:
    // The log level of the configuration file and the command line, read again; what changed
    // is logged at LOG_INFO, a file that cannot be taken at LOG_ERR (nothing changes then).
    void rereadConfiguration();

    const Options& m_options;
    Server& m_server;
    std::unique_ptr<QObject> m_store;
    SignalPipe m_signals;
    MetricsServer m_metrics;
    WebConsole m_console;
};

} // namespace tavrix
