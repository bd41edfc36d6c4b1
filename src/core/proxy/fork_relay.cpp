#include "core/proxy/call_relay.h"
#include "core/text/numeric.h"
#include "core/text/text.h"
#include "core/text/uri.h"
#include "core/text/via.h"

#include <algorithm>
#include <cctype>

namespace tavrix {

namespace {

// RFC 3261 16.7 step 6: a 6xx before all, else the lowest class; within 4xx the answers that
// let the caller try again (credentials, another body or extension, a complete address) before
// the rest. Lower is better; of two alike the first stays.
int Rank(std::int16_t code)
{
    if (code >= 600) {
        return 0;
    }
    const bool retry = code == 401 || code == 407 || code == 415 || code == 420 || code == 484;
    return code / 100 * 2 + (retry ? 0 : 1);
}

bool IsChallenge(std::int16_t code)
{
    return code == 401 || code == 407;
}

bool SameName(std::string_view a, std::string_view b)
{
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// The WWW-Authenticate and Proxy-Authenticate lines of a response, each with its CR LF.
std::string ChallengeLines(const Message& response)
{
    std::string lines;
    for (const HeaderLine& line : response.Lines()) {
        if (SameName(line.name, "WWW-Authenticate") || SameName(line.name, "Proxy-Authenticate")) {
            AppendPieces(lines, line.text, kCrLf);
        }
    }
    return lines;
}

bool AllDone(const CallRecord& call)
{
    return std::ranges::all_of(call.forks,
                               [](const Fork& fork) { return fork.state == ForkState::Done; });
}

bool IsInvite(const CallRecord& call)
{
    return call.holds != Holds::Transaction;
}

} // namespace

bool CallRelay::StartForks(CallRecord& rec, const Message& message, const PeerAddress& peer)
{
    const std::string& user = m_stats.LastRoute();
    const std::vector<std::string> routes = m_routes.RoutesOf(user);
    if (routes.size() < 2) {
        return false;
    }
    const std::uint64_t branch = m_out.BranchOf(message, peer);
    rec.forks.clear();
    for (const std::string& route : routes) {
        if (rec.forks.size() == kMaxForks) {
            m_log.WriteLog(Level::Info, routes.size() - kMaxForks, " more bindings of '", user,
                           "' not tried: at most ", kMaxForks, " branches a call");
            break;
        }
        Fork fork;
        const PeerAddress at = ContactAddress(route);
        fork.callee = PeerAddress{std::string(StripBrackets(route)), at.IP, at.Port, at.transport};
        if (IsOwnEndpoint(at.IP, at.Port, m_self)) {
            continue; // a binding that leads back here (RFC 3261 16.3 step 4)
        }
        if (const CallRecord* binding = m_calls.RegistrationOf(fork.callee.Uri)) {
            fork.heard = binding->Source;
        }
        fork.branch = ForkBranch(branch, rec.forks.size() + 1);
        fork.silentLeft = kForkSilence;
        rec.forks.push_back(std::move(fork));
    }
    rec.request = message.Text();
    m_calls.Store(rec);
    m_log.WriteLog(Level::Info, "Forking '", message.Method(), "' to ", rec.forks.size(),
                   " bindings of '", user, "'");
    for (const Fork& fork : rec.forks) {
        m_out.ForwardFork(fork, message, peer);
    }
    return true;
}

bool CallRelay::OnForkResponse(std::int16_t code, const Message& message, const PeerAddress& peer,
                               SlotNumber slot)
{
    CallRecord call = m_calls.At(slot);
    const std::optional<std::uint64_t> branch =
        BranchNumber(ParseVia(message.Header(HeaderId::Via)).Param("branch").value_or(""));
    const auto found = std::ranges::find_if(
        call.forks, [&](const Fork& fork) { return branch && fork.branch == *branch; });
    const std::string_view method = message.CSeqMethod();
    if (found == call.forks.end()) {
        return false;
    }
    if (method == "CANCEL") {
        return true; // the answer to the proxy's own CANCEL goes no further (RFC 3261 16.10)
    }
    const bool invite = IsInvite(call);
    if (method != (invite ? std::string_view("INVITE") : std::string_view(call.Method))) {
        return false;
    }
    const auto index = static_cast<std::size_t>(found - call.forks.begin());
    Fork& fork = call.forks[index];
    if (fork.tag.empty()) {
        fork.tag = TagOf(message.Header(HeaderId::To));
    }
    if (fork.state != ForkState::Cancelled) {
        fork.silentLeft = 0; // heard; a cancelled branch still owes its final answer
    }
    if (code < 200) {
        ForkProvisional(call, fork, code, message);
        return true;
    }
    const bool first = fork.state != ForkState::Done;
    fork.state = ForkState::Done;
    if (first) {
        fork.code = code;
    }
    if (code < 300) {
        ForkAnswered(call, index, code, first, message, peer);
    } else {
        if (invite) {
            m_out.SendHop("ACK", fork, message); // RFC 3261 17.1.1.3: hop by hop
        }
        if (first && call.stage == CallStage::Trying) {
            ForkFailed(call, code, message);
        }
        m_calls.Store(call);
    }
    if (first && AllDone(call)) {
        FinishForks(m_calls.At(slot));
    }
    return true;
}

void CallRelay::ForkProvisional(CallRecord& call, Fork& fork, std::int16_t code,
                                const Message& message)
{
    const bool cancelled = fork.state == ForkState::CancelDue;
    if (fork.state == ForkState::Sent) {
        fork.state = ForkState::Proceeding;
    } else if (cancelled) {
        // The caller's CANCEL came before this branch had answered at all (RFC 3261 9.1).
        m_out.SendHop("CANCEL", fork, message);
        fork.state = ForkState::Cancelled;
        fork.silentLeft = kForkSilence;
    }
    m_calls.Store(call);
    if (IsInvite(call) && code > 100 && call.AnswerTimeLeft > 0) {
        m_calls.Edit(call.Slot).SetAnswerTimeLeft(kAnswerTime);
    }
    if (code > 100 && call.stage == CallStage::Trying && !cancelled) {
        // Each branch's early dialog reaches the caller with its own To tag (RFC 3261
        // 16.7 step 5, 12.1).
        m_out.Relay(RelayedStatus(call, code, message.Status()), message, call.TimeLeft);
    }
}

void CallRelay::ForkAnswered(CallRecord& call, std::size_t index, std::int16_t code, bool first,
                             const Message& message, const PeerAddress& peer)
{
    const bool invite = IsInvite(call);
    const std::string_view status = RelayedStatus(call, code, message.Status());
    if (call.stage == CallStage::Trying) {
        // The first 2xx answers the call: that branch is the callee from now on, the others
        // are cancelled (RFC 3261 16.7 step 10).
        const Fork& fork = call.forks[index];
        call.stage = CallStage::Answered;
        if (invite) {
            call.Callee = fork.callee;
            call.CalleeSource = PeerAddress{"", peer.IP, peer.Port, peer.transport};
            call.CalleeTag = fork.tag;
            call.AnswerTimeLeft = 0;
        }
        m_calls.Store(call);
        m_out.Relay(status, message, call.TimeLeft);
        if (invite) {
            CancelForks(call, message);
        }
        return;
    }
    m_calls.Store(call);
    if (!invite) {
        // RFC 3261 16.7 step 5: a non-INVITE request is answered once.
        m_log.WriteLog(Level::Debug, "Later answer to a forked '", call.Method, "' from ", peer.IP,
                       ":", peer.Port, " dropped");
        return;
    }
    if (first) {
        // RFC 3261 16.7 step 5, 13.2.2.4: every 2xx reaches the caller, which acknowledges it
        // and ends that dialog.
        m_log.WriteLog(Level::Info, "Another branch answered the call too: '", message.Status(),
                       "' from ", peer.IP, ":", peer.Port, " relayed");
    }
    m_out.Relay(status, message, call.TimeLeft);
}

void CallRelay::ForkFailed(CallRecord& call, std::int16_t code, const Message& message)
{
    const std::int16_t held = call.held.empty() ? 0 : NumericValue16(Message(call.held).Status());
    if (IsChallenge(code) && IsChallenge(held)) {
        // RFC 3261 16.7 step 6: every branch's challenge goes to the caller in one answer.
        const std::size_t end = call.held.find("\r\n\r\n");
        if (end != std::string::npos) {
            call.held.insert(end + 2, ChallengeLines(message));
        }
    } else if (held == 0 || Rank(code) < Rank(held)) {
        call.held = message.Text();
    }
    if (code >= 600 && IsInvite(call)) {
        CancelForks(call, message); // RFC 3261 16.7 step 5: nobody else need answer
    }
}

void CallRelay::FinishForks(const CallRecord& call)
{
    const bool invite = IsInvite(call);
    if (call.stage == CallStage::Trying) {
        if (!call.held.empty()) {
            const Message best(call.held);
            const std::int16_t code = NumericValue16(best.Status());
            m_out.Relay(RelayedStatus(call, code, best.Status()), best, call.TimeLeft);
            FollowCall(call, code, best);
        } else {
            // Every branch stayed silent (RFC 3261 16.7 step 6: each counts as a 408).
            m_out.Respond(call.Source, "408 Request Timeout", Message(call.request), 0);
            if (invite) {
                m_calls.Edit(call.Slot).MarkEnding();
            }
        }
        if (invite) {
            m_calls.Edit(call.Slot).SetAnswerTimeLeft(0);
        }
    }
    if (!invite) {
        m_registrar.EndCall(call.Slot);
    }
}

int CallRelay::CancelForks(CallRecord& call, const Message& source)
{
    int pending = 0;
    for (Fork& fork : call.forks) {
        if (fork.state == ForkState::Proceeding) {
            m_out.SendHop("CANCEL", fork, source);
            fork.state = ForkState::Cancelled;
            fork.silentLeft = kForkSilence; // for its final answer
            ++pending;
        } else if (fork.state == ForkState::Sent) {
            fork.state = ForkState::CancelDue;
            ++pending;
        }
    }
    m_calls.Store(call);
    return pending;
}

void CallRelay::CancelForked(const CallRecord& rec, const Message& message, const PeerAddress& peer)
{
    m_out.Respond(peer, "200 OK", message, 0);
    CallRecord call = m_calls.At(rec.Slot);
    if (IsInvite(call) && call.stage == CallStage::Trying && CancelForks(call, message) > 0) {
        m_log.WriteLog(Level::Info, "Call completed");
        m_stats.Increment(Figure::CompletedCalls);
    }
}

void CallRelay::ForkTick(SlotNumber slot)
{
    CallRecord call = m_calls.At(slot);
    bool counting = false;
    bool ended = false;
    for (Fork& fork : call.forks) {
        if (fork.silentLeft > 0 && fork.state != ForkState::Proceeding &&
            fork.state != ForkState::Done) {
            counting = true;
            if (--fork.silentLeft == 0) {
                fork.state = ForkState::Done;
                fork.code = 408;
                ended = true;
                m_log.WriteLog(Level::Info, "No answer from ", fork.callee.IP, ":",
                               fork.callee.Port, " to a forked '",
                               IsInvite(call) ? std::string_view("INVITE") : call.Method, "'");
            }
        }
    }
    if (!counting) {
        return;
    }
    m_calls.Store(call);
    if (ended && AllDone(call)) {
        FinishForks(m_calls.At(slot));
    }
}

const Fork* CallRelay::DialogFork(const CallRecord& rec, const Message& message)
{
    const std::string_view tag = TagOf(message.Header(HeaderId::To));
    if (rec.forks.empty() || rec.CalleeTag.empty() || tag.empty() || tag == rec.CalleeTag) {
        return nullptr;
    }
    const auto found =
        std::ranges::find_if(rec.forks, [&](const Fork& fork) { return fork.tag == tag; });
    return found == rec.forks.end() ? nullptr : &*found;
}

bool CallRelay::OtherDialog(const CallRecord& rec, const Message& message)
{
    if (rec.forks.empty() || rec.CalleeTag.empty()) {
        return false;
    }
    const std::string_view from = TagOf(message.Header(HeaderId::From));
    const std::string_view to = TagOf(message.Header(HeaderId::To));
    return std::ranges::any_of(rec.forks, [&](const Fork& fork) {
        return !fork.tag.empty() && fork.tag != rec.CalleeTag &&
               (fork.tag == from || fork.tag == to);
    });
}

} // namespace tavrix
