#include "core/proxy/proxy_fixture.h"
#include "core/text/message.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

using namespace test;

class HardeningTest : public ProxyTest
{
protected:
    HardeningTest() : ProxyTest({"127.0.0.1", 5070, "127.0.0.9:5080", 1}) {}
    std::string Forwarded(const std::string& request)
    {
        return BuildRequest(MethodToken(request), "sip:bob@127.0.0.2:5062", Message(request),
                            {"127.0.0.1", 5070});
    }
};

TEST_F(HardeningTest, RequestsThatCameBackAreNotForwardedAgain)
{
    FromBob(Register(kBob, "reg-b"));
    std::string invite = Invite("bob", "c1");
    invite.replace(invite.find("Max-Forwards: 70"), 16, "Max-Forwards: 99999");
    FromAlice(invite);
    const std::vector<Datagram> sent = TakeSent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_NE(sent[2].text.find("\r\nMax-Forwards: 69\r\n"), std::string::npos);

    // The forwarded INVITE back from another proxy (or itself): only 482, to its sender.
    Receive(With(sent[2].text, "Via: ", "Via: SIP/2.0/UDP 127.0.0.8:5090;branch=z9hG4bK8\r\nVia: "),
            "127.0.0.8", 5090);
    Receive(Forwarded(InDialog("BYE", "2 BYE", kAlice, "z9hG4bKb")), "127.0.0.8", 5090);
    Receive(Forwarded(InDialog("ACK", "1 ACK", kAlice, "z9hG4bKa")), "127.0.0.8", 5090);
    std::string spiral = sent[2].text; // the proxy's Via, another branch: not a loop
    spiral.replace(spiral.find("Call-ID: c1"), 11, "Call-ID: c9");
    Receive(spiral, "127.0.0.8", 5090);
    EXPECT_EQ(Sent(), (Lines{"127.0.0.8:5090 SIP/2.0 482 Loop Detected",
                             "127.0.0.8:5090 SIP/2.0 100 Trying",
                             "127.0.0.2:5062 INVITE sip:bob@127.0.0.2:5062 SIP/2.0"}));
    EXPECT_EQ(TakeLog(),
              (Lines{"LOG_ERR Loop detected: 'INVITE' from 127.0.0.8:5090 came back to this proxy",
                     "LOG_ERR Loop detected: 'BYE' from 127.0.0.8:5090 came back to this proxy"}));
    EXPECT_EQ(Summary(), "Statistics: Registrations=2 CallAttempts=2 FailedCalls=1 "
                         "CompletedCalls=0 Errors=2 LastRoute=bob");
}

TEST_F(HardeningTest, RoutesLiveOnlyWithTheirRegistration)
{
    // Ten times: an INVITE from a new Contact to the upstream, its BYE answered, an ACK.
    const Party upstream{"up", "127.0.0.9", 5080};
    for (int i = 0; i < 10; ++i) {
        const Party stranger{"evil" + std::to_string(i), "127.0.0.6",
                             static_cast<std::uint16_t>(6000 + i)};
        const std::string callId = "x" + std::to_string(i);
        std::string invite = Invite("longname", callId);
        invite.replace(invite.find("alice@127.0.0.1:5061"), 20,
                       stranger.user + "@" + stranger.Host());
        From(stranger, invite);
        const std::string bye = InDialog("BYE", "2 BYE", stranger, "z9hG4bKb", callId);
        From(stranger, bye);
        From(upstream, Answer("200 OK", "2 BYE", bye, "", callId));
        From(stranger, InDialog("ACK", "2 ACK", stranger, "z9hG4bKa", callId));
    }
    EXPECT_EQ(proxy.Routes().Listing(), "");
    EXPECT_EQ(display.fields["Registrations"], "0");
    EXPECT_EQ(proxy.Calls().Taken(), 0u);
    TakeSent();

    // Twelve phones for eleven routes: the twelfth is refused, and told so.
    for (int i = 0; i < 12; ++i) {
        const Party phone{"u" + std::to_string(i), "127.0.0.7",
                          static_cast<std::uint16_t>(7000 + i)};
        From(phone, Register(phone, phone.user));
    }
    const Party u0{"u0", "127.0.0.7", 7000};
    From(u0, Register(u0, "u0", "Expires: 30\n")); // a refresh still works
    const Lines sent = Sent();
    EXPECT_EQ(sent.at(11), "127.0.0.7:7011 SIP/2.0 503 Service Unavailable");
    EXPECT_EQ(sent.at(12), "127.0.0.7:7000 SIP/2.0 200 OK");
    EXPECT_EQ(TakeLog(), (Lines{"LOG_ERR Route table full, refusing registration of 'u11' from "
                                "127.0.0.7:7011"}));
    EXPECT_EQ(display.fields["Registrations"], "11");
    EXPECT_FALSE(Slot(proxy.Calls().Find("u11")).IsRegistration()) << "nothing stored";
}

