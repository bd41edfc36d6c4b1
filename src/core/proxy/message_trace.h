#pragma once

#include <cstdint>
#include <string_view>

namespace tavrix {

// Sees every datagram the proxy takes in and every one it hands to the transport.
class MessageTrace
{
public:
    virtual ~MessageTrace() = default;
    virtual void Received(std::string_view text, std::string_view ip, std::uint16_t port) = 0;
    virtual void Sent(std::string_view text, std::string_view ip, std::uint16_t port) = 0;
};

} // namespace tavrix
