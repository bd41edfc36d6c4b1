#include "core/proxy/proxy_fixture.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

using namespace test;

using GuardTest = ProxyTest;

// A proxy of four call slots.
class SmallTableTest : public ProxyTest
{
protected:
    SmallTableTest() : ProxyTest({"127.0.0.1", 5070, "127.0.0.9:5080", 3, 4}) {}
};

TEST_F(GuardTest, MessagesWithoutCallIdAreLoggedAndDropped)
{
    FromAlice(Crlf("OPTIONS sip:x SIP/2.0\nVia: SIP/2.0/UDP 127.0.0.1:5061\n\n"));
    FromAlice(Crlf("INVITE sip:bob SIP/2.0\nv: SIP/2.0/UDP h\nFrom: <sip:a@h>\n\n"));
    FromAlice(Crlf("INVITE sip:bob SIP/2.0\nFrom: <sip:a@h>\nCall-ID: no-via\n\n"));
    EXPECT_TRUE(net.sent.empty()) << "a request without Via has nowhere to be answered";
    EXPECT_EQ(TakeLog(), (Lines{"LOG_ERR Call missing call ID from 127.0.0.1",
                                "LOG_ERR Call missing call ID from 127.0.0.1",
                                "LOG_ERR No Via: 'INVITE' from 127.0.0.1:5061 dropped"}));
    EXPECT_EQ(proxy.Calls().Taken(), 0u);
}

TEST_F(SmallTableTest, FullTableGivesSpentSlotsAwayElseRefuses)
{
    // OPTIONS pings take slots that nothing lives in: spent, given to the next new Call-ID. A
    // BYE of no call here is answered 481 and takes none.
    Receive(InDialog("BYE", "2 BYE", kAlice, "z9hG4bKs", "stray"), "127.0.0.5", 5065);
    for (int i = 1; i <= 4; ++i) {
        Receive(InDialog("OPTIONS", "2 OPTIONS", kAlice, "z9hG4bKs", "ping-" + std::to_string(i)),
                "127.0.0.5", 5065);
    }
    EXPECT_EQ(Sent()[0], "127.0.0.5:5061 SIP/2.0 481 Call/Transaction Does Not Exist");
    TakeLog();
    FromBob(Register(kBob, "reg-b"));
    EXPECT_EQ(TakeLog().front(), "LOG_DEBUG Cleaning up call: 1");
    EXPECT_EQ(Slot(1).CallID, "reg-b");
    EXPECT_EQ(Sent(), (Lines{"127.0.0.2:5062 SIP/2.0 200 OK"}));

    // Live calls are never given away, not even one with a second left: with bob in slot 1
    // and three calls of alice's to him (the first registers her in its slot), a new Call-ID
    // finds no room.
    Ticks(1);
    for (int i = 1; i <= 3; ++i) {
        FromAlice(Invite("bob", "live-" + std::to_string(i), i == 3 ? "Session-Expires: 1\n" : ""));
    }
    ASSERT_EQ(proxy.Calls().Taken(), 4u);
    TakeSent();
    TakeLog();
    const std::string invite = Invite("bob", "new");
    Receive(invite, "127.0.0.1", 40000);
    FromAlice(Crlf("ACK sip:bob SIP/2.0\nv: SIP/2.0/UDP 127.0.0.1:5061\nCall-ID: new\n\n"));
    FromBob(Crlf("SIP/2.0 180 Ringing\nCall-ID: new\n\n"));
    EXPECT_EQ(TakeSent(),
              (std::vector<Datagram>{{BuildResponse("503 Service Unavailable", Message(invite), 0),
                                      "127.0.0.1", 5061}}));
    EXPECT_EQ(TakeLog(),
              (Lines{"LOG_ERR Call table full, refusing 'INVITE' request from 127.0.0.1:40000",
                     "LOG_DEBUG Sending '503 Service Unavailable' to 127.0.0.1:5061",
                     "LOG_ERR Call table full, dropping 'ACK' from 127.0.0.1:5061",
                     "LOG_ERR Call table full, dropping 'SIP/2.0' from 127.0.0.2:5062"}));
    // Once a call's lifetime has run out its slot is spent, given to the next new Call-ID.
    Ticks(1);
    Receive(invite, "127.0.0.1", 40000);
    EXPECT_EQ(Sent().at(0), "127.0.0.1:5061 SIP/2.0 100 Trying");
    EXPECT_EQ(proxy.Stats().CallAttempts(), 4) << "the refused INVITE is no attempt";
}

TEST_F(GuardTest, PortsOfContactsAndRoutes)
{
    // The Contact's port, 5060 without one, none beyond 65535; the answer goes to the sender.
    const std::pair<const char*, PeerAddress> rows[] = {
        {"sip:bob@127.0.0.2", {"", "127.0.0.2", 5060}},
        {"sip:bob@127.0.0.2:40000", {"", "127.0.0.2", 40000}},
        {"sip:bob@127.0.0.2:70000", {"", "127.0.0.2", 0}},
    };
    for (const auto& [contact, caller] : rows) {
        std::string request = Register(kBob, contact);
        request.replace(request.find("sip:bob@127.0.0.2:5062>"), 22, contact);
        FromBob(request);
        EXPECT_EQ(Slot(proxy.Calls().Find(contact)).Caller, caller) << contact;
        EXPECT_EQ(Sent(), Lines{"127.0.0.2:5062 SIP/2.0 200 OK"}) << contact;
    }
}

