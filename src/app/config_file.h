#pragma once

#include <QString>

namespace tavrix {

struct Options;

// Takes the settings of an INI file into options: "name = value" lines with the long option
// names of Settings(), a switch taking true or false. Returns "" or what is wrong, naming the
// file and the line: an unreadable file, a line that is not "name = value", an unknown name
// (also one under a [section]), a bad value. Stops at the first fault.
QString ReadConfigFile(const QString& path, Options& options);

} // namespace tavrix
