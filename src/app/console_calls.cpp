#include "app/console_calls.h"

#include "core/text/message.h"
#include "core/text/text.h"
#include "core/text/uri.h"

#include <algorithm>
#include <charconv>

namespace tavrix {

namespace {

// The text up to its first line end (or all of it), cut to the field size.
std::string_view FirstLine(std::string_view text)
{
    return text.substr(0, std::min(text.find_first_of("\r\n"), CallRing::kMaxField));
}

std::string Field(std::string_view text)
{
    return std::string(text.substr(0, CallRing::kMaxField));
}

// The user of the URI of a From or To value; the whole value without one.
std::string UserOf(std::string_view value)
{
    const Uri uri = ParseUri(value);
    return Field(uri.user.empty() ? value : uri.user);
}

// The status code of a response's first line; 0 when it has none.
int StatusCode(std::string_view firstLine)
{
    const std::size_t space = firstLine.find(' ');
    int code = 0;
    if (space != std::string_view::npos) {
        std::from_chars(firstLine.data() + space + 1, firstLine.data() + firstLine.size(), code);
    }
    return code;
}

// What a response tells about its call: the final answer to the call's own request, and
// whether the call is over (RFC 3261 15: a BYE or CANCEL answered; an INVITE refused).
void TakeAnswer(CallTrace& call, const Message& message, std::string_view firstLine)
{
    const int code = StatusCode(firstLine);
    if (code < 200) {
        return;
    }
    const std::string_view method = message.CSeqMethod();
    if (method == call.method) {
        call.status = code;
        // A challenge (401, 407) is followed by the same request with credentials.
        const bool refused = code >= 300 && code != 401 && code != 407;
        call.ended = call.ended || (call.method == "INVITE" && refused);
    } else if ((method == "BYE" || method == "CANCEL") && code < 300) {
        call.ended = true;
    }
}

} // namespace

CallRing::CallRing(std::size_t size) : m_slots(std::max<std::size_t>(size, 1)) {}

CallTrace* CallRing::Begin(std::string_view callId, const Message& message)
{
    const std::string_view method = message.Method();
    if (message.IsResponse() || (method != "INVITE" && method != "REGISTER")) {
        return nullptr;
    }
    const std::uint64_t id = ++m_last;
    CallTrace& call = m_slots[(id - 1) % m_slots.size()];
    if (call.id != 0) {
        m_byCallId.erase(call.callId);
    }
    call.id = id;
    call.callId = callId;
    call.method = method;
    call.from = UserOf(message.Header(HeaderId::From));
    call.to = UserOf(message.Header(HeaderId::To));
    call.status = 0;
    call.ended = false;
    call.steps.clear(); // keeps its room for the next call
    call.omitted = 0;
    call.textBytes = 0;
    call.changed = false;
    m_byCallId.emplace(callId, id);
    return &call;
}

void CallRing::Record(std::string_view text, bool sent, std::string_view ip, std::uint16_t port,
                      std::int64_t time, bool keepText)
{
    // Cut as it is kept, so that a long Call-ID finds its call again.
    const Message message(text);
    std::string callId(message.Header(HeaderId::CallId));
    if (callId.empty()) {
        return;
    }
    callId.resize(std::min(callId.size(), kMaxField));
    const auto known = m_byCallId.find(callId);
    CallTrace* call = known == m_byCallId.end() ? Begin(callId, message)
                                                : &m_slots[(known->second - 1) % m_slots.size()];
    if (call == nullptr) {
        return;
    }
    const std::string_view firstLine = FirstLine(text);
    if (message.IsResponse()) {
        TakeAnswer(*call, message, firstLine);
    }
    if (!call->changed) {
        call->changed = true;
        if (m_changed.size() >= 2 * m_slots.size()) {
            // Nobody took the changes for a while: forget those of calls gone from the ring.
            const std::uint64_t first = m_last - std::min<std::uint64_t>(m_last, m_slots.size());
            std::erase_if(m_changed, [first](std::uint64_t id) { return id <= first; });
        }
        m_changed.push_back(call->id);
    }
    if (call->steps.size() == kMaxSteps) {
        ++call->omitted;
        return;
    }
    LadderStep& step = call->steps.emplace_back();
    step.time = time;
    step.sent = sent;
    step.peer = ip.substr(0, kMaxField); // an address and port fit its own room, unallocated
    step.peer += ':';
    AppendPiece(step.peer, port);
    step.firstLine = firstLine;
    if (keepText && call->textBytes + text.size() <= kTextPerCall) {
        step.text = text;
        call->textBytes += text.size();
    }
}

const CallTrace* CallRing::Find(std::uint64_t id) const
{
    const CallTrace& call = m_slots[(id - 1) % m_slots.size()];
    return id != 0 && call.id == id ? &call : nullptr;
}

std::vector<const CallTrace*> CallRing::Calls() const
{
    std::vector<const CallTrace*> calls;
    const std::uint64_t first = m_last > m_slots.size() ? m_last - m_slots.size() + 1 : 1;
    for (std::uint64_t id = first; id <= m_last; ++id) {
        calls.push_back(Find(id));
    }
    return calls;
}

std::vector<const CallTrace*> CallRing::TakeChanged()
{
    std::sort(m_changed.begin(), m_changed.end());
    std::vector<const CallTrace*> calls;
    for (const std::uint64_t id : m_changed) {
        CallTrace& call = m_slots[(id - 1) % m_slots.size()];
        if (call.id == id) {
            call.changed = false;
            calls.push_back(&call);
        }
    }
    m_changed.clear();
    return calls;
}

} // namespace tavrix
