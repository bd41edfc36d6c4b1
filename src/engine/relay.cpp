#include "engine/proxy.h"
#include "sip/message.h"
#include "sip/numeric.h"
#include "sip/text.h"

namespace tavrix {

void Proxy::HandleResponse(CallRecord& rec, std::string_view status, std::string_view message,
                           const PeerAddress& peer)
{
    const std::int16_t code = NumericValue16(status);
    if (m_log.Passes(Level::LOG_DEBUG)) {
        m_log.WriteLog(Level::LOG_DEBUG,
                       Cat("Got '", status, "' from '", peer.IP, ":", peer.Port, "'"));
    }
    const bool routed = !rec.Callee.Uri.empty();
    // A final failure of the INVITE ends the call as surely as the answer to a BYE: the slot is
    // then freed by the caller's ACK (or given away when the table is full) instead of being
    // held for the whole call lifetime. A registration keeps its slot.
    const auto endIfFailedInvite = [&] {
        CallRecord& slot = m_calls.At(rec.Slot);
        if (code >= 300 && slot.IsRegistration == 0 && GetCSeqMethod(message) == "INVITE") {
            slot.Finished = kTrue;
        }
    };
    // The leg that did not send the response, told apart by IP alone.
    const auto toOtherSide = [&] { rec.Leg = OnCallerSide(rec, peer) ? 1 : 0; };

    switch (code) {
    case 100:
        return;
    case 180:
        rec.Leg = 0;
        m_sender.SendResponse(rec, "180 Ringing", message);
        return;
    case 183:
        m_sender.SendResponse(rec, "183 Session Progress", message);
        return;
    case 200:
        if (!routed) {
            m_sender.SendRequest(rec, "ACK", message);
            return;
        }
        toOtherSide();
        m_sender.SendResponse(rec, "200 OK", message);
        if (const std::string method = GetCSeqMethod(message);
            method == "BYE" || method == "CANCEL") {
            m_calls.At(rec.Slot).Finished = kTrue;
            if (m_log.Passes(Level::LOG_INFO)) {
                m_log.WriteLog(Level::LOG_INFO, "Call completed");
            }
            m_stats.SetCompletedCalls(Saturated(m_stats.CompletedCalls(), 1));
        }
        return;
    case 404:
        if (!routed) {
            return;
        }
        toOtherSide();
        m_sender.SendResponse(rec, "404 Not Found", message);
        m_stats.SetFailedCalls(Saturated(m_stats.FailedCalls(), 1));
        endIfFailedInvite();
        return;
    case 486:
        rec.Leg = 0;
        m_sender.SendResponse(rec, "486 Busy Here", message);
        endIfFailedInvite();
        return;
    case 487:
        // The caller is told its cancelled INVITE ended with "200 OK".
        m_sender.SendResponse(rec, "200 OK", message);
        endIfFailedInvite();
        return;
    default:
        if (m_log.Passes(Level::LOG_DEBUG)) {
            m_log.WriteLog(Level::LOG_DEBUG,
                           Cat("Dunno how to handle response #", code, " '", status, "' from '",
                               rec.Caller.IP, ":", rec.Caller.Port, "' - Forwarding"));
        }
        toOtherSide();
        m_sender.SendResponse(rec, status, message);
        endIfFailedInvite();
        return;
    }
}

} // namespace tavrix
