#include "core/proxy/proxy_fixture.h"

#include <gtest/gtest.h>

#include <random>

namespace tavrix {
namespace {

using namespace test;

// The tables on their own, with the proxy's log, clock and display.
class TablesTest : public ProxyTest
{
protected:
    struct Lookup
    {
        CallRecord rec;
        Found found;
    };
    Lookup Look(const std::string& callId, const PeerAddress& peer)
    {
        const std::string text =
            Crlf("INVITE sip:b@h SIP/2.0\nCall-ID: " + callId + "\nContact: <sip:a@h:1>\n\n");
        Lookup lookup;
        lookup.found = table.LookupCall(Message(text), peer, lookup.rec);
        return lookup;
    }
    void Add(const std::string& user, const std::string& contact)
    {
        routes.AddRoute(user, contact);
    }
    std::string Find(const std::string& to) { return routes.FindRoute(to); }
    void Set(SlotNumber n, std::int16_t timeLeft, bool ending = false, bool registration = false)
    {
        CallRecord rec = table.At(n);
        rec.TimeLeft = timeLeft;
        rec.stage = ending ? CallStage::Ending : CallStage::Trying;
        rec.holds = registration ? Holds::Registration : Holds::Nothing;
        table.Store(rec);
    }
    const CallRecord& Slot(SlotNumber n) { return table.At(n); }

