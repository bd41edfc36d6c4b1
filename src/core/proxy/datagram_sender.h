#pragma once

#include "core/log/logger.h"
#include "core/proxy/builders.h"
#include "core/proxy/message_trace.h"
#include "core/proxy/transport.h"

#include <cstdint>
#include <string_view>

namespace tavrix {

// The proxy's single exit: checks where a datagram goes, logs it and hands it to the
// transport once.
class DatagramSender
{
public:
    // self is read at each send, so the proxy's endpoint may change after construction.
    DatagramSender(Transport& transport, Logger& log, const Endpoint& self)
        : m_transport(transport), m_log(log), m_self(self)
    {}

    // Logs the message and sends it once, over UDP or the stream transport named. Skipped, with
    // a log line, when the address is empty or neither a plain dotted quad nor an IPv6
    // reference, the port 0, or the destination is the proxy itself (which would loop
    // forever), or no connection can carry it.
    void SendDatagram(std::string_view message, std::string_view address, std::uint16_t port,
                      TransportKind kind = TransportKind::Udp);
    // Whether a connection of that kind with that far end is open.
    bool Connected(TransportKind kind, std::string_view address, std::uint16_t port) const
    {
        return m_transport.Connected(kind, address, port);
    }
    // Datagrams handed to the transport since start.
    std::uint64_t Sent() const { return m_sent; }
    // Shows each datagram to the trace right before it goes to the transport (nullptr: none).
    void SetTrace(MessageTrace* trace) { m_trace = trace; }

private:
    Transport& m_transport;
    Logger& m_log;
    const Endpoint& m_self;
    std::uint64_t m_sent = 0;
    MessageTrace* m_trace = nullptr;
};

} // namespace tavrix
