#include "engine/proxy_fixture.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

using test::Crlf;
using test::Datagram;
using test::Register;
using Lines = std::vector<std::string>;

std::string Invite(const std::string& callId, const std::string& to, const std::string& extra = "")
{
    return Crlf("INVITE sip:" + to +
                "@127.0.0.1 SIP/2.0\n"
                "Via: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bK" +
                callId +
                "\n"
                "From: <sip:alice@127.0.0.1>;tag=a\nTo: <sip:" +
                to +
                "@127.0.0.1>\n"
                "Call-ID: " +
                callId +
                "\nCSeq: 1 INVITE\n"
                "Contact: <sip:alice@127.0.0.1:5061>\n" +
                extra + "\n");
}

class FaultsTest : public test::ProxyTest
{
protected:
    void FillWithCalls(bool finished)
    {
        for (std::int16_t i = 1; i <= kCallSlots; ++i) {
            CallRecord rec = proxy.Calls().AllocateCall("busy-" + std::to_string(i));
            rec.TimeLeft = 100;
            rec.Finished = finished ? kTrue : kFalse;
            proxy.Calls().Store(rec);
        }
        TakeLog();
    }
};

TEST_F(FaultsTest, MessageWithoutCallIdIsLoggedAndDropped)
{
    FromAlice(Crlf("OPTIONS sip:x SIP/2.0\nVia: SIP/2.0/UDP 127.0.0.1:5061\n\n"));
    FromAlice(Crlf("INVITE sip:bob SIP/2.0\nFrom: <sip:a@h>\n\n"));
    EXPECT_TRUE(net.sent.empty());
    EXPECT_EQ(TakeLog(), (Lines{"LOG_ERR Call missing call ID from 127.0.0.1",
                                "LOG_ERR Call missing call ID from 127.0.0.1"}));
    EXPECT_EQ(Slot(1), CallRecord{});
    EXPECT_EQ(proxy.Stats().CallAttempts(), 0);
}

TEST_F(FaultsTest, FullTableGivesAFinishedCallsSlotAway)
{
    FillWithCalls(true);
    FromBob(Register("bob", "127.0.0.2", 5062, "reg-b"));
    EXPECT_EQ(TakeLog().front(), "LOG_DEBUG Cleaning up call: 1");
    EXPECT_EQ(Slot(1).CallID, "reg-b");
    EXPECT_EQ(Sent(), (Lines{"127.0.0.2:5062 SIP/2.0 200 OK"}));
}

TEST_F(FaultsTest, FullTableOfLiveCallsRefusesRequestsAndDropsTheRest)
{
    FillWithCalls(false);
    Receive(Invite("new", "bob"), "127.0.0.1", 40000);
    FromAlice(Crlf("ACK sip:bob SIP/2.0\nCall-ID: new\n\n"));
    FromBob(Crlf("SIP/2.0 180 Ringing\nCall-ID: new\n\n"));
    EXPECT_EQ(TakeSent(), (std::vector<Datagram>{
                              {Crlf("SIP/2.0 503 Service Unavailable\n"
                                    "Via: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKnew\n"
                                    "From: <sip:alice@127.0.0.1>;tag=a\n"
                                    "To: <sip:bob@127.0.0.1>\nCall-ID: new\nCSeq: 1 INVITE\n\n"),
                               "127.0.0.1", 40000}}));
    EXPECT_EQ(TakeLog(),
              (Lines{"LOG_ERR Call table full, refusing 'INVITE' request from 127.0.0.1:40000",
                     "LOG_DEBUG Sending '503 Service Unavailable' to 127.0.0.1:40000",
                     "LOG_ERR Call table full, dropping 'ACK' from 127.0.0.1:5061",
                     "LOG_ERR Call table full, dropping 'SIP/2.0' from 127.0.0.2:5062"}));
    EXPECT_EQ(proxy.Stats().CallAttempts(), 0);
}

TEST_F(FaultsTest, UnknownCallIdsAreAnsweredToTheSenderOrNotSent)
{
    Receive(Crlf("OPTIONS sip:x SIP/2.0\nCall-ID: o1\n\n"), "127.0.0.4", 50000);
    Receive(Crlf("FOO sip:x SIP/2.0\nCall-ID: o2\n\n"), "127.0.0.4", 50000);
    FromBob(Crlf("SIP/2.0 180 Ringing\nCall-ID: o3\n\n"));
    FromBob(Crlf("SIP/2.0 200 OK\nCall-ID: o4\nCSeq: 1 INVITE\n\n"));
    EXPECT_EQ(Sent(), (Lines{"127.0.0.4:50000 SIP/2.0 200 OK",
                             "127.0.0.4:50000 SIP/2.0 405 Method not allowed"}));
    const Lines log = TakeLog();
    EXPECT_EQ(log[5], "LOG_DEBUG Sending '180 Ringing' to :0");
    EXPECT_EQ(log[6], "LOG_DEBUG Not sent: no destination address or port (:0)");
    EXPECT_EQ(log[8], "LOG_DEBUG Sending 'ACK' request to: :0");
}

TEST_F(FaultsTest, ContactPortsWithoutNumberMeanTheDefault)
{
    std::string noPort = Register("bob", "127.0.0.2", 5062, "r1");
    noPort.replace(noPort.find("127.0.0.2:5062>"), 15, "127.0.0.2>");
    std::string badPort = Register("carol", "127.0.0.3", 5063, "r2");
    badPort.replace(badPort.find("127.0.0.3:5063>"), 15, "127.0.0.3:70000>");
    FromBob(noPort);
    Receive(badPort, "127.0.0.3", 5063);
    EXPECT_EQ(Slot(1).Caller, (PeerAddress{"", "127.0.0.2", 5060}));
    EXPECT_EQ(Slot(2).Caller, (PeerAddress{"", "127.0.0.3", 0}));
    EXPECT_EQ(Sent(), (Lines{"127.0.0.2:5060 SIP/2.0 200 OK"})) << "port 70000 is no port";

    FromAlice(Invite("c1", "carol"));
    EXPECT_EQ(Sent(), (Lines{"127.0.0.1:5061 SIP/2.0 100 Trying"}));
    EXPECT_EQ(Slot(3).Callee, (PeerAddress{"sip:carol@127.0.0.3:70000", "127.0.0.3", 0}));
}

