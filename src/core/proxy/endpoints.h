#pragma once

#include "core/proxy/transport.h"
#include "core/text/message.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The proxy's own addresses, and where the messages it writes go.
namespace tavrix {

// Where the proxy itself is reached: LocalIP and LocalPort over UDP, and the further addresses
// it listens on (faces: TCP, TLS, WebSocket, IPv6). An IPv6 address is written in brackets
// ("[2001:db8::1]"), as in a URI.
struct Endpoint
{
    std::string IP;
    std::uint16_t Port = 0;
    TransportKind kind = TransportKind::Udp;
    std::vector<Endpoint> faces{}; // of the proxy's own endpoint only: where else it listens

    bool operator==(const Endpoint& other) const
    {
        return IP == other.IP && Port == other.Port && kind == other.kind;
    }
};

// Whether the address is an IPv6 reference: "[" an IPv6 address "]".
bool IsIPv6Reference(std::string_view address);

// The proxy's own endpoint: the address of self or one of its faces, 0.0.0.0 or any 127.x
// address (:: or ::1 for an IPv6 face), with that one's port. Only plain dotted quads and
// IPv6 references count; other spellings are never sent to at all.
bool IsOwnEndpoint(std::string_view address, std::uint16_t port, const Endpoint& self);

// The face the proxy sends on over that transport to an address of that family (an IPv6
// reference or not): self for UDP over IPv4, else the first face of the kind and family, else
// of the kind, else self.
const Endpoint& FaceFor(const Endpoint& self, TransportKind kind, std::string_view address);

// The first Via line of a request as the proxy keeps it below its own and answers it (RFC 3261
// 18.2.1, RFC 3581 4): its first value with ";received=IP" when its host is not the address the
// request came from, and "rport" filled with the source port when the sender asked for it; the
// line's other values stay. A request over a stream gets both always: its answers go back over
// that connection, whose far end they name (RFC 3261 18.2.2). An IPv6 "received" is written
// without brackets (RFC 3261 20.42).
std::string StampVia(std::string_view line, const Endpoint& from);
// Where an answer of the proxy's own goes (RFC 3261 18.2.2, RFC 3581 4): the address the
// request came from, at its source port when its top Via asks for rport or names the proxy,
// else at the port of that Via (5060 when it names none); over a stream, the connection's far
// end.
Endpoint AnswerAddress(const Message& request, const Endpoint& from, const Endpoint& self);
// Where a relayed response goes: as the Via below the proxy's says, at its "received" address
// (else its host) and its "rport" (else its port, 5060 when it names none), over the
// transport it names.
Endpoint ResponseAddress(const Message& response);

} // namespace tavrix
