#include "console/stats.h"
#include "engine/proxy_fixture.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

TEST(Statistics, EverySetRewritesItsFieldInPlainDecimal)
{
    test::RecordingDisplay display;
    SIP_STATS stats(display);
    EXPECT_EQ(stats.LastRoute(), "");
    EXPECT_TRUE(display.fields.empty());

    stats.SetRegistrations(-1);
    stats.SetCallAttempts(32767);
    stats.SetFailedCalls(-32768);
    stats.SetCompletedCalls(7);
    stats.SetErrors(0);
    stats.SetLastRoute("bob");
    EXPECT_EQ(display.fields, (std::map<std::string, std::string>{{"Registrations", "-1"},
                                                                  {"CallAttempts", "32767"},
                                                                  {"FailedCalls", "-32768"},
                                                                  {"CompletedCalls", "7"},
                                                                  {"Errors", "0"},
                                                                  {"LastRoute", "bob"}}));
    display.fields.clear();
    stats.SetCompletedCalls(7);
    stats.SetLastRoute("");
    EXPECT_EQ(display.fields["CompletedCalls"], "7") << "an unchanged value is still shown";
    EXPECT_EQ(display.fields["LastRoute"], "");
    EXPECT_EQ(stats.Summary(), "Statistics: Registrations=-1 CallAttempts=32767 "
                               "FailedCalls=-32768 CompletedCalls=7 Errors=0 LastRoute=");
}

} // namespace
} // namespace tavrix
