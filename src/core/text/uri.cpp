#include "core/text/uri.h"

#include "core/text/message.h"

namespace tavrix {

namespace {

constexpr std::string_view kScheme = "sip:";

// The stripped text with every "sip:" taken out in one pass, or nothing when the text does
// not start with "sip:" (another scheme, or "SIP:" in capitals).
bool WithoutScheme(std::string& text, std::string& out)
{
    StripBrackets(text);
    if (!text.starts_with(kScheme)) {
        return false;
    }
    out.clear();
    out.reserve(text.size());
    std::size_t from = 0;
    for (std::size_t at = text.find(kScheme); at != std::string::npos;
         at = text.find(kScheme, from)) {
        out.append(text, from, at - from);
        from = at + kScheme.size();
    }
    out.append(text, from, std::string::npos);
    return true;
}

} // namespace

std::string GetUriHost(std::string& text)
{
    std::string rest;
    if (!WithoutScheme(text, rest)) {
        return {};
    }
    const std::size_t at = rest.find('@');
    if (at != std::string::npos) {
        rest.erase(0, at + 1);
    }
    const std::size_t colon = rest.find(':');
    if (colon != std::string::npos) {
        rest.erase(colon);
    }
    return rest;
}

std::string GetUriPort(std::string& text)
{
    std::string rest;
    if (!WithoutScheme(text, rest)) {
        return {};
    }
    const std::size_t colon = rest.find(':');
    if (colon != std::string::npos) {
        rest.erase(0, colon + 1);
    }
    const std::size_t semicolon = rest.find(';');
    if (semicolon != std::string::npos) {
        rest.erase(semicolon);
    }
    return rest;
}

std::string GetUriUser(std::string_view text)
{
    const std::size_t colon = text.find(':');
    const std::size_t start = colon == std::string_view::npos ? 0 : colon + 1;
    const std::size_t at = text.find('@', start);
    if (at == std::string_view::npos) {
        return {};
    }
    return std::string(text.substr(start, at - start));
}

} // namespace tavrix
