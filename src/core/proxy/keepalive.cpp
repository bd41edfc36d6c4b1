#include "core/proxy/keepalive.h"

#include "core/proxy/outbox.h"
#include "core/text/numeric.h"
#include "core/text/text.h"
#include "core/text/via.h"

#include <charconv>

namespace tavrix {

namespace {

constexpr std::string_view kCallIdMark = "keepalive-";

bool BehindNat(const CallRecord& rec)
{
    // A binding heard over a connection is kept by it (RFC 5626 4.4.1 leaves that to the phone).
    return rec.IsRegistration() && rec.Source.transport == TransportKind::Udp &&
           &Reach(rec, Side::Caller) != &rec.Caller;
}

} // namespace

void KeepAlive::Visit(SlotNumber slot)
{
    const CallRecord& binding = m_calls.At(slot);
    if (m_interval <= 0 || !BehindNat(binding)) {
        return;
    }
    // A binding not counted yet starts its first interval now.
    const std::int16_t in = binding.keepAliveIn == 0 ? m_interval : binding.keepAliveIn;
    if (in > 1) {
        m_calls.Edit(slot).SetKeepAlive(static_cast<std::int16_t>(in - 1), binding.unanswered);
    } else if (binding.unanswered >= kKeepAlivesUnanswered) {
        ++m_counts.ended;
        m_registrar.EndCall(slot);
    } else {
        Send(binding);
        m_calls.Edit(slot).SetKeepAlive(m_interval,
                                        static_cast<std::uint8_t>(binding.unanswered + 1));
    }
}

void KeepAlive::Send(const CallRecord& binding)
{
    const PeerAddress& to = Reach(binding, Side::Caller);
    const std::string callId = CallIdOf(binding);
    const std::uint64_t sequence = m_counts.sent + 1;
    const std::string branch = Branch(callId, Cat(sequence), "OPTIONS");
    std::string text;
    AppendPieces(text, "OPTIONS ", binding.Contact, " SIP/2.0\r\nVia: SIP/2.0/UDP ", m_self.IP, ":",
                 m_self.Port, ";branch=", branch, ";rport\r\nMax-Forwards: 70\r\n");
    AppendPieces(text, "From: <sip:", m_self.IP, ":", m_self.Port, ">;tag=", branch.substr(7, 8),
                 "\r\nTo: <", binding.Contact, ">\r\nCall-ID: ", callId, "\r\nCSeq: ", sequence,
                 " OPTIONS\r\nContent-Length: 0\r\n\r\n");
    m_log.WriteLog(Level::Debug, "Sending 'OPTIONS' request to: ", to.IP, ":", to.Port);
    ++m_counts.sent;
    m_sender.SendDatagram(text, to.IP, to.Port);
}

std::string KeepAlive::CallIdOf(const CallRecord& binding) const
{
    return Cat(kCallIdMark, binding.Slot, "-",
               Branch(binding.CallID, binding.Contact, "").substr(7), "@", m_self.IP);
}

bool KeepAlive::TakeAnswer(const Message& response, const PeerAddress& peer)
{
    const std::string_view callId = response.Header(HeaderId::CallId);
    if (!callId.starts_with(kCallIdMark)) {
        return false;
    }
    SlotNumber slot = 0;
    const std::string_view number = callId.substr(kCallIdMark.size());
    std::from_chars(number.data(), number.data() + number.size(), slot);
    const CallRecord& binding = m_calls.At(slot);
    if (!BehindNat(binding) || CallIdOf(binding) != callId ||
        peer.IP != Reach(binding, Side::Caller).IP) {
        return false;
    }
    m_calls.Edit(slot).SetKeepAlive(binding.keepAliveIn, 0);
    return true;
}

} // namespace tavrix
