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

TEST_F(NatTest, AnswersGoWhereTheRequestCameFrom)
{
    // RFC 3581: with rport, to the source port, both stamped on the Via; without, to the
    // source address at the Via's port.
    From(kRouter, Home("r1"));
    From(kRouter, Home("r2", ""));
    const std::vector<Datagram> sent = TakeSent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].address + ":" + std::to_string(sent[0].port), "127.0.0.3:40001");
    EXPECT_NE(sent[0].text.find("\r\nVia: SIP/2.0/UDP 10.9.9.9:5060;branch=z9hG4bKh;"
                                "received=127.0.0.3;rport=40001\r\n"),
              std::string::npos);
    EXPECT_EQ(sent[1].address + ":" + std::to_string(sent[1].port), "127.0.0.3:5060");
    EXPECT_NE(sent[1].text.find("\r\nVia: SIP/2.0/UDP 10.9.9.9:5060;branch=z9hG4bKh;"
                                "received=127.0.0.3\r\n"),
              std::string::npos);
}

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
    const std::vector<Datagram> forwarded = TakeSent();
    ASSERT_EQ(forwarded.size(), 2u);
    EXPECT_EQ(forwarded[0].address + ":" + std::to_string(forwarded[0].port), "127.0.0.3:40001");
    const std::string kept = "Via: SIP/2.0/UDP 10.9.9.9:5060;branch=z9hG4bKinv;"
                             "received=127.0.0.3;rport=40001";
    EXPECT_NE(forwarded[1].text.find("\r\n" + kept + "\r\n"), std::string::npos);
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
    const std::vector<Datagram> sent = TakeSent();
    ASSERT_EQ(sent.size(), 1u) << "bob, on the proxy's network, gets none";
    EXPECT_EQ(sent[0].address + ":" + std::to_string(sent[0].port), "127.0.0.3:40001");
    EXPECT_TRUE(sent[0].text.starts_with("OPTIONS sip:carol@10.9.9.9:5060 SIP/2.0\r\n"));
    // An answer is taken quietly; three unanswered in a row end the binding when the next is due.
    const Message options(sent[0].text);
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
    const Lines log = TakeLog();
    EXPECT_NE(
        std::find(log.begin(), log.end(), "LOG_INFO Unregistered 'carol' from 10.9.9.9:5060'"),
        log.end());
}

} // namespace
} // namespace tavrix
