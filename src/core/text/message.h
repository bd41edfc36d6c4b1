#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// A SIP message is one byte string: lines end in CR LF, headers are found by exact,
// case-sensitive search for their long name. There is no parsed message object.
namespace tavrix {

// Value of the first "name:" found anywhere in the message (also inside another header's
// name or in the body), cut at the next CR LF, with every "name: " removed and spaces
// trimmed. Empty when the name is not found or no CR LF follows it.
std::string GetHeader(std::string_view message, std::string_view name);

// The values of several headers of one message, found in one walk; each is exactly what
// GetHeader gives for its name. Names are bare and not empty (no spaces, no colon); at most
// kMax of them.
// The values refer to the message, which must outlive the set.
class HeaderSet
{
public:
    static constexpr std::size_t kMax = 31;
    HeaderSet(std::string_view message, std::span<const std::string_view> names);
    HeaderSet(const HeaderSet&) = delete;
    HeaderSet& operator=(const HeaderSet&) = delete;
    std::string_view operator[](std::size_t index) const { return m_values[index]; }

private:
    std::array<std::string_view, kMax> m_values{};
    std::array<std::string, kMax> m_scratch;
};

// Appends "name: value" CR LF to the message (after a CR LF if it does not end in one).
// An empty value leaves the message unchanged. Returns the message.
std::string& AppendHeader(std::string& message, std::string_view name, std::string_view value);

// Keeps what stands between the first "<" and the first ">" after it, in place, and returns
// the new text. Without "<" the text stays; without a closing ">" the rest is kept.
std::string& StripBrackets(std::string& text);

// Everything after the first empty line (CR LF CR LF); empty when there is none.
std::string_view GetBody(std::string_view message);

// The CSeq value after its first space (the method); the whole value without a space.
std::string GetCSeqMethod(std::string_view message);

// Status code and reason of a response ("180 Ringing"): after the first space to the line
// end, or to the end of the text without one. Empty when the text is not a "SIP/2.0" message.
std::string GetStatus(std::string_view message);

// "<" + To URI without brackets + ";" (unless it ends in one) + "maddr=" + localIp + ">".
std::string BuildRecordRoute(std::string_view message, std::string_view localIp);

// The first word: the text up to the first space; without any space, the whole first line.
std::string_view MethodToken(std::string_view message);

// True for a response: the text starts with "SIP/2.0".
bool IsResponse(std::string_view message);

// Every header line (without its CR LF) of the header section that starts with "Via:",
// in order; a line that stands in the body is not a header.
std::vector<std::string_view> ViaLines(std::string_view message);

} // namespace tavrix
