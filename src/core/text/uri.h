#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

// Addresses as SIP writes them (RFC 3261 19.1, 20.10, 25.1; RFC 3966 for "tel:"), cut by one
// grammar for every caller: Contacts, Request-URIs, To and From, Route and Record-Route, the
// sent-by of a Via. The pieces are views of the text given.
namespace tavrix {

// "host[:port]": a name, a dotted quad or a bracketed IPv6 reference.
struct HostPort
{
    std::string_view host;     // as written; an IPv6 reference keeps its brackets
    std::string_view portText; // the digits after ":" as written; empty without ":"
    // The port portText stands for: 5060 without one, or for text that is not all digits;
    // 0 (no usable port) for 0 or above 65535.
    std::uint16_t Port() const;
};

// Reads "host[:port]" from the start of the text, up to the first ";", "?", ",", blank or end.
HostPort ParseHostPort(std::string_view text);

// A URI: scheme ":" [user [":" password] "@"] host [":" port] [";" params] ["?" headers]. For
// "tel:" the number is the user part and there is no host.
struct Uri
{
    std::string_view scheme; // as written; empty when the text has none (not a URI)
    std::string_view user;   // a password after ":" is not kept (RFC 3261 19.1.1: not recommended)
    HostPort hostPort;
    std::string_view params;  // after the first ";" of the URI, up to "?"
    std::string_view headers; // after "?"

    // Whether the scheme is this one, compared without regard to case (RFC 3261 19.1.4).
    bool Is(std::string_view name) const;
};

// The URI of an address: the text between "<" and the first ">" after it (a name-addr), else
// the whole text (an addr-spec). A text whose first ":" does not end a scheme (letters, digits,
// "+", "-", ".", starting with a letter) has no scheme and nothing else.
Uri ParseUri(std::string_view address);

// The values of a header that lists addresses ("<sip:a@h>;expires=60, <sip:b@h>"): split at the
// commas outside angle brackets and quotes, each without surrounding blanks; none when empty.
std::vector<std::string_view> SplitAddresses(std::string_view value);

// The tag of a From or To value (RFC 3261 19.3): the "tag" parameter after the address; empty
// when it has none.
std::string_view TagOf(std::string_view address);

} // namespace tavrix
