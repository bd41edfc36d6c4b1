#pragma once

#include "app/redis_link.h"
#include "core/proxy/proxy.h"

#include <QObject>
#include <QTimer>

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tavrix {

// Makes several instances one registrar. Each keeps every registration in its own tables and
// answers from them alone; this store writes its own changes to Redis (a hash per
// registration, tavrix:binding:<Call-ID>, dropped by Redis when it runs out), publishes each
// one, and applies the other instances' changes as they are published. A later registration
// of a Call-ID wins, wherever it was made.
//
// Without Redis the instance goes on with what it holds; it logs one LOG_ERR line per outage,
// tries again after 0.5 s, doubling to 8 s, and once back reads every registration Redis holds
// and writes its own.
class RedisStore final : public QObject, public RegistrarStore
{
public:
    // Attaches itself to the proxy and starts connecting.
    RedisStore(RedisAddress address, Proxy& proxy, QObject* parent = nullptr);
    // Detaches from the proxy; what is not written yet is lost.
    ~RedisStore() override;

    void Save(const Binding& binding) override;
    void Remove(const Binding& binding) override;
    // Nothing at once: what Redis holds arrives through the event loop once connected.
    std::vector<Binding> LoadAll() override { return {}; }

    // Connected, read and written back: changes go to Redis as they come.
    bool isShared() const { return m_state == State::Shared; }
    // Commands sent whose replies have not come yet.
    int awaiting() const { return m_commands.awaiting(); }

private:
    enum class State
    {
        Down,       // waiting to try again
        Connecting, // both connections under way, the subscription not confirmed yet
        Reading,    // reading what Redis holds; own changes are written already
        Shared
    };
    void connectLinks();
    void linkUp();
    // Redis cannot be used: both connections close and a new try is planned.
    void fail(const QString& reason);
    // Reads every registration from the cursor on, then writes this instance's own.
    void scan(const std::string& cursor);
    void writeBack();
    void onMessage(const redisReply& reply);
    // Takes a registration in from its hash's fields, unless the one here is as recent.
    void take(const redisReply& fields);
    void send(const Binding& binding);
    void sendRemove(const Binding& binding);
    // The one held here is as recent as one last registered at updated, lasting until expires.
    bool holds(const std::string& callId, std::int64_t updated, std::int64_t expires) const;

    RedisAddress m_address;
    Proxy& m_proxy;
    std::string m_instance; // random, so that an instance knows its own messages
    std::string m_channel;
    RedisLink m_commands;
    RedisLink m_events;
    QTimer m_retryTimer;
    QTimer m_connectTimer;
    State m_state = State::Down;
    int m_retryMs = 0;
    int m_linksUp = 0;
    bool m_outage = false; // logged, not over yet
    int m_taken = 0;       // registrations taken in on this connection's first read
    // Call-ID -> (last registered, runs out) of every registration held here.
    std::unordered_map<std::string, std::pair<std::int64_t, std::int64_t>> m_held;
    // Registrations that ended here while Redis could not be told.
    std::unordered_map<std::string, Binding> m_ended;
};

} // namespace tavrix
