#include "core/proxy/proxy.h"
#include "core/text/message.h"
#include "core/text/numeric.h"
#include "core/text/text.h"

namespace tavrix {

void Proxy::HandleResponse(CallRecord& rec, std::string_view status, std::string_view message,
                           const PeerAddress& peer)
{
    const std::int16_t code = NumericValue16(status);
    m_log.WriteLog(Level::Debug, "Got '", status, "' from '", peer.IP, ":", peer.Port, "'");
    const bool routed = !rec.Callee.Uri.empty();
    if (m_calls.At(rec.Slot).AnswerTimeLeft > 0 && code > 100 &&
        GetCSeqMethod(message) == "INVITE") {
        // A provisional answer gives the INVITE its time again; a final one ends the wait.
        m_calls.SetAnswerTimeLeft(rec.Slot, code < 200 ? kAnswerTime : 0);
    }
    // A final failure of the INVITE ends the call as surely as the answer to a BYE: the slot is
    // then freed by the caller's ACK (or given away when the table is full) instead of being
    // held for the whole call lifetime. A registration keeps its slot, and a refused re-INVITE
    // leaves the call as it was (RFC 3261 14.1).
    const auto endIfFailedInvite = [&] {
        const CallRecord& slot = m_calls.At(rec.Slot);
        if (code >= 300 && slot.IsRegistration == 0 && slot.Established == 0 &&
            GetCSeqMethod(message) == "INVITE") {
            m_calls.MarkFinished(rec.Slot);
        }
    };
    // The leg that did not send the response.
    const auto toOtherSide = [&] { rec.Leg = OnCallerSide(rec, peer) ? 1 : 0; };

    switch (code) {
    case 100:
        return;
    case 180:
        rec.Leg = 0;
        SendResponse(rec, "180 Ringing", message);
        return;
    case 183:
        SendResponse(rec, "183 Session Progress", message);
        return;
    case 200:
        if (!routed) {
            SendRequest(rec, "ACK", message);
            return;
        }
        toOtherSide();
        SendResponse(rec, "200 OK", message);
        if (const std::string method = GetCSeqMethod(message); method == "INVITE") {
            m_calls.MarkEstablished(rec.Slot);
        } else if (method == "BYE" || method == "CANCEL") {
            m_calls.MarkFinished(rec.Slot);
            m_log.WriteLog(Level::Info, "Call completed");
            m_stats.SetCompletedCalls(m_stats.CompletedCalls() + 1);
        }
        return;
    case 404:
        if (!routed) {
            return;
        }
        toOtherSide();
        SendResponse(rec, "404 Not Found", message);
        m_stats.SetFailedCalls(m_stats.FailedCalls() + 1);
        endIfFailedInvite();
        return;
    case 486:
        rec.Leg = 0;
        SendResponse(rec, "486 Busy Here", message);
        endIfFailedInvite();
        return;
    case 487:
        // RFC 3261 9.2: the caller learns that its INVITE was cancelled, and acknowledges it.
        SendResponse(rec, "487 Request Terminated", message);
        endIfFailedInvite();
        return;
    default:
        m_log.WriteLog(Level::Debug, "Dunno how to handle response #", code, " '", status,
                       "' from '", rec.Caller.IP, ":", rec.Caller.Port, "' - Forwarding");
        toOtherSide();
        SendResponse(rec, status, message);
        endIfFailedInvite();
        return;
    }
}

} // namespace tavrix
