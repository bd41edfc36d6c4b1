#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// A SIP message is one byte string: a start line, header lines ending in CR LF up to the first
// empty line, then the body. There is no parsed message object: headers are found by name in
// the header lines each time (RFC 3261 7.3.1): names compared without regard to case, blanks
// allowed before the colon, a compact form ("i", "v" ...) equal to its long name. Only a line
// that ends in CR LF is a header line; text in the body or inside another header's value never
// is.
namespace tavrix {

// Value of the first header line of that name: the rest of the line after the colon, without
// leading and trailing spaces and tabs. The name may carry surrounding spaces and a trailing
// colon ("CSeq:"). Empty when there is no such line.
std::string GetHeader(std::string_view message, std::string_view name);

// The values of every header line of that name, in order ("Via", "Record-Route", "Route").
std::vector<std::string_view> GetHeaders(std::string_view message, std::string_view name);

// The values of several headers of one message, found in one walk over its header lines; each
// is exactly what GetHeader gives for its name. Names are bare long names; at most kMax of
// them. The values refer to the message, which must outlive the set.
class HeaderSet
{
public:
    static constexpr std::size_t kMax = 32;
    HeaderSet(std::string_view message, std::span<const std::string_view> names);
    HeaderSet(const HeaderSet&) = delete;
    HeaderSet& operator=(const HeaderSet&) = delete;
    std::string_view operator[](std::size_t index) const { return m_values[index]; }

private:
    std::array<std::string_view, kMax> m_values{};
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

// The first word: the text up to the first space; without any space, the whole first line.
std::string_view MethodToken(std::string_view message);

// True for a response: the text starts with "SIP/2.0".
bool IsResponse(std::string_view message);

} // namespace tavrix
