#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A SIP message is one byte string: a start line, header lines ending in CR LF up to the first
// empty line, then the body. Header names are compared without regard to case, blanks are
// allowed before the colon, and a compact form ("i", "v" ...) equals its long name (RFC 3261
// 7.3.1, 7.3.3). Only a line that ends in CR LF is a header line; a line that starts with a
// blank continues the one before and names no header; text in the body or inside another
// header's value never is one.
namespace tavrix {

// The headers the proxy reads or writes itself; every other name is Other.
enum class HeaderId : std::uint8_t
{
    Other,
    Via,
    From,
    To,
    CallId,
    CSeq,
    Contact,
    Expires,
    ContentType,
    ContentLength,
    ContentEncoding,
    Subject,
    Supported,
    RecordRoute,
    Route,
    MaxForwards,
    UserAgent,
    AcceptLanguage,
    Accept,
    Allow,
    SessionExpires,
    Authorization,
    ProxyAuthorization,
    Count
};

// The id of a header name as a line writes it (any case, a compact form); Other for the rest.
HeaderId IdOf(std::string_view name);
// The long name of a known header ("Call-ID"); empty for Other.
std::string_view LongNameOf(HeaderId id);

// One header line: its name as written (without the blanks before the colon), what the name
// stands for, and the value without leading and trailing spaces and tabs.
struct HeaderLine
{
    std::string_view name;
    std::string_view value;
    HeaderId id = HeaderId::Other;
    std::string_view text; // the whole line as received, without its CR LF
};

// A datagram read once: the start line, the index of its header lines in order, the body. The
// message refers to the text, which must outlive it; any bytes are acceptable.
class Message
{
public:
    explicit Message(std::string_view text);

    std::string_view Text() const { return m_text; }
    // A response: the text starts with "SIP/2.0".
    bool IsResponse() const { return m_text.starts_with("SIP/2.0"); }
    // The first word: up to the first space; without any space, the whole first line.
    std::string_view Method() const { return m_method; }
    // Status code and reason of a response ("180 Ringing"): after the first space to the line
    // end (the whole first line without a space). Empty for a request.
    std::string_view Status() const;
    // Everything after the first empty line (CR LF CR LF); empty when there is none.
    std::string_view Body() const { return m_body; }

    // The value of the first line of the header; empty when there is none.
    std::string_view Header(HeaderId id) const;
    // The same for any name: long or compact, any case, surrounding spaces and one trailing
    // colon allowed ("CSeq:").
    std::string_view Header(std::string_view name) const;
    // The values of every line of the header, in order ("Via", "Route" ...).
    std::vector<std::string_view> Headers(HeaderId id) const;
    // Every header line, in order.
    const std::vector<HeaderLine>& Lines() const { return m_lines; }
    // The method of the CSeq value (after its first space); the whole value without a space.
    std::string_view CSeqMethod() const;

private:
    static constexpr std::uint32_t kNone = 0xffffffff;

    std::string_view m_text;
    std::string_view m_method;
    std::string_view m_body;
    std::vector<HeaderLine> m_lines;
    std::array<std::uint32_t, static_cast<std::size_t>(HeaderId::Count)> m_first;
};

// The text operations on a whole message, each by the rules above (a Message read for the
// call): the first value of a header, every value of it, the body, the CSeq method, the
// status, the first word.
// The values are views of the message text.
std::string_view GetHeader(std::string_view message, std::string_view name);
std::vector<std::string_view> GetHeaders(std::string_view message, std::string_view name);
std::string_view GetBody(std::string_view message);
std::string_view GetCSeqMethod(std::string_view message);
std::string_view GetStatus(std::string_view message);
std::string_view MethodToken(std::string_view message);
// True for a response: the text starts with "SIP/2.0".
bool IsResponse(std::string_view message);

// Appends "name: value" CR LF to the message (after a CR LF if it does not end in one).
// An empty value leaves the message unchanged. Returns the message.
std::string& AppendHeader(std::string& message, std::string_view name, std::string_view value);

// What stands between the first "<" and the first ">" after it. Without "<" the whole text;
// without a closing ">" the rest after the "<".
std::string_view StripBrackets(std::string_view text);

} // namespace tavrix
