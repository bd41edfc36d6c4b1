#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The messages the proxy writes: always afresh, from header lines copied out of a received
// message (the source), in a fixed order.
namespace tavrix {

// Where the proxy itself is reached: LocalIP and LocalPort.
struct Endpoint
{
    std::string IP;
    std::uint16_t Port = 0;
};

// The branch parameter of the proxy's own Via (RFC 3261 16.6 step 8): "z9hG4bK" and a hash,
// in hex, of the source's first Via value, its Call-ID and its CSeq number. A retransmission,
// the CANCEL of an INVITE and the ACK of a non-2xx answer thus share their INVITE's branch.
std::string ProxyBranch(std::string_view source);

// "SIP/2.0 status" and the source's headers that a response of this status carries: the Via
// lines (a relayed response loses the first), From, To, Call-ID, Record-Route, CSeq and
// User-Agent; a 1xx also Contact, and Expires while timeLeft is above 0; a 2xx to an INVITE
// also Contact (relayed only), Content-Type, Content-Length and the body.
std::string BuildResponse(std::string_view status, std::string_view source, std::int16_t timeLeft);

// "method target SIP/2.0" with the proxy's Via on top of the source's, a Record-Route naming
// the proxy, Max-Forwards one less than received (70 without one), the source's dialog and
// capability headers and its body.
std::string BuildRequest(std::string_view method, std::string_view target, std::string_view source,
                         const Endpoint& self);

} // namespace tavrix
