#pragma once

#include <QString>

namespace tavrix {

class Logger;
struct Options;

// Takes the settings of an INI file into options: "name = value" lines with the long option
// names of Settings(), a switch taking true or false. Returns "" or what is wrong, naming the
// file and the line: an unreadable file, a line that is not "name = value", an unknown name
// (also one under a [section]), a bad value. Stops at the first fault.
QString ReadConfigFile(const QString& path, Options& options);

// Reads the configuration file and the command line of options again and applies what can
// change while running: the log level. Logs at LOG_INFO what changed, or that there is no file
// to read; at LOG_ERR why the file was not taken, and nothing changes then.
void RereadConfiguration(Logger& log, const Options& options);

} // namespace tavrix
