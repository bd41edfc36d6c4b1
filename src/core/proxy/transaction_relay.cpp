#include "core/proxy/call_relay.h"
#include "core/text/numeric.h"
#include "core/text/uri.h"
#include "core/text/via.h"

namespace tavrix {

namespace {

// How long a forwarded request of another method may wait for its final answer (RFC 3261
// 17.1.2.2, timer F: 64 times T1).
constexpr std::int16_t kTransactionTime = 32;
// Lifetime of a subscription whose SUBSCRIBE and 2xx name none (RFC 6665 leaves it to the event
// package; an hour is what phones ask for most).
constexpr std::int16_t kDefaultSubscriptionLifetime = 3600;

} // namespace

void CallRelay::OnOther(CallRecord& rec, const Message& message, const PeerAddress& peer)
{
    m_log.WriteLog(Level::Debug, "Received '", message.Method(), "' from ", peer.IP, ":",
                   peer.Port);
    if (m_admission.HopsExhausted(message, peer)) {
        return;
    }
    if (rec.Routed()) {
        // Within a call, a subscription or a transaction still open: on to the other side.
        RelayRequest(rec, message, peer, false);
        FollowSubscription(rec, message);
        return;
    }
    if (rec.IsRegistration()) {
        // The Call-ID of a registration (RFC 3261 8.1.1.4: a new request outside a dialog has
        // a Call-ID of its own): its slot cannot hold a transaction too, and the binding stays.
        m_log.WriteLimited(Flood::Unhandled, Level::Err, "'", message.Method(), "' from ", peer.IP,
                           ":", peer.Port, " under the Call-ID of a registration refused");
        m_out.Answer(peer, "400 Bad Request", message);
        return;
    }
    if (!m_admission.Authorized(rec, message, peer)) {
        return;
    }
    const std::string user(ParseUri(message.Header(HeaderId::From)).user);
    const bool allowed = m_registrar.WithinLimits(rec, user, false, true, peer);
    if (!allowed) {
        m_out.Answer(peer, "503 Service Unavailable", message);
    }
    if (!allowed || !Route(rec, message, peer)) {
        if (m_calls.At(rec.Slot).IsBare()) {
            m_calls.CleanupCall(rec.Slot); // taken for the request alone
        }
        return;
    }
    rec.holds = Holds::Transaction;
    rec.Method = message.Method();
    rec.TimeLeft = kTransactionTime;
    rec.Caller = PeerAddress{"", peer.IP, peer.Port, peer.transport};
    rec.Contact = std::string(StripBrackets(message.Header(HeaderId::Contact)));
    rec.Owner = user;
    rec.Source = rec.Caller;
    rec.CallerTag = TagOf(message.Header(HeaderId::From));
    rec.Asked = NumericValue16(message.Header(HeaderId::Expires));
    if (message.Method() == "MESSAGE" && StartForks(rec, message, peer)) {
        return;
    }
    m_calls.Store(rec);
    Forward(rec, Side::Callee, message, peer);
}

void CallRelay::FollowSubscription(const CallRecord& rec, const Message& message)
{
    if (rec.holds != Holds::Subscription) {
        return;
    }
    // RFC 6665 4.1.2.2, 4.2.2: a refresh sets the lifetime; a NOTIFY of a terminated state
    // ends it once answered. An unsubscribe ("Expires: 0") is followed by such a NOTIFY
    // (4.1.2.3): the subscription waits for it as long as a transaction would.
    const std::string_view method = message.Method();
    std::string_view expires;
    bool ends = false;
    if (method == "SUBSCRIBE") {
        expires = message.Header(HeaderId::Expires);
        if (!expires.empty() && NumericValue(expires) <= 0) {
            expires = "32";
        }
    } else if (method == "NOTIFY") {
        const std::string_view state = message.Header("Subscription-State");
        ends = state.starts_with("terminated");
        expires = FindParam(state.substr(std::min(state.find(';'), state.size())), "expires")
                      .value_or("");
    }
    if (ends) {
        m_calls.Edit(rec.Slot).MarkEnding();
    } else if (!expires.empty()) {
        m_calls.Edit(rec.Slot).SetTimeLeft(NumericValue16(expires));
    }
}

void CallRelay::Settle(const CallRecord& rec, std::int16_t code, const Message& message)
{
    const CallRecord& slot = m_calls.At(rec.Slot);
    const std::string_view method = message.CSeqMethod();
    if (code < 200) {
        return;
    }
    if (slot.holds == Holds::Transaction && method == slot.Method) {
        if (method != "SUBSCRIBE" || code >= 300) {
            m_registrar.EndCall(rec.Slot); // the transaction is over
            return;
        }
        // RFC 6665 4.1.2.1: the 2xx's Expires is the subscription's, else the SUBSCRIBE's.
        CallRecord subscription = slot;
        subscription.holds = Holds::Subscription;
        subscription.stage = CallStage::Answered;
        subscription.CalleeTag = TagOf(message.Header(HeaderId::To));
        const std::string_view expires = message.Header(HeaderId::Expires);
        subscription.TimeLeft = !expires.empty() ? NumericValue16(expires)
                                : slot.Asked > 0 ? slot.Asked
                                                 : kDefaultSubscriptionLifetime;
        m_calls.Store(subscription);
    } else if (slot.holds == Holds::Subscription && slot.stage == CallStage::Ending &&
               (method == "NOTIFY" || method == "SUBSCRIBE")) {
        m_registrar.EndCall(rec.Slot);
    }
}

} // namespace tavrix
