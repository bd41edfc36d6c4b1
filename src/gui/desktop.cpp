#include "gui/desktop.h"

#include "app/command_line.h"
#include "app/config_file.h"
#include "app/headless.h"
#include "app/local_time.h"
#include "app/metrics_server.h"
#include "app/signal_pipe.h"
#include "app/stores.h"
#include "app/system_clock.h"
#include "app/users_file.h"
#include "app/web_console.h"
#include "gui/main_window.h"
#include "gui/operator_dialogs.h"

#include <QApplication>

namespace tavrix {

int RunDesktop(const Options& options)
{
    // Only "Shutdown" or closing the main window ends the program; the log and routes
    // windows come and go.
    QApplication::setQuitOnLastWindowClosed(false);

    SignalPipe signalPipe;
    SystemClock clock;
    LocalTimeText time;
    MessageBoxDialogs dialogs;
    frmMain main(options.server, dialogs, clock, time);
    main.server().proxy().SetUsers(options.users);
    const std::unique_ptr<QObject> store = OpenStore(options.store, main.server().proxy());
    QObject::connect(&main, &frmMain::shutdownRequested, &main, [] { QCoreApplication::exit(0); });
    QObject::connect(&signalPipe, &SignalPipe::terminationRequested, &main, &QWidget::close);
    QObject::connect(&signalPipe, &SignalPipe::statisticsRequested, &main,
                     [&main] { WriteError(main.server().statisticsReport()); });
    QObject::connect(&signalPipe, &SignalPipe::reloadRequested, &main, [&main, &options] {
        RereadConfiguration(main.server().proxy().Log(), options);
        ReloadUsers(main.server().proxy(), options.usersFile, options.realm);
        if (frmLog* log = main.console().logWindow()) {
            log->showLogLevel();
        }
    });
    MetricsServer metrics(main.server().proxy());
    if (!options.metricsAddress.isNull()) {
        metrics.listen(options.metricsAddress, options.metricsPort);
    }
    WebConsole console(main.server().proxy(), main.logOut(), options);
    console.start(metrics);
    QObject::connect(&console, &WebConsole::logLevelChanged, &main, [&main] {
        if (frmLog* log = main.console().logWindow()) {
            log->showLogLevel();
        }
    });

    main.show();
    return QApplication::exec();
}

} // namespace tavrix
