#include "core/proxy/builders.h"

#include "core/text/message.h"
#include "core/text/numeric.h"
#include "core/text/text.h"

#include <algorithm>

namespace tavrix {

namespace {

// Headers a response copies from its source, after the Via lines: the first three and the two
// after Record-Route always, the others by status.
constexpr std::string_view kResponseHeaders[] = {
    "From",    "To",      "Call-ID",      "CSeq",           "User-Agent",
    "Contact", "Expires", "Content-Type", "Content-Length", "Record-Route"};
enum ResponseHeader
{
    kRespCSeq = 3,
    kRespContact = 5,
    kRespExpires,
    kRespContentType,
    kRespContentLength,
    kRespRecordRoute,
};

// Headers a forwarded request copies from its source, in this order (the first 13), and what
// else it reads of the source.
constexpr std::string_view kRequestHeaders[] = {
    "From",           "To",          "Call-ID",         "CSeq",
    "Contact",        "User-Agent",  "Accept-Language", "Accept",
    "Allow",          "Supported",   "Session-Expires", "Content-Type",
    "Content-Length", "Max-Forwards"};
constexpr std::size_t kCopiedRequestHeaders = 13;
enum RequestHeader
{
    kReqCallId = 2,
    kReqCSeq = 3,
    kReqMaxForwards = 13,
};

// Max-Forwards of a request without one (RFC 3261 8.1.1.6), and the most a request keeps.
constexpr std::int16_t kMaxForwards = 70;

// Whether a Route value names the proxy: "<sip:" [user "@"] host [":" port] [";" params] ">".
bool NamesProxy(std::string_view route, const Endpoint& self)
{
    std::string uri(route);
    StripBrackets(uri);
    if (!uri.starts_with("sip:")) {
        return false;
    }
    std::string_view rest = std::string_view(uri).substr(4);
    rest = rest.substr(0, rest.find_first_of(";?"));
    if (const std::size_t at = rest.find('@'); at != std::string_view::npos) {
        rest.remove_prefix(at + 1);
    }
    const std::size_t colon = rest.find(':');
    const std::uint16_t port =
        colon == std::string_view::npos ? kSipPort : PortFromText(rest.substr(colon + 1));
    return IsOwnEndpoint(rest.substr(0, colon), port, self);
}

} // namespace

bool IsOwnEndpoint(std::string_view address, std::uint16_t port, const Endpoint& self)
{
    if (port != self.Port) {
        return false;
    }
    if (address == self.IP) {
        return true;
    }
    const std::optional<std::uint32_t> ip = ParseIPv4(address);
    return ip && (*ip == 0 || (*ip >> 24) == 127);
}

std::string Branch(std::string_view via, std::string_view callId, std::string_view cseq)
{
    const std::string_view parts[] = {via, callId, cseq.substr(0, cseq.find(' '))};
    // FNV-1a, 64 bits; a separator keeps "ab"+"c" apart from "a"+"bc".
    std::uint64_t hash = 14695981039346656037ULL;
    for (const std::string_view part : parts) {
        for (const char c : part) {
            hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
        }
        hash = (hash ^ 0x0aU) * 1099511628211ULL;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string branch = "z9hG4bK";
    for (int shift = 60; shift >= 0; shift -= 4) {
        branch.push_back(kHex[(hash >> shift) & 0xfU]);
    }
    return branch;
}

std::string ProxyBranch(std::string_view source)
{
    return Branch(GetHeader(source, "Via"), GetHeader(source, "Call-ID"),
                  GetHeader(source, "CSeq"));
}

std::string BuildResponse(std::string_view status, std::string_view source, std::int16_t timeLeft,
                          std::string_view ownLine)
{
    const std::int16_t code = NumericValue16(status.substr(0, 3));
    const HeaderSet headers(source, kResponseHeaders);
    std::string text;
    text.reserve(source.size() + 128);
    AppendPieces(text, "SIP/2.0 ", status, kCrLf);

    // RFC 3261 16.7 step 3 and 8.2.6.2: a relayed response loses the proxy's own Via value
    // (the first); an answer of the proxy's own keeps every Via of the request.
    const bool relayed = IsResponse(source);
    const std::vector<std::string_view> vias = GetHeaders(source, "Via");
    for (std::size_t i = 0; i < vias.size(); ++i) {
        if (!relayed || i > 0) {
            AppendHeader(text, "Via", vias[i]);
        } else if (const std::size_t comma = vias[0].find(','); comma != std::string_view::npos) {
            // One line may carry several values (RFC 3261 7.3.1): keep those after the first.
            AppendHeader(text, "Via", vias[0].substr(comma + 1));
        }
    }
    for (std::size_t i = 0; i < kRespCSeq; ++i) {
        AppendHeader(text, kResponseHeaders[i], headers[i]);
    }
    // A relayed response carries the route set the callee built (RFC 3261 16.7 step 9).
    if (relayed) {
        for (const std::string_view route : GetHeaders(source, "Record-Route")) {
            AppendHeader(text, "Record-Route", route);
        }
    } else {
        AppendHeader(text, "Record-Route", headers[kRespRecordRoute]);
    }
    AppendHeader(text, "CSeq", headers[kRespCSeq]);
    AppendHeader(text, "User-Agent", headers[kRespCSeq + 1]);

    if (code >= 100 && code <= 199) {
        AppendHeader(text, "Contact", headers[kRespContact]);
        if (timeLeft > 0) {
            AppendHeader(text, "Expires", headers[kRespExpires]);
        }
    }
    const std::string_view cseq = headers[kRespCSeq];
    const std::size_t space = cseq.find(' ');
    const std::string_view method = space == std::string_view::npos ? cseq : cseq.substr(space + 1);
    if (code >= 200 && code <= 299 && method == "INVITE") {
        // The callee's Contact is the caller's target for the rest of the dialog (RFC 3261
        // 12.1.2); without it the caller cannot send its ACK and BYE.
        if (relayed) {
            AppendHeader(text, "Contact", headers[kRespContact]);
        }
        AppendHeader(text, "Content-Type", headers[kRespContentType]);
        AppendHeader(text, "Content-Length", headers[kRespContentLength]);
        AppendPieces(text, kCrLf, GetBody(source));
    } else {
        if (!ownLine.empty()) {
            AppendPieces(text, ownLine, kCrLf);
        }
        text.append(kCrLf);
    }
    return text;
}

std::string BuildRequest(std::string_view method, std::string_view target, std::string_view source,
                         const Endpoint& self)
{
    const HeaderSet headers(source, kRequestHeaders);
    const std::vector<std::string_view> vias = GetHeaders(source, "Via");
    std::string text;
    text.reserve(source.size() + 256);
    AppendPieces(text, method, " ", target, " SIP/2.0", kCrLf);

    // RFC 3261 16.6 step 8: the proxy's Via, with a branch, on top of the source's own.
    AppendPieces(
        text, "Via: SIP/2.0/UDP ", self.IP, ":", self.Port, ";branch=",
        Branch(vias.empty() ? std::string_view() : vias[0], headers[kReqCallId], headers[kReqCSeq]),
        kCrLf);
    for (const std::string_view via : vias) {
        AppendHeader(text, "Via", via);
    }
    // RFC 3261 16.6 step 4: the proxy stays in the path of the dialog's later requests; a
    // Route that brought the request here is used up (16.4).
    AppendPieces(text, "Record-Route: <sip:", self.IP, ":", self.Port, ";lr>", kCrLf);
    for (const std::string_view route : GetHeaders(source, "Record-Route")) {
        AppendHeader(text, "Record-Route", route);
    }
    const std::vector<std::string_view> routes = GetHeaders(source, "Route");
    for (std::size_t i = 0; i < routes.size(); ++i) {
        if (i > 0 || !NamesProxy(routes[i], self)) {
            AppendHeader(text, "Route", routes[i]);
        }
    }

    // RFC 3261 16.6 step 3: one hop less than received, 70 when the source had none. More
    // than 70 counts as 70: a sender cannot buy a longer loop.
    const std::string_view received = headers[kReqMaxForwards];
    const int hops = received.empty()
                         ? kMaxForwards
                         : std::max(0, std::min<int>(NumericValue16(received), kMaxForwards) - 1);
    AppendPieces(text, "Max-Forwards: ", hops, kCrLf);

    for (std::size_t i = 0; i < kCopiedRequestHeaders; ++i) {
        AppendHeader(text, kRequestHeaders[i], headers[i]);
    }
    AppendPieces(text, kCrLf, GetBody(source));
    return text;
}

} // namespace tavrix
