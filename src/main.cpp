#include "app/command_line.h"
#include "app/headless.h"
#include "gui/desktop.h"

#include <QApplication>
#include <QCoreApplication>

#include <cstdio>
#include <exception>

int main(int argc, char* argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("Tavrix"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVRIX_VERSION));

    // Read before any application object exists: a bad argument is reported even where no
    // display could be opened.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    const tavrix::CommandLine commandLine = tavrix::ParseCommandLine(arguments);
    if (commandLine.exitStatus) {
        std::fputs(commandLine.out.toLocal8Bit().constData(), stdout);
        std::fputs(commandLine.err.toLocal8Bit().constData(), stderr);
        return *commandLine.exitStatus;
    }

    try {
        if (commandLine.options.headless) {
            // No widget code runs and no display is needed.
            QCoreApplication app(argc, argv);
            return tavrix::RunHeadless(commandLine.options);
        }
        QApplication app(argc, argv);
        return tavrix::RunDesktop(commandLine.options);
    } catch (const std::exception& error) {
        // What the program cannot start without.
        std::fprintf(stderr, "tavrix: %s\n", error.what());
        return 1;
    }
}
