#include "app/redis_link.h"

#include <QSocketNotifier>

#include <hiredis/async.h>
#include <hiredis/hiredis.h>

#include <memory>
#include <utility>

namespace tavrix {

std::string RedisAddress::Url() const
{
    return "redis://" + host + ":" + std::to_string(port) +
           (db != 0 ? "/" + std::to_string(db) : std::string());
}

RedisLink::RedisLink(QObject* parent) : QObject(parent) {}

RedisLink::~RedisLink()
{
    close();
}

bool RedisLink::open(const RedisAddress& address, QString& error)
{
    close();
    // A dotted address: the connection is started without any look-up and completes later.
    redisAsyncContext* context = redisAsyncConnect(address.host.c_str(), address.port);
    if (context == nullptr || context->err != 0) {
        error = context != nullptr ? QString::fromLocal8Bit(context->errstr)
                                   : QStringLiteral("out of memory");
        if (context != nullptr) {
            redisAsyncFree(context);
        }
        return false;
    }
    m_context = context;
    context->data = this;
    m_read = new QSocketNotifier(context->c.fd, QSocketNotifier::Read, this);
    m_write = new QSocketNotifier(context->c.fd, QSocketNotifier::Write, this);
    m_read->setEnabled(false);
    m_write->setEnabled(false);
    connect(m_read, &QSocketNotifier::activated, this, [this] {
        if (m_context != nullptr) {
            redisAsyncHandleRead(m_context);
        }
    });
    connect(m_write, &QSocketNotifier::activated, this, [this] {
        if (m_context != nullptr) {
            redisAsyncHandleWrite(m_context);
        }
    });
    context->ev.data = this;
    context->ev.addRead = &RedisLink::watchRead;
    context->ev.delRead = &RedisLink::unwatchRead;
    context->ev.addWrite = &RedisLink::watchWrite;
    context->ev.delWrite = &RedisLink::unwatchWrite;
    context->ev.cleanup = &RedisLink::unwatch;
    // Watches for writing: the connection is up once the socket can be written.
    redisAsyncSetConnectCallback(context, &RedisLink::onConnect);
    redisAsyncSetDisconnectCallback(context, &RedisLink::onDisconnect);
    return true;
}

void RedisLink::close()
{
    if (m_context == nullptr) {
        return;
    }
    redisAsyncContext* context = std::exchange(m_context, nullptr);
    context->data = nullptr;
    context->ev = {};
    dropNotifiers();
    m_awaiting = 0;
    redisAsyncFree(context); // runs the callbacks still due, without a reply
}

void RedisLink::dropNotifiers()
{
    // Possibly from inside a notifier's own signal: deleted when the loop comes round.
    for (QSocketNotifier* notifier :
         {std::exchange(m_read, nullptr), std::exchange(m_write, nullptr)}) {
        if (notifier != nullptr) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
}

void RedisLink::command(const std::vector<std::string>& arguments, Reply done)
{
    if (m_context == nullptr) {
        return;
    }
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    for (const std::string& argument : arguments) {
        argv.push_back(argument.data());
        lengths.push_back(argument.size());
    }
    auto callback = std::make_unique<Reply>(std::move(done));
    if (redisAsyncCommandArgv(m_context, &RedisLink::onReply, callback.get(),
                              static_cast<int>(argv.size()), argv.data(),
                              lengths.data()) == REDIS_OK) {
        callback.release(); // onReply deletes it
        ++m_awaiting;
    }
}

void RedisLink::subscribe(const std::string& channel, Reply handler)
{
    if (m_context == nullptr) {
        return;
    }
    m_messages = std::move(handler);
    const char* argv[] = {"SUBSCRIBE", channel.data()};
    const std::size_t lengths[] = {9, channel.size()};
    redisAsyncCommandArgv(m_context, &RedisLink::onMessage, this, 2, argv, lengths);
}

void RedisLink::onConnect(const redisAsyncContext* context, int status)
{
    auto* self = static_cast<RedisLink*>(context->data);
    if (self == nullptr) {
        return;
    }
    if (status != REDIS_OK) {
        // hiredis frees the context when this returns.
        self->m_context = nullptr;
        self->dropNotifiers();
        emit self->lost(QString::fromLocal8Bit(context->c.errstr));
        return;
    }
    // A peer that vanishes without closing is noticed within a minute, not after the system's
    // two hours.
    redisEnableKeepAlive(&self->m_context->c);
    emit self->connected();
}

void RedisLink::onDisconnect(const redisAsyncContext* context, int status)
{
    auto* self = static_cast<RedisLink*>(context->data);
    if (self == nullptr) {
        return;
    }
    self->m_context = nullptr; // hiredis frees it when this returns
    self->dropNotifiers();
    emit self->lost(status == REDIS_OK || context->c.errstr[0] == '\0'
                        ? QStringLiteral("connection closed")
                        : QString::fromLocal8Bit(context->c.errstr));
}

void RedisLink::onReply(redisAsyncContext* context, void* reply, void* done)
{
    const std::unique_ptr<Reply> callback(static_cast<Reply*>(done));
    auto* self = static_cast<RedisLink*>(context->data);
    if (self == nullptr) {
        return;
    }
    --self->m_awaiting;
    if (reply != nullptr && *callback) {
        (*callback)(*static_cast<const redisReply*>(reply));
    }
}

void RedisLink::onMessage(redisAsyncContext* context, void* reply, void* link)
{
    auto* self = static_cast<RedisLink*>(link);
    if (context->data != nullptr && reply != nullptr && self->m_messages) {
        self->m_messages(*static_cast<const redisReply*>(reply));
    }
}

void RedisLink::watchRead(void* link)
{
    if (auto* self = static_cast<RedisLink*>(link); self->m_read != nullptr) {
        self->m_read->setEnabled(true);
    }
}

void RedisLink::unwatchRead(void* link)
{
    if (auto* self = static_cast<RedisLink*>(link); self->m_read != nullptr) {
        self->m_read->setEnabled(false);
    }
}

void RedisLink::watchWrite(void* link)
{
    if (auto* self = static_cast<RedisLink*>(link); self->m_write != nullptr) {
        self->m_write->setEnabled(true);
    }
}

void RedisLink::unwatchWrite(void* link)
{
    if (auto* self = static_cast<RedisLink*>(link); self->m_write != nullptr) {
        self->m_write->setEnabled(false);
    }
}

void RedisLink::unwatch(void* link)
{
    unwatchRead(link);
    unwatchWrite(link);
}

} // namespace tavrix
