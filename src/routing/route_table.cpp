#include "routing/route_table.h"

#include "routing/uri.h"
#include "sip/message.h"
#include "sip/text.h"

namespace tavrix {

namespace {

// Unregistered names longer than this go to the default route.
constexpr std::size_t kShortNameLength = 6;

} // namespace

void RouteTable::AddRoute(const CallRecord& rec, std::string_view source)
{
    // The duplicate test looks at the Contact only; an empty Contact matches any free slot.
    for (const RouteEntry& entry : m_slots) {
        if (entry.Contact == rec.Contact) {
            return;
        }
    }
    const std::string user = GetUriUser(GetHeader(source, "From"));
    if (m_log.Passes(Level::LOG_DEBUG)) {
        m_log.WriteLog(Level::LOG_DEBUG, Cat("Add route '", user, "' to ", rec.Contact));
    }
    for (RouteEntry& entry : m_slots) {
        if (entry.Contact.empty()) {
            entry.Username = user;
            entry.Contact = rec.Contact;
            return;
        }
    }
}

std::string RouteTable::FindRoute(std::string_view message)
{
    const std::string to = GetHeader(message, "To");
    const std::string key = to.find("sip:") != std::string::npos ? GetUriUser(to) : to;
    if (m_log.Passes(Level::LOG_INFO)) {
        m_log.WriteLog(Level::LOG_INFO, Cat("Looking for destination for: ", key));
    }
    // The panel shows the user looked up, whatever the outcome.
    m_stats.SetLastRoute(key);

    for (const RouteEntry& entry : m_slots) {
        if (entry.Username == key) {
            if (!entry.Contact.empty()) {
                return entry.Contact;
            }
            break;
        }
    }
    if (key.size() > kShortNameLength) {
        return Cat("<sip:", key, "@", m_defaultRoute, ">");
    }
    if (m_log.Passes(Level::LOG_INFO)) {
        m_log.WriteLog(Level::LOG_INFO, Cat("No route for: ", key));
    }
    return {};
}

void RouteTable::RemoveRoutes(const CallRecord& rec)
{
    if (m_log.Passes(Level::LOG_DEBUG)) {
        m_log.WriteLog(Level::LOG_DEBUG, Cat("Removing routes to ", rec.Contact));
    }
    for (RouteEntry& entry : m_slots) {
        if (entry.Contact == rec.Contact) {
            entry = RouteEntry{};
        }
    }
}

std::string RouteTable::Listing() const
{
    std::string text;
    for (const RouteEntry& entry : m_slots) {
        if (!entry.Username.empty()) {
            text.append(Cat(entry.Username, " linked to ", entry.Contact, kCrLf));
        }
    }
    return text;
}

} // namespace tavrix
