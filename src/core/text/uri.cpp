#include "core/text/uri.h"

#include "core/text/message.h"
#include "core/text/numeric.h"
#include "core/text/via.h"

#include <algorithm>

namespace tavrix {

namespace {

bool IsSchemeCharacter(char c, bool first)
{
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    return letter || (!first && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
}

bool IsHostPortEnd(char c)
{
    return c == ';' || c == '?' || c == ',' || c == ' ' || c == '\t';
}

char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

std::uint16_t HostPort::Port() const
{
    return PortFromText(portText);
}

HostPort ParseHostPort(std::string_view text)
{
    // Up to the first of ";?, \t" (a loop: find_first_of runs memchr over the set per byte).
    std::size_t end = 0;
    while (end < text.size() && !IsHostPortEnd(text[end])) {
        ++end;
    }
    text = text.substr(0, end);
    HostPort out;
    std::size_t colon = 0;
    if (text.starts_with('[')) {
        const std::size_t close = text.find(']');
        out.host = text.substr(0, close == std::string_view::npos ? close : close + 1);
        colon = out.host.size();
    } else {
        colon = std::min(text.find(':'), text.size());
        out.host = text.substr(0, colon);
    }
    if (colon < text.size() && text[colon] == ':') {
        out.portText = text.substr(colon + 1);
    }
    return out;
}

bool Uri::Is(std::string_view name) const
{
    return scheme.size() == name.size() &&
           std::equal(scheme.begin(), scheme.end(), name.begin(),
                      [](char a, char b) { return Lower(a) == Lower(b); });
}

Uri ParseUri(std::string_view address)
{
    const std::string_view text = StripBrackets(address);
    Uri uri;
    const std::size_t colon = text.find(':');
    if (colon == 0 || colon == std::string_view::npos) {
        return uri;
    }
    for (std::size_t i = 0; i < colon; ++i) {
        if (!IsSchemeCharacter(text[i], i == 0)) {
            return uri;
        }
    }
    uri.scheme = text.substr(0, colon);
    std::string_view rest = text.substr(colon + 1);
    if (const std::size_t question = rest.find('?'); question != std::string_view::npos) {
        uri.headers = rest.substr(question + 1);
        rest = rest.substr(0, question);
    }
    if (uri.Is("tel")) {
        // RFC 3966: the number, then its parameters.
        const std::size_t semicolon = std::min(rest.find(';'), rest.size());
        uri.user = rest.substr(0, semicolon);
        uri.params = rest.substr(std::min(semicolon + 1, rest.size()));
        return uri;
    }
    if (const std::size_t at = rest.find('@'); at != std::string_view::npos) {
        const std::string_view userInfo = rest.substr(0, at);
        const std::size_t secret = std::min(userInfo.find(':'), userInfo.size());
        uri.user = userInfo.substr(0, secret);
        rest.remove_prefix(at + 1);
    }
    uri.hostPort = ParseHostPort(rest);
    if (const std::size_t semicolon = rest.find(';'); semicolon != std::string_view::npos) {
        uri.params = rest.substr(semicolon + 1);
    }
    return uri;
}

std::vector<std::string_view> SplitAddresses(std::string_view value)
{
    std::vector<std::string_view> values;
    const auto take = [&values](std::string_view piece) {
        const std::size_t first = piece.find_first_not_of(" \t");
        if (first != std::string_view::npos) {
            values.push_back(piece.substr(first, piece.find_last_not_of(" \t") - first + 1));
        }
    };
    bool quoted = false;
    bool bracketed = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '"' && !bracketed) {
            quoted = !quoted;
        } else if (c == '<' && !quoted) {
            bracketed = true;
        } else if (c == '>' && !quoted) {
            bracketed = false;
        } else if (c == ',' && !quoted && !bracketed) {
            take(value.substr(start, i - start));
            start = i + 1;
        }
    }
    take(value.substr(start));
    return values;
}

std::string_view TagOf(std::string_view address)
{
    // The header's parameters follow the ">" of a name-addr, else the URI's first ";".
    const std::size_t close = address.find('>');
    std::string_view params = close != std::string_view::npos ? address.substr(close + 1) : address;
    const std::size_t semicolon = params.find(';');
    if (semicolon == std::string_view::npos) {
        return {};
    }
    return FindParam(params.substr(semicolon + 1), "tag").value_or(std::string_view());
}

} // namespace tavrix
