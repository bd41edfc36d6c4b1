#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <string>

namespace tavrix {

struct ServerConfig;

// What the command line asks for. Without arguments: the desktop program on port 5060.
struct Options
{
    bool headless = false;
    quint16 port = 5060;
    std::string localIp; // empty: the host's address, found at start-up
    std::string defaultRoute = "127.0.0.1:5060";
    std::int16_t logLevel = 3;
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

// The server's start values from the options; LocalIP is found here when not given.
ServerConfig ToServerConfig(const Options& options);

} // namespace tavrix
