#pragma once

namespace tavrix {

struct Options;

// Runs the desktop program until "Shutdown" (or SIGTERM, SIGINT). Needs a QApplication.
int RunDesktop(const Options& options);

} // namespace tavrix
