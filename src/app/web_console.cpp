#include "app/web_console.h"

#include "app/console_feed.h"
#include "app/latin1.h"
#include "app/log_fan_out.h"
#include "app/metrics_server.h"
#include "app/server.h"
#include "core/proxy/proxy.h"

#include <QFile>
#include <QHttpServer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>

namespace tavrix {

namespace {

using Status = QHttpServerResponder::StatusCode;

constexpr int kTickMs = 1000;
constexpr int kFlushMs = 250;
// Bytes waiting for a viewer beyond which it misses log lines, and beyond which it is cut off
// (its browser reconnects and starts afresh).
constexpr qint64 kSlowViewer = 256 * 1024;
constexpr qint64 kStuckViewer = 8 * 1024 * 1024;

// The page may load only its own script and style and talk only to this server.
constexpr char kPolicy[] = "default-src 'none'; script-src 'self'; style-src 'self'; "
                           "img-src 'self'; connect-src 'self'; base-uri 'none'; "
                           "form-action 'none'; frame-ancestors 'none'";

QHttpServerResponse Secured(QHttpServerResponse response)
{
    response.addHeader("Content-Security-Policy", kPolicy);
    response.addHeader("X-Content-Type-Options", "nosniff");
    response.addHeader("Referrer-Policy", "no-referrer");
    response.addHeader("Cache-Control", "no-store");
    return response;
}

QHttpServerResponse Text(const QByteArray& text, Status status)
{
    return Secured(QHttpServerResponse("text/plain; charset=utf-8", text + "\n", status));
}

// A header's value, its name in any case.
QByteArray Header(const QHttpServerRequest& request, const QByteArray& name)
{
    for (const auto& [key, value] : request.headers()) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return {};
}

// Whether the Host names this machine by address or as localhost. A page of another name that
// resolves here (DNS rebinding) could otherwise read the console from the operator's browser.
bool HostServed(QByteArray host)
{
    if (host.startsWith('[')) {
        host = host.mid(1, host.indexOf(']') - 1);
    } else if (const qsizetype colon = host.lastIndexOf(':'); colon >= 0) {
        host.truncate(colon);
    }
    return host.compare("localhost", Qt::CaseInsensitive) == 0 ||
           !QHostAddress(QString::fromLatin1(host)).isNull();
}

QByteArray Bytes(const std::string& text)
{
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

WebConsole::WebConsole(Proxy& proxy, LogFanOut& log, const Options& options, QObject* parent)
    : QObject(parent), m_proxy(proxy), m_log(log), m_options(options.console),
      m_metricsAddress(options.metricsAddress), m_metricsPort(options.metricsPort),
      m_admins(options.usersFile, options.realm, options.console.admins, options.users)
{}

WebConsole::~WebConsole()
{
    if (m_feed) {
        m_proxy.SetTrace(nullptr);
        m_log.setSecond(nullptr);
    }
}

bool WebConsole::start(MetricsServer& metrics)
{
    if (m_options.address.isNull()) {
        return false;
    }
    const std::string where = Latin1(m_options.address.toString());
    QHttpServer* http = &metrics.http();
    if (m_options.address == m_metricsAddress && m_options.port == m_metricsPort &&
        metrics.port() != 0) {
        m_port = metrics.port();
    } else {
        auto tcp = std::make_unique<QTcpServer>();
        if (!tcp->listen(m_options.address, m_options.port)) {
            m_proxy.Log().WriteLog(Level::Err, "Cannot serve the console at ", where, ":",
                                   m_options.port, ": ", Latin1(tcp->errorString()));
            return false;
        }
        m_port = tcp->serverPort();
        m_ownHttp = std::make_unique<QHttpServer>();
        m_ownHttp->bind(tcp.release()); // which takes it over
        http = m_ownHttp.get();
    }
    m_feed =
        std::make_unique<ConsoleFeed>(m_proxy, m_time, static_cast<std::size_t>(m_options.calls));
    m_proxy.SetTrace(m_feed.get());
    m_log.setSecond(m_feed.get());
    addRoutes(*http);
    connect(&m_tick, &QTimer::timeout, this, [this] { m_feed->Tick(); });
    connect(&m_flush, &QTimer::timeout, this, &WebConsole::flush);
    m_tick.start(kTickMs);
    m_proxy.Log().WriteLog(Level::Info, "Console at http://", where, ":", m_port, "/",
                           m_ownHttp ? "" : " (with the metrics)");
    return true;
}

void WebConsole::addRoutes(QHttpServer& http)
{
    using Method = QHttpServerRequest::Method;
    // The handlers may outlive this object on a shared server.
    const QPointer<WebConsole> self(this);
    const auto gone = [] { return QHttpServerResponse(Status::NotFound); };
    const struct
    {
        const char* path;
        const char* file;
        const char* type;
    } assets[] = {{"/", "index.html", "text/html"},
                  {"/console.js", "console.js", "text/javascript"},
                  {"/console.css", "console.css", "text/css"}};
    for (const auto& [path, file, type] : assets) {
        http.route(QString::fromLatin1(path), Method::Get, [=](const QHttpServerRequest& request) {
            return self ? self->asset(request, QString::fromLatin1(file), type) : gone();
        });
    }
    http.route(QStringLiteral("/events"), Method::Get,
               [self](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                   if (self) {
                       self->openStream(request, std::move(responder));
                   } else {
                       responder.write(Status::NotFound);
                   }
               });
    http.route(QStringLiteral("/call"), Method::Get, [=](const QHttpServerRequest& request) {
        return self ? self->callLadder(request) : gone();
    });
    http.route(QStringLiteral("/level"), Method::Post, [=](const QHttpServerRequest& request) {
        return self ? self->changeLevel(request) : gone();
    });
}

std::optional<QHttpServerResponse> WebConsole::refusal(const QHttpServerRequest& request,
                                                       QString& user)
{
    if (!HostServed(Header(request, "Host"))) {
        return Text("This console answers only to an address or localhost in Host.",
                    Status::MisdirectedRequest);
    }
    if (!m_admins.required()) {
        return std::nullopt;
    }
    const QByteArray credentials = Header(request, "Authorization");
    QString claimed;
    user = m_admins.check(credentials, claimed);
    if (!user.isNull()) {
        return std::nullopt;
    }
    if (!credentials.isEmpty()) {
        m_proxy.Log().WriteLog(Level::Err, "Console authentication failed for '", Latin1(claimed),
                               "' from ", Latin1(request.remoteAddress().toString()));
    }
    QHttpServerResponse response =
        Text("Credentials of a console administrator needed.", Status::Unauthorized);
    response.addHeader("WWW-Authenticate", m_admins.challenge());
    return response;
}

QHttpServerResponse WebConsole::asset(const QHttpServerRequest& request, const QString& name,
                                      const QByteArray& type)
{
    QString user;
    if (auto refused = refusal(request, user)) {
        return std::move(*refused);
    }
    QFile file(QStringLiteral(":/console/") + name);
    if (!file.open(QIODevice::ReadOnly)) {
        return Text("Not built into this program.", Status::NotFound);
    }
    return Secured(QHttpServerResponse(type + "; charset=utf-8", file.readAll()));
}

void WebConsole::openStream(const QHttpServerRequest& request, QHttpServerResponder&& responder)
{
    QString user;
    if (auto refused = refusal(request, user)) {
        refused->write(std::move(responder));
        return;
    }
    flush(); // what the others have not seen yet goes to them alone
    if (m_viewers.size() >= static_cast<std::size_t>(m_options.viewers)) {
        Text(QByteArray("At most ") + QByteArray::number(m_options.viewers) +
                 " viewers at once: close another console first.",
             Status::ServiceUnavailable)
            .write(std::move(responder));
        return;
    }
    QTcpSocket* socket = responder.socket();
    // The stream lasts as long as the connection; its end is the end of the body.
    socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
                  "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
                  "X-Accel-Buffering: no\r\n\r\nretry: 2000\n\n");
    m_feed->SetWatched(true);
    socket->write(Bytes(m_feed->Snapshot(m_admins.required())));
    m_viewers.push_back({socket, 0});
    if (!m_flush.isActive()) {
        m_flush.start(kFlushMs);
    }
}

QHttpServerResponse WebConsole::callLadder(const QHttpServerRequest& request)
{
    QString user;
    if (auto refused = refusal(request, user)) {
        return std::move(*refused);
    }
    const std::string json =
        m_feed->CallJson(request.query().queryItemValue(QStringLiteral("id")).toULongLong());
    if (json.empty()) {
        return Text("That call has left the console's ring.", Status::NotFound);
    }
    return Secured(QHttpServerResponse("application/json", Bytes(json)));
}

QHttpServerResponse WebConsole::changeLevel(const QHttpServerRequest& request)
{
    QString user;
    if (auto refused = refusal(request, user)) {
        return std::move(*refused);
    }
    if (!m_admins.required()) {
        return Text("Nobody may change the log level here: the console has administrators "
                    "only with --users and console-admins.",
                    Status::Forbidden);
    }
    // A page elsewhere can post a form with the browser's credentials, but not JSON (the
    // browser asks first, and this server does not agree).
    const QByteArray origin = Header(request, "Origin");
    if (!Header(request, "Content-Type").startsWith("application/json") ||
        (!origin.isEmpty() && origin != "http://" + Header(request, "Host"))) {
        return Text("Only the console's own page may change the level.", Status::Forbidden);
    }
    const int to = QJsonDocument::fromJson(request.body()).object().value("level").toInt();
    if (to < 1 || to > 4) {
        return Text("Expected {\"level\": 1 to 4}.", Status::BadRequest);
    }
    Logger& log = m_proxy.Log();
    const std::int16_t from = log.LogLevel();
    // Written at the more verbose of the two levels, so the change shows either way.
    log.SetLogLevel(std::max<std::int16_t>(from, static_cast<std::int16_t>(to)));
    log.WriteLog(Level::Info, "Log level changed from ", from, " to ", to, " by console user '",
                 Latin1(user), "'");
    log.SetLogLevel(static_cast<std::int16_t>(to));
    flush(); // the figures with the new level go out at once
    emit logLevelChanged();
    return Secured(QHttpServerResponse(QJsonObject{{"level", to}}));
}

void WebConsole::flush()
{
    std::erase_if(m_viewers, [](const Viewer& viewer) {
        return !viewer.socket || viewer.socket->state() != QAbstractSocket::ConnectedState;
    });
    if (m_viewers.empty()) {
        m_feed->SetWatched(false);
        m_flush.stop();
    }
    const ConsoleFeed::Batch batch = m_feed->TakeBatch();
    const QByteArray update = Bytes(batch.update);
    const QByteArray log = Bytes(batch.log);
    for (Viewer& viewer : m_viewers) {
        const qint64 backlog = viewer.socket->bytesToWrite();
        if (backlog > kStuckViewer) {
            viewer.socket->abort();
            continue;
        }
        viewer.socket->write(update);
        if (log.isEmpty()) {
            continue;
        }
        if (backlog > kSlowViewer) {
            viewer.dropped += batch.logLines;
            continue;
        }
        if (viewer.dropped != 0) {
            viewer.socket->write(
                Bytes(ConsoleFeed::Event("dropped", Cat("{\"lines\":", viewer.dropped, "}"))));
            viewer.dropped = 0;
        }
        viewer.socket->write(log);
    }
}

} // namespace tavrix
