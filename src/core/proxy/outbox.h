#pragma once

#include "core/log/logger.h"
#include "core/proxy/builders.h"
#include "core/proxy/call_table.h"
#include "core/proxy/datagram_sender.h"
#include "core/text/message.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tavrix {

// Answers of its own the proxy sends at most, each second, for the requests of one source
// address.
inline constexpr int kAnswersPerSecond = 20;

// The messages the proxy writes, each built from a received one and sent once with its
// "Sending ..." line: answers to a party, refusals, requests forwarded to a side of a call.
class Outbox
{
public:
    Outbox(DatagramSender& sender, Logger& log, const Endpoint& self)
        : m_sender(sender), m_log(log), m_self(self)
    {}

    // A response of this status built from source, to the party; timeLeft above 0 lets a 1xx
    // carry the source's Expires.
    void Respond(const PeerAddress& to, std::string_view status, const Message& source,
                 std::int16_t timeLeft, std::string_view ownLine = {});
    // A response to the call's party on that side.
    void Respond(const CallRecord& rec, Side side, std::string_view status, const Message& source)
    {
        Respond(rec.Party(side), status, source, rec.TimeLeft);
    }
    // An answer of the proxy's own to a request nobody vouches for (a refusal: 400, 401, 403,
    // 404, 405, 407, 482, 483, 503; the 200 to an OPTIONS), to its sender: at most
    // kAnswersPerSecond a second for one source address, and none longer than 1.5 times the
    // request, so that nobody can aim the proxy at a third party or make it louder than
    // himself. What is left out is counted and summed up in one line a second.
    void Answer(const PeerAddress& sender, std::string_view status, const Message& source,
                std::string_view ownLine = {});
    // A request built from source, to the party on that side: the callee at its Uri, the
    // caller at its Contact (RFC 3261 12.2.1.1), or at the callee's Uri when it has none.
    void Forward(const CallRecord& rec, Side side, std::string_view method, const Message& source);
    // The second is over: the summary of refusals left out, and every source starts afresh.
    void Tick();
    // The realm whose credentials are the proxy's own: they are not forwarded (RFC 3261 22.3).
    void SetRealm(std::string realm) { m_realm = std::move(realm); }

private:
    void Send(const PeerAddress& to, std::string_view status, const std::string& text);

    DatagramSender& m_sender;
    Logger& m_log;
    const Endpoint& m_self;
    std::unordered_map<std::string, int> m_answers; // this second's, by source address
    long long m_leftOut = 0;                        // this second's answers not sent
    std::string m_realm;
};

} // namespace tavrix