TEST_F(FaultsTest, RoutesBackToTheProxyAreNotFollowed)
{
    proxy.Routes().SetDefaultRoute("127.0.0.1:5070");
    FromAlice(Invite("loop", "someone"));
    EXPECT_EQ(Sent(), (Lines{"127.0.0.1:5061 SIP/2.0 100 Trying",
                             "127.0.0.1:5061 SIP/2.0 482 Loop Detected"}));
    EXPECT_EQ(TakeLog().back(), "LOG_ERR Loop detected: route for 'someone' leads back to this "
                                "proxy (127.0.0.1:5070)");
    EXPECT_EQ(proxy.Stats().FailedCalls(), 1);
    EXPECT_EQ(Slot(1).Callee, PeerAddress{}) << "the call is not stored";

    // A registered Contact that names the proxy itself: a BYE to it goes nowhere.
    CallRecord call = proxy.Calls().AllocateCall("d1");
    call.Caller = {"", "127.0.0.2", 5062};
    call.Callee = {"sip:x@127.0.0.5:5070", "127.0.0.5", 5070};
    proxy.Calls().Store(call);
    FromBob(Crlf("BYE sip:x SIP/2.0\nCall-ID: d1\nCSeq: 2 BYE\n\n"));
    EXPECT_EQ(Sent(), (Lines{"127.0.0.2:5062 SIP/2.0 100 Trying"}));
    EXPECT_EQ(TakeLog().back(), "LOG_ERR Loop detected: not sending to own address 127.0.0.5:5070");
}

TEST_F(FaultsTest, OtherSpellingsOfTheProxysAddressAreNotSentTo)
{
    // Found by fuzzing: a Contact of "0x7f.0.0.1" or " 127.0.0.1" on the proxy's port slipped
    // past the loop guard, and the socket layer reads both as 127.0.0.1.
    for (const char* host : {"0x7f.0.0.1", " 127.0.0.1", "0177.0.0.1"}) {
        std::string request = Register("loop", "127.0.0.1", 5070, std::string("r-") + host);
        request.replace(request.find("127.0.0.1:5070>"), 14, std::string(host) + ":5070");
        Receive(request, "127.0.0.2", 5062);
        FromAlice(Invite(std::string("c-") + host, "loop"));
    }
    EXPECT_EQ(Sent(),
              (Lines{"127.0.0.1:5061 SIP/2.0 100 Trying", "127.0.0.1:5061 SIP/2.0 100 Trying",
                     "127.0.0.1:5061 SIP/2.0 100 Trying"}));
    const Lines log = TakeLog();
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "LOG_DEBUG Not sent: '0x7f.0.0.1' is not an IPv4 address"),
              log.end());
}

TEST_F(FaultsTest, OddValuesStayWithinTheirFields)
{
    FromBob(Register("bob", "127.0.0.2", 5062, "r1", "Expires: 99999\n"));
    EXPECT_EQ(Slot(1).TimeLeft, 32767);
    FromAlice(Invite("c1", "bob", "Session-Expires: 4000000\n"));
    EXPECT_EQ(Slot(2).TimeLeft, 32767);

    FromAlice("garbage-without-any-space\r\nCall-ID:g\r\n\r\n");
    FromAlice(std::string("\0\xff\r\nCall-ID: n\r\n\r\n", 18));
    const Lines log = TakeLog();
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "LOG_ERR Dunno how to handle 'garbage-without-any-space' request from "
                        "127.0.0.1:5061."),
              log.end());

    // An "@" among the first four characters of the From URI leaves no user name.
    FromAlice(Crlf("REGISTER sip:x SIP/2.0\nFrom: <a@b;sip:x>\nCall-ID: r9\n"
                   "Contact: <sip:odd@127.0.0.7:5067>\n\n"));
    EXPECT_EQ(Slot(5).Username, "");
    EXPECT_EQ(Slot(5).IsRegistration, kTrue);
}

TEST_F(FaultsTest, MaxForwardsIsCountedDownAndExhaustedRequestsStop)
{
    FromBob(Register("bob", "127.0.0.2", 5062, "reg-b"));
    TakeSent();
    FromAlice(Invite("c1", "bob", "Max-Forwards: 0\n"));
    FromAlice(Crlf("BYE sip:bob SIP/2.0\nCall-ID: c1\nMax-Forwards: 0\n\n"));
    FromAlice(Crlf("ACK sip:bob SIP/2.0\nCall-ID: c1\nMax-Forwards: 0\n\n"));
    EXPECT_EQ(Sent(), (Lines{"127.0.0.1:5061 SIP/2.0 483 Too Many Hops",
                             "127.0.0.1:5061 SIP/2.0 483 Too Many Hops"}));
    EXPECT_EQ(proxy.Stats().CallAttempts(), 0);
    EXPECT_EQ(proxy.Stats().Errors(), 3);

    FromAlice(Invite("c2", "bob", "Max-Forwards: 1\n"));
    const std::vector<Datagram> sent = TakeSent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_NE(sent[1].text.find("maddr=127.0.0.1>\r\nMax-Forwards: 0\r\nFrom: "),
              std::string::npos);
}

} // namespace
} // namespace tavrix
