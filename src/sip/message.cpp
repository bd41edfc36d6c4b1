#include "sip/message.h"

#include "sip/text.h"

namespace tavrix {

namespace {

bool EndsWithCrLf(std::string_view text)
{
    return text.size() >= 2 && text.substr(text.size() - 2) == kCrLf;
}

} // namespace

std::string GetHeader(std::string_view message, std::string_view name)
{
    // The search text is the trimmed name with one ":" at its end; "CSeq" and "CSeq:" match
    // alike. It is found anywhere, so "To" also finds the tail of "Reply-To:".
    const std::string_view trimmed = TrimSpaces(name);
    std::string key(trimmed);
    if (key.empty() || key.back() != ':') {
        key.push_back(':');
    }
    const std::size_t found = message.find(key);
    if (found == std::string_view::npos) {
        return {};
    }
    const std::size_t end = message.find(kCrLf, found);
    if (end == std::string_view::npos) {
        return {};
    }
    const std::string_view line = message.substr(found, end - found);

    // Only "name: " is removed, every time it occurs, so a header written without a space
    // after its colon keeps its name in the value.
    key.push_back(' ');
    std::string value;
    value.reserve(line.size());
    std::size_t from = 0;
    for (std::size_t at = line.find(key); at != std::string_view::npos;
         at = line.find(key, from)) {
        value.append(line.substr(from, at - from));
        from = at + key.size();
    }
    value.append(line.substr(from));
    const std::string_view result = TrimSpaces(value);
    if (result.size() == value.size()) {
        return value;
    }
    return std::string(result);
}

std::string& AppendHeader(std::string& message, std::string_view name, std::string_view value)
{
    if (value.empty()) {
        return message;
    }
    if (!EndsWithCrLf(message)) {
        message.append(kCrLf);
    }
    message.append(TrimSpaces(name));
    message.append(": ");
    message.append(TrimSpaces(value));
    message.append(kCrLf);
    return message;
}

std::string& StripBrackets(std::string& text)
{
    const std::size_t open = text.find('<');
    if (open == std::string::npos) {
        return text;
    }
    std::size_t close = text.find('>');
    if (close != std::string::npos && close < open) {
        // A ">" before the first "<" (in a display name, say): the ">" that closes is the
        // first one after the "<".
        close = text.find('>', open);
    }
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
        const std::size_t end = message.find(kCrLf);
        return std::string(message.substr(0, end));
    }
    const std::size_t end = message.find(kCrLf, space + 1);
    if (end == std::string_view::npos) {
        return std::string(message.substr(space + 1));
    }
    return std::string(message.substr(space + 1, end - space - 1));
}

std::string BuildRecordRoute(std::string_view message, std::string_view localIp)
{
    std::string uri = GetHeader(message, "To");
    StripBrackets(uri);
    if (uri.empty() || uri.back() != ';') {
        uri.push_back(';');
    }
    return Cat("<", uri, "maddr=", localIp, ">");
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

std::vector<std::string_view> ViaLines(std::string_view message)
{
    std::vector<std::string_view> lines;
    const std::size_t headerEnd = message.find("\r\n\r\n");
    const std::string_view head =
        headerEnd == std::string_view::npos ? message : message.substr(0, headerEnd + 2);
    // The first line is the request or status line, never a header.
    std::size_t at = head.find(kCrLf);
    while (at != std::string_view::npos) {
        const std::size_t start = at + 2;
        const std::size_t end = head.find(kCrLf, start);
        if (end == std::string_view::npos) {
            break;
        }
        const std::string_view line = head.substr(start, end - start);
        if (line.starts_with("Via:")) {
            lines.push_back(line);
        }
        at = end;
    }
    return lines;
}

} // namespace tavrix
