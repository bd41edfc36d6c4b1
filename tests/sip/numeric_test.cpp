#include "sip/numeric.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

TEST(NumericValue, NumberAtTheStartOfTheText)
{
    const struct
    {
        const char* text;
        double value;
    } cases[] = {
        {"", 0},         {"abc", 0},  {"1800;refresher=uac", 1800},
        {"  60", 60},    {"-5", -5},  {"+7", 7},
        {"2.5", 2.5},    {".5", 0.5}, {"486 Busy", 486},
        {"099 Odd", 99}, {"-", 0},    {"12abc34", 12},
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(NumericValue(c.text), c.value) << c.text;
    }
}

TEST(NumericValue, SixteenBitFieldsRoundHalfToEvenAndSaturate)
{
    EXPECT_EQ(NumericValue16("2.5"), 2);
    EXPECT_EQ(NumericValue16("3.5"), 4);
    EXPECT_EQ(NumericValue16("-2.5"), -2);
    EXPECT_EQ(NumericValue16("2.51"), 3);
    EXPECT_EQ(NumericValue16("32767"), 32767);
    EXPECT_EQ(NumericValue16("32768"), 32767);
    EXPECT_EQ(NumericValue16("99999999999999999999999999"), 32767);
    EXPECT_EQ(NumericValue16("-40000"), -32768);
    EXPECT_EQ(Saturated(32767, 1), 32767);
    EXPECT_EQ(Saturated(-32768, -1), -32768);
    EXPECT_EQ(Saturated(0, -1), -1);
}

TEST(PortFromText, NoNumberMeansTheSipDefaultOutOfRangeMeansNoPort)
{
    EXPECT_EQ(PortFromText("5062"), 5062);
    EXPECT_EQ(PortFromText("65535"), 65535);
    EXPECT_EQ(PortFromText("40000"), 40000); // above the signed range, still the same port
    EXPECT_EQ(PortFromText("bob@127.0.0.2"), 5060);
    EXPECT_EQ(PortFromText(""), 5060);
    EXPECT_EQ(PortFromText("0"), 0);
    EXPECT_EQ(PortFromText("65536"), 0);
    EXPECT_EQ(PortFromText("-1"), 0);
}

TEST(ParseIPv4, OnlyPlainDottedQuads)
{
    EXPECT_EQ(ParseIPv4("127.0.0.1"), 0x7f000001u);
    EXPECT_EQ(ParseIPv4("0.0.0.0"), 0u);
    EXPECT_EQ(ParseIPv4("255.255.255.255"), 0xffffffffu);
    for (const char* odd :
         {"0x7f.0.0.1", "0177.0.0.1", " 127.0.0.1", "127.0.0.1 ", "127.0.0", "127.0.0.1.",
          "256.0.0.1", "127.0.0.01", "1.2.3.4;lr", "localhost", "+1.2.3.4", "", "1..2.3"}) {
        EXPECT_FALSE(ParseIPv4(odd)) << odd;
    }
}

} // namespace
} // namespace tavrix
