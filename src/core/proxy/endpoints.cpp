#include "core/proxy/endpoints.h"

#include "core/text/numeric.h"
#include "core/text/text.h"
#include "core/text/via.h"

#include <algorithm>

namespace tavrix {

namespace {

// The Via value below the proxy's own in a relayed response.
std::string_view NextVia(const Message& response)
{
    const std::vector<std::string_view> vias = response.Headers(HeaderId::Via);
    if (vias.empty()) {
        return {};
    }
    const std::size_t comma = vias[0].find(',');
    return comma != std::string_view::npos ? vias[0].substr(comma + 1)
           : vias.size() > 1               ? vias[1]
                                           : std::string_view();
}

} // namespace

bool IsIPv6Reference(std::string_view address)
{
    if (address.size() < 4 || address.front() != '[' || address.back() != ']') {
        return false;
    }
    const std::string_view inside = address.substr(1, address.size() - 2);
    return std::ranges::count(inside, ':') >= 2 && inside.size() <= 45 &&
           std::ranges::all_of(inside, [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
                      c == ':' || c == '.';
           });
}

namespace {

bool IsOwnFace(std::string_view address, std::uint16_t port, const Endpoint& face)
{
    if (port != face.Port) {
        return false;
    }
    if (address == face.IP) {
        return true;
    }
    if (IsIPv6Reference(address)) {
        return address == "[::]" || address == "[::1]" || address == "[0:0:0:0:0:0:0:0]" ||
               address == "[0:0:0:0:0:0:0:1]";
    }
    const std::optional<std::uint32_t> ip = ParseIPv4(address);
    return ip && (*ip == 0 || (*ip >> 24) == 127);
}

} // namespace

bool IsOwnEndpoint(std::string_view address, std::uint16_t port, const Endpoint& self)
{
    return IsOwnFace(address, port, self) ||
           std::ranges::any_of(
               self.faces, [&](const Endpoint& face) { return IsOwnFace(address, port, face); });
}

const Endpoint& FaceFor(const Endpoint& self, TransportKind kind, std::string_view address)
{
    const bool v6 = IsIPv6Reference(address);
    if (kind == TransportKind::Udp && !v6) {
        return self;
    }
    const Endpoint* ofKind = nullptr;
    for (const Endpoint& face : self.faces) {
        if (face.kind == kind && IsIPv6Reference(face.IP) == v6) {
            return face;
        }
        if (face.kind == kind && ofKind == nullptr) {
            ofKind = &face;
        }
    }
    return ofKind != nullptr ? *ofKind : self;
}

std::string StampVia(std::string_view line, const Endpoint& from)
{
    const std::size_t comma = std::min(line.find(','), line.size());
    const std::string_view value = line.substr(0, comma);
    const ViaValue via = ParseVia(value);
    const bool stream = IsStream(from.kind);
    const bool rport = via.Param("rport").has_value() || stream;
    const bool elsewhere = via.sentBy.host != from.IP || stream;
    if (!rport && !elsewhere) {
        return std::string(line);
    }
    // The value without the parameters this proxy writes, then those.
    const std::size_t semicolon = std::min(value.find(';'), value.size());
    std::string stamped(value.substr(0, semicolon));
    std::string_view params = value.substr(std::min(semicolon + 1, value.size()));
    while (semicolon < value.size() && !params.empty()) {
        const std::string_view param = params.substr(0, params.find(';'));
        const std::string_view name = TrimSpaces(param.substr(0, param.find('=')));
        if (name != "received" && name != "rport") {
            AppendPieces(stamped, ";", param);
        }
        params.remove_prefix(std::min(param.size() + 1, params.size()));
    }
    if (elsewhere) {
        const bool v6 = IsIPv6Reference(from.IP);
        AppendPieces(stamped, ";received=",
                     v6 ? std::string_view(from.IP).substr(1, from.IP.size() - 2)
                        : std::string_view(from.IP));
    }
    if (rport) {
        AppendPieces(stamped, ";rport=", from.Port);
    }
    stamped.append(line.substr(comma));
    return stamped;
}

Endpoint AnswerAddress(const Message& request, const Endpoint& from, const Endpoint& self)
{
    const ViaValue via = ParseVia(request.Header(HeaderId::Via));
    const bool own = IsOwnEndpoint(via.sentBy.host, via.sentBy.Port(), self);
    const bool here = via.Param("rport") || own || IsStream(from.kind);
    return {from.IP, here ? from.Port : via.sentBy.Port(), from.kind, {}};
}

Endpoint ResponseAddress(const Message& response)
{
    const ViaValue via = ParseVia(NextVia(response));
    const std::string_view received = via.Param("received").value_or("");
    const std::string_view rport = via.Param("rport").value_or("");
    const bool v6 = received.find(':') != std::string_view::npos;
    return {received.empty() ? std::string(via.sentBy.host)
            : v6             ? Cat("[", received, "]")
                             : std::string(received),
            rport.empty() ? via.sentBy.Port() : PortFromText(rport),
            KindNamed(via.transport),
            {}};
}

} // namespace tavrix