    SIP_STATS stats{display};
    Logger logger{log, clock, stats};
    CallTable table{logger};
    RouteTable routes{logger, stats, "127.0.0.9:5080"};
    Registrar registrar{table, routes, logger, stats, clock};
    NullTransport nowhere;
    Endpoint self{"127.0.0.1", 5070};
    DatagramSender sender{nowhere, logger, self};
    KeepAlive keepAlive{table, registrar, sender, logger, self};
    Outbox out{sender, logger, self};
    Admission admission{table, out, logger, stats, clock, self};
    CallRelay relay{table, routes, registrar, admission, out, logger, stats, self};
    Sweep sweep{table, registrar, keepAlive, relay};
};

TEST_F(TablesTest, CallTableHandsOutCopiesOfOneSlotPerCallId)
{
    const PeerAddress peer{"", "127.0.0.1", 5061};
    const Lookup first = Look("abc", peer);
    EXPECT_EQ(first.found, Found::New);
    EXPECT_EQ(first.rec.Slot, 1);
    EXPECT_EQ(first.rec.Contact, "<sip:a@h:1>") << "the copy carries the message's Contact";
    EXPECT_EQ(Slot(1).Contact, "") << "the table does not, until the record is stored";
    EXPECT_EQ(Look("abc", peer).found, Found::Known);
    EXPECT_EQ(Look("ABC", peer).rec.Slot, 2) << "Call-IDs are case-sensitive";
    CallRecord none;
    EXPECT_EQ(table.LookupCall(Message("INVITE x SIP/2.0\r\n\r\n"), peer, none), Found::NoCallId);

    for (int i = 3; i <= kCallSlots; ++i) {
        table.AllocateCall("c" + std::to_string(i));
        Set(i, 10);
    }
    Set(1, 10);
    Set(2, 10);
    EXPECT_EQ(Look("new", peer).found, Found::TableFull);
    EXPECT_EQ(table.AllocateCall("new"), CallRecord{}) << "all live: nothing to give";
    Set(40, 0, true, true); // a registration is never reclaimed
    Set(60, 10, true);
    Set(70, 0); // run out: the next tick would free it anyway
    EXPECT_EQ(table.AllocateCall("new").Slot, 60);
    Set(60, 10);
    EXPECT_EQ(table.AllocateCall("newer").Slot, 70);
    table.CleanupCall(37);
    EXPECT_EQ(table.AllocateCall("next").Slot, 37);
    table.CleanupCall(0);
    CallRecord stranger = table.At(5);
    stranger.CallID = "other";
    table.Store(stranger); // another Call-ID: not stored
    EXPECT_EQ(Slot(5).CallID, "c5");
    const Lines log = TakeLog();
    EXPECT_EQ(Lines(log.end() - 4, log.end()),
              (Lines{"LOG_DEBUG Cleaning up call: 60", "LOG_DEBUG Cleaning up call: 70",
                     "LOG_DEBUG Cleaning up call: 37", "LOG_DEBUG Cleaning up call: 0"}));
}

TEST_F(TablesTest, KnownContactsMatchStoredTextFreeSlotsHoldNone)
{
    EXPECT_TRUE(table.IsKnownContact("")) << "an empty Contact matches any free slot";
    CallRecord stored = table.AllocateCall("reg");
    stored.Contact = "sip:a@h:1";
    table.Store(stored);
    EXPECT_TRUE(table.IsKnownContact("sip:a@h:1"));
    EXPECT_FALSE(table.IsKnownContact("<sip:a@h:1>")) << "the stored text, brackets and all";
    EXPECT_FALSE(table.IsKnownContact("sip:other@h:1"));
    for (int i = 2; i <= kCallSlots; ++i) {
        Set(table.AllocateCall("c" + std::to_string(i)).Slot, 5);
    }
    EXPECT_TRUE(table.IsKnownContact("")) << "new slots keep an empty Contact";
    stored.Contact = "sip:b@h:2";
    for (int i = 2; i <= kCallSlots; ++i) {
        stored = table.At(i);
        stored.Contact = "sip:b@h:2";
        table.Store(stored);
    }
    EXPECT_FALSE(table.IsKnownContact(""));
}

TEST_F(TablesTest, RoutesInSlotOrderFirstMatchWins)
{
    Add("bob", "sip:bob@127.0.0.2:5062");
    EXPECT_EQ(routes.Entry(10), RouteEntry{}) << "a slot the table has not grown to yet";
    EXPECT_EQ(routes.Entry(1000000), RouteEntry{}) << "nor ever will";
    Add("bob", "sip:bob@127.0.0.3:5063");
    Add("bob2", "sip:bob@127.0.0.2:5062"); // same Contact: nothing, not even a line
    Add("", "sip:nouser@h:2");             // a From URI without a user part
    Add("longname", "sip:longname@127.0.0.4:5064");
    EXPECT_EQ(routes.Listing(), "bob linked to sip:bob@127.0.0.2:5062\r\n"
                                "bob linked to sip:bob@127.0.0.3:5063\r\n"
                                "longname linked to sip:longname@127.0.0.4:5064\r\n");
    EXPECT_EQ(Find("<sip:bob@127.0.0.1>"), "sip:bob@127.0.0.2:5062");
    EXPECT_EQ(Find("<sip:longname@127.0.0.1>"), "sip:longname@127.0.0.4:5064");
    EXPECT_EQ(Find("<sip:seven77@127.0.0.1>"), "<sip:seven77@127.0.0.9:5080>");
    EXPECT_EQ(Find("<sip:Bob@127.0.0.1>"), "");
    EXPECT_EQ(Find("<tel:+15551234>"), "<sip:+15551234@127.0.0.9:5080>") << "the number";
    EXPECT_EQ(Find("\"x:y\" <sip:seven77@h>"), "<sip:seven77@127.0.0.9:5080>");
    EXPECT_EQ(Find("Seven77"), "<sip:Seven77@127.0.0.9:5080>") << "no URI: taken whole";
    EXPECT_EQ(Find("<sip:@h>"), "sip:nouser@h:2");
    TakeLog();
    EXPECT_EQ(Find("<sip:sixsix@127.0.0.1>"), "");
    EXPECT_EQ(TakeLog(), (Lines{"LOG_INFO Looking for destination for: sixsix",
                                "LOG_INFO No route for: sixsix"}));
    EXPECT_EQ(display.fields["LastRoute"], "sixsix");

    routes.RemoveRoutes("sip:bob@127.0.0.2:5062");
    EXPECT_EQ(Find("<sip:bob@127.0.0.1>"), "sip:bob@127.0.0.3:5063");
    EXPECT_EQ(Find("<sip:@h>"), "") << "an empty user finds the free slot 0 first";
    for (int i = 0; i < 10; ++i) {
        Add("u" + std::to_string(i), "sip:u@h:" + std::to_string(i));
    }
    EXPECT_EQ(routes.Entry(0), (RouteEntry{"u0", "sip:u@h:0"})) << "the lowest free slot";
    EXPECT_EQ(TakeLog().back(), "LOG_DEBUG Add route 'u9' to sip:u@h:9");
    EXPECT_EQ(Find("<sip:@h>"), "sip:nouser@h:2") << "no free slot left before it";
    EXPECT_EQ(routes.Listing().find("u9"), std::string::npos) << "a full table drops the route";
    routes.RemoveRoutes("sip:u@h:0");
    Add("empty", "");
    EXPECT_EQ(routes.Entry(0), RouteEntry{}) << "an empty Contact matches the one free slot";
}

TEST_F(TablesTest, IndexesAgreeWithAPlainScanAfterEveryChange)
{
    // A number past the end is no member, whatever is asked.
    IndexSet set(64);
    set.Insert(64);
    set.Insert(63);
    EXPECT_EQ(set.Count(), 1u);
    EXPECT_EQ(set.Next(0), 63u);

    // Random stores, cleanups, reclaims and sweeps on a small table; after each, every slot
    // must be found by its Call-ID and the lowest free slot must be the next one taken.
    std::mt19937 random(7);
    for (int step = 0; step < 4000; ++step) {
        const std::string callId = "c" + std::to_string(random() % 150);
        const Lookup lookup = Look(callId, {"", "h", 1});
        if (lookup.rec.Slot != 0 && random() % 2 == 0) {
            CallRecord rec = lookup.rec;
            rec.TimeLeft = static_cast<std::int16_t>(random() % 4);
            rec.stage = random() % 5 == 0 ? CallStage::Ending : CallStage::Trying;
            rec.holds = random() % 5 == 0 ? Holds::Registration : Holds::Call;
            rec.Contact = "sip:" + std::to_string(random() % 20);
            table.Store(rec);
        }
        if (random() % 3 == 0) {
            table.CleanupCall(static_cast<SlotNumber>(random() % kCallSlots + 1));
        }
        if (random() % 50 == 0) {
            sweep.Run();
        }
        SlotNumber firstFree = 0;
        std::size_t taken = 0;
        for (SlotNumber n = 1; n <= kCallSlots; ++n) {
            const CallRecord& slot = table.At(n);
            if (slot.CallID.empty()) {
                ASSERT_EQ(slot, CallRecord{});
                firstFree = firstFree == 0 ? n : firstFree;
                continue;
            }
            ++taken;
            ASSERT_EQ(slot.Slot, n);
            ASSERT_EQ(Look(slot.CallID, {}).rec.Slot, n);
            ASSERT_TRUE(table.IsKnownContact(slot.Contact));
        }
        ASSERT_EQ(table.Taken(), taken);
        if (firstFree != 0) {
            ASSERT_EQ(table.AllocateCall("probe").Slot, firstFree);
            table.CleanupCall(firstFree);
        }
    }
}

} // namespace
} // namespace tavrix
