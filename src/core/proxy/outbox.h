#pragma once

#include "core/log/logger.h"
#include "core/proxy/builders.h"
#include "core/proxy/call_table.h"
#include "core/proxy/datagram_sender.h"
#include "core/text/message.h"

#include <cstdint>
#include <string_view>

namespace tavrix {

// The messages the proxy writes, each built from a received one and sent once with its
// "Sending ..." line: answers to a party, requests forwarded to a side of a call.
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
    // A response to whoever sent the message, whatever the record says.
    void AnswerSender(const PeerAddress& peer, std::string_view status, const Message& source,
                      std::string_view ownLine = {}, std::int16_t timeLeft = 0);
    // A response to the record's Caller, or to the sender when the record has no usable
    // address for it.
    void AnswerCaller(const CallRecord& rec, const PeerAddress& peer, std::string_view status,
                      const Message& source);
    // A request built from source, to the party on that side: the callee at its Uri, the
    // caller at its Contact (RFC 3261 12.2.1.1), or at the callee's Uri when it has none.
    void Forward(const CallRecord& rec, Side side, std::string_view method, const Message& source);

private:
    DatagramSender& m_sender;
    Logger& m_log;
    const Endpoint& m_self;
};

} // namespace tavrix
