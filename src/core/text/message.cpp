#include "core/text/message.h"

#include "core/text/text.h"

#include <algorithm>

namespace tavrix {

namespace {

// The compact forms of RFC 3261 7.3.3 and the names they stand for.
constexpr std::pair<char, std::string_view> kCompactForms[] = {
    {'i', "Call-ID"},      {'m', "Contact"}, {'e', "Content-Encoding"}, {'l', "Content-Length"},
    {'c', "Content-Type"}, {'f', "From"},    {'s', "Subject"},          {'k', "Supported"},
    {'t', "To"},           {'v', "Via"},
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

// The long name a header line's name stands for.
std::string_view LongName(std::string_view name)
{
    if (name.size() == 1) {
        for (const auto& [compact, full] : kCompactForms) {
            if (Lower(name[0]) == compact) {
                return full;
            }
        }
    }
    return name;
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

// The bare long name a caller asks for: surrounding spaces and one trailing colon dropped.
std::string_view Wanted(std::string_view name)
{
    name = TrimSpaces(name);
    if (name.ends_with(':')) {
        name = TrimSpaces(name.substr(0, name.size() - 1));
    }
    return LongName(name);
}

// Calls visit(name, value) for each header line, in order, until it returns true. The value
// is raw: TrimBlanks it once the name is the one wanted.
template <typename Visit> void ForEachHeader(std::string_view message, Visit visit)
{
    std::size_t at = message.find(kCrLf); // the start line is no header
    while (at != std::string_view::npos) {
        const std::size_t start = at + 2;
        const std::size_t end = message.find(kCrLf, start);
        if (end == std::string_view::npos || end == start) {
            return; // a line without CR LF, or the empty line that ends the headers
        }
        const std::string_view line = message.substr(start, end - start);
        const std::size_t colon = line.find(':');
        // A line that starts with a blank continues the one before; it names no header.
        if (colon != std::string_view::npos && line[0] != ' ' && line[0] != '\t') {
            const std::string_view name = TrimBlanks(line.substr(0, colon));
            if (visit(LongName(name), line.substr(colon + 1))) {
                return;
            }
        }
        at = end;
    }
}

} // namespace

std::string GetHeader(std::string_view message, std::string_view name)
{
    const std::string_view wanted = Wanted(name);
    std::string value;
    ForEachHeader(message, [&](std::string_view line, std::string_view lineValue) {
        if (!SameName(line, wanted)) {
            return false;
        }
        value = TrimBlanks(lineValue);
        return true;
    });
    return value;
}

std::vector<std::string_view> GetHeaders(std::string_view message, std::string_view name)
{
    const std::string_view wanted = Wanted(name);
    std::vector<std::string_view> values;
    ForEachHeader(message, [&](std::string_view line, std::string_view value) {
        if (SameName(line, wanted)) {
            values.push_back(TrimBlanks(value));
        }
        return false;
    });
    return values;
}

HeaderSet::HeaderSet(std::string_view message, std::span<const std::string_view> names)
{
    const std::size_t count = std::min(names.size(), kMax);
    std::array<bool, kMax> found{};
    std::size_t missing = count;
    ForEachHeader(message, [&](std::string_view line, std::string_view value) {
        for (std::size_t i = 0; i < count; ++i) {
            if (!found[i] && SameName(line, names[i])) {
                found[i] = true;
                m_values[i] = TrimBlanks(value);
                --missing;
            }
        }
        return missing == 0;
    });
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

std::string& StripBrackets(std::string& text)
{
    const std::size_t open = text.find('<');
    if (open == std::string::npos) {
        return text;
    }
    // The ">" that closes is the first one after the "<" (one in a display name comes before).
    const std::size_t close = text.find('>', open);
    if (close == std::string::npos) {
        text.erase(0, open + 1);
    } else {
        text = text.substr(open + 1, close - open - 1);
    }
    return text;
}

std::string_view GetBody(std::string_view message)
{
    const std::size_t blank = message.find("\r\n\r\n");
    if (blank == std::string_view::npos) {
        return {};
    }
    return message.substr(blank + 4);
}

std::string GetCSeqMethod(std::string_view message)
{
    std::string value = GetHeader(message, "CSeq");
    const std::size_t space = value.find(' ');
    if (space == std::string::npos) {
        return value;
    }
    return value.substr(space + 1);
}

std::string GetStatus(std::string_view message)
{
    if (!IsResponse(message)) {
        return {};
    }
    const std::size_t space = message.find(' ');
    if (space == std::string_view::npos) {
        return std::string(message.substr(0, message.find(kCrLf)));
    }
    const std::size_t end = message.find(kCrLf, space + 1);
    return std::string(
        message.substr(space + 1, end == std::string_view::npos ? end : end - space - 1));
}

std::string_view MethodToken(std::string_view message)
{
    const std::size_t space = message.find(' ');
    if (space != std::string_view::npos) {
        return message.substr(0, space);
    }
    return message.substr(0, message.find(kCrLf));
}

bool IsResponse(std::string_view message)
{
    return message.starts_with("SIP/2.0");
}

} // namespace tavrix
