#pragma once

#include "console/logger.h"
#include "sip/call_table.h"
#include "sip/transport.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrix {

// The branch parameter of the proxy's own Via (RFC 3261 16.6 step 8): "z9hG4bK" and a hash,
// in hex, of the source's first Via value, its Call-ID and its CSeq number. A retransmission,
// the CANCEL of an INVITE and the ACK of a non-2xx answer thus share their INVITE's branch.
std::string ProxyBranch(std::string_view source);

// Writes every message the proxy emits, afresh from a received one, and sends it.
class Sender
{
public:
    // localIp and localPort are read at each send, so they may be set after construction.
    Sender(Transport& transport, Logger& log, const std::string& localIp,
           const std::uint16_t& localPort)
        : m_transport(transport), m_log(log), m_localIp(localIp), m_localPort(localPort)
    {}

    // A response with this status, headers copied from source, to the Callee when rec.Leg is
    // 1, else to the Caller.
    void SendResponse(const CallRecord& rec, std::string_view status, std::string_view source);

    // A request (method, the Callee's Uri) carrying the proxy's Via and Record-Route and the
    // source's headers and body, to the Callee when rec.Leg is 1, else to the Caller.
    void SendRequest(const CallRecord& rec, std::string_view method, std::string_view source);

    // Logs the message and sends it once. Skipped, with a log line, when the address is empty
    // or not a plain dotted quad, the port 0, or the destination is the proxy itself (which
    // would loop forever).
    void SendDatagram(std::string_view message, std::string_view address, std::uint16_t port);

    // The proxy's own endpoint: LocalIP, 0.0.0.0 or any 127.x address, with LocalPort.
    bool IsOwnEndpoint(std::string_view address, std::uint16_t port) const;

private:
    Transport& m_transport;
    Logger& m_log;
    const std::string& m_localIp;
    const std::uint16_t& m_localPort;
};

} // namespace tavrix
