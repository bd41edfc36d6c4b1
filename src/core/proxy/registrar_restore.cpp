#include "core/proxy/outbox.h"
#include "core/proxy/registrar.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace tavrix {

namespace {

// The ticks left until a moment, as a lifetime field holds them.
std::int16_t TicksUntil(std::int64_t moment, std::int64_t now)
{
    return static_cast<std::int16_t>(
        std::clamp<std::int64_t>(moment - now, 0, std::numeric_limits<std::int16_t>::max()));
}

} // namespace

Binding Registrar::BindingOf(const CallRecord& rec, std::int64_t updated) const
{
    // Where the phone is heard: behind NAT, where its REGISTER came from.
    const PeerAddress& heard = Reach(rec, Side::Caller);
    return {rec.CallID, rec.Username, rec.Contact,
            heard.IP,   heard.Port,   m_clock.Seconds() + rec.TimeLeft,
            updated};
}

void Registrar::Saved(SlotNumber slot)
{
    const CallRecord& rec = m_calls.At(slot);
    if (m_store == nullptr || !rec.IsRegistration()) {
        return;
    }
    const std::int64_t now = m_clock.Seconds();
    m_updated[rec.CallID] = now;
    m_store->Save(BindingOf(rec, now));
}

std::vector<Binding> Registrar::Bindings() const
{
    std::vector<Binding> bindings;
    for (SlotNumber i = m_calls.NextTaken(0); i != 0; i = m_calls.NextTaken(i)) {
        const CallRecord& rec = m_calls.At(i);
        if (rec.IsRegistration()) {
            const auto updated = m_updated.find(rec.CallID);
            bindings.push_back(
                BindingOf(rec, updated == m_updated.end() ? m_clock.Seconds() : updated->second));
        }
    }
    return bindings;
}

void Registrar::AttachStore(RegistrarStore* store)
{
    m_store = nullptr; // what is loaded is not written back
    if (store != nullptr) {
        for (const Binding& binding : store->LoadAll()) {
            if (binding.Expires > m_clock.Seconds()) {
                Restore(binding);
            } else {
                store->Remove(binding);
            }
        }
    }
    m_store = store;
}

void Registrar::Restore(const Binding& binding)
{
    const std::int64_t now = m_clock.Seconds();
    if (binding.Expires <= now) {
        return;
    }
    if (const auto known = m_updated.find(binding.CallID);
        known != m_updated.end() && known->second > binding.Updated) {
        return; // the registration here is the later one
    }
    CallRecord rec;
    if (const SlotNumber slot = m_calls.Find(binding.CallID); slot != 0) {
        rec = m_calls.At(slot);
        if (!rec.IsRegistration()) {
            return;
        }
    } else {
        rec = m_calls.AllocateCall(binding.CallID);
        if (rec.Slot == 0 || m_routes.NoRoomFor(binding.Contact)) {
            m_log.WriteLog(Level::Err, "No room to restore the registration of '", binding.Username,
                           "'");
            m_calls.CleanupCall(rec.Slot);
            return;
        }
        rec.holds = Holds::Registration;
        rec.Username = binding.Username;
        rec.Owner = binding.Username;
        rec.Contact = binding.Contact;
        m_routes.AddRoute(binding.Username, binding.Contact);
        m_stats.Increment(Figure::Registrations);
    }
    const PeerAddress contact = ContactAddress(binding.Contact);
    rec.Caller = PeerAddress{"", contact.IP, contact.Port, contact.transport};
    rec.Source = PeerAddress{"", binding.IP, binding.Port};
    rec.TimeLeft = TicksUntil(binding.Expires, now);
    m_calls.Store(rec);
    m_updated[binding.CallID] = binding.Updated;
    m_log.WriteLog(Level::Info, "User '", rec.Username, "' restored at '", rec.Caller.IP, ":",
                   rec.Caller.Port, "' with ID: ", rec.Slot, ", ", rec.TimeLeft, " seconds left");
}

void Registrar::Forget(const Binding& binding)
{
    const SlotNumber slot = m_calls.Find(binding.CallID);
    const auto known = m_updated.find(binding.CallID);
    if (slot == 0 || !m_calls.At(slot).IsRegistration() ||
        (known != m_updated.end() && known->second > binding.Updated)) {
        return;
    }
    RegistrarStore* const store = std::exchange(m_store, nullptr);
    EndCall(slot);
    m_store = store;
}

} // namespace tavrix
