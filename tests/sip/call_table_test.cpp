#include "engine/proxy_fixture.h"
#include "sip/call_table.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

using test::Crlf;

class CallTableTest : public test::ProxyTest
{
protected:
    CallTable& table = proxy.Calls();
    static std::string Message(const std::string& callId)
    {
        return Crlf("INVITE sip:b@h SIP/2.0\nCall-ID: " + callId + "\nContact: <sip:a@h:1>\n\n");
    }
};

TEST_F(CallTableTest, LookupGivesCopiesOfOneSlotPerCallId)
{
    const PeerAddress peer{"", "127.0.0.1", 5061};
    const CallRecord first = table.LookupCall(Message("abc"), peer);
    EXPECT_EQ(first.Slot, 1);
    EXPECT_EQ(first.CallID, "abc");
    EXPECT_EQ(first.Contact, "<sip:a@h:1>") << "the copy carries the message's Contact";
    EXPECT_EQ(Slot(1).Contact, "") << "the table does not, until the record is stored";

    EXPECT_EQ(table.LookupCall(Message("abc"), peer).Slot, 1);
    EXPECT_EQ(table.LookupCall(Message("ABC"), peer).Slot, 2) << "Call-IDs are case-sensitive";

    EXPECT_EQ(table.LookupCall("INVITE x SIP/2.0\r\n\r\n", peer), CallRecord{});
    EXPECT_EQ(TakeLog(), (std::vector<std::string>{"LOG_ERR Call missing call ID from 127.0.0.1"}));
}

TEST_F(CallTableTest, FullTableReclaimsTheLowestSpentCallOnly)
{
    for (int i = 1; i <= kCallSlots; ++i) {
        EXPECT_EQ(table.AllocateCall("c" + std::to_string(i)).Slot, i);
        table.At(i).TimeLeft = 10;
    }
    EXPECT_EQ(table.AllocateCall("new"), CallRecord{}) << "all live: nothing to give";
    EXPECT_TRUE(TakeLog().empty());

    table.At(40).Finished = kTrue;
    table.At(40).IsRegistration = kTrue; // a registration is never reclaimed
    table.At(50).TimeLeft = 0;
    table.At(50).IsRegistration = kTrue;
    table.At(60).Finished = kTrue;
    table.At(70).TimeLeft = 0; // run out: the next tick would free it anyway
    const CallRecord got = table.AllocateCall("new");
    EXPECT_EQ(got.Slot, 60);
    EXPECT_EQ(Slot(60), got);
    table.At(60).TimeLeft = 10; // a fresh slot is spent until its call is stored
    EXPECT_EQ(table.AllocateCall("newer").Slot, 70);
    EXPECT_EQ(TakeLog(), (std::vector<std::string>{"LOG_DEBUG Cleaning up call: 60",
                                                   "LOG_DEBUG Cleaning up call: 70"}));

    table.CleanupCall(37);
    EXPECT_EQ(Slot(37), CallRecord{});
    EXPECT_EQ(table.AllocateCall("next").Slot, 37);
}

TEST_F(CallTableTest, KnownContactStripsTheRecordAndMatchesStoredText)
{
    CallRecord rec;
    EXPECT_TRUE(table.IsKnownContact(rec)) << "an empty Contact matches any free slot";

    CallRecord stored = table.AllocateCall("reg");
    stored.Contact = "sip:a@h:1";
    table.Store(stored);
    rec.Contact = "\"A\" <sip:a@h:1>;expires=60";
    EXPECT_TRUE(table.IsKnownContact(rec));
    EXPECT_EQ(rec.Contact, "sip:a@h:1");

    rec.Contact = "<sip:other@h:1>";
    for (int i = 2; i <= kCallSlots; ++i) {
        table.AllocateCall("c" + std::to_string(i)); // no free slot with an empty Contact left
    }
    EXPECT_FALSE(table.IsKnownContact(rec));
    EXPECT_EQ(rec.Contact, "sip:other@h:1");
}

TEST_F(CallTableTest, RecordsWithoutASlotNeverTouchTheTable)
{
    CallRecord rec;
    rec.CallID = "x";
    table.Store(rec);
    table.At(0).TimeLeft = 5;
    table.CleanupCall(0);
    EXPECT_EQ(table.At(0), CallRecord{});
    for (int i = 1; i <= kCallSlots; ++i) {
        EXPECT_EQ(Slot(i), CallRecord{});
    }
}

} // namespace
} // namespace tavrix
