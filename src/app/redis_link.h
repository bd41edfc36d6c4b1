#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QSocketNotifier;
struct redisAsyncContext;
struct redisReply;

namespace tavrix {

// Where the shared registrar lives: redis://HOST[:PORT][/DB], HOST a dotted IPv4 address.
struct RedisAddress
{
    std::string host;
    std::uint16_t port = 6379;
    int db = 0;
    std::string Url() const;
};

// One asynchronous connection to Redis (hiredis), driven by the event loop: two socket
// notifiers on the connection's descriptor tell hiredis when it can read and write, so nothing
// ever waits for Redis.
class RedisLink final : public QObject
{
    Q_OBJECT

public:
    using Reply = std::function<void(const redisReply&)>;

    explicit RedisLink(QObject* parent = nullptr);
    ~RedisLink() override;

    // Starts connecting; connected() or lost() follows. False, with the reason in error, when
    // it cannot even start.
    bool open(const RedisAddress& address, QString& error);
    // Drops the connection at once; replies still due are not delivered and nothing is
    // signalled.
    void close();
    // A command of binary-safe arguments; done runs with its reply unless the link drops first.
    void command(const std::vector<std::string>& arguments, Reply done = {});
    // Turns the connection into a subscriber to channel; each reply (the confirmation, then
    // every message) goes to handler.
    void subscribe(const std::string& channel, Reply handler);
    // Commands sent whose replies have not come yet.
    int awaiting() const { return m_awaiting; }

signals:
    void connected();
    // The connection failed or broke; reason from the system or Redis.
    void lost(const QString& reason);

private:
    static void onConnect(const redisAsyncContext* context, int status);
    static void onDisconnect(const redisAsyncContext* context, int status);
    static void onReply(redisAsyncContext* context, void* reply, void* done);
    static void onMessage(redisAsyncContext* context, void* reply, void* link);
    // hiredis's event hooks: whether to watch the descriptor for reading and writing.
    static void watchRead(void* link);
    static void unwatchRead(void* link);
    static void watchWrite(void* link);
    static void unwatchWrite(void* link);
    static void unwatch(void* link);
    void dropNotifiers();

    redisAsyncContext* m_context = nullptr;
    QSocketNotifier* m_read = nullptr;
    QSocketNotifier* m_write = nullptr;
    Reply m_messages;
    int m_awaiting = 0;
};

} // namespace tavrix
