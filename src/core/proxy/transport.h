#pragma once

#include <cstdint>
#include <string_view>

namespace tavrix {

// What a message travels over (RFC 3261 18, RFC 7118). Every kind but UDP is a stream of
// messages over a connection.
enum class TransportKind : std::uint8_t
{
    Udp,
    Tcp,
    Tls,
    Ws,
    Wss
};

// The name in a Via ("UDP", "TCP", "TLS", "WS", "WSS").
std::string_view ViaName(TransportKind kind);
// The value of a URI's transport parameter ("udp", "tcp", "tls", "ws", "wss").
std::string_view UriParam(TransportKind kind);
// The kind a Via's transport or a URI's transport parameter names, in any case; UDP for any
// other text.
TransportKind KindNamed(std::string_view name);
inline bool IsStream(TransportKind kind)
{
    return kind != TransportKind::Udp;
}

// Hands the proxy's messages to the network. UDP is fire and forget: the proxy never learns
// whether a datagram arrived. A stream message goes over the open connection whose far end is
// the address and port (RFC 3261 18.2.2: a response over the connection its request came on);
// without one, a TCP or TLS connection to that address is opened for it, while a WebSocket
// peer, which cannot be called back, is out of reach.
class Transport
{
public:
    virtual ~Transport() = default;
    virtual void Send(std::string_view text, std::string_view address, std::uint16_t port) = 0;
    // A message over a stream transport; false when it cannot be sent at all.
    virtual bool SendStream(TransportKind /*kind*/, std::string_view /*text*/,
                            std::string_view /*address*/, std::uint16_t /*port*/)
    {
        return false;
    }
    // Whether a connection of that kind with that far end is open.
    virtual bool Connected(TransportKind /*kind*/, std::string_view /*address*/,
                           std::uint16_t /*port*/) const
    {
        return false;
    }
};

// A transport that drops everything.
class NullTransport final : public Transport
{
public:
    void Send(std::string_view, std::string_view, std::uint16_t) override {}
};

} // namespace tavrix
