#include "app/runtime.h"

#include "app/command_line.h"
#include "app/latin1.h"
#include "app/server.h"
#include "app/stores.h"
#include "app/users_file.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace tavrix {

void PrintToStderr(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

Runtime::Runtime(const Options& options, Server& server, LogFanOut& log)
    : m_options(options), m_server(server), m_metrics(server.proxy(), &server.streams().counts()),
      m_console(server.proxy(), log, options)
{
    if (!server.proxy().SetUsers(options.users)) {
        throw std::runtime_error("no working random source: digest nonces cannot be made (the "
                                 "system's random generator, through OpenSSL, failed)");
    }
    m_store = OpenStore(options.store, server.proxy());
    connect(&m_signals, &SignalPipe::statisticsRequested, this,
            [this] { PrintToStderr(m_server.statisticsReport()); });
    connect(&m_signals, &SignalPipe::reloadRequested, this, [this] {
        rereadConfiguration();
        ReloadUsers(m_server.proxy(), m_options.usersFile, m_options.realm);
        if (!m_options.server.streams.tlsCert.isEmpty() && m_server.streams().reloadTls()) {
            m_server.proxy().Log().WriteLog(Level::Info, "TLS files reread from ",
                                            Latin1(m_options.server.streams.tlsCert));
        }
        emit reloaded();
    });
    connect(&m_signals, &SignalPipe::terminationRequested, this, &Runtime::terminationRequested);
    connect(&m_console, &WebConsole::logLevelChanged, this, &Runtime::reloaded);
}

Runtime::~Runtime() = default;

void Runtime::startPages()
{
    if (!m_options.metricsAddress.isNull()) {
        m_metrics.listen(m_options.metricsAddress, m_options.metricsPort);
    }
    m_console.start(m_metrics);
}

void Runtime::rereadConfiguration()
{
    Logger& log = m_server.proxy().Log();
    if (m_options.configFile.isEmpty()) {
        log.WriteLog(Level::Info, "SIGHUP: no configuration file to reread (no --config)");
        return;
    }
    const CommandLine reread = ParseCommandLine(m_options.arguments);
    if (reread.exitStatus) {
        // The first line of the message, without the program's name before it.
        const QString reason = reread.err.section(u'\n', 0, 0).section(u' ', 1);
        log.WriteLog(Level::Err, "Configuration not reread: ", Latin1(reason));
        return;
    }
    const std::int16_t from = log.LogLevel();
    const std::int16_t to = reread.options.server.proxy.LogLevel;
    if (from == to) {
        log.WriteLog(Level::Info, "Configuration reread from ", Latin1(m_options.configFile),
                     ": log level stays ", to);
        return;
    }
    // Written at the more verbose of the two levels, so the change shows either way.
    log.SetLogLevel(std::max(from, to));
    log.WriteLog(Level::Info, "Log level changed from ", from, " to ", to);
    log.SetLogLevel(to);
}

} // namespace tavrix
