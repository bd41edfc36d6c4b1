#pragma once

#include "core/proxy/endpoints.h"
#include "core/proxy/transport.h"
#include "core/text/message.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The messages the proxy writes: always afresh, from header lines copied out of a received
// message (the source), in a fixed order, with long header names.
namespace tavrix {

// The branch parameter of the proxy's own Via (RFC 3261 16.6 step 8): "z9hG4bK" and a hash,
// in hex, of a Via value, a Call-ID and a CSeq number. A retransmission, the CANCEL of an
// INVITE and the ACK of a non-2xx answer thus share their INVITE's branch.
std::string Branch(std::string_view via, std::string_view callId, std::string_view cseq);
// The hash of a branch as a number; BranchHash(...) is what Branch(...) writes in hex.
std::uint64_t BranchHash(std::string_view via, std::string_view callId, std::string_view cseq);
// The number a branch of this proxy's form ("z9hG4bK" and 16 hex digits) carries; none for
// any other text.
std::optional<std::uint64_t> BranchNumber(std::string_view branch);
// The branch of a number: "z9hG4bK" and the number in 16 hex digits.
std::string BranchText(std::uint64_t number);
// The number of the branch the proxy forwards a request on to the fork-th of its targets (from
// 1) when it forks it (RFC 3261 16.6 step 8: one branch each).
std::uint64_t ForkBranch(std::uint64_t number, std::size_t fork);
// Branch of the source's first Via value, its Call-ID and its CSeq.
std::string ProxyBranch(const Message& source);
std::string ProxyBranch(std::string_view source);

// How a forwarded request came in and goes out: the transports and the far ends' addresses
// (only their family counts), which pick the proxy's faces on either side.
struct Legs
{
    TransportKind inKind = TransportKind::Udp;
    std::string_view inAddress;
    TransportKind outKind = TransportKind::Udp;
    std::string_view outAddress;
};

// "SIP/2.0 status" and the source's headers that a response of this status carries: its Via
// lines (a relayed response loses the proxy's own value, the first), From, To, Call-ID, the
// Record-Route (every line when relayed, the first otherwise), CSeq and User-Agent; a 1xx also
// Contact, and Expires while timeLeft is above 0; a 2xx to an INVITE also Contact (relayed
// only), Content-Type and Content-Length. A relayed response then carries every other line of
// its source as received, and its body with a Content-Length that matches it (RFC 3261 16.7
// step 9). A line of the proxy's own (a challenge) goes last in an answer of its own.
std::string BuildResponse(std::string_view status, const Message& source, std::int16_t timeLeft,
                          std::string_view ownLine = {}, std::string_view firstVia = {});

// "method target SIP/2.0", the proxy's Via on top of the source's, the proxy's Record-Route
// "<sip:IP:PORT;lr>" on top of the source's, the source's Route lines but a topmost one that
// names the proxy (RFC 3261 16.4), Max-Forwards one less than received (70 without one), the
// source's dialog and capability headers, then every other line of the source as received
// (RFC 3261 16.6 step 1) but credentials for the proxy's own realm (22.3), and its body with a
// Content-Length that matches it.
// firstVia, when given, stands for the source's first Via line (and makes the branch); a branch
// number other than 0 is the branch.
// The Via and the Record-Route are those of the face the request leaves by ("SIP/2.0/TCP",
// ";transport=tcp" but for UDP); when it came in by another face (another transport or
// address family) a second Record-Route for that one follows (RFC 5658 3.2), and a second
// topmost Route naming the proxy is used up too.
std::string BuildRequest(std::string_view method, std::string_view target, const Message& source,
                         const Endpoint& self, std::string_view realm = {},
                         std::string_view firstVia = {}, std::uint64_t branch = 0,
                         const Legs& legs = {});

// A CANCEL or an ACK of the proxy's own to one branch of a forked INVITE (RFC 3261 9.1,
// 17.1.1.3, 16.7 step 10): the Request-URI of that branch, the proxy's Via with its branch, and
// From, To, Call-ID and the CSeq number of the source (any message of the call); a CANCEL's To
// without the tag the INVITE did not have.
std::string BuildHopRequest(std::string_view method, std::string_view target, const Message& source,
                            const Endpoint& self, std::uint64_t branch, const Legs& legs = {});

} // namespace tavrix
