#pragma once

#include "app/server.h"
#include "app/stores.h"
#include "core/proxy/digest.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

namespace tavrix {

// How the headless program writes its log to standard output.
enum class LogFormat
{
    Automatic, // the journal's form when standard output is the journal, else plain text
    Text,      // the log text byte for byte, CR LF line ends
    Journal    // each row with the journal's priority prefix, LF line ends
};

// The web console: where it is served, how many may watch, how many calls it keeps, and who
// may change things there.
struct ConsoleOptions
{
    QHostAddress address; // null: no console
    quint16 port = 0;     // 0: a free port the system picks
    int viewers = 8;      // event streams open at once
    int calls = 200;      // calls kept for the ladder diagrams
    QStringList admins;   // users of the users file who may log in
};

// What the command line and the configuration file ask for. Without either: the desktop
// program on port 5060.
struct Options
{
    bool headless = false;
    ServerConfig server;         // LocalIP empty unless --local-ip names one
    QHostAddress metricsAddress; // null: no metrics page
    quint16 metricsPort = 0;     // 0: a free port the system picks
    LogFormat logFormat = LogFormat::Automatic;
    QString configFile;    // empty: none
    QStringList arguments; // as given, to be read again when the file is reread
    QString usersFile;     // digest users (htdigest); empty: nobody is asked for credentials
    QString realm;         // empty: the realm of the users file's first line
    std::optional<Users> users;
    StoreConfig store; // nothing kept beyond memory unless --state or --registrar names it
    ConsoleOptions console;
};

// One setting: its long option name, the name of its value (none for a switch), its help, and
// how a value is taken into the options: an empty text, or what was expected instead.
struct Setting
{
    const char* name;
    const char* valueName;
    QString help;
    std::function<QString(Options&, const QString&)> apply;
};

// Every setting, in the order --help lists them.
const std::vector<Setting>& Settings();

} // namespace tavrix
