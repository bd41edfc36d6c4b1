#include "core/log/logger.h"
#include "mock/memory_log_sink.h"
#include "mock/mock_clock.h"
#include "mock/recording_display.h"

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
    test::MemoryLogSink sink;
    test::MockClock clock;
    Logger log{sink, clock, stats};
};

TEST_F(LogTest, LinesPerLevelAndTheirEnds)
{
    log.WriteLog(Level::DebugV, "hidden");
    EXPECT_EQ(sink.Written(), 0) << "a filtered line must not create the log window";
    log.SetLogLevel(4);
    clock.Set(1796000123);
    log.WriteLog(Level::Err, "e");
    log.WriteLog(Level::Info, "Call ", "started ", 7);
    log.WriteLog(Level::Debug, "forged\r\nLOG_INFO: x\t\x01\x7f\x1f\xe9");
    log.WriteLog(Level::DebugV, "SIP Read: IP=1.2.3.4 Port=5\r\nINVITE x\r\nA: b");
    log.WriteLog(Level::DebugV, "dump\r\nLOG_ERR: lf\nLOG_ERR: cr\rLOG_ERR: x\r\n\r\nbody\r");
    log.WriteLog(Level::DebugV, "dump\r\n");
    log.WriteLog(Level::Info, "");
    // Text of levels 1 to 3 cannot break its line; level 4 dumps come as they came, each of
    // their lines indented so that none begins like a line of the log.
    EXPECT_EQ(
        sink.Text(),
        Line("LOG_ERR", "e\r\n") + Line("LOG_INFO", "Call started 7\r\n") +
            Line("LOG_DEBUG", "forged\\r\\nLOG_INFO: x\\t\\x01\\x7F\\x1F\xe9\r\n") +
            Line("LOG_DEBUGV", "SIP Read: IP=1.2.3.4 Port=5\r\n    INVITE x\r\n    A: b\r\n") +
            Line("LOG_DEBUGV", "dump\r\n    LOG_ERR: lf\n    LOG_ERR: cr\r    LOG_ERR: "
                               "x\r\n    \r\n    body\r\r\n") +
            Line("LOG_DEBUGV", "dump\r\n") + Line("LOG_INFO", "\r\n"));
    EXPECT_EQ(sink.LastTime(), 1796000123) << "each line carries the clock's time";
}

TEST_F(LogTest, ErrorsAreCountedWhenWrittenPastSixteenAndThirtyTwoBits)
{
    log.SetLogLevel(1);
    log.WriteLog(Level::Info, "dropped");
    EXPECT_EQ(sink.Written(), 0);
    for (int i = 0; i < 10; ++i) {
        log.WriteLog(Level::Err, "bad");
    }
    EXPECT_EQ(display.fields["Errors"], "10");
    for (const Counter before : {Counter{32767}, Counter{2147483647}}) {
        stats.Set(Figure::Errors, before);
        sink.SetText("");
        log.WriteLog(Level::Err, "one more");
        EXPECT_EQ(display.fields["Errors"], std::to_string(before + 1));
        EXPECT_EQ(sink.Text(), Line("LOG_ERR", "one more\r\n"));
    }
    stats.Set(Figure::CallAttempts, 2147483648);
    EXPECT_NE(stats.Summary().find(" CallAttempts=2147483648 "), std::string::npos);
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

    // With a budget per source, a loud sender cannot hide a quiet one, up to 200 lines in all.
    sink.SetText("");
    log.Tick();
    const auto fail = [&](const std::string& from) {
        log.WriteLimitedFrom(Flood::AuthFailed, from, Level::Err, "Authentication failed from ",
                             from);
    };
    for (int i = 0; i < 30; ++i) {
        fail("10.0.0.1");
    }
    fail("10.0.0.2");
    EXPECT_EQ(std::count(sink.Text().begin(), sink.Text().end(), '\n'), 11);
    EXPECT_TRUE(sink.Text().ends_with("from 10.0.0.2\r\n"));
    for (int i = 0; i < 300; ++i) {
        fail("10.0.1." + std::to_string(i));
    }
    EXPECT_EQ(std::count(sink.Text().begin(), sink.Text().end(), '\n'), 200);
    EXPECT_EQ(log.Events(Flood::AuthFailed), 331u);
}

TEST_F(LogTest, StatisticsShowEverySetInItsOwnField)
{
    stats.Decrement(Figure::Registrations);
    stats.Set(Figure::CallAttempts, 2);
    stats.Set(Figure::FailedCalls, 3);
    stats.Set(Figure::CompletedCalls, 4);
    stats.Set(Figure::Errors, 4);
    stats.Increment(Figure::Errors);
    stats.SetLastRoute("bob");
    stats.Set(Figure::Count, 9); // no figure: nothing changes
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
