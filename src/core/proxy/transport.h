#pragma once

#include <cstdint>
#include <string_view>

namespace tavrix {

// Sends one datagram. Fire and forget: the proxy never learns whether it arrived.
class Transport
{
public:
    virtual ~Transport() = default;
    virtual void Send(std::string_view text, std::string_view address, std::uint16_t port) = 0;
};

// A transport that drops everything.
class NullTransport final : public Transport
{
public:
    void Send(std::string_view, std::string_view, std::uint16_t) override {}
};

} // namespace tavrix
