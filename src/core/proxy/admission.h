#pragma once

#include "core/log/clock.h"
#include "core/log/logger.h"
#include "core/log/stats.h"
#include "core/proxy/call_table.h"
#include "core/proxy/digest.h"
#include "core/proxy/outbox.h"
#include "core/text/message.h"

#include <optional>
#include <string_view>

namespace tavrix {

// The checks a request passes before anything is stored, forwarded or counted: that it has not
// come back to this proxy, that it may travel further, and (with users) whose it is. Each
// refusal is answered or dropped here, with its log line.
class Admission
{
public:
    Admission(CallTable& calls, Outbox& out, Logger& log, SIP_STATS& stats, Clock& clock,
              const Endpoint& self)
        : m_calls(calls), m_out(out), m_log(log), m_stats(stats), m_clock(clock), m_self(self)
    {}

    // A request that carries a Via this proxy wrote for it has come back (RFC 3261 16.3
    // step 4): an INVITE is answered 482, anything else dropped. True when it looped.
    bool Looped(const Message& message, const PeerAddress& peer);
    // RFC 3261 16.3 step 3: a request that may not travel further is answered 483 (an ACK is
    // dropped). True when it may not.
    bool HopsExhausted(const Message& message, const PeerAddress& peer);
    // With users set: whether the REGISTER (or the INVITE that starts a call) carries valid
    // credentials of its From user; if not, it has been challenged or refused, to its sender.
    // A slot taken only for the request is given back, so the phone's retry under the same
    // Call-ID is a new request.
    bool Authorized(const CallRecord& rec, const Message& message, const PeerAddress& peer);

    // From now on every REGISTER and every INVITE that starts a call must carry digest
    // credentials of these users (RFC 3261 22); none: nobody is asked. The first users draw
    // the nonce key from the random source (nullptr: OpenSSL's); false when it gave none, and
    // then every such request is refused with 503 until the program starts again.
    bool SetUsers(std::optional<Users> users, RandomSource* random = nullptr);
    // Forgets what it knows of nonces that ran out.
    void Tick();

private:
    CallTable& m_calls;
    Outbox& m_out;
    Logger& m_log;
    SIP_STATS& m_stats;
    Clock& m_clock;
    const Endpoint& m_self;
    SystemRandom m_systemRandom;
    std::optional<Authenticator> m_auth;
};

} // namespace tavrix
