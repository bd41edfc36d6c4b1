#include "console/logger.h"
#include "console/text_log_sink.h"
#include "engine/proxy_fixture.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

class LoggerTest : public ::testing::Test
{
protected:
    test::RecordingDisplay display;
    SIP_STATS stats{display};
    TextLogSink sink;
    FixedClock clock{"12/5/2026 7:13:08 PM"};
    Logger log{sink, clock, stats};
};

TEST_F(LoggerTest, LineFormatPerLevel)
{
    log.SetLogLevel(4);
    log.WriteLog(Level::LOG_ERR, "e");
    log.WriteLog(Level::LOG_INFO, "Call started");
    log.WriteLog(Level::LOG_DEBUG, "ends in crlf\r\n");
    log.WriteLog(Level::LOG_DEBUGV, "SIP Read: IP=1.2.3.4 Port=5\r\nINVITE x\r\nA: b");
    log.WriteLog(Level::LOG_INFO, "lone lf\n");
    log.WriteLog(Level::LOG_INFO, "");
    EXPECT_EQ(sink.Text(), "LOG_ERR: 12/5/2026 7:13:08 PM e\r\n"
                           "LOG_INFO: 12/5/2026 7:13:08 PM Call started\r\n"
                           "LOG_DEBUG: 12/5/2026 7:13:08 PM ends in crlf\r\n"
                           "LOG_DEBUGV: 12/5/2026 7:13:08 PM SIP Read: IP=1.2.3.4 Port=5\r\n"
                           "INVITE x\r\nA: b\r\n"
                           "LOG_INFO: 12/5/2026 7:13:08 PM lone lf\n\r\n"
                           "LOG_INFO: 12/5/2026 7:13:08 PM \r\n");
}

TEST_F(LoggerTest, LevelFilterCountsErrorsOnlyWhenWritten)
{
    log.WriteLog(Level::LOG_DEBUGV, "hidden");
    EXPECT_FALSE(sink.Opened()) << "a filtered line must not create the log window";
    EXPECT_EQ(sink.Length(), 0u);

    log.SetLogLevel(1);
    log.WriteLog(Level::LOG_INFO, "dropped");
    EXPECT_FALSE(sink.Opened());
    for (int i = 0; i < 10; ++i) {
        log.WriteLog(Level::LOG_ERR, "bad");
    }
    EXPECT_TRUE(sink.Opened());
    EXPECT_EQ(stats.Errors(), 10);
    EXPECT_EQ(display.fields["Errors"], "10");
}

TEST_F(LoggerTest, ErrorsHoldAtTheLimitAndTheLineIsStillWritten)
{
    stats.SetErrors(32767);
    log.WriteLog(Level::LOG_ERR, "one more");
    EXPECT_EQ(stats.Errors(), 32767);
    EXPECT_EQ(sink.Text(), "LOG_ERR: 12/5/2026 7:13:08 PM one more\r\n");
}

TEST_F(LoggerTest, CapTrimsStrictlyAboveThirtyThousand)
{
    // A line is label + ": " + stamp + " " + text + CR LF = 33 + text characters.
    const std::string line50 = std::string(50 - 33, 'x');
    sink.SetText(std::string(30000, 'a'));
    log.WriteLog(Level::LOG_INFO, line50);
    EXPECT_EQ(sink.Length(), 30050u) << "exactly 30000 still grows";

    sink.SetText(std::string(10, 'b') + std::string(30000, 'a'));
    log.WriteLog(Level::LOG_INFO, line50);
    EXPECT_EQ(sink.Length(), 30010u);
    EXPECT_EQ(sink.Text().substr(0, 10), std::string(10, 'a')) << "the first 50 are gone";
    EXPECT_TRUE(sink.Text().ends_with("PM " + line50 + "\r\n"));

    // Many lines later the length has not moved and the cut ignores line boundaries.
    for (int i = 0; i < 2000; ++i) {
        log.WriteLog(Level::LOG_INFO, "Looking for destination for: " + std::to_string(i));
    }
    EXPECT_EQ(sink.Length(), 30010u);
    EXPECT_TRUE(sink.Text().ends_with("Looking for destination for: 1999\r\n"));
}

TEST_F(LoggerTest, LineLongerThanTheWholeTextBecomesTheText)
{
    sink.SetText(std::string(30001, 'a'));
    const std::string huge(40000, 'z');
    log.WriteLog(Level::LOG_DEBUG, huge);
    EXPECT_EQ(sink.Text(), "LOG_DEBUG: 12/5/2026 7:13:08 PM " + huge + "\r\n");
}

TEST_F(LoggerTest, TextTheOperatorTypedIsKept)
{
    log.WriteLog(Level::LOG_INFO, "one");
    sink.SetText(std::string(sink.Text()) + "operator note\r\n");
    log.WriteLog(Level::LOG_INFO, "two");
    EXPECT_EQ(sink.Text(), "LOG_INFO: 12/5/2026 7:13:08 PM one\r\noperator note\r\n"
                           "LOG_INFO: 12/5/2026 7:13:08 PM two\r\n");
}

} // namespace
} // namespace tavrix
