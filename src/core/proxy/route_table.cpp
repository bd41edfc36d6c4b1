#include "core/proxy/route_table.h"

#include "core/text/text.h"
#include "core/text/uri.h"

namespace tavrix {

namespace {

// Unregistered names longer than this go to the default route.
constexpr std::size_t kShortNameLength = 6;

const RouteEntry kEmptyEntry;

std::size_t Lowest(const std::unordered_map<std::string, std::set<std::size_t>>& index,
                   const std::string& key)
{
    const auto found = index.find(key);
    return found == index.end() ? IndexSet::npos : *found->second.begin();
}

} // namespace

RouteTable::RouteTable(Logger& log, SIP_STATS& stats, std::string defaultRoute, std::int32_t slots)
    : m_log(log), m_stats(stats), m_capacity(slots), m_free(static_cast<std::size_t>(slots), true),
      m_listed(static_cast<std::size_t>(slots)), m_defaultRoute(std::move(defaultRoute))
{}

void RouteTable::AddRoute(const std::string& user, const std::string& contact)
{
    // The duplicate test looks at the Contact only; an empty Contact matches any free slot.
    if (m_byContact.contains(contact) || (contact.empty() && m_free.Count() > 0)) {
        return;
    }
    m_log.WriteLog(Level::Debug, "Add route '", user, "' to ", contact);
    const std::size_t index = m_free.First();
    if (index != IndexSet::npos) {
        Put(index, RouteEntry{user, contact});
    }
}

std::string RouteTable::FindRoute(std::string_view to)
{
    const Uri uri = ParseUri(to);
    const std::string key(uri.scheme.empty() ? to : uri.user);
    m_log.WriteLog(Level::Info, "Looking for destination for: ", key);
    // The panel shows the user looked up, whatever the outcome.
    m_stats.SetLastRoute(key);

    // The first slot whose user is the key; for an empty key a free slot may come first, and
    // a free slot leads nowhere.
    const std::size_t found = Lowest(m_byUser, key);
    if (found != IndexSet::npos && (!key.empty() || found < m_free.First())) {
        return m_slots[found].Contact;
    }
    if (key.size() > kShortNameLength) {
        return Cat("<sip:", key, "@", m_defaultRoute, ">");
    }
    m_log.WriteLog(Level::Info, "No route for: ", key);
    return {};
}

std::vector<std::string> RouteTable::RoutesOf(const std::string& user) const
{
    std::vector<std::string> contacts;
    const auto found = m_byUser.find(user);
    if (user.empty() || found == m_byUser.end()) {
        return contacts;
    }
    for (const std::size_t index : found->second) {
        contacts.push_back(m_slots[index].Contact);
    }
    return contacts;
}

void RouteTable::RemoveRoutes(const std::string& contact)
{
    m_log.WriteLog(Level::Debug, "Removing routes to ", contact);
    const auto found = m_byContact.find(contact);
    if (found == m_byContact.end()) {
        return;
    }
    for (const std::size_t index : std::set<std::size_t>(found->second)) {
        Put(index, RouteEntry{});
    }
}

std::string RouteTable::Listing() const
{
    std::string text;
    for (std::size_t index = m_listed.First(); index != IndexSet::npos;
         index = m_listed.Next(index + 1)) {
        AppendPieces(text, m_slots[index].Username, " linked to ", m_slots[index].Contact, kCrLf);
    }
    return text;
}

const RouteEntry& RouteTable::Entry(std::int32_t index) const
{
    if (index < 0 || static_cast<std::size_t>(index) >= m_slots.size()) {
        return kEmptyEntry;
    }
    return m_slots[static_cast<std::size_t>(index)];
}

void RouteTable::Put(std::size_t index, RouteEntry entry)
{
    while (m_slots.size() <= index) {
        m_slots.emplace_back();
    }
    RouteEntry& slot = m_slots[index];
    if (!slot.Contact.empty()) {
        const auto drop = [index](auto& map, const std::string& key) {
            const auto found = map.find(key);
            found->second.erase(index);
            if (found->second.empty()) {
                map.erase(found);
            }
        };
        drop(m_byUser, slot.Username);
        drop(m_byContact, slot.Contact);
    }
    slot = std::move(entry);
    if (slot.Contact.empty()) {
        m_free.Insert(index);
    } else {
        m_free.Erase(index);
        m_byUser[slot.Username].insert(index);
        m_byContact[slot.Contact].insert(index);
    }
    if (slot.Username.empty()) {
        m_listed.Erase(index);
    } else {
        m_listed.Insert(index);
    }
}

} // namespace tavrix
