#include "engine/proxy_fixture.h"
#include "routing/route_table.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

using test::Crlf;

class RouteTableTest : public test::ProxyTest
{
protected:
    void Add(const std::string& user, const std::string& contact)
    {
        CallRecord rec;
        rec.Contact = contact;
        routes.AddRoute(rec, Crlf("REGISTER x SIP/2.0\nFrom: <sip:" + user + "@h>;tag=1\n\n"));
    }
    std::string Find(const std::string& to)
    {
        return routes.FindRoute(Crlf("INVITE x SIP/2.0\nTo: " + to + "\n\n"));
    }
    RouteTable& routes = proxy.Routes();
};

TEST_F(RouteTableTest, ElevenSlotsFilledInOrderDuplicatesByContactOnly)
{
    for (int i = 0; i < 11; ++i) {
        Add("u" + std::to_string(i), "sip:u@h:" + std::to_string(5000 + i));
    }
    Add("u0", "sip:u@h:5000"); // same Contact: nothing, not even a line
    Add("late", "sip:late@h:1");
    EXPECT_EQ(TakeLog().back(), "LOG_DEBUG Add route 'late' to sip:late@h:1");
    EXPECT_EQ(routes.Entry(10), (RouteEntry{"u10", "sip:u@h:5010"}));
    EXPECT_EQ(routes.Listing().find("late"), std::string::npos);

    CallRecord gone;
    gone.Contact = "sip:u@h:5004";
    routes.RemoveRoutes(gone);
    EXPECT_EQ(routes.Entry(4), RouteEntry{});
    EXPECT_EQ(TakeLog(), (std::vector<std::string>{"LOG_DEBUG Removing routes to sip:u@h:5004"}));
}

TEST_F(RouteTableTest, LookupPrefersRegisteredUsersThenDefaultRouteForLongNames)
{
    Add("bob", "sip:bob@127.0.0.2:5062");
    Add("bob", "sip:bob@127.0.0.3:5063");
    Add("longname", "sip:longname@127.0.0.4:5064");

    EXPECT_EQ(Find("<sip:bob@127.0.0.1>"), "sip:bob@127.0.0.2:5062");
    EXPECT_EQ(Find("<sip:longname@127.0.0.1>"), "sip:longname@127.0.0.4:5064");
    EXPECT_EQ(Find("<sip:sixsix@127.0.0.1>"), "");
    EXPECT_EQ(Find("<sip:seven77@127.0.0.1>"), "<sip:seven77@127.0.0.9:5080>");
    EXPECT_EQ(Find("<sip:Bob@127.0.0.1>"), "");
    EXPECT_EQ(Find("<tel:+15551234>"), "<sip:<tel:+15551234>@127.0.0.9:5080>");
    EXPECT_EQ(proxy.Stats().LastRoute(), "<tel:+15551234>");
    TakeLog();

    Find("<sip:sixsix@127.0.0.1>");
    EXPECT_EQ(TakeLog(), (std::vector<std::string>{"LOG_INFO Looking for destination for: sixsix",
                                                   "LOG_INFO No route for: sixsix"}));
    EXPECT_EQ(display.fields["LastRoute"], "sixsix");

    // Both routes of a Contact go; the user's other Contact is found next.
    CallRecord first;
    first.Contact = "sip:bob@127.0.0.2:5062";
    routes.RemoveRoutes(first);
    EXPECT_EQ(Find("<sip:bob@127.0.0.1>"), "sip:bob@127.0.0.3:5063");
}

TEST_F(RouteTableTest, ListingInSlotOrderSkipsEntriesWithoutUser)
{
    EXPECT_EQ(routes.Listing(), "");
    Add("a", "sip:a@h:1");
    Add("", "sip:nouser@h:2"); // a From URI without a user part
    Add("c", "sip:c@h:3");
    EXPECT_EQ(routes.Listing(), "a linked to sip:a@h:1\r\nc linked to sip:c@h:3\r\n");
}

} // namespace
} // namespace tavrix
