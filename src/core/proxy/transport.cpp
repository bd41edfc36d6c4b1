#include "core/proxy/transport.h"

#include <algorithm>
#include <cctype>

namespace tavrix {

namespace {

constexpr std::string_view kViaNames[] = {"UDP", "TCP", "TLS", "WS", "WSS"};
constexpr std::string_view kUriParams[] = {"udp", "tcp", "tls", "ws", "wss"};

} // namespace

std::string_view ViaName(TransportKind kind)
{
    return kViaNames[static_cast<std::size_t>(kind)];
}

std::string_view UriParam(TransportKind kind)
{
    return kUriParams[static_cast<std::size_t>(kind)];
}

TransportKind KindNamed(std::string_view name)
{
    for (std::size_t i = 0; i < std::size(kViaNames); ++i) {
        if (std::ranges::equal(name, kViaNames[i], [](char a, char b) {
                return std::toupper(static_cast<unsigned char>(a)) == b;
            })) {
            return static_cast<TransportKind>(i);
        }
    }
    return TransportKind::Udp;
}

} // namespace tavrix
