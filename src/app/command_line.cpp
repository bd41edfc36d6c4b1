#include "app/command_line.h"

#include "core/text/numeric.h"

#include <QCommandLineParser>

namespace tavrix {

namespace {

constexpr int kBadUsage = 2;

// A whole number from low to high written in decimal digits only.
std::optional<int> Number(const QString& text, int low, int high)
{
    if (text.isEmpty() || text.size() > 5) {
        return std::nullopt;
    }
    int value = 0;
    for (const QChar ch : text) {
        if (ch < u'0' || ch > u'9') {
            return std::nullopt;
        }
        value = value * 10 + (ch.unicode() - u'0');
    }
    if (value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

// A plain dotted quad, by the rule every send follows: what the proxy would refuse to send to
// is refused here, at start-up.
bool IsDottedIPv4(const QString& text)
{
    return ParseIPv4(Latin1(text)).has_value();
}

CommandLine Failure(const QString& message)
{
    CommandLine result;
    result.exitStatus = kBadUsage;
    result.err =
        QStringLiteral("tavrix: %1\nTry 'tavrix --help' for more information.\n").arg(message);
    return result;
}

QString BadValue(const QString& option, const QString& value, const char* expected)
{
    return QStringLiteral("invalid value '%1' for --%2: expected %3")
        .arg(value, option, QString::fromLatin1(expected));
}

} // namespace

CommandLine ParseCommandLine(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Tavrix, a stateful SIP proxy and registrar for UDP."));
    const QCommandLineOption headless(QStringLiteral("headless"),
                                      QStringLiteral("Run without windows; the log goes to "
                                                     "standard output."));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Local UDP port (default %1; 0 picks a free "
                                                 "one).")
                                      .arg(kSipPort),
                                  QStringLiteral("N"));
    const QCommandLineOption localIp(QStringLiteral("local-ip"),
                                     QStringLiteral("Address written into Via and Record-Route "
                                                    "(default: the first network interface's)."),
                                     QStringLiteral("ADDR"));
    const QCommandLineOption defaultRoute(
        QStringLiteral("default-route"),
        QStringLiteral("Upstream for unregistered user names longer than six characters "
                       "(default %1).")
            .arg(QLatin1StringView(kDefaultRoute.data(), kDefaultRoute.size())),
        QStringLiteral("ADDR[:PORT]"));
    const QCommandLineOption logLevel(
        QStringLiteral("log-level"),
        QStringLiteral("Start log level: 1 errors, 2 information, 3 debug (default), "
                       "4 verbose debug."),
        QStringLiteral("1-4"));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Show the version and exit."));
    parser.addOptions({headless, port, localIp, defaultRoute, logLevel, help, version});

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
        const QString help = parser.helpText();
        result.out = QStringLiteral("Usage: tavrix [options]") + help.mid(help.indexOf(u'\n'));
        return result;
    }
    if (parser.isSet(version)) {
        result.exitStatus = 0;
        result.out = QStringLiteral("Tavrix " TAVRIX_VERSION "\n");
        return result;
    }

    Options& options = result.options;
    options.server.proxy.LocalIP.clear(); // the host's address, found at start-up
    options.headless = parser.isSet(headless);
    if (parser.isSet(port)) {
        const auto value = Number(parser.value(port), 0, 65535);
        if (!value) {
            return Failure(
                BadValue(QStringLiteral("port"), parser.value(port), "a number from 0 to 65535"));
        }
        options.server.port = static_cast<quint16>(*value);
    }
    if (parser.isSet(localIp)) {
        if (!IsDottedIPv4(parser.value(localIp))) {
            return Failure(BadValue(QStringLiteral("local-ip"), parser.value(localIp),
                                    "a dotted IPv4 address"));
        }
        options.server.proxy.LocalIP = Latin1(parser.value(localIp));
    }
    if (parser.isSet(defaultRoute)) {
        const QString text = parser.value(defaultRoute);
        const qsizetype colon = text.indexOf(u':');
        const QString address = colon < 0 ? text : text.left(colon);
        const auto routePort =
            colon < 0 ? std::optional<int>(kSipPort) : Number(text.mid(colon + 1), 1, 65535);
        if (!IsDottedIPv4(address) || !routePort) {
            return Failure(BadValue(QStringLiteral("default-route"), text,
                                    "a dotted IPv4 address, optionally with :PORT (1 to 65535)"));
        }
        options.server.proxy.DefaultRoute = Latin1(address) + ":" + std::to_string(*routePort);
    }
    if (parser.isSet(logLevel)) {
        const auto value = Number(parser.value(logLevel), 1, 4);
        if (!value) {
            return Failure(BadValue(QStringLiteral("log-level"), parser.value(logLevel),
                                    "a number from 1 to 4"));
        }
        options.server.proxy.LogLevel = static_cast<std::int16_t>(*value);
    }
    return result;
}

} // namespace tavrix
