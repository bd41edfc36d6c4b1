#pragma once

#include "app/options.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace tavrix {

// The outcome of reading the command line: options to run with, or an exit status with the
// text for standard output (help, version) or standard error (a bad argument).
struct CommandLine
{
    Options options;
    std::optional<int> exitStatus;
    QString out;
    QString err;
};

// Reads "tavrix [options]"; arguments[0] is the program. Needs no application object. The
// settings of --config FILE come first, those of the command line over them. Anything unknown
// or out of range, here or in the file: exit status 2 and a message naming it (and the file's
// line).
CommandLine ParseCommandLine(const QStringList& arguments);

} // namespace tavrix
