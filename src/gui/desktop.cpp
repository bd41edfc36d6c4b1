#include "gui/desktop.h"

#include "app/local_time.h"
#include "app/options.h"
#include "app/runtime.h"
#include "app/system_clock.h"
#include "gui/main_window.h"
#include "gui/operator_dialogs.h"

#include <QApplication>

namespace tavrix {

int RunDesktop(const Options& options)
{
    // Only "Shutdown" or closing the main window ends the program; the log and routes
    // windows come and go.
    QApplication::setQuitOnLastWindowClosed(false);

    SystemClock clock;
    LocalTimeText time;
    MessageBoxDialogs dialogs;
    frmMain main(options.server, dialogs, clock, time);
    Runtime runtime(options, main.server(), main.logOut());
    QObject::connect(&main, &frmMain::shutdownRequested, &main, [] { QCoreApplication::exit(0); });
    QObject::connect(&runtime, &Runtime::terminationRequested, &main, &QWidget::close);
    QObject::connect(&runtime, &Runtime::reloaded, &main, [&main] {
        if (frmLog* log = main.console().logWindow()) {
            log->showLogLevel();
        }
    });
    runtime.startPages();
    main.show();
    return QApplication::exec();
}

} // namespace tavrix
