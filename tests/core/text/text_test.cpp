#include "core/text/message.h"
#include "core/text/numeric.h"
#include "core/text/text.h"
#include "core/text/uri.h"

#include <gtest/gtest.h>

#include <array>

namespace tavrix {
namespace {

TEST(GetHeader, FirstHeaderLineOfTheNameInAnyCaseOrCompactForm)
{
    const struct
    {
        const char* message;
        const char* name;
        const char* value;
    } rows[] = {
        {"INVITE x SIP/2.0\r\nCall-ID: abc\r\n\r\n", " Call-ID: ", "abc"},
        {"M\r\nCSeq: 1 INVITE\r\n", "CSeq:", "1 INVITE"},
        {"M\r\nReply-To: <sip:r@h>\r\nTo: <sip:t@h>\r\n", "To", "<sip:t@h>"},
        {"M\r\nCall-ID:abc\r\n", "Call-ID", "abc"},
        {"M\r\nVia: one\r\nVia: two\r\n", "Via", "one"},
        {"M\r\nFrom: f\r\nTo: t\r\n", "To", "t"},
        {"M\r\nCall-ID: last-line-without-crlf", "Call-ID", ""},
        {"M\r\ncall-ID: lower\r\n", "Call-ID", "lower"},
        {"M\r\nRecord-route: <sip:p;lr>\r\n", "Record-Route", "<sip:p;lr>"},
        {"M\r\ni: compact\r\n", "Call-ID", "compact"},
        {"M\r\nV \t: blanks\r\n", "Via", "blanks"},
        {"M\r\nExpires:\t 60 \t\r\n", "Expires", "60"},
        {"M\r\nSession-Expires: 1800\r\n", "Expires", ""},
        {"M\r\nSubject: a Subject: b\r\n", "Subject", "a Subject: b"},
        {"M\r\nFrom: f\r\n\r\nCall-ID: in-body\r\n", "Call-ID", ""},
        {"M\r\nFrom: f\r\n Call-ID: folded\r\n", "Call-ID", ""},
        {"Call-ID: start-line\r\n", "Call-ID", ""},
        {"", "To", ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(GetHeader(row.message, row.name), row.value) << row.message;
        // The set of one walk finds what GetHeader finds, first line included.
        std::string_view bare = TrimSpaces(row.name);
        bare = bare.ends_with(':') ? TrimSpaces(bare.substr(0, bare.size() - 1)) : bare;
        const std::array<std::string_view, 2> names = {"From", bare};
        EXPECT_EQ(HeaderSet(row.message, names)[1], row.value) << row.message;
    }
    EXPECT_EQ(GetHeaders("SIP/2.0 200 OK\r\nVia: a\r\nFrom: f\r\nv:c\r\n\r\nVia: body\r\n", "Via"),
              (std::vector<std::string_view>{"a", "c"}));
}

TEST(MessageText, AppendStripBodyStatusMethodToken)
{
    std::string message;
    EXPECT_EQ(AppendHeader(message, "To", "x"), "\r\nTo: x\r\n");
    message = "SIP/2.0 200 OK";
    EXPECT_EQ(AppendHeader(message, " Via ", " v "), "SIP/2.0 200 OK\r\nVia: v\r\n");
    EXPECT_EQ(AppendHeader(message, "Contact", ""), "SIP/2.0 200 OK\r\nVia: v\r\n");
    EXPECT_EQ(AppendHeader(message, "Expires", "   "), "SIP/2.0 200 OK\r\nVia: v\r\nExpires: \r\n");

    for (const auto& [in, out] :
         {std::pair{"\"Alice\" <sip:alice@h:5061>;tag=1", "sip:alice@h:5061"},
          {"sip:alice@h;tag=1", "sip:alice@h;tag=1"},
          {"<sip:alice@h", "sip:alice@h"},
          {"\"a>b\" <sip:x@h>", "sip:x@h"},
          {"\"a>b\" <sip:x@h", "sip:x@h"},
          {"<>", ""}}) {
        std::string text = in;
        EXPECT_EQ(StripBrackets(text), out) << in;
        EXPECT_EQ(text, out) << in;
    }

    EXPECT_EQ(GetBody("M\r\nA: b\r\n\r\nv=0\r\nx"), "v=0\r\nx");
    EXPECT_EQ(GetBody("M\r\nA: b\r\n\r\n"), "");
    EXPECT_EQ(GetBody("M\r\nA: b\r\n"), "");
    EXPECT_EQ(GetCSeqMethod("M\r\nCSeq: 1  INVITE\r\n"), " INVITE");
    EXPECT_EQ(GetCSeqMethod("M\r\nCSeq: 1\r\n"), "1");
    EXPECT_EQ(GetStatus("SIP/2.0 180 Ringing\r\nVia: x\r\n"), "180 Ringing");
    EXPECT_EQ(GetStatus("SIP/2.0 200 OK"), "200 OK");
    EXPECT_EQ(GetStatus("SIP/2.0\r\nX:y\r\n"), "SIP/2.0");
    EXPECT_EQ(GetStatus("INVITE sip:x SIP/2.0\r\n"), "");
    EXPECT_EQ(MethodToken(" INVITE\r\n"), "");
    EXPECT_EQ(MethodToken("JUNK\r\nMore"), "JUNK");
}

TEST(Numbers, NumericValuesPortsAndAddresses)
{
    const std::pair<const char*, double> values[] = {
        {"", 0},        {"abc", 0},     {"1800;refresher=uac", 1800},
        {"  60", 60},   {"-5", -5},     {"+7", 7},
        {"2.05", 2.05}, {".5", 0.5},    {"099 Odd", 99},
        {"-", 0},       {"12abc34", 12}};
    for (const auto& [text, value] : values) {
        EXPECT_DOUBLE_EQ(NumericValue(text), value) << text;
    }
    const std::pair<const char*, int> sixteen[] = {
        {"2.5", 2},        {"3.5", 4},       {"-2.5", -2},
        {"2.51", 3},       {"32768", 32767}, {"99999999999999999999999", 32767},
        {"-40000", -32768}};
    for (const auto& [text, value] : sixteen) {
        EXPECT_EQ(NumericValue16(text), value) << text;
    }

    const std::pair<const char*, int> ports[] = {
        {"5062", 5062}, {"65535", 65535}, {"40000", 40000}, {"1002@192.0.2.10", 5060},
        {"", 5060},     {"0", 0},         {"65536", 0},     {"99999999999999", 0},
        {"-1", 5060},   {"5062 ", 5060}};
    for (const auto& [text, port] : ports) {
        EXPECT_EQ(PortFromText(text), port) << text;
    }
    EXPECT_EQ(ParseIPv4("127.0.0.1"), 0x7f000001u);
    EXPECT_EQ(ParseIPv4("255.255.255.255"), 0xffffffffu);
    for (const char* odd :
         {"0x7f.0.0.1", "0177.0.0.1", " 127.0.0.1", "127.0.0.1 ", "127.0.0", "127.0.0.1.",
          "256.0.0.1", "127.0.0.01", "localhost", "+1.2.3.4", "", "1..2.3"}) {
        EXPECT_FALSE(ParseIPv4(odd)) << odd;
    }
}

TEST(UriPieces, HostPortAndUserOfTheAddressForms)
{
    const struct
    {
        const char* address;
        const char* host;
        const char* port;
        const char* user;
        const char* stripped;
    } rows[] = {
        {"\"Bob\" <sip:bob@h:5062>;tag=1", "h", "5062", "bob", "sip:bob@h:5062"},
        {"sip:bob@h:5062;transport=udp", "h", "5062", "bob", "sip:bob@h:5062;transport=udp"},
        {"sip:h:5062", "h", "5062", "", "sip:h:5062"},
        {"sip:bob@h;lr", "h;lr", "bob@h", "bob", "sip:bob@h;lr"},
        {"sip:bob:secret@h:5062", "h", "secret@h:5062", "bob:secret", "sip:bob:secret@h:5062"},
        {"sips:bob@h:5061", "", "", "bob", "sips:bob@h:5061"},
        {"SIP:bob@h", "", "", "bob", "SIP:bob@h"},
        {"sip:", "", "", "", "sip:"},
        {"\"x:y\" <sip:bob@h>", "h", "bob@h", "y\" <sip:bob", "sip:bob@h"},
    };
    for (const auto& row : rows) {
        std::string forHost = row.address;
        std::string forPort = row.address;
        EXPECT_EQ(GetUriHost(forHost), row.host) << row.address;
        EXPECT_EQ(GetUriPort(forPort), row.port) << row.address;
        EXPECT_EQ(GetUriUser(row.address), row.user) << row.address;
        EXPECT_EQ(forHost, row.stripped) << row.address;
        EXPECT_EQ(forPort, row.stripped) << row.address;
    }
}

} // namespace
} // namespace tavrix
