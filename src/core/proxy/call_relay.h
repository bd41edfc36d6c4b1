#pragma once

#include "core/log/logger.h"
#include "core/log/stats.h"
#include "core/proxy/admission.h"
#include "core/proxy/call_table.h"
#include "core/proxy/outbox.h"
#include "core/proxy/registrar.h"
#include "core/proxy/route_table.h"
#include "core/text/message.h"

#include <string_view>

namespace tavrix {

// How long a forwarded INVITE may wait for a final answer, each provisional one restarting it
// (RFC 3261 16.6 step 11, timer C).
inline constexpr std::int16_t kAnswerTime = 180;
// The most branches a forked request has; further bindings of the user are not tried.
inline constexpr std::size_t kMaxForks = 10;
// How long a branch may stay silent before it counts as answered "408 Request Timeout" (RFC
// 3261 17.1.1.2, timer B: 64 times T1), and a cancelled one may take to answer finally.
inline constexpr std::int16_t kForkSilence = 32;

// The calls: a new INVITE is admitted, routed and forwarded; the requests within a call (a
// re-INVITE, CANCEL, BYE, ACK) go to the other side; responses go back. rec is the working copy
// of the message's slot; the table changes only where a step stores into it.
class CallRelay
{
public:
    CallRelay(CallTable& calls, RouteTable& routes, Registrar& registrar, Admission& admission,
              Outbox& out, Logger& log, SIP_STATS& stats, const Endpoint& self)
        : m_calls(calls), m_routes(routes), m_registrar(registrar), m_admission(admission),
          m_out(out), m_log(log), m_stats(stats), m_self(self)
    {}

    // An INVITE: a new call, or within a routed call that has not ended (RFC 3261 14: hold,
    // resume, a new codec, or a retransmission) relayed to the other side like a BYE.
    void OnInvite(CallRecord& rec, const Message& message, const PeerAddress& peer);
    // A CANCEL or BYE: "100 Trying" to its sender, then on to the other side.
    void OnCancelOrBye(CallRecord& rec, const Message& message, const PeerAddress& peer);
    // An ACK: on to the other side of a routed call; frees the slot of a call that has ended,
    // or of a Call-ID it alone brought.
    void OnAck(CallRecord& rec, const Message& message, const PeerAddress& peer);
    // A response with a status code of 100 or more, relayed to the side that did not send it;
    // the final answer to a transaction's request ends it, a SUBSCRIBE's 2xx makes it a
    // subscription.
    void OnResponse(CallRecord& rec, const Message& message, const PeerAddress& peer);
    // A request of another method (RFC 3262, 3265, 3311, 3428, 3515, 6086, 3903): within a
    // call, a subscription or an open transaction relayed to the other side without "100
    // Trying"; outside, routed as an INVITE is (credentials too, with users) without
    // registering its sender, as a transaction of its own.
    void OnOther(CallRecord& rec, const Message& message, const PeerAddress& peer);
    // A second of a forked call: its branches that stayed silent too long count as answered
    // 408; when that ends the last one, the caller gets the best final answer.
    void ForkTick(SlotNumber slot);

private:
    void StartCall(CallRecord& rec, const Message& message, const PeerAddress& peer);
    // RFC 3261 16.6, 16.7: an INVITE or MESSAGE to a user of several bindings goes to each
    // (at most kMaxForks) on a branch of its own. False, and nothing sent, for fewer than two.
    bool StartForks(CallRecord& rec, const Message& message, const PeerAddress& peer);
    // A response to one branch of a forked request; false when it answers none of them.
    bool OnForkResponse(std::int16_t code, const Message& message, const PeerAddress& peer,
                        SlotNumber slot);
    // A 2xx of a branch: the first answers the call and cancels the other branches; a later
    // one of an INVITE is relayed too (the caller ends that dialog), of a MESSAGE dropped.
    // A branch's provisional answer: the branch proceeds (or gets its CANCEL now), its early
    // dialog reaches the caller.
    void ForkProvisional(CallRecord& call, Fork& fork, std::int16_t code, const Message& message);
    void ForkAnswered(CallRecord& call, std::size_t fork, std::int16_t code, bool first,
                      const Message& message, const PeerAddress& peer);
    // A final failure of a branch: kept when it is the best so far, a 6xx cancels the others.
    void ForkFailed(CallRecord& call, std::int16_t code, const Message& message);
    // Once every branch has ended without a 2xx: the best failure (or the proxy's own 408) to
    // the caller; a forked MESSAGE's slot is freed.
    void FinishForks(const CallRecord& call);
    // CANCELs every branch still pending (RFC 3261 16.7 step 10, 9.1: a branch that has not
    // answered provisionally yet is cancelled when it does); stores the call. How many there
    // were.
    int CancelForks(CallRecord& call, const Message& source);
    // A CANCEL of the caller's for a forked call: answered by the proxy (RFC 3261 16.10), then
    // every pending branch cancelled.
    void CancelForked(const CallRecord& rec, const Message& message, const PeerAddress& peer);
    // The branch a request within a forked call goes to when its To tag names another branch
    // than the answered one (a later 2xx's dialog); nullptr for the answered one.
    static const Fork* DialogFork(const CallRecord& rec, const Message& message);
    // Whether a message belongs to such a later dialog of a forked call.
    static bool OtherDialog(const CallRecord& rec, const Message& message);
    // Keeps where that side's messages come from; not for the branches of a forked call, whose
    // addresses are known.
    void Heard(const CallRecord& rec, Side side, const PeerAddress& peer);
    // The status line a response is relayed with.
    std::string_view RelayedStatus(const CallRecord& rec, std::int16_t code,
                                   std::string_view status);
    // Finds the To user's route for rec.Callee; else answers 404, or 482 for a route to this
    // proxy, to the sender. True when routed.
    bool Route(CallRecord& rec, const Message& message, const PeerAddress& peer);
    // What a relayed response does to its call: answered, completed, failed.
    void FollowCall(const CallRecord& rec, std::int16_t code, const Message& message);
    // What a relayed response does to a transaction or a subscription.
    void Settle(const CallRecord& rec, std::int16_t code, const Message& message);
    // What a request within a subscription does to it: renewed, or ending.
    void FollowSubscription(const CallRecord& rec, const Message& message);
    // Forwards the request to that side, and keeps its branch so that only that side's answer
    // to it is taken.
    void Forward(const CallRecord& rec, Side to, const Message& message, const PeerAddress& from);
    // "100 Trying" to the sender (when asked), the request to the other side.
    void RelayRequest(const CallRecord& rec, const Message& message, const PeerAddress& peer,
                      bool trying);
    // The side the sender is on: by address and port, else by address alone.
    Side SenderSide(const CallRecord& rec, const PeerAddress& peer) const;
    // A final failure of an INVITE ends its call (not a registration, not an answered call).
    void EndIfFailedInvite(const CallRecord& rec, std::int16_t code, const Message& message);

    CallTable& m_calls;
    RouteTable& m_routes;
    Registrar& m_registrar;
    Admission& m_admission;
    Outbox& m_out;
    Logger& m_log;
    SIP_STATS& m_stats;
    const Endpoint& m_self;
};

} // namespace tavrix
