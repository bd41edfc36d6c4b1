#pragma once

#include "core/text/message.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavrix {

// One datagram of a call as its ladder diagram shows it.
struct LadderStep
{
    std::int64_t time = 0; // milliseconds since 1970
    bool sent = false;     // handed out by the proxy; else received by it
    std::string peer;      // the other end, "IP:PORT"
    std::string firstLine;
    std::string text; // the whole datagram, where it was kept
};

// The datagrams of one Call-ID in the order the proxy saw them.
struct CallTrace
{
    std::uint64_t id = 0; // from 1, in the order of the calls' first datagrams; 0: none
    std::string callId;
    std::string method; // INVITE or REGISTER, the request that began it
    std::string from;   // the From URI's user, else the From value
    std::string to;
    int status = 0;     // the last final answer to the method (0: none yet)
    bool ended = false; // a BYE or CANCEL answered 2xx, or the INVITE refused
    std::vector<LadderStep> steps;
    std::size_t omitted = 0;   // datagrams beyond kMaxSteps, not kept
    std::size_t textBytes = 0; // of the steps' texts
    bool changed = false;      // since the last TakeChanged
};

// The last calls and registrations, by Call-ID, in a ring of fixed size: a new Call-ID takes
// the place of the oldest. A Call-ID is taken in by the INVITE or REGISTER that begins it;
// other datagrams count only for Call-IDs taken in already. Memory is bounded by the size, the
// steps kept per call and the text kept per call.
class CallRing
{
public:
    static constexpr std::size_t kMaxSteps = 100;
    static constexpr std::size_t kTextPerCall = 32 * 1024;
    static constexpr std::size_t kMaxField = 256; // a From, To or Call-ID beyond is cut

    explicit CallRing(std::size_t size);

    // Records one datagram, received from or sent to ip:port at time (milliseconds since
    // 1970), with its whole text when keepText is set and the call has room for it. A datagram
    // without Call-ID is left out, as is one of an unknown Call-ID that begins no call.
    void Record(std::string_view text, bool sent, std::string_view ip, std::uint16_t port,
                std::int64_t time, bool keepText);

    // The call numbered id while it is in the ring; else nullptr.
    const CallTrace* Find(std::uint64_t id) const;
    // The calls in the ring, oldest first.
    std::vector<const CallTrace*> Calls() const;
    // The calls in the ring that changed since the last time, oldest first; clears the marks.
    std::vector<const CallTrace*> TakeChanged();
    std::size_t Size() const { return m_slots.size(); }

private:
    CallTrace* Begin(std::string_view callId, const Message& message);

    std::vector<CallTrace> m_slots; // call id n lives in slot (n - 1) % size
    std::unordered_map<std::string, std::uint64_t> m_byCallId;
    std::vector<std::uint64_t> m_changed;
    std::uint64_t m_last = 0;
};

} // namespace tavrix
