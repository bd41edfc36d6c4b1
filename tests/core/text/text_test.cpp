#include "core/text/message.h"
#include "core/text/numeric.h"
#include "core/text/text.h"
#include "core/text/uri.h"
#include "core/text/via.h"

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
        // The index of one reading finds the same, by id as by name.
        const Message message(row.message);
        EXPECT_EQ(message.Header(row.name), row.value) << row.message;
        const HeaderId id = IdOf(TrimSpaces(std::string_view(row.name).substr(0, 7)));
        if (id != HeaderId::Other && LongNameOf(id) == TrimSpaces(row.name)) {
            EXPECT_EQ(message.Header(id), row.value) << row.message;
        }
    }
    EXPECT_EQ(GetHeader("M\r\nX-Tag: a\r\nx-tag: b\r\n", "X-TAG"), "a");
    // Only the known headers have a long name to write.
    EXPECT_EQ(LongNameOf(HeaderId::Other), "");
    EXPECT_EQ(LongNameOf(HeaderId::Count), "");
    EXPECT_EQ(LongNameOf(HeaderId::ProxyAuthorization), "Proxy-Authorization");
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
        EXPECT_EQ(StripBrackets(in), out) << in;
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

TEST(Uri, OneGrammarForEveryAddressForm)
{
    const struct
    {
        const char* address;
        const char* scheme;
        const char* user;
        const char* host;
        int port;
        const char* params;
    } rows[] = {
        {"\"Bob\" <sip:bob@h:5062>;tag=1", "sip", "bob", "h", 5062, ""},
        {"sip:bob@h:5062;transport=udp", "sip", "bob", "h", 5062, "transport=udp"},
        {"sip:h:5062", "sip", "", "h", 5062, ""},
        {"sip:bob@h;lr", "sip", "bob", "h", 5060, "lr"},
        {"<sip:127.0.0.1:5070;lr>", "sip", "", "127.0.0.1", 5070, "lr"},
        {"sip:bob:secret@h:5062", "sip", "bob", "h", 5062, ""},
        {"sips:bob@h:5061", "sips", "bob", "h", 5061, ""},
        {"SIP:bob@h", "SIP", "bob", "h", 5060, ""},
        {"sip:bob@[2001:db8::1]:5070", "sip", "bob", "[2001:db8::1]", 5070, ""},
        {"sip:bob@h?subject=x@y", "sip", "bob", "h", 5060, ""},
        {"sip:bob@h:0", "sip", "bob", "h", 0, ""},
        {"sip:bob@h:x", "sip", "bob", "h", 5060, ""},
        {"<tel:+15551234;phone-context=x>", "tel", "+15551234", "", 5060, "phone-context=x"},
        {"\"x:y\" <sip:bob@h>", "sip", "bob", "h", 5060, ""},
        {"sip:", "sip", "", "", 5060, ""},
        {"bob", "", "", "", 5060, ""},
        {"1:2@h", "", "", "", 5060, ""},
        {"<:x@h>", "", "", "", 5060, ""},
        {"a+b:x@h", "a+b", "x", "h", 5060, ""},
        {"z9:x@h", "z9", "x", "h", 5060, ""},
        {"s_p:x@h", "", "", "", 5060, ""},
        {"sip:[::1]55", "sip", "", "[::1]", 5060, ""},
        {"sip:[::1]", "sip", "", "[::1]", 5060, ""},
    };
    for (const auto& row : rows) {
        const Uri uri = ParseUri(row.address);
        EXPECT_EQ(uri.scheme, row.scheme) << row.address;
        EXPECT_EQ(uri.user, row.user) << row.address;
        EXPECT_EQ(uri.hostPort.host, row.host) << row.address;
        EXPECT_EQ(uri.hostPort.Port(), row.port) << row.address;
        EXPECT_EQ(uri.params, row.params) << row.address;
    }
    EXPECT_TRUE(ParseUri("SIP:x@h").Is("sip"));
    EXPECT_FALSE(ParseUri("sips:x@h").Is("sip"));

    const struct
    {
        const char* value;
        const char* transport;
        const char* host;
        int port;
        const char* branch; // "-" for none
    } vias[] = {
        {"SIP/2.0/UDP 127.0.0.1:5070;branch=z9hG4bKa;rport", "UDP", "127.0.0.1", 5070, "z9hG4bKa"},
        {"SIP / 2.0 / TCP h;BRANCH=b1 ;received=1.2.3.4", "TCP", "h", 5060, "b1"},
        {"SIP/2.0/UDP a:1;branch=x, SIP/2.0/UDP b:2;branch=y", "UDP", "a", 1, "x"},
        {"SIP/2.0/UDP a:1, SIP/2.0/UDP b:2;branch=y", "UDP", "a", 1, "-"},
        {"junk h:7;branch=q", "", "h", 7, "q"},
        {"", "", "", 5060, "-"},
    };
    for (const auto& row : vias) {
        const ViaValue via = ParseVia(row.value);
        EXPECT_EQ(via.transport, row.transport) << row.value;
        EXPECT_EQ(via.sentBy.host, row.host) << row.value;
        EXPECT_EQ(via.sentBy.Port(), row.port) << row.value;
        EXPECT_EQ(via.Param("branch").value_or("-"), row.branch) << row.value;
    }
    EXPECT_EQ(ParseVia("SIP/2.0/UDP h;rport;x=1").Param("rport"), std::string_view());
    EXPECT_EQ(ParseVia(vias[1].value).protocol, "SIP / 2.0 / TCP");
    EXPECT_EQ(FindParam("a=1; lr ;b = 2", "B"), "2");
}

} // namespace
} // namespace tavrix
