#include "core/proxy/call_relay.h"

#include "core/text/numeric.h"
#include "core/text/text.h"
#include "core/text/uri.h"
#include "core/text/via.h"

namespace tavrix {

namespace {

// Lifetime of a call whose INVITE names no Session-Expires.
constexpr std::int16_t kDefaultCallLifetime = 7200;

Side Other(Side side)
{
    return side == Side::Caller ? Side::Callee : Side::Caller;
}

} // namespace

void CallRelay::OnInvite(CallRecord& rec, const Message& message, const PeerAddress& peer)
{
    if (rec.Routed() && rec.stage != CallStage::Ending) {
        m_log.WriteLog(Level::Debug, "Received 'INVITE' from ", peer.IP, ":", peer.Port);
        if (!rec.forks.empty() && rec.stage == CallStage::Trying &&
            ParseVia(message.Header(HeaderId::Via)).Param("branch").value_or("") ==
                rec.InviteBranch) {
            // The caller sent its INVITE again: every branch has it already (RFC 3261 16.10,
            // 17.2.1: the proxy's server transaction takes the repeat).
            m_out.Respond(peer, "100 Trying", message, rec.TimeLeft);
            return;
        }
        if (!m_admission.HopsExhausted(message, peer)) {
            RelayRequest(rec, message, peer, true);
        }
        return;
    }
    m_log.WriteLog(Level::Debug, "Using latest request as basis request");
    if (m_admission.HopsExhausted(message, peer) || !m_admission.Authorized(rec, message, peer)) {
        return;
    }
    rec.TimeLeft = NumericValue16(message.Header(HeaderId::SessionExpires));
    if (rec.TimeLeft == 0) {
        rec.TimeLeft = kDefaultCallLifetime;
    }
    switch (m_registrar.AdmitRequest(rec, message, peer)) {
    case AdmitResult::Admitted:
        StartCall(rec, message, peer);
        return;
    case AdmitResult::OverLimit:
        m_out.Answer(peer, "503 Service Unavailable", message);
        return;
    case AdmitResult::Refused:
    case AdmitResult::NoRoom:
    case AdmitResult::BadRequest:
        return;
    }
}

void CallRelay::StartCall(CallRecord& rec, const Message& message, const PeerAddress& peer)
{
    m_log.WriteLog(Level::Info, "Call started");
    m_stats.Increment(Figure::CallAttempts);
    m_out.Respond(peer, "100 Trying", message, rec.TimeLeft);
    if (!Route(rec, message, peer)) {
        m_stats.Increment(Figure::FailedCalls);
        return;
    }
    rec.AnswerTimeLeft = kAnswerTime;
    if (rec.holds == Holds::Nothing) {
        rec.holds = Holds::Call;
    }
    // Who may speak in the call from now on (RFC 3261 12.2.2, 9.2): the INVITE's sender, its
    // tag and its branch (a CANCEL carries the same).
    rec.Source = PeerAddress{"", peer.IP, peer.Port, peer.transport};
    rec.CallerTag = TagOf(message.Header(HeaderId::From));
    rec.InviteBranch = ParseVia(message.Header(HeaderId::Via)).Param("branch").value_or("");
    if (StartForks(rec, message, peer)) {
        return;
    }
    m_calls.Store(rec);
    Forward(rec, Side::Callee, message, peer);
}

bool CallRelay::Route(CallRecord& rec, const Message& message, const PeerAddress& peer)
{
    const std::string route = m_routes.FindRoute(message.Header(HeaderId::To));
    if (route.empty()) {
        m_out.Answer(peer, "404 Not Found", message);
        return false;
    }
    const PeerAddress callee = ContactAddress(route);
    rec.Callee =
        PeerAddress{std::string(StripBrackets(route)), callee.IP, callee.Port, callee.transport};
    // A binding behind NAT is reached where its REGISTER came from (RFC 3261 18.2.1).
    if (const CallRecord* binding = m_calls.RegistrationOf(rec.Callee.Uri); binding != nullptr) {
        rec.CalleeSource = binding->Source;
    }
    if (IsOwnEndpoint(rec.Callee.IP, rec.Callee.Port, m_self)) {
        // Forwarding to ourselves would go round forever (RFC 3261 16.3 step 4).
        m_out.Answer(peer, "482 Loop Detected", message);
        m_log.WriteLimited(Flood::Loop, Level::Err, "Loop detected: route for '",
                           m_stats.LastRoute(), "' leads back to this proxy (", rec.Callee.IP, ":",
                           rec.Callee.Port, ")");
        return false;
    }
    return true;
}

void CallRelay::Forward(const CallRecord& rec, Side to, const Message& message,
                        const PeerAddress& from)
{
    std::uint64_t branch = 0;
    if (const Fork* fork = to == Side::Callee ? DialogFork(rec, message) : nullptr) {
        CallRecord leg = rec;
        leg.Callee = fork->callee;
        leg.CalleeSource = fork->heard;
        branch = m_out.Forward(leg, to, message.Method(), message, from);
    } else {
        branch = m_out.Forward(rec, to, message.Method(), message, from);
    }
    if (message.Method() != "ACK") {
        m_calls.Edit(rec.Slot).NoteForwarded(branch, to);
    }
}

void CallRelay::OnCancelOrBye(CallRecord& rec, const Message& message, const PeerAddress& peer)
{
    m_log.WriteLog(Level::Debug, "Received '", message.Method(), "' from ", peer.IP, ":",
                   peer.Port);
    if (m_admission.HopsExhausted(message, peer)) {
        return;
    }
    if (!rec.forks.empty() && message.Method() == "CANCEL") {
        CancelForked(rec, message, peer);
        return;
    }
    if (!rec.Routed() && !rec.IsRegistration()) {
        // RFC 3261 12.2.2, 9.2: no call of this Call-ID to end here; the sender would try again
        // for 32 s without an answer.
        m_out.Answer(peer, "481 Call/Transaction Does Not Exist", message);
        if (m_calls.At(rec.Slot).IsBare()) {
            m_calls.CleanupCall(rec.Slot);
        }
        return;
    }
    // RFC 4320 4.1, RFC 3261 17.1.2.2: a 100 to a BYE or CANCEL only quiets the sender's
    // retransmissions, and over a stream there are none (a phone took it for a refusal there
    // and sent its BYE again under a new CSeq, hiding the callee's 200 to the first).
    RelayRequest(rec, message, peer, !IsStream(peer.transport));
}

void CallRelay::OnAck(CallRecord& rec, const Message& message, const PeerAddress& peer)
{
    m_log.WriteLog(Level::Debug, "Received 'ACK' from ", peer.IP, ":", peer.Port);
    if (m_admission.HopsExhausted(message, peer)) {
        return;
    }
    // An ACK goes to the other side: the caller's of an answer to its INVITE, the callee's of
    // an answer to the callee's re-INVITE.
    const CallRecord& slot = m_calls.At(rec.Slot);
    if (!slot.forks.empty() && slot.CalleeTag.empty()) {
        // RFC 3261 16.7 step 6, 17.1.1.3: the proxy acknowledged every branch's failure
        // itself; the caller's ACK of the one relayed ends here.
        m_log.WriteLog(Level::Debug, "ACK of a failed forked call taken");
    } else if (rec.Routed()) {
        const Side from = SenderSide(rec, peer);
        Heard(rec, from, peer);
        Forward(m_calls.At(rec.Slot), Other(from), message, peer);
    }
    // The table decides, not the copy: the relay marks the slot when the call ends. A stray
    // ACK (of a challenge, say) takes no slot from the request that follows it.
    if (m_calls.At(rec.Slot).stage == CallStage::Ending || m_calls.At(rec.Slot).IsBare()) {
        m_registrar.EndCall(rec.Slot);
    }
}

void CallRelay::RelayRequest(const CallRecord& rec, const Message& message, const PeerAddress& peer,
                             bool trying)
{
    if (trying) {
        m_out.Respond(peer, "100 Trying", message, rec.TimeLeft);
    }
    const Side from = SenderSide(rec, peer);
    Heard(rec, from, peer);
    Forward(m_calls.At(rec.Slot), Other(from), message, peer);
}

Side CallRelay::SenderSide(const CallRecord& rec, const PeerAddress& peer) const
{
    // Two phones may share an address (one PC, one NAT): the port tells them apart. Only a
    // sender that is neither leg exactly is placed by its address alone. The caller is also
    // where its INVITE came from.
    if ((peer.IP == rec.Callee.IP && peer.Port == rec.Callee.Port) ||
        (peer.IP == rec.CalleeSource.IP && peer.Port == rec.CalleeSource.Port)) {
        return Side::Callee;
    }
    for (const Fork& fork : rec.forks) {
        if ((peer.IP == fork.callee.IP && peer.Port == fork.callee.Port) ||
            (peer.IP == fork.heard.IP && peer.Port == fork.heard.Port)) {
            return Side::Callee;
        }
    }
    if ((peer.IP == rec.Caller.IP && peer.Port == rec.Caller.Port) ||
        (peer.IP == rec.Source.IP && peer.Port == rec.Source.Port)) {
        return Side::Caller;
    }
    return peer.IP == rec.Caller.IP || peer.IP == rec.Source.IP ? Side::Caller : Side::Callee;
}

void CallRelay::EndIfFailedInvite(const CallRecord& rec, std::int16_t code, const Message& message)
{
    // The slot is then freed by the caller's ACK (or given away when the table is full) instead
    // of being held for the whole call lifetime; a refused re-INVITE leaves the call as it was
    // (RFC 3261 14.1).
    const CallRecord& slot = m_calls.At(rec.Slot);
    if (code >= 300 && !slot.IsRegistration() && slot.stage == CallStage::Trying &&
        message.CSeqMethod() == "INVITE") {
        m_calls.Edit(rec.Slot).MarkEnding();
    }
}

void CallRelay::OnResponse(CallRecord& rec, const Message& message, const PeerAddress& peer)
{
    const std::string_view status = message.Status();
    const std::int16_t code = NumericValue16(status);
    m_log.WriteLog(Level::Debug, "Got '", status, "' from '", peer.IP, ":", peer.Port, "'");
    if (!rec.forks.empty() && OnForkResponse(code, message, peer, rec.Slot)) {
        return;
    }
    if (m_calls.At(rec.Slot).AnswerTimeLeft > 0 && code > 100 && message.CSeqMethod() == "INVITE") {
        // A provisional answer gives the INVITE its time again; a final one ends the wait.
        m_calls.Edit(rec.Slot).SetAnswerTimeLeft(code < 200 ? kAnswerTime : 0);
    }
    if (code == 100) {
        return;
    }
    const std::string_view relayed = RelayedStatus(rec, code, status);
    // RFC 3261 16.7: to the side that did not send it, where its Via says.
    Heard(rec, SenderSide(rec, peer), peer);
    m_out.Relay(relayed, message, rec.TimeLeft);
    FollowCall(rec, code, message);
    Settle(rec, code, message);
}

std::string_view CallRelay::RelayedStatus(const CallRecord& rec, std::int16_t code,
                                          std::string_view status)
{
    switch (code) {
    case 180:
        return "180 Ringing";
    case 183:
        return "183 Session Progress";
    case 200:
        return "200 OK";
    case 404:
        return "404 Not Found";
    case 486:
        return "486 Busy Here";
    case 487:
        // RFC 3261 9.2: the caller learns that its INVITE was cancelled, and acknowledges it.
        return "487 Request Terminated";
    default:
        m_log.WriteLog(Level::Debug, "Dunno how to handle response #", code, " '", status,
                       "' from '", rec.Caller.IP, ":", rec.Caller.Port, "' - Forwarding");
        return status;
    }
}

void CallRelay::Heard(const CallRecord& rec, Side side, const PeerAddress& peer)
{
    if (side == Side::Caller || rec.forks.empty()) {
        m_calls.Edit(rec.Slot).Heard(side, peer);
    }
}

void CallRelay::FollowCall(const CallRecord& rec, std::int16_t code, const Message& message)
{
    const std::string_view method = message.CSeqMethod();
    const bool call = rec.holds == Holds::Call || rec.holds == Holds::CallAndRegistration;
    if (OtherDialog(rec, message)) {
        return; // a later 2xx's dialog of a forked call ends on its own; the call goes on
    }
    if (code == 200 && method == "INVITE") {
        m_calls.Edit(rec.Slot).MarkAnswered(TagOf(message.Header(HeaderId::To)));
    } else if (code == 200 && call && (method == "BYE" || method == "CANCEL")) {
        m_calls.Edit(rec.Slot).MarkEnding();
        m_log.WriteLog(Level::Info, "Call completed");
        m_stats.Increment(Figure::CompletedCalls);
    } else if (code == 404 && call) {
        m_stats.Increment(Figure::FailedCalls);
    }
    EndIfFailedInvite(rec, code, message);
}

} // namespace tavrix
