#pragma once

#include "core/log/logger.h"
#include "core/proxy/admission.h"
#include "core/proxy/call_relay.h"
#include "core/proxy/call_table.h"
#include "core/proxy/keepalive.h"
#include "core/proxy/outbox.h"
#include "core/proxy/registrar.h"
#include "core/text/message.h"

#include <string_view>

namespace tavrix {

// Takes each datagram through a chain of steps, each of which handles it or passes it on: a
// keep-alive is ignored, a request without a Via is dropped, a request that came back is
// stopped, the message's slot is found (or the request refused when there is none), a message
// within a call or registration from none of its parties is dropped, and the handler of its
// first word runs.
class Dispatcher
{
public:
    Dispatcher(CallTable& calls, Registrar& registrar, Admission& admission, CallRelay& relay,
               KeepAlive& keepAlive, Outbox& out, Logger& log, const Endpoint& self)
        : m_calls(calls), m_registrar(registrar), m_admission(admission), m_relay(relay),
          m_keepAlive(keepAlive), m_out(out), m_log(log), m_self(self)
    {}

    // Runs the chain for one datagram from peer. Any bytes are acceptable input.
    void Dispatch(const Message& message, const PeerAddress& peer);

private:
    // The message on its way through the chain.
    struct Incoming
    {
        const Message& message;
        const PeerAddress& peer;
        CallRecord& rec;    // the working copy of the message's slot, once found
        bool known = false; // the slot held the Call-ID before
    };
    enum class Next
    {
        Continue,
        Done
    };
    using Step = Next (Dispatcher::*)(Incoming&);
    using Handler = void (Dispatcher::*)(Incoming&);

    Next SkipKeepAlive(Incoming& in);
    Next RequireVia(Incoming& in);
    Next StopLoop(Incoming& in);
    Next TakeKeepAliveAnswer(Incoming& in);
    Next FindSlot(Incoming& in);
    Next StopStranger(Incoming& in);
    Next RunHandler(Incoming& in);

    // RFC 3261 12.2.2, 9.2, 17.1.3: whether a request comes from a party of the call or
    // registration its Call-ID names, with the dialog's tags once the call is answered (and a
    // CANCEL from the caller with the INVITE's branch).
    bool FromParty(const Incoming& in) const;
    // Whether a response answers a request the proxy forwarded (its branch in the top Via) and
    // comes from the side it went to.
    bool AnswersForwarded(const Incoming& in) const;
    // Whether the callee of a call (or any branch of a forked one) speaks from this address.
    static bool IsCalleeAddress(const CallRecord& rec, const std::string& ip);

    void OnRegister(Incoming& in);
    void OnInvite(Incoming& in) { m_relay.OnInvite(in.rec, in.message, in.peer); }
    void OnCancelOrBye(Incoming& in) { m_relay.OnCancelOrBye(in.rec, in.message, in.peer); }
    void OnAck(Incoming& in) { m_relay.OnAck(in.rec, in.message, in.peer); }
    void OnOther(Incoming& in) { m_relay.OnOther(in.rec, in.message, in.peer); }
    void OnOptions(Incoming& in);
    void OnResponse(Incoming& in) { m_relay.OnResponse(in.rec, in.message, in.peer); }
    void OnUnknown(Incoming& in);

    static constexpr Step kChain[] = {&Dispatcher::SkipKeepAlive, &Dispatcher::RequireVia,
                                      &Dispatcher::StopLoop,      &Dispatcher::TakeKeepAliveAnswer,
                                      &Dispatcher::FindSlot,      &Dispatcher::StopStranger,
                                      &Dispatcher::RunHandler};
    struct Route
    {
        std::string_view method; // the message's first word
        Handler handler;
    };
    static constexpr Route kHandlers[] = {
        {"REGISTER", &Dispatcher::OnRegister},  {"INVITE", &Dispatcher::OnInvite},
        {"CANCEL", &Dispatcher::OnCancelOrBye}, {"ACK", &Dispatcher::OnAck},
        {"BYE", &Dispatcher::OnCancelOrBye},    {"OPTIONS", &Dispatcher::OnOptions},
        {"SIP/2.0", &Dispatcher::OnResponse},   {"PRACK", &Dispatcher::OnOther},
        {"SUBSCRIBE", &Dispatcher::OnOther},    {"NOTIFY", &Dispatcher::OnOther},
        {"UPDATE", &Dispatcher::OnOther},       {"MESSAGE", &Dispatcher::OnOther},
        {"REFER", &Dispatcher::OnOther},        {"INFO", &Dispatcher::OnOther},
        {"PUBLISH", &Dispatcher::OnOther},
    };

    CallTable& m_calls;
    Registrar& m_registrar;
    Admission& m_admission;
    CallRelay& m_relay;
    KeepAlive& m_keepAlive;
    Outbox& m_out;
    Logger& m_log;
    const Endpoint& m_self;
    // The working copy each message's slot is copied into: it keeps the room its texts took,
    // so a copy rarely allocates.
    CallRecord m_work;
};

} // namespace tavrix
