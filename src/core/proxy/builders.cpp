#include "core/proxy/builders.h"

#include "core/proxy/digest.h"
#include "core/text/numeric.h"
#include "core/text/text.h"
#include "core/text/uri.h"
#include "core/text/via.h"

#include <algorithm>
#include <bitset>

namespace tavrix {

namespace {

// Headers a forwarded request copies from its source, in this order.
constexpr HeaderId kCopiedRequestHeaders[] = {
    HeaderId::From,         HeaderId::To,        HeaderId::CallId,         HeaderId::CSeq,
    HeaderId::Contact,      HeaderId::UserAgent, HeaderId::AcceptLanguage, HeaderId::Accept,
    HeaderId::Allow,        HeaderId::Supported, HeaderId::SessionExpires, HeaderId::ContentType,
    HeaderId::ContentLength};

// What every branch parameter starts with (RFC 3261 8.1.1.7).
constexpr std::string_view kBranchMark = "z9hG4bK";

// Max-Forwards of a request without one (RFC 3261 8.1.1.6), and the most a request keeps.
constexpr std::int16_t kMaxForwards = 70;

// The headers a message written from another one has copied its first line of.
using Written = std::bitset<static_cast<std::size_t>(HeaderId::Count)>;

// Appends "Name: value" for the source's first line of that header, unless it has none.
void Copy(std::string& text, const Message& source, HeaderId id, Written& written)
{
    AppendHeader(text, LongNameOf(id), source.Header(id));
    written.set(static_cast<std::size_t>(id));
}

// "Content-Length: N" for the body, where the source had one or has a body.
void AppendLength(std::string& text, const Message& source, Written& written)
{
    if (!source.Header(HeaderId::ContentLength).empty() || !source.Body().empty()) {
        AppendPieces(text, "Content-Length: ", source.Body().size(), kCrLf);
    }
    written.set(static_cast<std::size_t>(HeaderId::ContentLength));
}

// Every line of the source the message does not write itself, as received: not the lines of
// the proxy's own kinds (Via, Route, Record-Route, Max-Forwards, Content-Length), not the first
// line of a header copied already, not credentials for the proxy's own realm.
void CarryOn(std::string& text, const Message& source, Written written, std::string_view realm)
{
    constexpr HeaderId kOwn[] = {HeaderId::Via, HeaderId::Route, HeaderId::RecordRoute,
                                 HeaderId::MaxForwards, HeaderId::ContentLength};
    for (const HeaderLine& line : source.Lines()) {
        const auto id = static_cast<std::size_t>(line.id);
        if (std::find(std::begin(kOwn), std::end(kOwn), line.id) != std::end(kOwn)) {
            continue;
        }
        if (line.id != HeaderId::Other && written.test(id)) {
            written.reset(id); // the first line was copied; the next ones are carried on
            continue;
        }
        if (line.id == HeaderId::ProxyAuthorization && !realm.empty()) {
            const std::optional<Credentials> credentials = ParseDigest(line.value);
            if (credentials && credentials->Realm == realm) {
                continue; // consumed here (RFC 3261 22.3)
            }
        }
        AppendPieces(text, line.text, kCrLf);
    }
}

// Whether a Route value names the proxy: a "sip:" URI of the proxy's host and port.
bool NamesProxy(std::string_view route, const Endpoint& self)
{
    const Uri uri = ParseUri(route);
    return uri.Is("sip") && IsOwnEndpoint(uri.hostPort.host, uri.hostPort.Port(), self);
}

// "Record-Route: <sip:IP:PORT;lr>" for a face, with its transport but for UDP.
void AppendRecordRoute(std::string& text, const Endpoint& face)
{
    AppendPieces(text, "Record-Route: <sip:", face.IP, ":", face.Port);
    if (face.kind != TransportKind::Udp) {
        AppendPieces(text, ";transport=", UriParam(face.kind));
    }
    AppendPieces(text, ";lr>", kCrLf);
}

// Whether two Route values name faces of the proxy of another transport or address family.
bool OtherFace(std::string_view a, std::string_view b)
{
    const Uri first = ParseUri(a);
    const Uri second = ParseUri(b);
    return KindNamed(FindParam(first.params, "transport").value_or("")) !=
               KindNamed(FindParam(second.params, "transport").value_or("")) ||
           IsIPv6Reference(first.hostPort.host) != IsIPv6Reference(second.hostPort.host);
}

// The Via lines of a response. RFC 3261 16.7 step 3 and 8.2.6.2: a relayed response loses the
// proxy's own Via value (the first); an answer of the proxy's own keeps every Via of the
// request, its first line as stamped when one is given.
void AppendResponseVias(std::string& text, const Message& source, std::string_view firstVia)
{
    const bool relayed = source.IsResponse();
    bool first = true;
    for (const HeaderLine& line : source.Lines()) {
        if (line.id != HeaderId::Via) {
            continue;
        }
        if (!relayed || !first) {
            AppendHeader(text, "Via", first && !firstVia.empty() ? firstVia : line.value);
        } else if (const std::size_t comma = line.value.find(',');
                   comma != std::string_view::npos) {
            // One line may carry several values (RFC 3261 7.3.1): keep those after the first.
            AppendHeader(text, "Via", line.value.substr(comma + 1));
        }
        first = false;
    }
}

} // namespace

std::uint64_t BranchHash(std::string_view via, std::string_view callId, std::string_view cseq)
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
    return hash;
}

