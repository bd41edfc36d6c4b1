#include "core/text/via.h"

#include <algorithm>

namespace tavrix {

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::size_t SkipBlanks(std::string_view text, std::size_t at)
{
    while (at < text.size() && IsBlank(text[at])) {
        ++at;
    }
    return at;
}

bool SameText(std::string_view a, std::string_view b)
{
    const auto lower = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

std::string_view TrimBlanks(std::string_view text)
{
    const std::size_t first = SkipBlanks(text, 0);
    std::size_t last = text.size();
    while (last > first && IsBlank(text[last - 1])) {
        --last;
    }
    return text.substr(first, last - first);
}

} // namespace

std::optional<std::string_view> FindParam(std::string_view params, std::string_view name)
{
    while (!params.empty()) {
        const std::size_t end = std::min(params.find(';'), params.size());
        const std::string_view param = params.substr(0, end);
        const std::size_t equals = std::min(param.find('='), param.size());
        if (SameText(TrimBlanks(param.substr(0, equals)), name)) {
            return TrimBlanks(param.substr(std::min(equals + 1, param.size())));
        }
        params.remove_prefix(std::min(end + 1, params.size()));
    }
    return std::nullopt;
}

std::optional<std::string_view> ViaValue::Param(std::string_view name) const
{
    return FindParam(params, name);
}

ViaValue ParseVia(std::string_view value)
{
    // "SIP" "/" "2.0" "/" transport, blanks allowed around each "/" (RFC 3261 25.1).
    std::size_t at = 0;
    int slashes = 0;
    while (at < value.size() && slashes < 2) {
        slashes += value[at++] == '/' ? 1 : 0;
    }
    ViaValue via;
    if (slashes == 2) {
        const std::size_t start = SkipBlanks(value, at);
        std::size_t end = start;
        while (end < value.size() && !IsBlank(value[end]) && value[end] != ';') {
            ++end;
        }
        via.transport = value.substr(start, end - start);
        via.protocol = value.substr(0, end);
        at = SkipBlanks(value, end);
    } else {
        at = std::min(value.find_first_of(" \t"), value.size());
        at = std::min(at + 1, value.size());
    }
    const std::string_view rest = value.substr(at);
    via.sentBy = ParseHostPort(rest);
    const std::string_view first = rest.substr(0, rest.find(','));
    if (const std::size_t semicolon = first.find(';'); semicolon != std::string_view::npos) {
        via.params = first.substr(semicolon + 1);
    }
    return via;
}

} // namespace tavrix