// A proxy whose default route is itself.
class LoopTest : public ProxyTest
{
protected:
    LoopTest() : ProxyTest({"127.0.0.1", 5070, "127.0.0.1:5070", 3}) {}
};

TEST_F(LoopTest, NothingIsSentBackToTheProxyInAnySpelling)
{
    FromAlice(Invite("someone"));
    EXPECT_EQ(Sent(), (Lines{"127.0.0.1:5061 SIP/2.0 100 Trying",
                             "127.0.0.1:5061 SIP/2.0 482 Loop Detected"}));
    EXPECT_EQ(TakeLog().back(), "LOG_ERR Loop detected: route for 'someone' leads back to this "
                                "proxy (127.0.0.1:5070)");
    EXPECT_EQ(proxy.Stats().FailedCalls(), 1);
    EXPECT_EQ(Slot(1).Callee, PeerAddress{}) << "the call is not stored";

    // Found by fuzzing: a Contact of "0x7f.0.0.1" or " 127.0.0.1" on the proxy's port slipped
    // past the loop guard, and the socket layer reads both as 127.0.0.1.
    for (const auto& [user, host] :
         {std::pair{"hex", "0x7f.0.0.1"}, {"space", " 127.0.0.1"}, {"five", "127.0.0.5"}}) {
        std::string request = Register({user, "127.0.0.1", 5070}, std::string("r-") + user);
        request.replace(request.find("127.0.0.1:5070>"), 9, host);
        FromBob(request);
        FromAlice(Invite(user, std::string("c-") + user));
    }
    // A Contact that names no plain address is reached where its REGISTER came from, as a
    // phone behind NAT is: never the proxy.
    EXPECT_EQ(Sent(), (Lines{"127.0.0.2:5062 SIP/2.0 200 OK", "127.0.0.1:5061 SIP/2.0 100 Trying",
                             "127.0.0.2:5062 INVITE sip:hex@0x7f.0.0.1:5070 SIP/2.0",
                             "127.0.0.2:5062 SIP/2.0 200 OK", "127.0.0.1:5061 SIP/2.0 100 Trying",
                             "127.0.0.2:5062 INVITE sip:space@ 127.0.0.1:5070 SIP/2.0",
                             "127.0.0.2:5062 SIP/2.0 200 OK", "127.0.0.1:5061 SIP/2.0 100 Trying",
                             "127.0.0.1:5061 SIP/2.0 482 Loop Detected"}));
}

TEST_F(GuardTest, OddValuesStayWithinTheirFields)
{
    FromBob(Register(kBob, "r1", "Expires: 99999\n"));
    EXPECT_EQ(Slot(1).TimeLeft, 32767);
    FromAlice(Invite("bob", "c1", "Session-Expires: 4000000\n"));
    EXPECT_EQ(Slot(2).TimeLeft, 32767);

    FromAlice("garbage-without-any-space\r\nv:SIP/2.0/UDP\th\r\nCall-ID:g\r\n\r\n");
    FromAlice(std::string("\0\xff\r\nCall-ID: n\r\n\r\n", 18));
    EXPECT_TRUE(Logged("LOG_ERR Dunno how to handle 'garbage-without-any-space' request from "
                       "127.0.0.1:5061."));

    // The user name is the From URI's user part; a URI of a host alone has none.
    for (const auto& [from, user] : {std::pair{"<sip:carol@h>", "carol"}, {"<sip:carol>", ""}}) {
        FromAlice(Crlf(std::string("REGISTER sip:x SIP/2.0\nv: SIP/2.0/UDP h\nFrom: ") + from +
                       "\nCall-ID: " + from + "\nContact: <sip:" + user + "x@127.0.0.7:5067>\n\n"));
        EXPECT_EQ(Slot(proxy.Calls().Find(from)).Username, user);
        EXPECT_TRUE(Slot(proxy.Calls().Find(from)).IsRegistration());
    }
}

TEST_F(GuardTest, MaxForwardsIsCountedDownAndExhaustedRequestsStop)
{
    FromBob(Register(kBob, "reg-b"));
    TakeSent();
    TakeLog();
    std::string invite = Invite("bob", "c1");
    invite.replace(invite.find("Max-Forwards: 70"), 16, "Max-Forwards: 0");
    FromAlice(invite);
    const std::string via = "v: SIP/2.0/UDP 127.0.0.1:5061\n";
    FromAlice(Crlf("BYE sip:bob SIP/2.0\n" + via + "Call-ID: c1\nMax-Forwards: 0\n\n"));
    FromAlice(Crlf("CANCEL sip:bob SIP/2.0\n" + via + "Call-ID: c1\nMax-Forwards: -3\n\n"));
    FromAlice(Crlf("ACK sip:bob SIP/2.0\n" + via + "Call-ID: c1\nMax-Forwards: 0\n\n"));
    EXPECT_EQ(Sent(), (Lines{"127.0.0.1:5061 SIP/2.0 483 Too Many Hops",
                             "127.0.0.1:5061 SIP/2.0 483 Too Many Hops",
                             "127.0.0.1:5061 SIP/2.0 483 Too Many Hops"}));
    EXPECT_EQ(TakeLog().at(1), "LOG_ERR Too many hops: 'INVITE' from 127.0.0.1:5061 not forwarded");
    EXPECT_EQ(Summary(), "Statistics: Registrations=1 CallAttempts=0 FailedCalls=0 "
                         "CompletedCalls=0 Errors=4 LastRoute=");
}

} // namespace
} // namespace tavrix
