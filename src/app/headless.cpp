#include "app/headless.h"

#include "app/command_line.h"
#include "app/config_file.h"
#include "app/journal_log_sink.h"
#include "app/log_fan_out.h"
#include "app/metrics_server.h"
#include "app/server.h"
#include "app/signal_pipe.h"
#include "app/stdout_log_sink.h"
#include "app/stores.h"
#include "app/system_clock.h"
#include "app/users_file.h"
#include "app/web_console.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <string>

namespace tavrix {

void WriteError(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

int RunHeadless(const Options& options)
{
    // A reader of standard output that goes away must not end the server.
    std::signal(SIGPIPE, SIG_IGN);

    SystemClock clock;
    LocalTimeText time;
    StreamLogSink text(stdout, time);
    JournalLogSink journal(stdout, time);
    const bool toJournal = options.logFormat == LogFormat::Journal ||
                           (options.logFormat == LogFormat::Automatic && StdoutIsJournal());
    NullStatsDisplay display;
    LogFanOut log(toJournal ? static_cast<LogSink&>(journal) : text);
    Server server(log, display, clock, options.server);
    server.proxy().SetUsers(options.users);
    // Registrations kept elsewhere are back before the first datagram is read.
    const std::unique_ptr<QObject> store = OpenStore(options.store, server.proxy());
    // Handled from before the program says it is ready, so no early signal finds the default.
    SignalPipe signalPipe;
    QObject::connect(&signalPipe, &SignalPipe::statisticsRequested, &server,
                     [&server] { WriteError(server.statisticsReport()); });
    QObject::connect(&signalPipe, &SignalPipe::reloadRequested, &server, [&] {
        RereadConfiguration(server.proxy().Log(), options);
        ReloadUsers(server.proxy(), options.usersFile, options.realm);
    });
    QObject::connect(&signalPipe, &SignalPipe::terminationRequested, &server, [&server] {
        server.closeSocket();
        QCoreApplication::exit(0);
    });

    if (!server.openSocket()) {
        WriteError("tavrix: cannot bind UDP port " + std::to_string(server.port()) + ": " +
                   Latin1(server.lastError()) + "\n");
        return 1;
    }
    WriteError("Tavrix " TAVRIX_VERSION " listening on UDP port " + std::to_string(server.port()) +
               ", LocalIP " + server.proxy().LocalIP() + "\n");
    // A page that cannot be served is logged; the proxy serves on without it.
    MetricsServer metrics(server.proxy());
    if (!options.metricsAddress.isNull()) {
        metrics.listen(options.metricsAddress, options.metricsPort);
    }
    WebConsole console(server.proxy(), log, options);
    console.start(metrics);

    return QCoreApplication::exec();
}

} // namespace tavrix
