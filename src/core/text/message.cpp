#include "core/text/message.h"

#include "core/text/text.h"

#include <algorithm>
#include <cstring>

namespace tavrix {

namespace {

struct KnownName
{
    std::string_view name;
    HeaderId id;
};

// Long names, in the order of HeaderId.
constexpr KnownName kLongNames[] = {
    {"Via", HeaderId::Via},
    {"From", HeaderId::From},
    {"To", HeaderId::To},
    {"Call-ID", HeaderId::CallId},
    {"CSeq", HeaderId::CSeq},
    {"Contact", HeaderId::Contact},
    {"Expires", HeaderId::Expires},
    {"Content-Type", HeaderId::ContentType},
    {"Content-Length", HeaderId::ContentLength},
    {"Content-Encoding", HeaderId::ContentEncoding},
    {"Subject", HeaderId::Subject},
    {"Supported", HeaderId::Supported},
    {"Record-Route", HeaderId::RecordRoute},
    {"Route", HeaderId::Route},
    {"Max-Forwards", HeaderId::MaxForwards},
    {"User-Agent", HeaderId::UserAgent},
    {"Accept-Language", HeaderId::AcceptLanguage},
    {"Accept", HeaderId::Accept},
    {"Allow", HeaderId::Allow},
    {"Session-Expires", HeaderId::SessionExpires},
    {"Authorization", HeaderId::Authorization},
    {"Proxy-Authorization", HeaderId::ProxyAuthorization},
};
static_assert(std::size(kLongNames) + 1 == static_cast<std::size_t>(HeaderId::Count));

// The compact forms of RFC 3261 7.3.3 and the headers they stand for.
constexpr std::pair<char, HeaderId> kCompactForms[] = {
    {'i', HeaderId::CallId},        {'m', HeaderId::Contact},     {'e', HeaderId::ContentEncoding},
    {'l', HeaderId::ContentLength}, {'c', HeaderId::ContentType}, {'f', HeaderId::From},
    {'s', HeaderId::Subject},       {'k', HeaderId::Supported},   {'t', HeaderId::To},
    {'v', HeaderId::Via},
};

char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Where the next CR LF starts at or after from; npos when there is none.
std::size_t FindCrLf(std::string_view text, std::size_t from)
{
    while (from < text.size()) {
        const void* cr = std::memchr(text.data() + from, '\r', text.size() - from);
        if (cr == nullptr) {
            return std::string_view::npos;
        }
        const auto at = static_cast<std::size_t>(static_cast<const char*>(cr) - text.data());
        if (at + 1 < text.size() && text[at + 1] == '\n') {
            return at;
        }
        from = at + 1;
    }
    return std::string_view::npos;
}

// The bare name a caller asks for: surrounding spaces and one trailing colon dropped.
std::string_view Wanted(std::string_view name)
{
    name = TrimSpaces(name);
    if (name.ends_with(':')) {
        name = TrimSpaces(name.substr(0, name.size() - 1));
    }
    return name;
}

} // namespace

HeaderId IdOf(std::string_view name)
{
    if (name.size() == 1) {
        for (const auto& [compact, id] : kCompactForms) {
            if (Lower(name[0]) == compact) {
                return id;
            }
        }
        return HeaderId::Other;
    }
    if (name.empty()) {
        return HeaderId::Other;
    }
    const char first = Lower(name[0]);
    for (const KnownName& known : kLongNames) {
        if (known.name.size() == name.size() && Lower(known.name[0]) == first &&
            SameName(known.name, name)) {
            return known.id;
        }
    }
    return HeaderId::Other;
}

std::string_view LongNameOf(HeaderId id)
{
    const auto index = static_cast<std::size_t>(id);
    return index >= 1 && index <= std::size(kLongNames) ? kLongNames[index - 1].name
                                                        : std::string_view();
}

Message::Message(std::string_view text) : m_text(text)
{
    m_first.fill(kNone);
    const std::size_t space = text.find(' ');
    m_method =
        space != std::string_view::npos ? text.substr(0, space) : text.substr(0, text.find(kCrLf));
    // Room for the lines of a phone's message in one block that malloc keeps at hand (past
    // about 1 kB each allocation would sweep its free lists first).
    m_lines.reserve(18);
    std::size_t at = FindCrLf(text, 0); // the start line is no header
    while (at != std::string_view::npos) {
        const std::size_t start = at + 2;
        const std::size_t end = FindCrLf(text, start);
        if (end == start) {
            m_body = text.substr(start + 2); // the first CR LF CR LF ends the headers
            return;
        }
        if (end == std::string_view::npos) {
            return; // a line without CR LF
        }
        const std::string_view line = text.substr(start, end - start);
        // The colon ends a short name: a plain loop beats memchr's set-up here.
        std::size_t colon = 0;
        while (colon < line.size() && line[colon] != ':') {
            ++colon;
        }
        if (colon < line.size() && !IsBlank(line[0])) {
            const std::string_view name = TrimBlanks(line.substr(0, colon));
            const HeaderId id = IdOf(name);
            std::uint32_t& first = m_first[static_cast<std::size_t>(id)];
            if (first == kNone) {
                first = static_cast<std::uint32_t>(m_lines.size());
            }
            m_lines.push_back({name, TrimBlanks(line.substr(colon + 1)), id, line});
        }
        at = end;
    }
}

std::string_view Message::Status() const
{
    if (!IsResponse()) {
        return {};
    }
    const std::size_t space = m_text.find(' ');
    if (space == std::string_view::npos) {
        return m_text.substr(0, m_text.find(kCrLf));
    }
    const std::size_t end = m_text.find(kCrLf, space + 1);
    return m_text.substr(space + 1, end == std::string_view::npos ? end : end - space - 1);
}

std::string_view Message::Header(HeaderId id) const
{
    const std::uint32_t first = m_first[static_cast<std::size_t>(id)];
    return id == HeaderId::Other || first == kNone ? std::string_view() : m_lines[first].value;
}

std::string_view Message::Header(std::string_view name) const
{
    const std::string_view wanted = Wanted(name);
    const HeaderId id = IdOf(wanted);
    if (id != HeaderId::Other) {
        return Header(id);
    }
    for (const HeaderLine& line : m_lines) {
        if (line.id == HeaderId::Other && SameName(line.name, wanted)) {
            return line.value;
        }
    }
    return {};
}

std::vector<std::string_view> Message::Headers(HeaderId id) const
{
    std::vector<std::string_view> values;
    const std::uint32_t first = m_first[static_cast<std::size_t>(id)];
    if (id == HeaderId::Other || first == kNone) {
        return values;
    }
    for (std::size_t i = first; i < m_lines.size(); ++i) {
        if (m_lines[i].id == id) {
            values.push_back(m_lines[i].value);
        }
    }
    return values;
}

std::string_view Message::CSeqMethod() const
{
    const std::string_view value = Header(HeaderId::CSeq);
    const std::size_t space = value.find(' ');
    return space == std::string_view::npos ? value : value.substr(space + 1);
}

std::string_view GetHeader(std::string_view message, std::string_view name)
{
    return Message(message).Header(name);
}

std::vector<std::string_view> GetHeaders(std::string_view message, std::string_view name)
{
    const Message parsed(message);
    const std::string_view wanted = Wanted(name);
    const HeaderId id = IdOf(wanted);
    std::vector<std::string_view> values;
    for (const HeaderLine& line : parsed.Lines()) {
        if (line.id == id && (id != HeaderId::Other || SameName(line.name, wanted))) {
            values.push_back(line.value);
        }
    }
    return values;
}

std::string_view GetBody(std::string_view message)
{
    return Message(message).Body();
}

std::string_view GetCSeqMethod(std::string_view message)
{
    return Message(message).CSeqMethod();
}

std::string_view GetStatus(std::string_view message)
{
    return Message(message).Status();
}

std::string_view MethodToken(std::string_view message)
{
    return Message(message).Method();
}

bool IsResponse(std::string_view message)
{
    return message.starts_with("SIP/2.0");
}

std::string& AppendHeader(std::string& message, std::string_view name, std::string_view value)
{
    if (value.empty()) {
        return message;
    }
    if (!message.ends_with(kCrLf)) {
        message.append(kCrLf);
    }
    AppendPieces(message, TrimSpaces(name), ": ", TrimSpaces(value), kCrLf);
    return message;
}

std::string_view StripBrackets(std::string_view text)
{
    const std::size_t open = text.find('<');
    if (open == std::string_view::npos) {
        return text;
    }
    // The ">" that closes is the first one after the "<" (one in a display name comes before).
    const std::size_t close = text.find('>', open);
    return close == std::string_view::npos ? text.substr(open + 1)
                                           : text.substr(open + 1, close - open - 1);
}

} // namespace tavrix
