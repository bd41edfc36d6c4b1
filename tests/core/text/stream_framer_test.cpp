#include "core/text/stream_framer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tavrix {
namespace {

std::string Msg(std::string_view body, std::string_view length = "")
{
    return "OPTIONS sip:p SIP/2.0\r\nCall-ID: x\r\nContent-Length: " +
           std::string(length.empty() ? std::to_string(body.size()) : length) + "\r\n\r\n" +
           std::string(body);
}

TEST(StreamFramer, MessagesEndWhereTheirLengthSays)
{
    // RFC 3261 18.3. Each row: the reads of one connection, the messages they make, the
    // status after the last read, the pings seen, and whether part of a message waits.
    struct Row
    {
        std::string name;
        std::vector<std::string> reads;
        std::vector<std::string> messages;
        StreamFramer::Status status;
        int pings;
        bool partial;
    };
    using enum StreamFramer::Status;
    const std::string a = Msg("hello");
    const std::string b = Msg("");
    const std::string largest = Msg(std::string(kMaxMessageSize - Msg("").size() - 4, 'y'));
    const std::string pinged = "\r\n\r\n" + a + "\r\n" + b + "\r\n\r\n";
    const std::string compact = "OPTIONS sip:p SIP/2.0\r\nl: 2\r\n\r\nhi";
    const std::vector<Row> rows{
        {"one read", {a}, {a}, Ok, 0, false},
        {"two in one read", {a + b}, {a, b}, Ok, 0, false},
        {"split in the header", {a.substr(0, 10), a.substr(10)}, {a}, Ok, 0, false},
        {"split in the body", {a.substr(0, a.size() - 2)}, {}, Ok, 0, true},
        {"compact name", {compact + "REST"}, {compact}, Ok, 0, true},
        {"pings and blank lines between", {pinged}, {a, b}, Ok, 2, false},
        {"a ping split", {"\r\n", "\r\n"}, {}, Ok, 1, false},
        {"a ping byte by byte", {"\r", "\n", "\r", "\n"}, {}, Ok, 1, false},
        {"no length", {"OPTIONS sip:p SIP/2.0\r\nCall-ID: x\r\n\r\n"}, {}, NoLength, 0, false},
        {"a length that is no number", {Msg("", "12a")}, {}, NoLength, 0, false},
        {"too long a body", {Msg("", "65500") + "x"}, {}, TooLarge, 0, false},
        {"a length of six digits", {Msg("", "100000")}, {}, TooLarge, 0, false},
        {"a header without end", {std::string(70000, 'x')}, {}, TooLarge, 0, false},
        {"nothing after an error", {Msg("", "x"), a}, {}, NoLength, 0, false},
        {"the largest one", {largest}, {largest}, Ok, 0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        StreamFramer framer;
        std::vector<std::string> messages;
        StreamFramer::Status status = Ok;
        for (const std::string& read : row.reads) {
            status = framer.Feed(read, messages);
        }
        EXPECT_EQ(messages.size(), row.messages.size());
        EXPECT_TRUE(messages == row.messages); // (too long to print)
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(framer.TakePings(), row.pings);
        EXPECT_EQ(framer.Partial(), row.partial);
    }
}

TEST(StreamFramer, WhatGoesOutCarriesItsLength)
{
    const std::string bare = "SIP/2.0 200 OK\r\nCSeq: 1 REGISTER\r\n\r\n";
    const struct
    {
        std::string in, out;
    } rows[] = {
        {bare, "SIP/2.0 200 OK\r\nCSeq: 1 REGISTER\r\nContent-Length: 0\r\n\r\n"},
        {bare + "v=0\r\n",
         "SIP/2.0 200 OK\r\nCSeq: 1 REGISTER\r\nContent-Length: 5\r\n\r\nv=0\r\n"},
        {"SIP/2.0 200 OK\r\nl: 0\r\n\r\n", "SIP/2.0 200 OK\r\nl: 0\r\n\r\n"},
        {"no header end\r\n", "no header end\r\n"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(WithContentLength(row.in), row.out);
        std::vector<std::string> messages;
        if (row.in != rows[3].in) {
            StreamFramer().Feed(WithContentLength(row.in), messages);
            EXPECT_EQ(messages.size(), 1U);
        }
    }
}

} // namespace
} // namespace tavrix
