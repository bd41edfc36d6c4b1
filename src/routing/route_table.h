#pragma once

#include "console/logger.h"
#include "console/stats.h"
#include "sip/call_table.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavrix {

inline constexpr std::int16_t kRouteSlots = 11;

// One route: a user name and the Contact URI (without brackets) it registered from.
struct RouteEntry
{
    std::string Username;
    std::string Contact;

    bool operator==(const RouteEntry&) const = default;
};

// The registrar's location store: 11 slots (0 to 10), scanned from 0, the first match wins.
class RouteTable
{
public:
    RouteTable(Logger& log, SIP_STATS& stats) : m_log(log), m_stats(stats) {}

    // Adds "From user -> rec.Contact" unless some slot holds that Contact already. A full
    // table logs the line and stores nothing.
    void AddRoute(const CallRecord& rec, std::string_view source);

    // The target for the To user of an INVITE: a registered Contact, else for a name of more
    // than 6 characters "<sip:user@DefaultRoute>", else empty. Sets LastRoute to the user.
    std::string FindRoute(std::string_view message);

    // Logs and empties every slot whose Contact equals rec.Contact.
    void RemoveRoutes(const CallRecord& rec);

    // "user linked to contact" CR LF for each slot with a user, in slot order.
    std::string Listing() const;

    const RouteEntry& Entry(std::int16_t index) const { return m_slots.at(index); }
    const std::string& DefaultRoute() const { return m_defaultRoute; }
    void SetDefaultRoute(std::string route) { m_defaultRoute = std::move(route); }

private:
    Logger& m_log;
    SIP_STATS& m_stats;
    std::array<RouteEntry, kRouteSlots> m_slots{};
    std::string m_defaultRoute = "127.0.0.1:5060";
};

} // namespace tavrix
