#include "shell/desktop.h"

#include "console/operator_dialogs.h"
#include "shell/command_line.h"
#include "shell/headless.h"
#include "shell/main_window.h"
#include "shell/signal_pipe.h"
#include "shell/system_clock.h"

#include <QApplication>

namespace tavrix {

int RunDesktop(const Options& options)
{
    // Only "Shutdown" or closing the main window ends the program; the log and routes
    // windows come and go.
    QApplication::setQuitOnLastWindowClosed(false);

    SignalPipe signalPipe;
    SystemClock clock;
    MessageBoxDialogs dialogs;
    frmMain main(ToServerConfig(options), dialogs, clock);
    QObject::connect(&main, &frmMain::shutdownRequested, &main, [] { QCoreApplication::exit(0); });
    QObject::connect(&signalPipe, &SignalPipe::terminationRequested, &main, &QWidget::close);
    QObject::connect(&signalPipe, &SignalPipe::statisticsRequested, &main,
                     [&main] { WriteError(main.server().statisticsReport()); });

    main.show();
    return QApplication::exec();
}

} // namespace tavrix
