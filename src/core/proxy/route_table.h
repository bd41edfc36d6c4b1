#pragma once

#include "core/log/logger.h"
#include "core/log/stats.h"
#include "core/proxy/index_set.h"

#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavrix {

inline constexpr std::int32_t kRouteSlots = 11;

// One route: a user name and the Contact URI (without brackets) it registered from.
struct RouteEntry
{
    std::string Username;
    std::string Contact;

    bool operator==(const RouteEntry&) const = default;
};

// The registrar's location store: slots from index 0, scanned from 0, the first match wins. A
// slot is free while its Contact is empty. Indexes beside the slots answer every scan at once.
class RouteTable
{
public:
    RouteTable(Logger& log, SIP_STATS& stats, std::string defaultRoute,
               std::int32_t slots = kRouteSlots);

    // Adds "user -> contact" unless some slot holds that Contact already (an empty Contact
    // matches a free slot). A full table logs the line and stores nothing.
    void AddRoute(const std::string& user, const std::string& contact);

    // The target for the user of an INVITE's To (the number of a "tel:" URI; a To that is no
    // URI is taken whole): a registered Contact, else for a name of more than 6 characters
    // "<sip:user@DefaultRoute>", else empty. Sets LastRoute to the user.
    std::string FindRoute(std::string_view to);

    // The Contacts of every slot of a user (not empty), in slot order: the first is the one
    // FindRoute gives.
    std::vector<std::string> RoutesOf(const std::string& user) const;

    // Logs and empties every slot whose Contact equals this one.
    void RemoveRoutes(const std::string& contact);

    // Whether adding a route to this Contact would need a slot while none is free.
    bool NoRoomFor(const std::string& contact) const
    {
        return m_free.Count() == 0 && !m_byContact.contains(contact);
    }

    // "user linked to contact" CR LF for each slot with a user, in slot order.
    std::string Listing() const;

    // Slot index; an empty entry for a free slot or any other number.
    const RouteEntry& Entry(std::int32_t index) const;
    std::int32_t Capacity() const { return m_capacity; }
    std::size_t Taken() const { return static_cast<std::size_t>(m_capacity) - m_free.Count(); }
    const std::string& DefaultRoute() const { return m_defaultRoute; }

private:
    void Put(std::size_t index, RouteEntry entry);

    Logger& m_log;
    SIP_STATS& m_stats;
    std::int32_t m_capacity;
    std::deque<RouteEntry> m_slots; // grows to the highest slot used so far
    IndexSet m_free;
    IndexSet m_listed; // slots with a user, for the listing
    std::unordered_map<std::string, std::set<std::size_t>> m_byUser; // taken slots per user
    std::unordered_map<std::string, std::set<std::size_t>> m_byContact;
    std::string m_defaultRoute;
};

} // namespace tavrix
