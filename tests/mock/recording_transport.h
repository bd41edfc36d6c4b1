#pragma once

#include "core/proxy/transport.h"

#include <cstdint>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tavrix::test {

// One datagram as the proxy handed it out.
struct Datagram
{
    std::string text;
    std::string address;
    std::uint16_t port = 0;
    TransportKind kind = TransportKind::Udp;

    bool operator==(const Datagram&) const = default;
    friend std::ostream& operator<<(std::ostream& os, const Datagram& d)
    {
        return os << d.address << ":" << d.port << "\n" << d.text;
    }
};

// Keeps every datagram sent, in order.
class RecordingTransport final : public Transport
{
public:
    void Send(std::string_view text, std::string_view address, std::uint16_t port) override
    {
        sent.push_back({std::string(text), std::string(address), port});
    }
    // A stream message goes out when a connection with that far end is open, or (TCP, TLS)
    // one can be opened.
    bool SendStream(TransportKind kind, std::string_view text, std::string_view address,
                    std::uint16_t port) override
    {
        if (!Connected(kind, address, port) &&
            (kind == TransportKind::Ws || kind == TransportKind::Wss)) {
            return false;
        }
        sent.push_back({std::string(text), std::string(address), port, kind});
        return true;
    }
    bool Connected(TransportKind kind, std::string_view address, std::uint16_t port) const override
    {
        return open.contains(Key(kind, address, port));
    }
    static std::string Key(TransportKind kind, std::string_view address, std::uint16_t port)
    {
        return std::string(ViaName(kind)) + " " + std::string(address) + ":" + std::to_string(port);
    }

    std::vector<Datagram> sent;
    std::set<std::string> open; // Key() of every open connection
};

} // namespace tavrix::test
