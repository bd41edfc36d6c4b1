#pragma once

#include "core/proxy/call_relay.h"
#include "core/proxy/call_table.h"
#include "core/proxy/keepalive.h"
#include "core/proxy/registrar.h"

namespace tavrix {

// The once-a-second pass over the taken slots: counts every lifetime down and ends the
// registrations and calls that have run out, and calls whose INVITE waited too long for an
// answer; the bindings behind NAT get their keep-alives, the branches of forked calls their
// time to answer.
class Sweep
{
public:
    Sweep(CallTable& calls, Registrar& registrar, KeepAlive& keepAlive, CallRelay& relay)
        : m_calls(calls), m_registrar(registrar), m_keepAlive(keepAlive), m_relay(relay)
    {}

    // One tick. A lifetime of N is counted down on N ticks and ends on tick N + 1.
    void Run();

private:
    CallTable& m_calls;
    Registrar& m_registrar;
    KeepAlive& m_keepAlive;
    CallRelay& m_relay;
};

} // namespace tavrix