std::string Branch(std::string_view via, std::string_view callId, std::string_view cseq)
{
    return BranchText(BranchHash(via, callId, cseq));
}

std::string BranchText(std::uint64_t number)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string branch(kBranchMark);
    for (int shift = 60; shift >= 0; shift -= 4) {
        branch.push_back(kHex[(number >> shift) & 0xfU]);
    }
    return branch;
}

std::uint64_t ForkBranch(std::uint64_t number, std::size_t fork)
{
    // Each fork's number apart from the others' and from the unforked one (fork 0).
    return number ^ (0x9e3779b97f4a7c15ULL * static_cast<std::uint64_t>(fork));
}

std::optional<std::uint64_t> BranchNumber(std::string_view branch)
{
    if (branch.size() != kBranchMark.size() + 16 || !branch.starts_with(kBranchMark)) {
        return std::nullopt;
    }
    std::uint64_t number = 0;
    for (const char c : branch.substr(kBranchMark.size())) {
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (digit < 0) {
            return std::nullopt;
        }
        number = number << 4 | static_cast<std::uint64_t>(digit);
    }
    return number;
}

std::string ProxyBranch(const Message& source)
{
    return Branch(source.Header(HeaderId::Via), source.Header(HeaderId::CallId),
                  source.Header(HeaderId::CSeq));
}

std::string ProxyBranch(std::string_view source)
{
    return ProxyBranch(Message(source));
}

std::string BuildResponse(std::string_view status, const Message& source, std::int16_t timeLeft,
                          std::string_view ownLine, std::string_view firstVia)
{
    const std::int16_t code = NumericValue16(status.substr(0, 3));
    Written written;
    std::string text;
    text.reserve(source.Text().size() + 128);
    AppendPieces(text, "SIP/2.0 ", status, kCrLf);

    AppendResponseVias(text, source, firstVia);
    const bool relayed = source.IsResponse();
    Copy(text, source, HeaderId::From, written);
    Copy(text, source, HeaderId::To, written);
    Copy(text, source, HeaderId::CallId, written);
    // A relayed response carries the route set the callee built (RFC 3261 16.7 step 9).
    if (relayed) {
        for (const HeaderLine& line : source.Lines()) {
            if (line.id == HeaderId::RecordRoute) {
                AppendHeader(text, "Record-Route", line.value);
            }
        }
    } else {
        Copy(text, source, HeaderId::RecordRoute, written);
    }
    Copy(text, source, HeaderId::CSeq, written);
    Copy(text, source, HeaderId::UserAgent, written);

    if (code >= 100 && code <= 199) {
        Copy(text, source, HeaderId::Contact, written);
        if (timeLeft > 0) {
            Copy(text, source, HeaderId::Expires, written);
        }
    }
    const bool answersInvite = code >= 200 && code <= 299 && source.CSeqMethod() == "INVITE";
    if (answersInvite) {
        // The callee's Contact is the caller's target for the rest of the dialog (RFC 3261
        // 12.1.2); without it the caller cannot send its ACK and BYE.
        if (relayed) {
            Copy(text, source, HeaderId::Contact, written);
        }
        Copy(text, source, HeaderId::ContentType, written);
        AppendLength(text, source, written);
    }
    if (relayed) {
        CarryOn(text, source, written, {});
        if (!answersInvite) {
            AppendLength(text, source, written);
        }
    }
    if (answersInvite || relayed) {
        AppendPieces(text, kCrLf, source.Body());
    } else {
        if (!ownLine.empty()) {
            AppendPieces(text, ownLine, kCrLf);
        }
        text.append(kCrLf);
    }
    return text;
}

