#include "app/headless.h"

#include "app/journal_log_sink.h"
#include "app/latin1.h"
#include "app/local_time.h"
#include "app/log_fan_out.h"
#include "app/options.h"
#include "app/runtime.h"
#include "app/server.h"
#include "app/stdout_log_sink.h"
#include "app/system_clock.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <string>

namespace tavrix {

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
    // Handled from before the program says it is ready, so no early signal finds the default.
    Runtime runtime(options, server, log);
    QObject::connect(&runtime, &Runtime::terminationRequested, &server, [&server] {
        server.closeSocket();
        QCoreApplication::exit(0);
    });

    if (!server.openSocket()) {
        PrintToStderr("tavrix: cannot bind UDP port " + std::to_string(server.port()) + ": " +
                      Latin1(server.lastError()) + "\n");
        return 1;
    }
    PrintToStderr("Tavrix " TAVRIX_VERSION " listening on UDP port " +
                  std::to_string(server.port()) + ", LocalIP " + server.proxy().Self().IP + "\n");
    for (const std::string& listener : server.listening()) {
        PrintToStderr("Listening on " + listener + "\n");
    }
    runtime.startPages();
    return QCoreApplication::exec();
}

} // namespace tavrix
