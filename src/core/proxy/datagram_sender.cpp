#include "core/proxy/datagram_sender.h"

#include "core/text/numeric.h"
#include "core/text/stream_framer.h"

namespace tavrix {

void DatagramSender::SendDatagram(std::string_view message, std::string_view address,
                                  std::uint16_t port, TransportKind kind)
{
    if (address.empty() || port == 0) {
        m_log.WriteLimited(Flood::NotSent, Level::Debug,
                           "Not sent: no destination address or port (", address, ":", port, ")");
        return;
    }
    if (!ParseIPv4(address) && !IsIPv6Reference(address)) {
        // Only plain dotted quads and IPv6 references go out: host names are not looked up,
        // and other spellings of an address could hide the proxy's own from the loop guard.
        m_log.WriteLimited(Flood::NotSent, Level::Debug, "Not sent: '", address,
                           "' is not an IPv4 address");
        return;
    }
    if (IsOwnEndpoint(address, port, m_self)) {
        m_log.WriteLimited(Flood::Loop, Level::Err, "Loop detected: not sending to own address ",
                           address, ":", port);
        return;
    }
    m_log.WriteLog(Level::DebugV, "SIP Send: IP=", address, " Port=", port, kCrLf, message);
    if (kind != TransportKind::Udp && !m_transport.Connected(kind, address, port) &&
        (kind == TransportKind::Ws || kind == TransportKind::Wss)) {
        m_log.WriteLimited(Flood::NotSent, Level::Debug, "Not sent: no ", ViaName(kind),
                           " connection to ", address, ":", port);
        return;
    }
    ++m_sent;
    if (m_trace != nullptr) {
        m_trace->Sent(message, address, port);
    }
    if (kind == TransportKind::Udp) {
        m_transport.Send(message, address, port);
    } else {
        m_transport.SendStream(kind, WithContentLength(message), address, port);
    }
}
} // namespace tavrix