namespace {

// The source's Route lines but the ones that brought it here: the topmost Route naming the
// proxy, and a second one of its other face right below it.
void AppendRoutes(std::string& text, const Message& source, const Endpoint& self)
{
    int routes = 0;
    std::string_view usedUp;
    for (const HeaderLine& line : source.Lines()) {
        if (line.id == HeaderId::Route) {
            const bool own = routes < 2 && NamesProxy(line.value, self) &&
                             (routes == 0 || (!usedUp.empty() && OtherFace(line.value, usedUp)));
            if (own) {
                usedUp = line.value;
            } else {
                AppendHeader(text, "Route", line.value);
                usedUp = {};
            }
            routes = own ? routes + 1 : 2;
        }
    }
}

} // namespace

std::string BuildRequest(std::string_view method, std::string_view target, const Message& source,
                         const Endpoint& self, std::string_view realm, std::string_view firstVia,
                         std::uint64_t branch, const Legs& legs)
{
    const Endpoint& out = FaceFor(self, legs.outKind, legs.outAddress);
    const Endpoint& in = FaceFor(self, legs.inKind, legs.inAddress);
    Written written;
    std::string text;
    text.reserve(source.Text().size() + 256);
    AppendPieces(text, method, " ", target, " SIP/2.0", kCrLf);

    // RFC 3261 16.6 step 8: the proxy's Via, with a branch, on top of the source's own.
    const std::string_view top = firstVia.empty() ? source.Header(HeaderId::Via) : firstVia;
    AppendPieces(text, "Via: SIP/2.0/", ViaName(out.kind), " ", out.IP, ":", out.Port, ";branch=",
                 branch != 0
                     ? BranchText(branch)
                     : Branch(top, source.Header(HeaderId::CallId), source.Header(HeaderId::CSeq)),
                 kCrLf);
    bool first = true;
    for (const HeaderLine& line : source.Lines()) {
        if (line.id == HeaderId::Via) {
            AppendHeader(text, "Via", first ? top : line.value);
            first = false;
        }
    }
    // RFC 3261 16.6 step 4: the proxy stays in the path of the dialog's later requests; a
    // Route that brought the request here is used up (16.4).
    AppendRecordRoute(text, out);
    if (!(in == out)) {
        AppendRecordRoute(text, in); // RFC 5658 3.2: the one the caller's side reaches
    }
    for (const HeaderLine& line : source.Lines()) {
        if (line.id == HeaderId::RecordRoute) {
            AppendHeader(text, "Record-Route", line.value);
        }
    }
    AppendRoutes(text, source, self);

    // RFC 3261 16.6 step 3: one hop less than received, 70 when the source had none. More
    // than 70 counts as 70: a sender cannot buy a longer loop.
    const std::string_view received = source.Header(HeaderId::MaxForwards);
    const int hops = received.empty()
                         ? kMaxForwards
                         : std::max(0, std::min<int>(NumericValue16(received), kMaxForwards) - 1);
    AppendPieces(text, "Max-Forwards: ", hops, kCrLf);

    for (const HeaderId id : kCopiedRequestHeaders) {
        if (id == HeaderId::ContentLength) {
            AppendLength(text, source, written);
        } else {
            Copy(text, source, id, written);
        }
    }
    CarryOn(text, source, written, realm);
    AppendPieces(text, kCrLf, source.Body());
    return text;
}

std::string BuildHopRequest(std::string_view method, std::string_view target, const Message& source,
                            const Endpoint& self, std::uint64_t branch, const Legs& legs)
{
    const Endpoint& out = FaceFor(self, legs.outKind, legs.outAddress);
    std::string to(source.Header(HeaderId::To));
    if (method == "CANCEL") {
        // RFC 3261 9.1: the To of the INVITE, which had no tag yet.
        if (const std::string_view tag = TagOf(to); !tag.empty()) {
            const std::size_t at = to.find(Cat(";tag=", tag));
            if (at != std::string::npos) {
                to.erase(at, 5 + tag.size());
            }
        }
    }
    const std::string_view cseq = source.Header(HeaderId::CSeq);
    std::string text;
    AppendPieces(text, method, " ", target, " SIP/2.0", kCrLf, "Via: SIP/2.0/", ViaName(out.kind),
                 " ", out.IP, ":", out.Port, ";branch=", BranchText(branch), kCrLf,
                 "Max-Forwards: 70", kCrLf);
    AppendHeader(text, "From", source.Header(HeaderId::From));
    AppendHeader(text, "To", to);
    AppendHeader(text, "Call-ID", source.Header(HeaderId::CallId));
    AppendPieces(text, "CSeq: ", cseq.substr(0, cseq.find(' ')), " ", method, kCrLf,
                 "Content-Length: 0", kCrLf, kCrLf);
    return text;
}

} // namespace tavrix
