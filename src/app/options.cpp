#include "app/options.h"

#include "app/latin1.h"
#include "core/text/numeric.h"

#include <QFile>

#include <limits>

namespace tavrix {

namespace {

constexpr int kMaxSlots = 1000000;
constexpr int kMaxViewers = 64;
constexpr int kMaxConsoleCalls = 10000;

// A whole number from low to high written in decimal digits only.
std::optional<int> Number(const QString& text, int low, int high)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || text.isEmpty() || text.front() < u'0' || text.front() > u'9' || value < low ||
        value > high) {
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

// redis://HOST[:PORT][/DB], HOST a dotted IPv4 address: no name is ever looked up.
std::optional<RedisAddress> RedisUrl(const QString& text)
{
    const QString scheme = QStringLiteral("redis://");
    if (!text.startsWith(scheme)) {
        return std::nullopt;
    }
    QString rest = text.mid(scheme.size());
    RedisAddress address;
    if (const qsizetype slash = rest.indexOf(u'/'); slash >= 0) {
        const auto db = Number(rest.mid(slash + 1), 0, std::numeric_limits<int>::max());
        if (!db) {
            return std::nullopt;
        }
        address.db = *db;
        rest.truncate(slash);
    }
    if (const qsizetype colon = rest.indexOf(u':'); colon >= 0) {
        const auto port = Number(rest.mid(colon + 1), 1, 65535);
        if (!port) {
            return std::nullopt;
        }
        address.port = static_cast<std::uint16_t>(*port);
        rest.truncate(colon);
    }
    if (!IsDottedIPv4(rest)) {
        return std::nullopt;
    }
    address.host = Latin1(rest);
    return address;
}

// "ADDR:PORT": a dotted IPv4 address and a port from low to 65535; without ":PORT" the port is
// fallback, or the text is refused when there is none.
std::optional<std::pair<QString, int>> AddressAndPort(const QString& text, int low,
                                                      std::optional<int> fallback)
{
    const qsizetype colon = text.indexOf(u':');
    const QString address = colon < 0 ? text : text.left(colon);
    const auto port = colon < 0 ? fallback : Number(text.mid(colon + 1), low, 65535);
    if (!IsDottedIPv4(address) || !port) {
        return std::nullopt;
    }
    return std::pair(address, *port);
}

// "ADDR:PORT" with a dotted IPv4 address or a bracketed IPv6 one, the port from low to 65535;
// without ":PORT" the port is fallback, or the text is refused when there is none.
std::optional<std::pair<QHostAddress, quint16>> ListenAddress(const QString& text, int low,
                                                              std::optional<int> fallback)
{
    if (!text.startsWith(u'[')) {
        const auto endpoint = AddressAndPort(text, low, fallback);
        using Endpoint = std::pair<QHostAddress, quint16>;
        return endpoint ? std::optional(Endpoint(endpoint->first, endpoint->second)) : std::nullopt;
    }
    const qsizetype close = text.indexOf(u']');
    const QHostAddress address(text.mid(1, close - 1));
    const QString rest = text.mid(close + 1);
    const int port = rest.isEmpty()          ? fallback.value_or(-1)
                     : rest.startsWith(u':') ? Number(rest.mid(1), low, 65535).value_or(-1)
                                             : -1;
    if (close < 0 || address.protocol() != QAbstractSocket::IPv6Protocol || port < 0) {
        return std::nullopt;
    }
    return std::pair(address, static_cast<quint16>(port));
}

// A setting whose value is a number from low to high, stored by set.
Setting NumberSetting(const char* name, const char* valueName, QString help, int low, int high,
                      std::function<void(Options&, int)> set)
{
    return {name, valueName, std::move(help), [=](Options& options, const QString& text) {
                const auto value = Number(text, low, high);
                if (!value) {
                    return QStringLiteral("a number from %1 to %2").arg(low).arg(high);
                }
                set(options, *value);
                return QString();
            }};
}

// Where the proxy listens and how big and how verbose it is.
void AddProxySettings(std::vector<Setting>& settings)
{
    settings.push_back({"headless", nullptr,
                        QStringLiteral("Run without windows; the log goes to standard output."),
                        [](Options& options, const QString&) {
                            options.headless = true;
                            return QString();
                        }});
    settings.push_back(NumberSetting(
        "port", "N",
        QStringLiteral("Local UDP port (default %1; 0 picks a free one).").arg(kSipPort), 0, 65535,
        [](Options& options, int port) { options.server.port = static_cast<quint16>(port); }));
    settings.push_back(
        {"local-ip", "ADDR",
         QStringLiteral("Address written into Via and Record-Route (default: the first network "
                        "interface's)."),
         [](Options& options, const QString& text) {
             if (!IsDottedIPv4(text)) {
                 return QStringLiteral("a dotted IPv4 address");
             }
             options.server.proxy.LocalIP = Latin1(text);
             return QString();
         }});
    settings.push_back(
        {"default-route", "ADDR[:PORT]",
         QStringLiteral("Upstream for unregistered user names longer than six characters "
                        "(default %1).")
             .arg(QLatin1StringView(kDefaultRoute.data(), kDefaultRoute.size())),
         [](Options& options, const QString& text) {
             // An IPv6 address in brackets, as in a URI ("[2001:db8::1]:5060").
             const auto route = ListenAddress(text, 1, kSipPort);
             if (!route) {
                 return QStringLiteral("a dotted IPv4 address or an IPv6 one in brackets, "
                                       "optionally with :PORT (1 to 65535)");
             }
             const std::string host = Latin1(route->first.toString());
             options.server.proxy.DefaultRoute =
                 Cat(text.startsWith(u'[') ? Cat("[", host, "]") : host, ":", route->second);
             return QString();
         }});
    settings.push_back(NumberSetting(
        "log-level", "1-4",
        QStringLiteral("Start log level: 1 errors, 2 information, 3 debug (default), 4 verbose "
                       "debug."),
        1, 4, [](Options& options, int level) {
            options.server.proxy.LogLevel = static_cast<std::int16_t>(level);
        }));
    settings.push_back(NumberSetting(
        "max-calls", "N",
        QStringLiteral("Calls and registrations held at once (default %1).").arg(kCallSlots), 1,
        kMaxSlots, [](Options& options, int count) { options.server.proxy.MaxCalls = count; }));
    settings.push_back(NumberSetting(
        "max-routes", "N", QStringLiteral("Routes held at once (default %1).").arg(kRouteSlots), 1,
        kMaxSlots, [](Options& options, int count) { options.server.proxy.MaxRoutes = count; }));
}

// A WebSocket server's address, stored into the two fields.
Setting WebSocketSetting(const char* name, QString help, QHostAddress StreamConfig::*address,
                         quint16 StreamConfig::*port)
{
    return {name, "ADDR:PORT", std::move(help), [=](Options& options, const QString& text) {
                const auto endpoint = ListenAddress(text, 0, std::nullopt);
                if (!endpoint) {
                    return QStringLiteral("ADDR:PORT, ADDR a dotted IPv4 address or an IPv6 one "
                                          "in brackets, PORT 0 to 65535");
                }
                options.server.streams.*address = endpoint->first;
                options.server.streams.*port = endpoint->second;
                return QString();
            }};
}

// TCP, TLS, WebSocket and IPv6 beside UDP, and the connections they take.
void AddTransportSettings(std::vector<Setting>& settings)
{
    const auto file = [](QString StreamConfig::*field) {
        return [field](Options& options, const QString& text) {
            options.server.streams.*field = text;
            return text.isEmpty() ? QStringLiteral("a file name") : QString();
        };
    };
    settings.push_back({"tls-cert", "FILE",
                        QStringLiteral("PEM certificate (and chain) for TLS; with --tls-key, TLS "
                                       "is served on --tls-port (SIGHUP rereads both)."),
                        file(&StreamConfig::tlsCert)});
    settings.push_back({"tls-key", "FILE", QStringLiteral("PEM private key of --tls-cert."),
                        file(&StreamConfig::tlsKey)});
    settings.push_back(
        NumberSetting("tls-port", "N",
                      QStringLiteral("Local TLS port (default %1; 0 picks a free one).")
                          .arg(StreamConfig().tlsPort),
                      0, 65535, [](Options& options, int port) {
                          options.server.streams.tlsPort = static_cast<quint16>(port);
                      }));
    settings.push_back(WebSocketSetting(
        "ws",
        QStringLiteral("Serve SIP over WebSocket (browser phones) at ws://ADDR:PORT (default: "
                       "off; port 0 picks a free one)."),
        &StreamConfig::wsAddress, &StreamConfig::wsPort));
    settings.push_back(WebSocketSetting(
        "wss",
        QStringLiteral("Serve SIP over secure WebSocket at wss://ADDR:PORT, with the TLS files "
                       "(default: off)."),
        &StreamConfig::wssAddress, &StreamConfig::wssPort));
    settings.push_back(
        {"local-ip6", "ADDR",
         QStringLiteral("Also serve UDP, TCP and TLS on this IPv6 address (default: IPv4 only)."),
         [](Options& options, const QString& text) {
             const QHostAddress address(text);
             if (address.protocol() != QAbstractSocket::IPv6Protocol ||
                 !address.scopeId().isEmpty()) {
                 return QStringLiteral("an IPv6 address");
             }
             options.server.streams.ipv6 = address;
             return QString();
         }});
    settings.push_back(NumberSetting(
        "max-connections", "N",
        QStringLiteral("TCP, TLS and WebSocket connections open at once (default %1).")
            .arg(StreamConfig().maxConnections),
        1, kMaxSlots,
        [](Options& options, int count) { options.server.streams.maxConnections = count; }));
    settings.push_back(NumberSetting(
        "max-connections-per-source", "N",
        QStringLiteral("Connections one address may hold open at once (default %1).")
            .arg(StreamConfig().maxPerSource),
        1, kMaxSlots,
        [](Options& options, int count) { options.server.streams.maxPerSource = count; }));
}

// Who may register and call, and where registrations are kept.
void AddRegistrarSettings(std::vector<Setting>& settings)
{
    settings.push_back({"users", "FILE",
                        QStringLiteral("Digest users (Apache htdigest format): REGISTER and new "
                                       "calls must authenticate."),
                        [](Options& options, const QString& text) {
                            options.usersFile = text;
                            return QString();
                        }});
    settings.push_back({"realm", "TEXT",
                        QStringLiteral("Realm of the users (default: the users file's first "
                                       "line's)."),
                        [](Options& options, const QString& text) {
                            options.realm = text;
                            return QString();
                        }});
    settings.push_back(NumberSetting(
        "nat-keepalive", "SECONDS",
        QStringLiteral("Seconds between the OPTIONS sent to phones behind NAT to keep their "
                       "mapping open; three unanswered in a row end the registration (default "
                       "%1; 0 sends none).")
            .arg(ProxyConfig().NatKeepAlive),
        0, 3600, [](Options& options, int seconds) {
            options.server.proxy.NatKeepAlive = static_cast<std::int16_t>(seconds);
        }));
    settings.push_back(NumberSetting(
        "max-bindings-per-user", "N",
        QStringLiteral("With --users: registrations one user may hold at once (default %1).")
            .arg(ProxyConfig().MaxBindingsPerUser),
        1, kMaxSlots,
        [](Options& options, int count) { options.server.proxy.MaxBindingsPerUser = count; }));
    settings.push_back(NumberSetting(
        "max-calls-per-user", "N",
        QStringLiteral("With --users: calls one user may hold at once (default %1).")
            .arg(ProxyConfig().MaxCallsPerUser),
        1, kMaxSlots,
        [](Options& options, int count) { options.server.proxy.MaxCallsPerUser = count; }));
    settings.push_back({"state", "FILE",
                        QStringLiteral("Keep the registrations in this SQLite file, so that a "
                                       "restart finds them again."),
                        [](Options& options, const QString& text) {
                            if (text.isEmpty()) {
                                return QStringLiteral("a file name");
                            }
                            options.store.stateFile = QFile::encodeName(text).toStdString();
                            return QString();
                        }});
    settings.push_back(
        {"registrar", "URL",
         QStringLiteral("Share the registrations with other instances through Redis at "
                        "redis://HOST[:PORT][/DB] (HOST a dotted IPv4 address, PORT 6379 when "
                        "omitted)."),
         [](Options& options, const QString& text) {
             options.store.registrar = RedisUrl(text);
             return options.store.registrar ? QString()
                                            : QStringLiteral("redis://HOST[:PORT][/DB] with HOST "
                                                             "a dotted IPv4 address");
         }});
}

// The web console: where, for how many, what it keeps, who may change things there.
void AddConsoleSettings(std::vector<Setting>& settings)
{
    settings.push_back(
        {"console", "ADDR:PORT",
         QStringLiteral("Serve the web console at http://ADDR:PORT/, on exactly that address "
                        "(default: off; port 0 picks a free one; the same ADDR:PORT as --metrics "
                        "serves both)."),
         [](Options& options, const QString& text) {
             const auto endpoint = AddressAndPort(text, 0, std::nullopt);
             if (!endpoint) {
                 return QStringLiteral("a dotted IPv4 address with :PORT (0 to 65535)");
             }
             options.console.address = QHostAddress(endpoint->first);
             options.console.port = static_cast<quint16>(endpoint->second);
             return QString();
         }});
    settings.push_back(NumberSetting(
        "console-viewers", "N",
        QStringLiteral("Browsers that may watch the console at once (default %1).")
            .arg(ConsoleOptions().viewers),
        1, kMaxViewers, [](Options& options, int count) { options.console.viewers = count; }));
    settings.push_back(NumberSetting(
        "console-calls", "N",
        QStringLiteral("Last calls the console keeps as ladder diagrams (default %1).")
            .arg(ConsoleOptions().calls),
        1, kMaxConsoleCalls, [](Options& options, int count) { options.console.calls = count; }));
    settings.push_back(
        {"console-admins", "NAMES",
         QStringLiteral("Users of --users, separated by commas, who may open the console and "
                        "change the log level there."),
         [](Options& options, const QString& text) {
             options.console.admins.clear();
             for (const QString& name : text.split(u',', Qt::SkipEmptyParts)) {
                 options.console.admins.append(name.trimmed());
             }
             return options.console.admins.isEmpty() ? QStringLiteral("user names") : QString();
         }});
}

// What the program shows of itself: the metrics page, the form of the log.
void AddPageSettings(std::vector<Setting>& settings)
{
    settings.push_back(
        {"metrics", "ADDR:PORT",
         QStringLiteral("Serve Prometheus metrics at http://ADDR:PORT/metrics, on exactly that "
                        "address (default: off; port 0 picks a free one)."),
         [](Options& options, const QString& text) {
             const auto endpoint = AddressAndPort(text, 0, std::nullopt);
             if (!endpoint) {
                 return QStringLiteral("a dotted IPv4 address with :PORT (0 to 65535)");
             }
             options.metricsAddress = QHostAddress(endpoint->first);
             options.metricsPort = static_cast<quint16>(endpoint->second);
             return QString();
         }});
    settings.push_back(
        {"log-format", "FORMAT",
         QStringLiteral("Headless log on standard output: text (CR LF line ends) or journal "
                        "(priority prefixes, LF); default: journal when standard output is the "
                        "journal, else text."),
         [](Options& options, const QString& text) {
             if (text == u"text" || text == u"journal") {
                 options.logFormat = text == u"text" ? LogFormat::Text : LogFormat::Journal;
                 return QString();
             }
             return QStringLiteral("text or journal");
         }});
}

std::vector<Setting> MakeSettings()
{
    std::vector<Setting> settings;
    AddProxySettings(settings);
    AddTransportSettings(settings);
    AddRegistrarSettings(settings);
    AddPageSettings(settings);
    AddConsoleSettings(settings);
    return settings;
}

} // namespace

const std::vector<Setting>& Settings()
{
    static const std::vector<Setting> settings = MakeSettings();
    return settings;
}

} // namespace tavrix
