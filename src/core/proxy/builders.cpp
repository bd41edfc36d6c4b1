#include "core/proxy/builders.h"

#include "core/text/message.h"
#include "core/text/numeric.h"
#include "core/text/text.h"

#include <algorithm>

namespace tavrix {

namespace {

// Headers a response copies from its source: the first six always (after the Via lines), the
// others by status.
constexpr std::string_view kResponseHeaders[] = {
    "From",       "To",      "Call-ID", "Record-Route", "CSeq",
    "User-Agent", "Contact", "Expires", "Content-Type", "Content-Length"};
enum ResponseHeader
{
    kRespCSeq = 4,
    kRespContact = 6,
    kRespExpires,
    kRespContentType,
    kRespContentLength,
};

// Headers a forwarded request copies from its source, in this order (the first 13), and what
// else it reads of the source.
constexpr std::string_view kRequestHeaders[] = {
    "From",           "To",         "Call-ID",         "CSeq",
    "Contact",        "User-Agent", "Accept-Language", "Accept",
    "Allow",          "Supported",  "Session-Expires", "Content-Type",
    "Content-Length", "Via",        "Max-Forwards"};
constexpr std::size_t kCopiedRequestHeaders = 13;
enum RequestHeader
{
    kReqCallId = 2,
    kReqCSeq = 3,
    kReqVia = 13,
    kReqMaxForwards = 14,
};

// Max-Forwards of a request without one (RFC 3261 8.1.1.6).
constexpr std::int16_t kDefaultMaxForwards = 70;

void AppendLine(std::string& text, std::string_view line)
{
    text.append(line);
    text.append(kCrLf);
}

std::string BranchOf(std::string_view via, std::string_view callId, std::string_view cseq)
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

} // namespace

std::string ProxyBranch(std::string_view source)
{
    return BranchOf(GetHeader(source, "Via"), GetHeader(source, "Call-ID"),
                    GetHeader(source, "CSeq"));
}

std::string BuildResponse(std::string_view status, std::string_view source, std::int16_t timeLeft)
{
    const std::int16_t code = NumericValue16(status.substr(0, 3));
    const HeaderSet headers(source, kResponseHeaders);
    std::string text;
    text.reserve(source.size() + 128);
    text.append("SIP/2.0 ");
    AppendLine(text, status);

    // RFC 3261 16.7 step 3 and 8.2.6.2: a relayed response loses the proxy's own Via value
    // (the first); an answer of the proxy's own keeps every Via of the request.
    const bool relayed = IsResponse(source);
    const std::vector<std::string_view> vias = ViaLines(source);
    for (std::size_t i = 0; i < vias.size(); ++i) {
        if (!relayed || i > 0) {
            AppendLine(text, vias[i]);
            continue;
        }
        // One line may carry several values (RFC 3261 7.3.1): keep those after the first.
        const std::size_t comma = vias[0].find(',');
        if (comma != std::string_view::npos) {
            AppendHeader(text, "Via", vias[0].substr(comma + 1));
        }
    }
    for (std::size_t i = 0; i < kRespContact; ++i) {
        AppendHeader(text, kResponseHeaders[i], headers[i]);
    }

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
        text.append(kCrLf);
        text.append(GetBody(source));
    } else {
        text.append(kCrLf);
    }
    return text;
}

std::string BuildRequest(std::string_view method, std::string_view target, std::string_view source,
                         const Endpoint& self)
{
    const HeaderSet headers(source, kRequestHeaders);
    std::string text;
    text.reserve(source.size() + 256);
    text.append(method);
    text.append(" ");
    text.append(target);
    AppendLine(text, " SIP/2.0");

    // RFC 3261 16.6 step 8: the proxy's Via, with a branch, on top of the source's own.
    AppendLine(text, Cat("Via: SIP/2.0/UDP ", self.IP, ":", self.Port, ";branch=",
                         BranchOf(headers[kReqVia], headers[kReqCallId], headers[kReqCSeq])));
    for (const std::string_view via : ViaLines(source)) {
        AppendLine(text, via);
    }
    AppendHeader(text, "Record-Route", BuildRecordRoute(source, self.IP));

    // RFC 3261 16.6 step 3: one hop less than received, 70 when the source had none.
    const std::string_view received = headers[kReqMaxForwards];
    const int hops =
        received.empty() ? kDefaultMaxForwards : std::max(0, NumericValue16(received) - 1);
    AppendLine(text, Cat("Max-Forwards: ", hops));

    for (std::size_t i = 0; i < kCopiedRequestHeaders; ++i) {
        AppendHeader(text, kRequestHeaders[i], headers[i]);
    }
    text.append(kCrLf);
    text.append(GetBody(source));
    return text;
}

} // namespace tavrix
