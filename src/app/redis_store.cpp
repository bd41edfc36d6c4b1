#include "app/redis_store.h"

#include "app/latin1.h"
#include "core/proxy/proxy.h"

#include <QDateTime>
#include <QRandomGenerator>

#include <hiredis/hiredis.h>

#include <algorithm>
#include <charconv>
#include <string_view>

namespace tavrix {

namespace {

constexpr int kFirstRetryMs = 500;
constexpr int kLastRetryMs = 8000;
constexpr int kConnectMs = 5000;
const std::string kKeyPrefix = "tavrix:binding:";
const std::vector<std::string> kFields{"callid", "user",    "contact", "ip",
                                       "port",   "expires", "updated"};

// Writes a registration unless Redis holds a later one of its Call-ID, lets Redis drop it when
// it runs out, and tells the others. ARGV: the fields in kFields' order, instance, channel.
constexpr const char* kSave = R"(
local old = redis.call('HGET', KEYS[1], 'updated')
if old and tonumber(old) > tonumber(ARGV[7]) then return 0 end
redis.call('HSET', KEYS[1], 'callid', ARGV[1], 'user', ARGV[2], 'contact', ARGV[3],
           'ip', ARGV[4], 'port', ARGV[5], 'expires', ARGV[6], 'updated', ARGV[7])
redis.call('EXPIREAT', KEYS[1], ARGV[6])
redis.call('PUBLISH', ARGV[9], 'save ' .. ARGV[8] .. ' ' .. ARGV[7] .. ' ' .. ARGV[6] .. ' ' .. ARGV[1])
return 1)";

// Ends a registration unless Redis holds a later one. ARGV: Call-ID, updated, instance, channel.
constexpr const char* kRemove = R"(
local old = redis.call('HGET', KEYS[1], 'updated')
if old and tonumber(old) > tonumber(ARGV[2]) then return 0 end
redis.call('DEL', KEYS[1])
redis.call('PUBLISH', ARGV[4], 'remove ' .. ARGV[3] .. ' ' .. ARGV[2] .. ' ' .. ARGV[1])
return 1)";

std::string_view Text(const redisReply& reply)
{
    return reply.str != nullptr ? std::string_view(reply.str, reply.len) : std::string_view();
}

// The next word of text, which loses it and the blank after it.
std::string_view Word(std::string_view& text)
{
    const std::size_t blank = std::min(text.find(' '), text.size());
    const std::string_view word = text.substr(0, blank);
    text.remove_prefix(std::min(blank + 1, text.size()));
    return word;
}

std::int64_t Number(std::string_view text)
{
    std::int64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

} // namespace

RedisStore::RedisStore(RedisAddress address, Proxy& proxy, QObject* parent)
    : QObject(parent), m_address(std::move(address)), m_proxy(proxy),
      m_channel("tavrix:changes:" + std::to_string(m_address.db)), m_retryTimer(this),
      m_retryMs(kFirstRetryMs)
{
    // Found by its name, so that a test can watch the back-off without waiting it out.
    m_retryTimer.setObjectName(QStringLiteral("retryTimer"));
    const quint64 id = QRandomGenerator::system()->generate64();
    m_instance = QByteArray::number(id, 16).toStdString();
    m_retryTimer.setSingleShot(true);
    m_connectTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &RedisStore::connectLinks);
    connect(&m_connectTimer, &QTimer::timeout, this,
            [this] { fail(QStringLiteral("no answer within %1 s").arg(kConnectMs / 1000)); });
    connect(&m_commands, &RedisLink::lost, this, &RedisStore::fail);
    connect(&m_events, &RedisLink::lost, this, &RedisStore::fail);
    connect(&m_commands, &RedisLink::connected, this, [this] {
        if (m_address.db != 0) {
            m_commands.command({"SELECT", std::to_string(m_address.db)},
                               [this](const redisReply& reply) {
                                   if (reply.type == REDIS_REPLY_ERROR) {
                                       fail(QString::fromLatin1(Text(reply)));
                                   }
                               });
        }
        linkUp();
    });
    connect(&m_events, &RedisLink::connected, this, [this] {
        m_events.subscribe(m_channel, [this](const redisReply& reply) { onMessage(reply); });
    });
    m_proxy.AttachStore(this);
    connectLinks();
}

RedisStore::~RedisStore()
{
    m_proxy.AttachStore(nullptr);
}

void RedisStore::connectLinks()
{
    m_state = State::Connecting;
    m_linksUp = 0;
    const std::int64_t now = QDateTime::currentSecsSinceEpoch();
    std::erase_if(m_ended, [now](const auto& ended) { return ended.second.Expires <= now; });
    QString error;
    if (!m_commands.open(m_address, error) || !m_events.open(m_address, error)) {
        fail(error);
        return;
    }
    m_connectTimer.start(kConnectMs);
}

void RedisStore::linkUp()
{
    if (m_state != State::Connecting || ++m_linksUp < 2) {
        return;
    }
    // Subscribed before reading: a change made meanwhile is heard, if not already read.
    m_connectTimer.stop();
    m_state = State::Reading;
    m_taken = 0;
    for (const auto& [callId, binding] : m_ended) {
        sendRemove(binding);
    }
    m_ended.clear();
    scan("0");
}

void RedisStore::fail(const QString& reason)
{
    if (m_state == State::Down) {
        return;
    }
    m_commands.close();
    m_events.close();
    m_connectTimer.stop();
    m_state = State::Down;
    if (!m_outage) {
        m_outage = true;
        m_proxy.Log().WriteLog(Level::Err, "Registrar ", m_address.Url(),
                               " unreachable: ", Latin1(reason),
                               "; serving the registrations held here, trying again");
    }
    m_retryTimer.start(m_retryMs);
    m_retryMs = std::min(m_retryMs * 2, kLastRetryMs);
}

