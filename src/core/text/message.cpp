#include "core/text/message.h"

#include "core/text/text.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tavrix {

namespace {

bool EndsWithCrLf(std::string_view text)
{
    return text.size() >= 2 && text.substr(text.size() - 2) == kCrLf;
}

// Whether name stands right before the colon at pos.
inline bool NameBefore(const char* begin, std::size_t pos, std::string_view name)
{
    const std::size_t size = name.size();
    if (pos < size) {
        return false;
    }
    const char* start = begin + pos - size;
    // Checking the last letter first rejects most colons (those of "sip:", times, SDP) cheaply.
    return size == 0 || (start[size - 1] == name[size - 1] && start[0] == name[0] &&
                         std::memcmp(start, name.data(), size) == 0);
}

// The first occurrence of name followed by ":". Every occurrence ends at a colon, so only the
// colons of the message are tried, sixteen bytes at a time where the CPU allows.
std::size_t FindNameAndColon(std::string_view message, std::string_view name)
{
    const char* const begin = message.data();
    const std::size_t size = message.size();
    std::size_t pos = 0;
#if defined(__SSE2__)
    const __m128i colon = _mm_set1_epi8(':');
    for (; pos + 16 <= size; pos += 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(begin + pos));
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, colon)));
        while (mask != 0) {
            const std::size_t at = pos + static_cast<std::size_t>(__builtin_ctz(mask));
            if (NameBefore(begin, at, name)) {
                return at - name.size();
            }
            mask &= mask - 1;
        }
    }
#endif
    for (; pos < size; ++pos) {
        if (begin[pos] == ':' && NameBefore(begin, pos, name)) {
            return pos - name.size();
        }
    }
    return std::string_view::npos;
}

// Whether "name: " stands at pos of text.
bool NameColonSpaceAt(std::string_view text, std::size_t pos, std::string_view name)
{
    return text.size() - pos > name.size() + 1 && text.compare(pos, name.size(), name) == 0 &&
           text[pos + name.size()] == ':' && text[pos + name.size() + 1] == ' ';
}

// The value of the header whose search text (bare name and ":") starts at found.
std::string_view ValueAt(std::string_view message, std::size_t found, std::string_view bare,
                         std::string& scratch)
{
    const std::size_t end = message.find(kCrLf, found);
    if (end == std::string_view::npos) {
        return {};
    }
    const std::string_view line = message.substr(found, end - found);

    // Only "name: " is removed, every time it occurs, so a header written without a space
    // after its colon keeps its name in the value.
    const std::size_t removed = bare.size() + 2;
    const auto nextRemoved = [&](std::size_t from) {
        for (std::size_t at = line.find(bare, from); at != std::string_view::npos;
             at = line.find(bare, at + 1)) {
            if (NameColonSpaceAt(line, at, bare)) {
                return at;
            }
        }
        return std::string_view::npos;
    };
    std::size_t from = NameColonSpaceAt(line, 0, bare) ? removed : 0;
    std::size_t next = nextRemoved(from);
    if (next == std::string_view::npos) {
        return TrimSpaces(line.substr(from));
    }
    scratch.clear();
    while (next != std::string_view::npos) {
        scratch.append(line.substr(from, next - from));
        from = next + removed;
        next = nextRemoved(from);
    }
    scratch.append(line.substr(from));
    return TrimSpaces(scratch);
}

// GetHeader without a copy: a view into the message, or into scratch when a "name: " had to
// be removed from inside the line.
std::string_view HeaderValue(std::string_view message, std::string_view name, std::string& scratch)
{
    // The search text is the trimmed name with one ":" at its end; "CSeq" and "CSeq:" match
    // alike. It is found anywhere, so "To" also finds the tail of "Reply-To:".
    std::string_view bare = TrimSpaces(name);
    if (bare.ends_with(':')) {
        bare.remove_suffix(1);
    }
    const std::size_t found = FindNameAndColon(message, bare);
    if (found == std::string_view::npos) {
        return {};
    }
    return ValueAt(message, found, bare, scratch);
}

} // namespace

HeaderSet::HeaderSet(std::string_view message, std::span<const std::string_view> names)
{
    // One walk over the colons serves every name; each still gets its own first occurrence.
    // The letter before a colon picks the few names that can end there.
    const std::size_t count = std::min(names.size(), kMax);
    std::array<std::uint32_t, 256> endingIn{};
    for (std::size_t i = 0; i < count; ++i) {
        endingIn[static_cast<unsigned char>(names[i].back())] |= 1U << i;
    }
    std::array<std::size_t, kMax> starts;
    starts.fill(std::string_view::npos);
    std::uint32_t missing = (1U << count) - 1;
    const char* const begin = message.data();
    for (std::size_t pos = message.find(':', 1); pos != std::string_view::npos && missing != 0;
         pos = message.find(':', pos + 1)) {
        for (std::uint32_t candidates =
                 endingIn[static_cast<unsigned char>(begin[pos - 1])] & missing;
             candidates != 0; candidates &= candidates - 1) {
            const auto i = static_cast<std::size_t>(__builtin_ctz(candidates));
            if (NameBefore(begin, pos, names[i])) {
                starts[i] = pos - names[i].size();
                missing &= ~(1U << i);
            }
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (starts[i] != std::string_view::npos) {
            m_values[i] = ValueAt(message, starts[i], names[i], m_scratch[i]);
        }
    }
}

std::string GetHeader(std::string_view message, std::string_view name)
{
    std::string scratch;
    return std::string(HeaderValue(message, name, scratch));
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
