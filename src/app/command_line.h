#pragma once

#include "app/server.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace tavrix {

// What the command line asks for. Without arguments: the desktop program on port 5060.
struct Options
{
    bool headless = false;
    ServerConfig server; // LocalIP empty unless --local-ip names one
};

// The outcome of reading the command line: options to run with, or an exit status with the
// text for standard output (help, version) or standard error (a bad argument).
struct CommandLine
{
    Options options;
    std::optional<int> exitStatus;
    QString out;
    QString err;
};

// Reads "tavrix [--headless] [--port N] [--local-ip ADDR] [--default-route ADDR[:PORT]]
// [--log-level 1-4] [--help] [--version]"; arguments[0] is the program. Needs no application
// object. Anything unknown or out of range: exit status 2 and a message naming it.
CommandLine ParseCommandLine(const QStringList& arguments);

} // namespace tavrix
