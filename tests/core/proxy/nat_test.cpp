#include "core/proxy/proxy_fixture.h"
#include "core/text/text.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

using namespace test;

// A phone at home: it writes its private address 10.9.9.9:5060 in Via and Contact, and its
// datagrams reach the proxy from its router's 127.0.0.3:40001. bob is on the proxy's network.
// Keep-alives every 5 seconds.
class NatTest : public ProxyTest
{
protected:
    NatTest() : ProxyTest({"127.0.0.1", 5070, "127.0.0.9:5080", 3, 100, 11, 10, 10, 5})
    {
        FromBob(Register(kBob, "reg-b", "Expires: 3600\n"));
        TakeSent();
    }
    const Party kRouter{"carol", "127.0.0.3", 40001};

    // carol's REGISTER as her phone writes it.
    static std::string Home(std::string_view callId, std::string_view via = ";rport")
    {
        return Crlf(Cat("REGISTER sip:127.0.0.1:5070 SIP/2.0\nVia: SIP/2.0/UDP 10.9.9.9:5060", via,
                        ";branch=z9hG4bKh\nFrom: <sip:carol@127.0.0.1>;tag=c1\n"
                        "To: <sip:carol@127.0.0.1>\nCall-ID: ",
                        callId,
                        "\nCSeq: 1 REGISTER\nContact: <sip:carol@10.9.9.9:5060>\n"
                        "Expires: 3600\nUser-Agent: HomePhone/2.0\nContent-Length: 0\n\n"));
    }
};

TEST_F(NatTest, CallsReachThePhoneWhereItIsHeard)
{
    From(kRouter, Home("r1"));
    TakeSent();
    TakeLog();
    // bob calls carol: the INVITE goes to her router, for her Contact, and the log names the
    // Contact as always (RFC 3261 18.2.1).
    std::string invite = Invite("carol", "c1");
    invite = With(With(invite, "127.0.0.1:5061;branch", "127.0.0.2:5062;branch"),
                  "sip:alice@127.0.0.1:5061", "sip:bob@127.0.0.2:5062");
    FromBob(invite);
    std::string answer = Answer("200 OK", "1 INVITE", invite, "v=0\r\n", "c1");
    answer = With(answer, "<sip:bob@127.0.0.2:5062>", "<sip:carol@10.9.9.9:5060>");
    From(kRouter, answer);
    const std::string bye = Crlf("BYE sip:carol@10.9.9.9:5060 SIP/2.0\n"
                                 "Via: SIP/2.0/UDP 127.0.0.2:5062;branch=z9hG4bKbb\n"
                                 "From: \"Alice\" <sip:alice@127.0.0.1>;tag=a1\n"
                                 "To: <sip:bob@127.0.0.1>;tag=b1\nCall-ID: c1\nCSeq: 2 BYE\n\n");
    FromBob(bye);
    EXPECT_EQ(Sent(), (Lines{"127.0.0.2:5062 SIP/2.0 100 Trying",
                             "127.0.0.3:40001 INVITE sip:carol@10.9.9.9:5060 SIP/2.0",
                             "127.0.0.2:5062 SIP/2.0 200 OK", "127.0.0.2:5062 SIP/2.0 100 Trying",
                             "127.0.0.3:40001 BYE sip:carol@10.9.9.9:5060 SIP/2.0"}));
    EXPECT_EQ(TakeLog().at(4), "LOG_DEBUG Sending 'INVITE' request to: 10.9.9.9:5060");

    // carol calls out: every answer, and bob's requests, reach her router.
    std::string out = With(Invite("bob", "c2"), "127.0.0.1:5061;branch=z9hG4bKinv",
                           "10.9.9.9:5060;rport;branch=z9hG4bKinv");
    out = With(out, "<sip:alice@127.0.0.1:5061>", "<sip:carol@10.9.9.9:5060>");
    From(kRouter, out);
    const std::string kept = "Via: SIP/2.0/UDP 10.9.9.9:5060;branch=z9hG4bKinv;"
                             "received=127.0.0.3;rport=40001";
    EXPECT_NE(net.sent.back().text.find("\r\n" + kept + "\r\n"), std::string::npos);
    EXPECT_EQ(Sent(), (Lines{"127.0.0.3:40001 SIP/2.0 100 Trying",
                             "127.0.0.2:5062 INVITE sip:bob@127.0.0.2:5062 SIP/2.0"}));
    std::string ok = With(Answer("200 OK", "1 INVITE", out, "v=0\r\n", "c2"),
                          "Via: SIP/2.0/UDP 10.9.9.9:5060;rport;branch=z9hG4bKinv", kept);
    ok = With(ok, ProxyBranch(out), Branch(kept.substr(5), "c2", "1 INVITE"));
    FromBob(ok);
    FromBob(Crlf("BYE sip:carol@10.9.9.9:5060 SIP/2.0\nVia: SIP/2.0/UDP 127.0.0.2:5062;"
                 "branch=z9hG4bKb2\nFrom: <sip:bob@127.0.0.1>;tag=b1\n"
                 "To: \"Alice\" <sip:alice@127.0.0.1>;tag=a1\nCall-ID: c2\nCSeq: 5 BYE\n\n"));
    EXPECT_EQ(Sent(), (Lines{"127.0.0.3:40001 SIP/2.0 200 OK", "127.0.0.2:5062 SIP/2.0 100 Trying",
                             "127.0.0.3:40001 BYE sip:carol@10.9.9.9:5060 SIP/2.0"}));
}

TEST_F(NatTest, KeepAlivesHoldTheMappingOrEndTheBinding)
{
    From(kRouter, Home("r1"));
    TakeSent();
    TakeLog();
    Ticks(5);
    // bob, on the proxy's network, gets none.
    const std::string keepAlive = net.sent.at(0).text; // Sent() takes the datagrams away
    const Message options(keepAlive);
    EXPECT_EQ(Sent(), Lines{"127.0.0.3:40001 OPTIONS sip:carol@10.9.9.9:5060 SIP/2.0"});
    // An answer is taken quietly; three unanswered in a row end the binding when the next is due.
    const std::string answer =
        Crlf(Cat("SIP/2.0 200 OK\nVia: ", options.Header(HeaderId::Via),
                 "\nCall-ID: ", options.Header(HeaderId::CallId), "\nCSeq: 1 OPTIONS\n\n"));
    From(kRouter, answer);
    EXPECT_EQ(TakeLog(), (Lines{"LOG_DEBUG Sending 'OPTIONS' request to: 127.0.0.3:40001"}));
    Ticks(15);
    EXPECT_EQ(Sent().size(), 3u);
    EXPECT_EQ(display.fields["Registrations"], "2");
    Ticks(5);
    EXPECT_EQ(display.fields["Registrations"], "1");
    EXPECT_EQ(proxy.Routes().Listing(), "bob linked to sip:bob@127.0.0.2:5062\r\n");
    EXPECT_EQ(proxy.KeepAlives().sent, 4u);
    EXPECT_EQ(proxy.KeepAlives().ended, 1u);
    EXPECT_TRUE(Logged("LOG_INFO Unregistered 'carol' from 10.9.9.9:5060'"));
}

} // namespace
} // namespace tavrix
