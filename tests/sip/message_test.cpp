#include "sip/message.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

TEST(GetHeader, FindsTheFirstOccurrenceOfTheNameAnywhere)
{
    const struct
    {
        const char* message;
        const char* name;
        const char* value;
    } cases[] = {
        {"INVITE x SIP/2.0\r\nCall-ID: abc\r\n\r\n", "Call-ID", "abc"},
        {"INVITE x SIP/2.0\r\nCall-ID: abc\r\n\r\n", " Call-ID: ", "abc"},
        {"INVITE x SIP/2.0\r\nCSeq: 1 INVITE\r\n", "CSeq:", "1 INVITE"},
        // "To:" is found inside "Reply-To:" first.
        {"M\r\nReply-To: <sip:r@h>\r\nTo: <sip:t@h>\r\n", "To", "<sip:r@h>"},
        // Without a space after the colon, only "name: " would be removed: the line stays.
        {"M\r\nCall-ID:abc\r\n", "Call-ID", "Call-ID:abc"},
        {"M\r\nVia: one\r\nVia: two\r\n", "Via", "one"},
        {"M\r\nCall-ID: last-line-without-crlf", "Call-ID", ""},
        {"M\r\ncall-id: lower\r\n", "Call-ID", ""},
        {"M\r\nExpires:   60   \r\n", "Expires", "60"},
        {"M\r\nSession-Expires: 1800\r\n", "Expires", "1800"},
        {"M\r\nSubject: a Subject: b\r\n", "Subject", "a b"},
        {"M\r\n\r\nbody Call-ID: in-body\r\n", "Call-ID", "in-body"},
        {"", "To", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GetHeader(c.message, c.name), c.value) << c.message;
    }
    const std::string withNul("M\r\nCall-ID: a\0b\r\n", 17);
    EXPECT_EQ(GetHeader(withNul, "Call-ID"), std::string("a\0b", 3));
}

TEST(AppendHeader, AddsOneTrimmedLineOrNothing)
{
    std::string message;
    EXPECT_EQ(AppendHeader(message, "To", "x"), "\r\nTo: x\r\n");
    message = "SIP/2.0 200 OK";
    EXPECT_EQ(AppendHeader(message, " Via ", " v "), "SIP/2.0 200 OK\r\nVia: v\r\n");
    EXPECT_EQ(AppendHeader(message, "Contact", ""), "SIP/2.0 200 OK\r\nVia: v\r\n");
    EXPECT_EQ(AppendHeader(message, "Expires", "   "), "SIP/2.0 200 OK\r\nVia: v\r\nExpires: \r\n");
}

TEST(StripBrackets, KeepsTheTextBetweenTheBracketsInPlace)
{
    const struct
    {
        const char* in;
        const char* out;
    } cases[] = {
        {"\"Alice\" <sip:alice@h:5061>;tag=1", "sip:alice@h:5061"},
        {"sip:alice@h;tag=1", "sip:alice@h;tag=1"},
        {"<sip:alice@h", "sip:alice@h"},
        {"\"a>b\" <sip:x@h>", "sip:x@h"},
        {"\"a>b\" <sip:x@h", "sip:x@h"},
        {"<>", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        std::string text = c.in;
        EXPECT_EQ(StripBrackets(text), c.out) << c.in;
        EXPECT_EQ(text, c.out) << c.in;
    }
}

TEST(MessageParts, BodyStatusMethodAndToken)
{
    EXPECT_EQ(GetBody("M\r\nA: b\r\n\r\nv=0\r\nx"), "v=0\r\nx");
    EXPECT_EQ(GetBody("M\r\nA: b\r\n\r\n"), "");
    EXPECT_EQ(GetBody("M\r\nA: b\r\n"), "");

    EXPECT_EQ(GetCSeqMethod("M\r\nCSeq: 1 INVITE\r\n"), "INVITE");
    EXPECT_EQ(GetCSeqMethod("M\r\nCSeq: 1  INVITE\r\n"), " INVITE");
    EXPECT_EQ(GetCSeqMethod("M\r\nCSeq: 1\r\n"), "1");
    EXPECT_EQ(GetCSeqMethod("M\r\n"), "");

    EXPECT_EQ(GetStatus("SIP/2.0 180 Ringing\r\nVia: x\r\n"), "180 Ringing");
    EXPECT_EQ(GetStatus("SIP/2.0 200 OK"), "200 OK");
    EXPECT_EQ(GetStatus("SIP/2.0\r\nX:y\r\n"), "SIP/2.0");
    EXPECT_EQ(GetStatus("INVITE sip:x SIP/2.0\r\n"), "");

    EXPECT_EQ(MethodToken("INVITE sip:x SIP/2.0\r\n"), "INVITE");
    EXPECT_EQ(MethodToken(" INVITE\r\n"), "");
    EXPECT_EQ(MethodToken("JUNK\r\nMore"), "JUNK");
    EXPECT_EQ(MethodToken("JUNK"), "JUNK");
}

TEST(BuildRecordRoute, ToUriWithTheProxyAsMaddr)
{
    EXPECT_EQ(BuildRecordRoute("M\r\nTo: \"Bob\" <sip:bob@h>;tag=9\r\n", "10.1.2.3"),
              "<sip:bob@h;maddr=10.1.2.3>");
    EXPECT_EQ(BuildRecordRoute("M\r\nTo: sip:bob@h;user=phone\r\n", "10.1.2.3"),
              "<sip:bob@h;user=phone;maddr=10.1.2.3>");
    EXPECT_EQ(BuildRecordRoute("M\r\nTo: sip:bob@h;\r\n", "10.1.2.3"),
              "<sip:bob@h;maddr=10.1.2.3>");
    EXPECT_EQ(BuildRecordRoute("M\r\n", "10.1.2.3"), "<;maddr=10.1.2.3>");
}

TEST(ViaLines, EveryViaOfTheHeaderSectionInOrder)
{
    const std::string message = "SIP/2.0 200 OK\r\nVia: a\r\nFrom: f\r\nVia: b;x\r\n"
                                "Via:c\r\n\r\nVia: body\r\n";
    EXPECT_EQ(ViaLines(message), (std::vector<std::string_view>{"Via: a", "Via: b;x", "Via:c"}));
    EXPECT_TRUE(ViaLines("Via: first-line\r\n").empty());
}

} // namespace
} // namespace tavrix
