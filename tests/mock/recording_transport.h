#pragma once

#include "core/proxy/transport.h"

#include <cstdint>
#include <ostream>
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
    std::vector<Datagram> sent;
};

} // namespace tavrix::test
