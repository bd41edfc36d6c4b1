#include "core/proxy/dispatcher.h"

#include "core/text/numeric.h"

namespace tavrix {

void Dispatcher::Dispatch(const Message& message, const PeerAddress& peer)
{
    Incoming in{message, peer, {}};
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

Dispatcher::Next Dispatcher::StopLoop(Incoming& in)
{
    const bool looped = !in.message.IsResponse() && m_admission.Looped(in.message, in.peer);
    return looped ? Next::Done : Next::Continue;
}

Dispatcher::Next Dispatcher::FindSlot(Incoming& in)
{
    Lookup lookup = m_calls.LookupCall(in.message, in.peer);
    switch (lookup.found) {
    case Found::NoCallId:
        return Next::Done; // the message belongs to no call; the lookup has logged it
    case Found::TableFull:
        break;
    case Found::Known:
    case Found::New:
        in.rec = std::move(lookup.rec);
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
    m_out.AnswerSender(in.peer, "503 Service Unavailable", in.message);
    return Next::Done;
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
    switch (m_registrar.AdmitRequest(rec, in.message, in.peer)) {
    case AdmitResult::Admitted:
        m_out.Respond(rec, Side::Caller, "200 OK", in.message);
        return;
    case AdmitResult::NoRoom:
        m_out.AnswerSender(in.peer, "503 Service Unavailable", in.message, {}, rec.TimeLeft);
        return;
    case AdmitResult::Refused:
        break;
    }
    // The registrar has put the sender into rec.Caller, so the refusal reaches it.
    m_out.Respond(rec, Side::Caller, "401 Unauthorised", in.message);
    m_log.WriteLog(Level::Info, "Registration failed for '", rec.Username, "' at '", in.peer.IP,
                   ":", in.peer.Port, "'");
}

void Dispatcher::OnOptions(Incoming& in)
{
    m_log.WriteLog(Level::Debug, "Received 'OPTIONS' from ", in.peer.IP, ":", in.peer.Port);
    m_out.AnswerCaller(in.rec, in.peer, "200 OK", in.message);
}

void Dispatcher::OnResponse(Incoming& in)
{
    const std::string_view status = in.message.Status();
    if (NumericValue16(status) < 100) {
        m_log.WriteLimited(Flood::Unhandled, Level::Err, "Invalid response: ", status);
        return;
    }
    m_relay.OnResponse(in.rec, in.message, in.peer);
}

void Dispatcher::OnUnknown(Incoming& in)
{
    m_log.WriteLimited(Flood::Unhandled, Level::Err, "Dunno how to handle '", in.message.Method(),
                       "' request from ", in.peer.IP, ":", in.peer.Port, ".");
    m_out.AnswerCaller(in.rec, in.peer, "405 Method not allowed", in.message);
}

} // namespace tavrix
