#pragma once

#include "core/log/clock.h"
#include "core/log/logger.h"
#include "core/log/stats.h"
#include "core/proxy/call_table.h"
#include "core/proxy/registrar_store.h"
#include "core/proxy/route_table.h"
#include "core/text/message.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace tavrix {

// What the registrar made of a REGISTER or of an INVITE that starts a call.
enum class AdmitResult
{
    Admitted,
    Refused,  // the From URI is no SIP URI
    NoRoom,   // a REGISTER needs a route and the route table is full
    OverLimit // the user holds as many bindings or calls as one user may
};

// What one user may hold at once; enforced only while users must authenticate.
struct UserLimits
{
    bool enforced = false;
    int bindings = 10;
    int calls = 10;
};

// The registrations: made by REGISTER (and by an INVITE from a Contact not known yet), each in
// a call-table slot with a route from its user to its Contact, counted in Registrations, told to
// a store when one is attached, ended by running out or with their slot.
class Registrar
{
public:
    Registrar(CallTable& calls, RouteTable& routes, Logger& log, SIP_STATS& stats, Clock& clock)
        : m_calls(calls), m_routes(routes), m_log(log), m_stats(stats), m_clock(clock)
    {}

    // Admits the sender of a REGISTER or an INVITE into rec (its Caller): a Contact known
    // anywhere is taken as it is; an unknown one is registered anew in the request's own slot,
    // ending a registration the slot held under another Contact. A REGISTER's lifetime is set
    // on the user's binding of that Contact, whatever its Call-ID (one slot per binding); an
    // INVITE's slot gets what its Expires says and counts as a call of its From user.
    AdmitResult AdmitRequest(CallRecord& rec, const Message& message, const PeerAddress& peer);
    void SetLimits(const UserLimits& limits) { m_limits = limits; }

    // Frees a slot by any path. A registration ends with it as the sweep ends one: its line,
    // its routes (unless another registration holds the Contact), the counter, the store.
    void EndCall(SlotNumber slot);
    // Ends the registration the slot holds, if any, as EndCall does, and leaves the slot taken.
    void EndRegistration(SlotNumber slot);

    // Keeps every registration in the store from now on, after loading the ones it holds that
    // have not run out (nullptr: memory only).
    void AttachStore(RegistrarStore* store);
    // A registration made elsewhere: taken in unless a later one of its Call-ID is here.
    void Restore(const Binding& binding);
    // A registration ended elsewhere: it ends here too, without telling the store again.
    void Forget(const Binding& binding);
    // Every registration held now, as the store keeps them.
    std::vector<Binding> Bindings() const;

private:
    // Records a new registration of the request's sender in rec's slot.
    AdmitResult Register(CallRecord& rec, const Message& message, const PeerAddress& peer,
                         std::int16_t lifetime);
    // A REGISTER of a Contact known already: its user's binding refreshed, or nothing held.
    void Refresh(const CallRecord& rec, const std::string& user, std::int16_t lifetime);
    // Whether the user may take one more of what the request asks for; logs why not.
    bool WithinLimits(const CallRecord& rec, const std::string& user, bool binding, bool call,
                      const PeerAddress& peer);
    Binding BindingOf(const CallRecord& rec, std::int64_t updated) const;
    // Tells the store that the slot's registration was made or refreshed.
    void Saved(SlotNumber slot);

    CallTable& m_calls;
    RouteTable& m_routes;
    Logger& m_log;
    SIP_STATS& m_stats;
    Clock& m_clock;
    RegistrarStore* m_store = nullptr;
    UserLimits m_limits;
    std::unordered_map<std::string, std::int64_t> m_updated; // Call-ID -> last registered
};

} // namespace tavrix
