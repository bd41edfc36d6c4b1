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
    Refused,   // the From URI is no SIP URI
    NoRoom,    // a REGISTER needs a route and the route table is full
    OverLimit, // the user holds as many bindings or calls as one user may
    BadRequest // "Contact: *" beside another Contact, or with an Expires other than 0
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

    // Admits the sender of an INVITE into rec (its Caller): a Contact known anywhere is taken
    // as it is; an unknown one is registered anew in the request's own slot, ending a
    // registration the slot held under another Contact. The slot gets what its Expires says and
    // counts as a call of its From user.
    AdmitResult AdmitRequest(CallRecord& rec, const Message& message, const PeerAddress& peer);
    // A REGISTER (RFC 3261 10.3): every Contact it names is a binding of its From user, each
    // with its own lifetime, in a slot of its own: one the user holds already is refreshed,
    // whatever the Call-ID; "Contact: *" with "Expires: 0" ends them all at once. A Contact
    // another user's registration holds is left to it. A slot the request took and needs no
    // more is given back.
    AdmitResult AdmitRegister(CallRecord& rec, const Message& message, const PeerAddress& peer);
    // "Contact: <URI>;expires=N" for every binding the user holds, N the seconds it has left,
    // lines joined by CR LF; empty when it holds none.
    std::string BindingLines(const std::string& user) const;
    void SetLimits(const UserLimits& limits) { m_limits = limits; }
    // Whether the user may take one more binding (or call) in place of what rec's slot holds;
    // logs why not. Always while users need not authenticate.
    bool WithinLimits(const CallRecord& rec, const std::string& user, bool binding, bool call,
                      const PeerAddress& peer);

    // Frees a slot by any path. A registration ends with it as the sweep ends one: its line,
    // its routes (unless another registration holds the Contact), the counter, the store.
    void EndCall(SlotNumber slot);
    // Ends the registration the slot holds, if any, as EndCall does, and leaves the slot taken.
    void EndRegistration(SlotNumber slot);
    // A WebSocket connection with that far end closed: every binding registered over it ends
    // (its Contact names no host to reach it at; RFC 7118 5).
    void ConnectionClosed(const PeerAddress& peer);

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
    // Records a new registration of the INVITE's sender in rec's slot.
    AdmitResult Register(CallRecord& rec, const Message& message, const PeerAddress& peer,
                         std::int16_t lifetime);
    // The From gate of REGISTER and INVITE: the sender goes into rec.Caller; false (logged)
    // when the From URI is no "sip:" URI.
    bool FromSipUri(CallRecord& rec, const Message& message, const PeerAddress& peer);
    // One Contact of a REGISTER.
    AdmitResult Bind(const CallRecord& rec, const Message& message, const PeerAddress& peer,
                     const std::string& user, std::string_view value);
    // A new binding of the Contact in the slot.
    // Ends the user's bindings registered over the connection the peer names (own: the
    // request's slot, which stays taken).
    void ReplaceOnConnection(const std::string& user, const PeerAddress& peer, SlotNumber own);
    void CreateBinding(CallRecord slot, const std::string& user, std::string contact,
                       std::int16_t lifetime, const PeerAddress& peer);

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