TEST_F(HardeningTest, ARegistrationReplacedInItsSlotTakesItsRoutesAlong)
{
    // Found by fuzzing: a Contact that still holds a "<" once stripped read otherwise the next
    // time. A Contact is now stripped once, when it comes: the same REGISTER refreshes its
    // binding, a new Contact under the Call-ID adds one (RFC 3261 10.3), and each binding's
    // route lives as long as the binding.
    std::string odd = Register(kBob, "reg-b");
    odd.replace(odd.find("Contact: <sip:"), 14, "Contact: <sip<x <sip:");
    FromBob(odd);
    FromBob(Register({"bob", "127.0.0.2", 5063}, "reg-b"));
    FromBob(odd);
    EXPECT_EQ(proxy.Routes().Listing(), "bob linked to sip<x <sip:bob@127.0.0.2:5062\r\n"
                                        "bob linked to sip:bob@127.0.0.2:5063\r\n");
    EXPECT_EQ(display.fields["Registrations"], "2");
    Ticks(61);
    EXPECT_EQ(proxy.Routes().Listing(), "");
    EXPECT_EQ(display.fields["Registrations"], "0");

    FromAlice(Register(kAlice, "reg-a"));
    std::string twin = Register(kBob, "reg-b2");
    twin.replace(twin.find("<sip:bob@127.0.0.2:5062>"), 24, "<<<sip:alice@127.0.0.1:5061");
    FromBob(twin);
    FromBob(Invite("alice", "reg-b2"));
    EXPECT_EQ(proxy.Routes().Listing(), "alice linked to sip:alice@127.0.0.1:5061\r\n");
    Ticks(7201);
    EXPECT_EQ(proxy.Routes().Listing(), "");
    EXPECT_EQ(display.fields["Registrations"], "0");
}

TEST_F(HardeningTest, UnansweredCallsEndAfterThreeMinutes)
{
    FromBob(Register(kBob, "reg-b", "Expires: 3600\n"));
    const std::string invite = Invite("bob", "c1");
    FromAlice(invite);
    Ticks(179);
    EXPECT_EQ(Slot(2).CallID, "c1");
    FromBob(Answer("180 Ringing", "1 INVITE", invite, "", "c1")); // starts the three minutes again
    Ticks(179);
    EXPECT_EQ(Slot(2).CallID, "c1");
    Ticks(1);
    EXPECT_EQ(Slot(2), CallRecord{}) << "nothing is sent; the phones' timers end their sides";
    EXPECT_EQ(display.fields["Registrations"], "1") << "alice's registration by her INVITE ends";
    EXPECT_EQ(Sent().size(), 4u);

    FromAlice(Invite("bob", "c2"));
    FromBob(Answer("200 OK", "1 INVITE", Invite("bob", "c2"), "", "c2"));
    FromBob(Answer("180 Ringing", "1 INVITE", Invite("bob", "c2"), "", "c2")); // came late
    const std::string timed = Invite("bob", "c3", "Session-Expires: 90\n");
    FromAlice(timed);
    FromBob(Answer("200 OK", "1 INVITE", timed, "", "c3"));
    Ticks(90);
    EXPECT_EQ(proxy.Calls().Find("c3"), 3) << "an answered call lives its lifetime";
    Ticks(1);
    EXPECT_EQ(proxy.Calls().Find("c3"), 0);
    Ticks(309);
    EXPECT_EQ(proxy.Calls().Find("c2"), 2);
}

} // namespace
} // namespace tavrix
