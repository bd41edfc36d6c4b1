#include "app/command_line.h"

#include "app/config_file.h"
#include "app/latin1.h"
#include "app/tls_files.h"
#include "app/users_file.h"

#include <QCommandLineParser>
#include <QFile>

#include <limits>

namespace tavrix {

namespace {

constexpr int kBadUsage = 2;

CommandLine Failure(const QString& message)
{
    CommandLine result;
    result.exitStatus = kBadUsage;
    result.err =
        QStringLiteral("tavrix: %1\nTry 'tavrix --help' for more information.\n").arg(message);
    return result;
}

// The settings of the command line over those of the file; what was wrong, or "".
QString ApplySettings(const QCommandLineParser& parser,
                      const std::vector<QCommandLineOption>& options, Options& into)
{
    for (std::size_t i = 0; i < options.size(); ++i) {
        if (!parser.isSet(options[i])) {
            continue;
        }
        const QString value = parser.value(options[i]);
        const QString expected = Settings()[i].apply(into, value);
        if (!expected.isEmpty()) {
            return QStringLiteral("invalid value '%1' for --%2: expected %3")
                .arg(value, QString::fromLatin1(Settings()[i].name), expected);
        }
    }
    return {};
}

// With users, the console is for the administrators the settings name, each a user of the
// file; without users there is nobody to name.
QString CheckConsoleAdmins(const Options& options)
{
    const QStringList& admins = options.console.admins;
    if (!options.users) {
        return admins.isEmpty() ? QString()
                                : QStringLiteral("console-admins needs --users to check them");
    }
    if (!options.console.address.isNull() && admins.isEmpty()) {
        return QStringLiteral("--console with --users needs console-admins, the users who may "
                              "open it");
    }
    for (const QString& name : admins) {
        if (!options.users->Ha1.contains(Latin1(name))) {
            return QStringLiteral("console-admins: '%1' is not a user of %2")
                .arg(name, options.usersFile);
        }
    }
    return {};
}

// The TLS files, both or neither, taken once here so a bad one stops the start.
QString CheckTls(const StreamConfig& streams)
{
    if (streams.tlsCert.isEmpty() != streams.tlsKey.isEmpty()) {
        return QStringLiteral("--tls-cert and --tls-key go together");
    }
    if (streams.tlsCert.isEmpty()) {
        return streams.wssAddress.isNull() ? QString()
                                           : QStringLiteral("--wss needs --tls-cert and --tls-key");
    }
    return CheckTlsFiles(streams.tlsCert, streams.tlsKey);
}

// What the settings ask for together: stores that exclude each other, the users file read,
// the console's administrators.
QString CheckTogether(Options& options)
{
    if (!options.store.stateFile.empty() && options.store.registrar) {
        // Redis outlives a restart already; a file beside it would only disagree with it.
        return QStringLiteral("--state and --registrar cannot be used together");
    }
    if (!options.usersFile.isEmpty()) {
        auto users = ReadUsersFile(options.usersFile, options.realm);
        if (const QString* error = std::get_if<QString>(&users)) {
            return *error;
        }
        options.users = std::get<Users>(std::move(users));
    }
    if (const QString error = CheckTls(options.server.streams); !error.isEmpty()) {
        return error;
    }
    return CheckConsoleAdmins(options);
}

} // namespace

CommandLine ParseCommandLine(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Tavrix, a stateful SIP proxy and registrar for UDP."));
    std::vector<QCommandLineOption> options;
    for (const Setting& setting : Settings()) {
        options.emplace_back(QString::fromLatin1(setting.name), setting.help,
                             setting.valueName ? QString::fromLatin1(setting.valueName)
                                               : QString());
    }
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Show the version and exit."));
    const QCommandLineOption config(
        QStringLiteral("config"),
        QStringLiteral("Read settings from FILE first: lines \"name = value\" with the long "
                       "option names (a switch takes true or false)."),
        QStringLiteral("FILE"));
    parser.addOptions(QList<QCommandLineOption>(options.begin(), options.end())
                      << config << help << version);

    if (!parser.parse(arguments)) {
        return Failure(parser.errorText());
    }
    if (!parser.positionalArguments().isEmpty()) {
        return Failure(
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    }
    CommandLine result;
    if (parser.isSet(help)) {
        result.exitStatus = 0;
        // The parser names the running executable, or none before the application exists.
        const QString text = parser.helpText();
        result.out = QStringLiteral("Usage: tavrix [options]") + text.mid(text.indexOf(u'\n'));
        return result;
    }
    if (parser.isSet(version)) {
        result.exitStatus = 0;
        result.out = QStringLiteral("Tavrix " TAVRIX_VERSION "\n");
        return result;
    }
    result.options.server.proxy.LocalIP.clear(); // the host's address, found at start-up
    result.options.arguments = arguments;
    if (parser.isSet(config)) {
        result.options.configFile = parser.value(config);
        const QString error = ReadConfigFile(result.options.configFile, result.options);
        if (!error.isEmpty()) {
            return Failure(error);
        }
    }
    if (const QString error = ApplySettings(parser, options, result.options); !error.isEmpty()) {
        return Failure(error);
    }
    if (const QString error = CheckTogether(result.options); !error.isEmpty()) {
        return Failure(error);
    }
    return result;
}

} // namespace tavrix
