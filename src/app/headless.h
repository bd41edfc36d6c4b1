#pragma once

namespace tavrix {

struct Options;

// Runs the proxy without windows until SIGTERM or SIGINT, with the log on standard output (in
// the journal's form where asked or where that is the journal), and the metrics page when
// asked. SIGHUP rereads the configuration. Needs a QCoreApplication. Returns the exit status: 0
// after a signal, 1 when the UDP port cannot be bound.
int RunHeadless(const Options& options);

} // namespace tavrix
