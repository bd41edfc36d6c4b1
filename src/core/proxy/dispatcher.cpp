#include "core/proxy/dispatcher.h"

#include "core/text/numeric.h"
#include "core/text/uri.h"
#include "core/text/via.h"

#include <algorithm>

namespace tavrix {

void Dispatcher::Dispatch(const Message& message, const PeerAddress& peer)
{
    Incoming in{message, peer, m_work};
    for (const Step step : kChain) {
        if ((this->*step)(in) == Next::Done) {
            return;
        }
    }
}

Dispatcher::Next Dispatcher::SkipKeepAlive(Incoming& in)
{
    // A keep-alive (RFC 5626 3.5.1): nothing to answer.
    const bool blank = in.message.Text().find_first_not_of(" \t\r\n") == std::string_view::npos;
    return blank ? Next::Done : Next::Continue;
}

Dispatcher::Next Dispatcher::RequireVia(Incoming& in)
{
    // RFC 3261 18.2.2: a request without a Via has nowhere to be answered; nothing is done.
    if (in.message.IsResponse() || !in.message.Header(HeaderId::Via).empty()) {
        return Next::Continue;
    }
    m_log.WriteLimited(Flood::Unhandled, Level::Err, "No Via: '", in.message.Method(), "' from ",
                       in.peer.IP, ":", in.peer.Port, " dropped");
    return Next::Done;
}

Dispatcher::Next Dispatcher::StopLoop(Incoming& in)
{
    const bool looped = !in.message.IsResponse() && m_admission.Looped(in.message, in.peer);
    return looped ? Next::Done : Next::Continue;
}

Dispatcher::Next Dispatcher::TakeKeepAliveAnswer(Incoming& in)
{
    const bool taken = in.message.IsResponse() && m_keepAlive.TakeAnswer(in.message, in.peer);
    return taken ? Next::Done : Next::Continue;
}

Dispatcher::Next Dispatcher::FindSlot(Incoming& in)
{
    const Found found = m_calls.LookupCall(in.message, in.peer, in.rec);
    switch (found) {
    case Found::NoCallId:
        return Next::Done; // the message belongs to no call; the lookup has logged it
    case Found::TableFull:
        break;
    case Found::Known:
    case Found::New:
        in.known = found == Found::Known;
        return Next::Continue;
    }
    // Every slot holds a live call or registration: refuse new requests (RFC 3261 21.5.4),
    // drop what cannot be answered.
    const std::string_view method = in.message.Method();
    if (method == "SIP/2.0" || method == "ACK") {
        m_log.WriteLimited(Flood::CallTableFull, Level::Err, "Call table full, dropping '", method,
                           "' from ", in.peer.IP, ":", in.peer.Port);
        return Next::Done;
    }
    m_log.WriteLimited(Flood::CallTableFull, Level::Err, "Call table full, refusing '", method,
                       "' request from ", in.peer.IP, ":", in.peer.Port);
    m_out.Answer(in.peer, "503 Service Unavailable", in.message);
    return Next::Done;
}

Dispatcher::Next Dispatcher::StopStranger(Incoming& in)
{
    const bool response = in.message.IsResponse();
    const std::string_view status = in.message.Status();
    // RFC 3261 7.2: a status code is three digits from 100 to 699; no other reaches a phone.
    if (const std::int16_t code = NumericValue16(status); response && (code < 100 || code > 699)) {
        m_log.WriteLimited(Flood::Unhandled, Level::Err, "Invalid response: ", status);
    } else if (response ? AnswersForwarded(in) : FromParty(in)) {
        return Next::Continue;
    } else {
        m_log.WriteLimited(Flood::Stranger, Level::Err, "Not a party to the call: '",
                           response ? status : in.message.Method(), "' from ", in.peer.IP, ":",
                           in.peer.Port, " dropped");
    }
    if (!in.known) {
        m_calls.CleanupCall(in.rec.Slot); // a response to nothing takes no slot
    }
    return Next::Done;
}

bool Dispatcher::FromParty(const Incoming& in) const
{
    const CallRecord& rec = in.rec;
    if (!in.known || (!rec.Routed() && !rec.IsRegistration())) {
        return true; // a new Call-ID, or a slot nobody owns yet
    }
    const std::string& ip = in.peer.IP;
    const bool caller = ip == rec.Caller.IP || ip == rec.Source.IP;
    if (!caller && !(rec.Routed() && IsCalleeAddress(rec, ip))) {
        return false;
    }
    if (!rec.CalleeTag.empty()) {
        const std::string_view from = TagOf(in.message.Header(HeaderId::From));
        const std::string_view to = TagOf(in.message.Header(HeaderId::To));
        // The dialog of the answer, or of another branch's 2xx of a forked call.
        const auto dialog = [&](std::string_view tag) {
            return (from == rec.CallerTag && to == tag) || (from == tag && to == rec.CallerTag);
        };
        if (!dialog(rec.CalleeTag) && std::ranges::none_of(rec.forks, [&](const Fork& fork) {
                return !fork.tag.empty() && dialog(fork.tag);
            })) {
            return false;
        }
    }
    if (in.message.Method() == "CANCEL" && rec.Routed()) {
        const ViaValue top = ParseVia(in.message.Header(HeaderId::Via));
        return caller && top.Param("branch").value_or("") == rec.InviteBranch;
    }
    return true;
}

bool Dispatcher::AnswersForwarded(const Incoming& in) const
{
    const ViaValue top = ParseVia(in.message.Header(HeaderId::Via));
    const std::optional<std::uint64_t> branch = BranchNumber(top.Param("branch").value_or(""));
    if (!branch || !IsOwnEndpoint(top.sentBy.host, top.sentBy.Port(), m_self)) {
        return false;
    }
    const CallRecord& rec = in.rec;
    const std::string& ip = in.peer.IP;
    for (const Forwarded& sent : rec.forwarded) {
        if (sent.used && sent.branch == *branch) {
            return sent.to == Side::Callee ? IsCalleeAddress(rec, ip)
                                           : ip == rec.Caller.IP || ip == rec.Source.IP;
        }
    }
    // A branch of a forked request answers from where it was sent.
    return std::ranges::any_of(rec.forks, [&](const Fork& fork) {
        return fork.branch == *branch && (ip == fork.callee.IP || ip == fork.heard.IP);
    });
}

bool Dispatcher::IsCalleeAddress(const CallRecord& rec, const std::string& ip)
{
    return ip == rec.Callee.IP || ip == rec.CalleeSource.IP ||
           std::ranges::any_of(rec.forks, [&](const Fork& fork) {
               return ip == fork.callee.IP || ip == fork.heard.IP;
           });
}

Dispatcher::Next Dispatcher::RunHandler(Incoming& in)
{
    const std::string_view method = in.message.Method();
    for (const Route& route : kHandlers) {
        if (route.method == method) {
            (this->*route.handler)(in);
            return Next::Done;
        }
    }
    OnUnknown(in);
    return Next::Done;
}

void Dispatcher::OnRegister(Incoming& in)
{
    CallRecord& rec = in.rec;
    m_log.WriteLog(Level::Debug, "REGISTER request from '", in.peer.IP, ":", in.peer.Port, "'");
    if (!m_admission.Authorized(rec, in.message, in.peer)) {
        return;
    }
    // Every answer goes to the REGISTER's sender (RFC 3261 10.3, 16.7).
    switch (m_registrar.AdmitRegister(rec, in.message, in.peer)) {
    case AdmitResult::Admitted: {
        // RFC 3261 10.3 step 8: the 200 lists every binding the user holds now.
        const std::string user(ParseUri(in.message.Header(HeaderId::From)).user);
        m_out.Respond(in.peer, "200 OK", in.message, 0, m_registrar.BindingLines(user));
        return;
    }
    case AdmitResult::NoRoom:
        m_out.Answer(in.peer, "503 Service Unavailable", in.message);
        return;
    case AdmitResult::OverLimit:
        m_out.Answer(in.peer, "403 Forbidden", in.message);
        return;
    case AdmitResult::BadRequest:
        m_out.Answer(in.peer, "400 Bad Request", in.message);
        return;
    case AdmitResult::Refused:
        break;
    }
    m_out.Answer(in.peer, "401 Unauthorised", in.message);
    m_log.WriteLog(Level::Info, "Registration failed for '", rec.Username, "' at '", in.peer.IP,
                   ":", in.peer.Port, "'");
}

void Dispatcher::OnOptions(Incoming& in)
{
    m_log.WriteLog(Level::Debug, "Received 'OPTIONS' from ", in.peer.IP, ":", in.peer.Port);
    m_out.Answer(in.peer, "200 OK", in.message);
}

void Dispatcher::OnUnknown(Incoming& in)
{
    m_log.WriteLimited(Flood::Unhandled, Level::Err, "Dunno how to handle '", in.message.Method(),
                       "' request from ", in.peer.IP, ":", in.peer.Port, ".");
    // RFC 3261 21.4.6: the answer says what is handled.
    m_out.Answer(in.peer, "405 Method not allowed", in.message,
                 "Allow: INVITE, ACK, CANCEL, BYE, OPTIONS, REGISTER, PRACK, SUBSCRIBE, NOTIFY, "
                 "UPDATE, MESSAGE, REFER, INFO, PUBLISH");
}

} // namespace tavrix
