#include "core/proxy/outbox.h"

namespace tavrix {

namespace {

// A flood from ever new (forged) sources keeps the table small: past this many sources in a
// second, a new one gets no answer.
constexpr std::size_t kMaxAnsweredSources = 10000;

Endpoint EndpointOf(const PeerAddress& peer)
{
    return {peer.IP, peer.Port, peer.transport, {}};
}

Legs LegsOf(const PeerAddress& from, const PeerAddress& to)
{
    return {from.transport, from.IP, to.transport, to.IP};
}

} // namespace

void Outbox::Respond(const PeerAddress& from, std::string_view status, const Message& request,
                     std::int16_t timeLeft, std::string_view ownLine)
{
    const std::string via = StampVia(request.Header(HeaderId::Via), EndpointOf(from));
    Send(AnswerAddress(request, EndpointOf(from), m_self), status,
         BuildResponse(status, request, timeLeft, ownLine, via));
}

void Outbox::Answer(const PeerAddress& from, std::string_view status, const Message& request,
                    std::string_view ownLine)
{
    const auto known = m_answers.find(from.IP);
    const bool room = known != m_answers.end() ? known->second < kAnswersPerSecond
                                               : m_answers.size() < kMaxAnsweredSources;
    const std::string via = StampVia(request.Header(HeaderId::Via), EndpointOf(from));
    const std::string text = BuildResponse(status, request, 0, ownLine, via);
    // The bytes of an answer to a datagram of unknown origin stay below 1.5 times its own.
    if (!room || text.size() * 2 > request.Text().size() * 3) {
        m_log.Count(Flood::AnswerLimit);
        ++m_leftOut;
        return;
    }
    ++m_answers[from.IP];
    Send(AnswerAddress(request, EndpointOf(from), m_self), status, text);
}

void Outbox::Relay(std::string_view status, const Message& response, std::int16_t timeLeft)
{
    Endpoint to = ResponseAddress(response);
    // RFC 3261 18.2.2: back over the connection the request came on, whatever stream its Via
    // names (a TLS phone may write TCP there); "received" and "rport" name its far end.
    if (IsStream(to.kind) && !m_sender.Connected(to.kind, to.IP, to.Port)) {
        for (const TransportKind kind :
             {TransportKind::Tcp, TransportKind::Tls, TransportKind::Ws, TransportKind::Wss}) {
            if (m_sender.Connected(kind, to.IP, to.Port)) {
                to.kind = kind;
                break;
            }
        }
    }
    Send(to, status, BuildResponse(status, response, timeLeft));
}

void Outbox::Send(const Endpoint& to, std::string_view status, const std::string& text)
{
    m_log.WriteLog(Level::Debug, "Sending '", status, "' to ", to.IP, ":", to.Port);
    m_sender.SendDatagram(text, to.IP, to.Port, to.kind);
}

std::uint64_t Outbox::Forward(const CallRecord& rec, Side side, std::string_view method,
                              const Message& source, const PeerAddress& from)
{
    const PeerAddress& named = rec.Party(side);
    m_log.WriteLog(Level::Debug, "Sending '", method, "' request to: ", named.IP, ":", named.Port);
    const std::string& target =
        side == Side::Callee || rec.Contact.empty() ? rec.Callee.Uri : rec.Contact;
    const std::string via = StampVia(source.Header(HeaderId::Via), EndpointOf(from));
    const PeerAddress& to = Reach(rec, side, m_sender);
    // The branch BuildRequest would derive from the same Via, worked out once.
    const std::uint64_t branch =
        BranchHash(via, source.Header(HeaderId::CallId), source.Header(HeaderId::CSeq));
    m_sender.SendDatagram(
        BuildRequest(method, target, source, m_self, m_realm, via, branch, LegsOf(from, to)), to.IP,
        to.Port, to.transport);
    return branch;
}

std::uint64_t Outbox::BranchOf(const Message& source, const PeerAddress& from) const
{
    return BranchHash(StampVia(source.Header(HeaderId::Via), EndpointOf(from)),
                      source.Header(HeaderId::CallId), source.Header(HeaderId::CSeq));
}

void Outbox::ForwardFork(const Fork& fork, const Message& source, const PeerAddress& from)
{
    const PeerAddress& to = Reach(fork, m_sender);
    m_log.WriteLog(Level::Debug, "Sending '", source.Method(), "' request to: ", to.IP, ":",
                   to.Port);
    const std::string via = StampVia(source.Header(HeaderId::Via), EndpointOf(from));
    m_sender.SendDatagram(BuildRequest(source.Method(), fork.callee.Uri, source, m_self, m_realm,
                                       via, fork.branch, LegsOf(from, to)),
                          to.IP, to.Port, to.transport);
}

void Outbox::SendHop(std::string_view method, const Fork& fork, const Message& source)
{
    const PeerAddress& to = Reach(fork, m_sender);
    m_log.WriteLog(Level::Debug, "Sending '", method, "' request to: ", to.IP, ":", to.Port);
    m_sender.SendDatagram(
        BuildHopRequest(method, fork.callee.Uri, source, m_self, fork.branch, LegsOf(to, to)),
        to.IP, to.Port, to.transport);
}

void Outbox::Tick()
{
    if (m_leftOut > 0) {
        m_log.WriteLog(Level::Err, m_leftOut,
                       " answers not sent: more than 20 a second for one address, or larger "
                       "than 1.5 times their request");
    }
    m_leftOut = 0;
    m_answers.clear();
}

const PeerAddress& Reach(const CallRecord& rec, Side side)
{
    const PeerAddress& named = rec.Party(side);
    const PeerAddress& heard = side == Side::Callee ? rec.CalleeSource : rec.Source;
    return heard.IP.empty() || heard.IP == named.IP ? named : heard;
}

const PeerAddress& Reach(const Fork& fork, const DatagramSender& sender)
{
    if (IsStream(fork.heard.transport)) {
        return sender.Connected(fork.heard.transport, fork.heard.IP, fork.heard.Port) ? fork.heard
                                                                                      : fork.callee;
    }
    return fork.heard.IP.empty() || fork.heard.IP == fork.callee.IP ? fork.callee : fork.heard;
}

const PeerAddress& Reach(const CallRecord& rec, Side side, const DatagramSender& sender)
{
    // RFC 3261 18, the approach of RFC 5626: a party heard over a connection is reached over
    // it while it is open (a phone behind NAT cannot take a new one), else at its Contact.
    const PeerAddress& heard = side == Side::Callee ? rec.CalleeSource : rec.Source;
    if (IsStream(heard.transport)) {
        return sender.Connected(heard.transport, heard.IP, heard.Port) ? heard : rec.Party(side);
    }
    return Reach(rec, side);
}

} // namespace tavrix