void RedisStore::scan(const std::string& cursor)
{
    m_commands.command(
        {"SCAN", cursor, "MATCH", kKeyPrefix + "*", "COUNT", "1000"},
        [this](const redisReply& reply) {
            if (reply.type != REDIS_REPLY_ARRAY || reply.elements != 2) {
                fail(QString::fromLatin1(Text(reply)));
                return;
            }
            const redisReply& keys = *reply.element[1];
            for (std::size_t i = 0; i < keys.elements; ++i) {
                std::vector<std::string> fetch{"HMGET", std::string(Text(*keys.element[i]))};
                fetch.insert(fetch.end(), kFields.begin(), kFields.end());
                m_commands.command(fetch, [this](const redisReply& fields) { take(fields); });
            }
            const std::string next(Text(*reply.element[0]));
            if (next == "0") {
                // Answered after every fetch before it.
                m_commands.command({"PING"}, [this](const redisReply&) { writeBack(); });
            } else {
                scan(next);
            }
        });
}

void RedisStore::writeBack()
{
    const std::vector<Binding> held = m_proxy.Bindings();
    for (const Binding& binding : held) {
        send(binding);
    }
    m_state = State::Shared;
    m_retryMs = kFirstRetryMs;
    m_outage = false;
    m_proxy.Log().WriteLog(Level::Info, "Registrations shared through ", m_address.Url(), ": ",
                           m_taken, " taken in, ", held.size(), " held");
}

void RedisStore::onMessage(const redisReply& reply)
{
    if (reply.type != REDIS_REPLY_ARRAY || reply.elements < 3) {
        return;
    }
    const std::string_view kind = Text(*reply.element[0]);
    if (kind == "subscribe") {
        linkUp();
        return;
    }
    std::string_view message = Text(*reply.element[2]);
    const std::string_view change = Word(message);
    if (kind != "message" || Word(message) == m_instance) {
        return;
    }
    const std::int64_t updated = Number(Word(message));
    if (change == "save") {
        const std::int64_t expires = Number(Word(message));
        const std::string callId(message);
        if (!holds(callId, updated, expires) && m_state != State::Connecting) {
            std::vector<std::string> fetch{"HMGET", kKeyPrefix + callId};
            fetch.insert(fetch.end(), kFields.begin(), kFields.end());
            m_commands.command(fetch, [this](const redisReply& fields) { take(fields); });
        }
    } else if (change == "remove") {
        const std::string callId(message);
        if (const auto held = m_held.find(callId);
            held != m_held.end() && held->second.first <= updated) {
            m_held.erase(held);
            m_proxy.Forget({callId, "", "", "", 0, 0, updated});
        }
    }
}

bool RedisStore::holds(const std::string& callId, std::int64_t updated, std::int64_t expires) const
{
    const auto held = m_held.find(callId);
    return held != m_held.end() &&
           (held->second.first > updated || held->second == std::make_pair(updated, expires));
}

void RedisStore::take(const redisReply& fields)
{
    if (fields.type != REDIS_REPLY_ARRAY || fields.elements != kFields.size()) {
        return;
    }
    for (std::size_t i = 0; i < fields.elements; ++i) {
        if (fields.element[i]->type != REDIS_REPLY_STRING) {
            return; // gone meanwhile
        }
    }
    const auto field = [&fields](std::size_t i) { return std::string(Text(*fields.element[i])); };
    const Binding binding{field(0),
                          field(1),
                          field(2),
                          field(3),
                          static_cast<std::uint16_t>(Number(field(4))),
                          Number(field(5)),
                          Number(field(6))};
    if (holds(binding.CallID, binding.Updated, binding.Expires)) {
        return;
    }
    m_held[binding.CallID] = {binding.Updated, binding.Expires};
    m_proxy.Restore(binding);
    if (m_state == State::Reading) {
        ++m_taken;
    }
}

void RedisStore::Save(const Binding& binding)
{
    m_held[binding.CallID] = {binding.Updated, binding.Expires};
    m_ended.erase(binding.CallID);
    if (m_state == State::Reading || m_state == State::Shared) {
        send(binding);
    }
}

void RedisStore::Remove(const Binding& binding)
{
    m_held.erase(binding.CallID);
    if (m_state == State::Reading || m_state == State::Shared) {
        sendRemove(binding);
    } else {
        m_ended[binding.CallID] = binding;
    }
}

void RedisStore::send(const Binding& binding)
{
    m_commands.command({"EVAL", kSave, "1", kKeyPrefix + binding.CallID, binding.CallID,
                        binding.Username, binding.Contact, binding.IP, std::to_string(binding.Port),
                        std::to_string(binding.Expires), std::to_string(binding.Updated),
                        m_instance, m_channel},
                       [this](const redisReply& reply) {
                           if (reply.type == REDIS_REPLY_ERROR) {
                               fail(QString::fromLatin1(Text(reply)));
                           }
                       });
}

void RedisStore::sendRemove(const Binding& binding)
{
    m_commands.command({"EVAL", kRemove, "1", kKeyPrefix + binding.CallID, binding.CallID,
                        std::to_string(binding.Updated), m_instance, m_channel},
                       [this](const redisReply& reply) {
                           if (reply.type == REDIS_REPLY_ERROR) {
                               fail(QString::fromLatin1(Text(reply)));
                           }
                       });
}

} // namespace tavrix
