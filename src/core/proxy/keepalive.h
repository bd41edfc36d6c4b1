#pragma once

#include "core/log/logger.h"
#include "core/proxy/builders.h"
#include "core/proxy/call_table.h"
#include "core/proxy/datagram_sender.h"
#include "core/proxy/registrar.h"
#include "core/text/message.h"

#include <cstdint>
#include <string>

namespace tavrix {

// Unanswered keep-alives in a row after which a binding behind NAT ends.
inline constexpr int kKeepAlivesUnanswered = 3;

// What the keep-alives did since start.
struct KeepAliveCounts
{
    std::uint64_t sent = 0;  // OPTIONS sent to bindings behind NAT
    std::uint64_t ended = 0; // bindings ended because nobody answered them
};

// Keeps the NAT mappings of phones behind NAT open: every interval seconds an OPTIONS to each
// binding whose REGISTER came from another address than its Contact's (a home router forgets
// an idle UDP mapping within minutes). A binding that left kKeepAlivesUnanswered of them in a
// row unanswered ends, as its lifetime would, when the next one is due.
class KeepAlive
{
public:
    KeepAlive(CallTable& calls, Registrar& registrar, DatagramSender& sender, Logger& log,
              const Endpoint& self)
        : m_calls(calls), m_registrar(registrar), m_sender(sender), m_log(log), m_self(self)
    {}

    // Seconds between two keep-alives; 0 sends none.
    void SetInterval(std::int16_t seconds) { m_interval = seconds; }
    // One tick for a taken slot: counts its keep-alive down, sends it or ends the binding.
    void Visit(SlotNumber slot);
    // Whether the response answers one of the keep-alives, from where it went: then it is
    // taken here (the binding's count starts again) and goes no further.
    bool TakeAnswer(const Message& response, const PeerAddress& peer);
    const KeepAliveCounts& Counts() const { return m_counts; }

private:
    // The Call-ID of a binding's keep-alives: its slot, and a hash of its own Call-ID.
    std::string CallIdOf(const CallRecord& binding) const;
    void Send(const CallRecord& binding);

    CallTable& m_calls;
    Registrar& m_registrar;
    DatagramSender& m_sender;
    Logger& m_log;
    const Endpoint& m_self;
    std::int16_t m_interval = 0;
    KeepAliveCounts m_counts;
};

} // namespace tavrix
