#include "core/log/logger.h"
#include "core/log/text_log_sink.h"
#include "core/proxy/proxy_fixture.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

class LogTest : public ::testing::Test
{
protected:
    std::string Line(const char* label, std::string_view text)
    {
        return std::string(label) + ": 12/5/2026 7:13:08 PM " + std::string(text);
    }

    test::RecordingDisplay display;
    SIP_STATS stats{display};
    TextLogSink sink;
    FixedClock clock{"12/5/2026 7:13:08 PM"};
    Logger log{sink, clock, stats};
};

TEST_F(LogTest, LinesPerLevelAndTheirEnds)
{
    log.WriteLog(Level::DebugV, "hidden");
    EXPECT_FALSE(sink.Opened()) << "a filtered line must not create the log window";
    log.SetLogLevel(4);
    log.WriteLog(Level::Err, "e");
    log.WriteLog(Level::Info, "Call ", "started ", 7);
    log.WriteLog(Level::Debug, "forged\r\nLOG_INFO: x\t\x01\x7f\x1f\xe9");
    log.WriteLog(Level::DebugV, "SIP Read: IP=1.2.3.4 Port=5\r\nINVITE x\r\nA: b");
    log.WriteLog(Level::DebugV, "dump\r\n");
    log.WriteLog(Level::Info, "");
    // Text of levels 1 to 3 cannot break its line; level 4 dumps stay as they came.
    EXPECT_EQ(sink.Text(),
              Line("LOG_ERR", "e\r\n") + Line("LOG_INFO", "Call started 7\r\n") +
                  Line("LOG_DEBUG", "forged\\r\\nLOG_INFO: x\\t\\x01\\x7F\\x1F\xe9\r\n") +
                  Line("LOG_DEBUGV", "SIP Read: IP=1.2.3.4 Port=5\r\nINVITE x\r\nA: b\r\n") +
                  Line("LOG_DEBUGV", "dump\r\n") + Line("LOG_INFO", "\r\n"));
}

TEST_F(LogTest, ErrorsAreCountedWhenWrittenPastSixteenAndThirtyTwoBits)
{
    log.SetLogLevel(1);
    log.WriteLog(Level::Info, "dropped");
    EXPECT_FALSE(sink.Opened());
    for (int i = 0; i < 10; ++i) {
        log.WriteLog(Level::Err, "bad");
    }
    EXPECT_EQ(display.fields["Errors"], "10");
    for (const Counter before : {Counter{32767}, Counter{2147483647}}) {
        stats.SetErrors(before);
        sink.SetText("");
        log.WriteLog(Level::Err, "one more");
        EXPECT_EQ(display.fields["Errors"], std::to_string(before + 1));
        EXPECT_EQ(sink.Text(), Line("LOG_ERR", "one more\r\n"));
    }
    stats.SetCallAttempts(2147483648);
    EXPECT_NE(stats.Summary().find(" CallAttempts=2147483648 "), std::string::npos);
}

TEST_F(LogTest, CapTrimsStrictlyAboveThirtyThousandAndKeepsTypedText)
{
    // A line is label + ": " + stamp + " " + text + CR LF = 33 + text characters.
    const std::string line50(50 - 33, 'x');
    sink.SetText(std::string(30000, 'a'));
    log.WriteLog(Level::Info, line50);
    EXPECT_EQ(sink.Length(), 30050u) << "exactly 30000 still grows";
    sink.SetText(std::string(10, 'b') + std::string(30000, 'a'));
    log.WriteLog(Level::Info, line50);
    EXPECT_EQ(sink.Length(), 30010u);
    EXPECT_EQ(sink.Text().substr(0, 10), std::string(10, 'a')) << "the first 50 are gone";
    for (int i = 0; i < 2000; ++i) {
        log.WriteLog(Level::Info, "Looking for destination for: ", i);
    }
    EXPECT_EQ(sink.Length(), 30010u);
    EXPECT_TRUE(sink.Text().ends_with("Looking for destination for: 1999\r\n"));

    const std::string huge(40000, 'z');
    log.WriteLog(Level::Debug, huge);
    EXPECT_EQ(sink.Text(), Line("LOG_DEBUG", huge + "\r\n")) << "longer than the whole text";

    sink.SetText("operator note\r\n");
    log.WriteLog(Level::Info, "two");
    EXPECT_EQ(sink.Text(), "operator note\r\n" + Line("LOG_INFO", "two\r\n"));
}

TEST_F(LogTest, FloodsOfOneKindAreSummedUpEachSecond)
{
    for (int i = 0; i < 25; ++i) {
        log.WriteLimited(Flood::NoCallId, Level::Err, "Call missing call ID from 127.0.0.", i);
        log.WriteLimited(Flood::NotSent, Level::Debug, "Not sent: ", i);
    }
    for (int i = 0; i < 11; ++i) {
        log.WriteLimited(Flood::Loop, Level::Err, "Loop detected: ", i);
    }
    log.WriteLimited(Flood::NotSent, Level::DebugV, "filtered, not counted");
    EXPECT_EQ(std::count(sink.Text().begin(), sink.Text().end(), '\n'), 30);
    EXPECT_EQ(display.fields["Errors"], "36") << "every event counts";
    sink.SetText("");
    log.Tick();
    EXPECT_EQ(sink.Text(),
              Line("LOG_ERR", "15 similar messages suppressed: Call missing call ID "
                              "from 127.0.0.10\r\n") +
                  Line("LOG_ERR", "1 similar messages suppressed: Loop detected: 10\r\n") +
                  Line("LOG_DEBUG", "15 similar messages suppressed: Not sent: 10\r\n"));
    EXPECT_EQ(display.fields["Errors"], "36") << "the summary counts nothing";
    sink.SetText("");
    log.Tick();
    log.WriteLimited(Flood::NoCallId, Level::Err, "again");
    EXPECT_EQ(sink.Text(), Line("LOG_ERR", "again\r\n")) << "a new second starts afresh";
}

TEST_F(LogTest, StatisticsShowEverySetInItsOwnField)
{
    stats.SetRegistrations(-1);
    stats.SetCallAttempts(2);
    stats.SetFailedCalls(3);
    stats.SetCompletedCalls(4);
    stats.SetErrors(5);
    stats.SetLastRoute("bob");
    EXPECT_EQ(display.fields, (std::map<std::string, std::string>{{"Registrations", "-1"},
                                                                  {"CallAttempts", "2"},
                                                                  {"FailedCalls", "3"},
                                                                  {"CompletedCalls", "4"},
                                                                  {"Errors", "5"},
                                                                  {"LastRoute", "bob"}}));
    EXPECT_EQ(stats.Summary(), "Statistics: Registrations=-1 CallAttempts=2 FailedCalls=3 "
                               "CompletedCalls=4 Errors=5 LastRoute=bob");
}

} // namespace
} // namespace tavrix
