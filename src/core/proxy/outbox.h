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
// "Sending ..." line: its own answers, relayed responses, requests forwarded to a side of a
// call.
class Outbox
{
public:
    Outbox(DatagramSender& sender, Logger& log, const Endpoint& self)
        : m_sender(sender), m_log(log), m_self(self)
    {}

    // An answer of the proxy's own to the request that came from `from`, where the request's
    // Via says (RFC 3261 18.2.2, RFC 3581 4: received and rport stamped on it); timeLeft
    // above 0 lets a 1xx carry the request's Expires.
    void Respond(const PeerAddress& from, std::string_view status, const Message& request,
                 std::int16_t timeLeft, std::string_view ownLine = {});
    // Respond for a request nobody vouches for (a refusal: 400, 401, 403, 404, 405, 407, 482,
    // 483, 503; the 200 to an OPTIONS): at most kAnswersPerSecond a second for one source
    // address, and none longer than 1.5 times the request, so that nobody can aim the proxy at
    // a third party or make it louder than himself. What is left out is counted and summed up
    // in one line a second.
    void Answer(const PeerAddress& from, std::string_view status, const Message& request,
                std::string_view ownLine = {});
    // A response relayed as the Via below the proxy's says (RFC 3261 16.7 step 3).
    void Relay(std::string_view status, const Message& response, std::int16_t timeLeft);
    // A request built from source, which came from `from`, to the party on that side: the callee
    // at its Uri, the caller at its Contact (RFC 3261 12.2.1.1), or at the callee's Uri when it
    // has none; sent where that party's messages come from when that is not its Contact's
    // address (a phone behind NAT). The number of the branch it carries.
    std::uint64_t Forward(const CallRecord& rec, Side side, std::string_view method,
                          const Message& source, const PeerAddress& from);
    // The branch number Forward gives a request built from source, which came from `from`.
    std::uint64_t BranchOf(const Message& source, const PeerAddress& from) const;
    // The request built from source to one branch of a forked request, on the fork's branch.
    void ForwardFork(const Fork& fork, const Message& source, const PeerAddress& from);
    // The proxy's own CANCEL or ACK to one branch of a forked INVITE (source: any message of
    // the call with the From, To, Call-ID and CSeq number to use).
    void SendHop(std::string_view method, const Fork& fork, const Message& source);
    // The second is over: the summary of answers left out, and every source starts afresh.
    void Tick();
    // The realm whose credentials are the proxy's own: they are not forwarded (RFC 3261 22.3).
    void SetRealm(std::string realm) { m_realm = std::move(realm); }

private:
    void Send(const Endpoint& to, std::string_view status, const std::string& text);

    DatagramSender& m_sender;
    Logger& m_log;
    const Endpoint& m_self;
    std::unordered_map<std::string, int> m_answers; // this second's, by source address
    long long m_leftOut = 0;                        // this second's answers not sent
    std::string m_realm;
};

// Where a party is heard: where its messages come from when that is not its Contact's address
// (RFC 3261 18.2.1; the approach of RFC 5626), else its Contact's address.
const PeerAddress& Reach(const CallRecord& rec, Side side);
// The same for what the proxy sends: a party heard over a stream connection is reached over it
// while it is open, else at its Contact.
const PeerAddress& Reach(const CallRecord& rec, Side side, const DatagramSender& sender);
const PeerAddress& Reach(const Fork& fork, const DatagramSender& sender);

} // namespace tavrix
