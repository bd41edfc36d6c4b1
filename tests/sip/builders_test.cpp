#include "engine/proxy_fixture.h"
#include "sip/builders.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

using test::Crlf;
using test::Datagram;

const std::string kInvite = Crlf("INVITE sip:bob@127.0.0.1 SIP/2.0\n"
                                 "Via: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKa\n"
                                 "Via: SIP/2.0/UDP 127.0.0.5:5099;branch=z9hG4bKb\n"
                                 "Max-Forwards: 70\n"
                                 "From: <sip:alice@127.0.0.1>;tag=1\n"
                                 "To: <sip:bob@127.0.0.1>\n"
                                 "Call-ID: c1\n"
                                 "CSeq: 7 INVITE\n"
                                 "Contact: <sip:alice@127.0.0.1:5061>\n"
                                 "Expires: 300\n"
                                 "User-Agent: UA\n"
                                 "Allow: INVITE, ACK\n"
                                 "Route: <sip:elsewhere>\n"
                                 "Content-Type: application/sdp\n"
                                 "Content-Length: 4\n"
                                 "\n"
                                 "v=0\n");

const std::string kOkForInvite = Crlf("SIP/2.0 200 OK\n"
                                      "Via: SIP/2.0/UDP 127.0.0.1:5070;branch=z9hG4bKp\n"
                                      "Via: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKa\n"
                                      "Record-Route: <sip:bob@127.0.0.1;maddr=127.0.0.1>\n"
                                      "From: <sip:alice@127.0.0.1>;tag=1\n"
                                      "To: <sip:bob@127.0.0.1>;tag=2\n"
                                      "Call-ID: c1\n"
                                      "CSeq: 7 INVITE\n"
                                      "Contact: <sip:bob@127.0.0.2:5062>\n"
                                      "Content-Type: application/sdp\n"
                                      "Content-Length: 99\n"
                                      "\n") +
                                 "v=0\r\no=bob\n";

class BuildersTest : public test::ProxyTest
{
protected:
    BuildersTest()
    {
        rec.Caller = {"", "127.0.0.1", 5061};
        rec.Callee = {"sip:bob@127.0.0.2:5062", "127.0.0.2", 5062};
        rec.TimeLeft = 7200;
    }
    Sender& out = proxy.Out();
    CallRecord rec;
};

TEST_F(BuildersTest, AnswersKeepEveryViaAndOnlyTheHeadersOfTheirStatus)
{
    out.SendResponse(rec, "100 Trying", kInvite);
    rec.TimeLeft = 0;
    out.SendResponse(rec, "180 Ringing", kInvite);
    out.SendResponse(rec, "486 Busy Here", kInvite);
    const std::string head = "Via: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKa\n"
                             "Via: SIP/2.0/UDP 127.0.0.5:5099;branch=z9hG4bKb\n"
                             "From: <sip:alice@127.0.0.1>;tag=1\n"
                             "To: <sip:bob@127.0.0.1>\n"
                             "Call-ID: c1\n"
                             "CSeq: 7 INVITE\n"
                             "User-Agent: UA\n";
    EXPECT_EQ(TakeSent(),
              (std::vector<Datagram>{
                  {Crlf("SIP/2.0 100 Trying\n" + head +
                        "Contact: <sip:alice@127.0.0.1:5061>\nExpires: 300\n\n"),
                   "127.0.0.1", 5061},
                  {Crlf("SIP/2.0 180 Ringing\n" + head + "Contact: <sip:alice@127.0.0.1:5061>\n\n"),
                   "127.0.0.1", 5061},
                  {Crlf("SIP/2.0 486 Busy Here\n" + head + "\n"), "127.0.0.1", 5061},
              }));
    EXPECT_EQ(TakeLog(),
              (std::vector<std::string>{"LOG_DEBUG Sending '100 Trying' to 127.0.0.1:5061",
                                        "LOG_DEBUG Sending '180 Ringing' to 127.0.0.1:5061",
                                        "LOG_DEBUG Sending '486 Busy Here' to 127.0.0.1:5061"}));
}

TEST_F(BuildersTest, RelayedResponsesDropTheProxyViaAndCarryTheAnswerOfAnInvite)
{
    out.SendResponse(rec, "200 OK", kOkForInvite);
    rec.Leg = 1;
    out.SendResponse(rec, "183 Session Progress", kOkForInvite);
    const std::string head = "Via: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKa\n"
                             "From: <sip:alice@127.0.0.1>;tag=1\n"
                             "To: <sip:bob@127.0.0.1>;tag=2\n"
                             "Call-ID: c1\n"
                             "Record-Route: <sip:bob@127.0.0.1;maddr=127.0.0.1>\n"
                             "CSeq: 7 INVITE\n";
    EXPECT_EQ(TakeSent(),
              (std::vector<Datagram>{
                  {Crlf("SIP/2.0 200 OK\n" + head +
                        "Contact: <sip:bob@127.0.0.2:5062>\nContent-Type: application/sdp\n"
                        "Content-Length: 99\n\n") +
                       "v=0\r\no=bob\n",
                   "127.0.0.1", 5061},
                  {Crlf("SIP/2.0 183 Session Progress\n" + head +
                        "Contact: <sip:bob@127.0.0.2:5062>\n\n"),
                   "127.0.0.2", 5062},
              }));

    // A 2xx for anything but an INVITE ends with the empty line.
    std::string okForBye = kOkForInvite;
    okForBye.replace(okForBye.find("7 INVITE"), 8, "8 BYE");
    rec.Leg = 0;
    out.SendResponse(rec, "200 OK", okForBye);
    EXPECT_TRUE(TakeSent().at(0).text.ends_with("CSeq: 8 BYE\r\n\r\n"));
}

TEST_F(BuildersTest, ForwardedRequestCarriesProxyViaRecordRouteAndHops)
{
    rec.Leg = 1;
    out.SendRequest(rec, "INVITE", kInvite);
    const std::vector<Datagram> sent = TakeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].address, "127.0.0.2");
    EXPECT_EQ(sent[0].port, 5062);
    EXPECT_EQ(sent[0].text, Crlf("INVITE sip:bob@127.0.0.2:5062 SIP/2.0\n"
                                 "Via: SIP/2.0/UDP 127.0.0.1:5070;branch=" +
                                 ProxyBranch(kInvite) +
                                 "\n"
                                 "Via: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKa\n"
                                 "Via: SIP/2.0/UDP 127.0.0.5:5099;branch=z9hG4bKb\n"
                                 "Record-Route: <sip:bob@127.0.0.1;maddr=127.0.0.1>\n"
                                 "Max-Forwards: 69\n"
                                 "From: <sip:alice@127.0.0.1>;tag=1\n"
                                 "To: <sip:bob@127.0.0.1>\n"
                                 "Call-ID: c1\n"
                                 "CSeq: 7 INVITE\n"
                                 "Contact: <sip:alice@127.0.0.1:5061>\n"
                                 "User-Agent: UA\n"
                                 "Allow: INVITE, ACK\n"
                                 "Content-Type: application/sdp\n"
                                 "Content-Length: 4\n"
                                 "\n"
                                 "v=0\n"));

    // To the caller's side (any Leg but 1) the Callee's target stays on the request line; a
    // source without Max-Forwards or body gives 70 and ends with the empty line.
    rec.Leg = 2;
    out.SendRequest(rec, "ACK", Crlf("BYE x SIP/2.0\nCSeq: 9 INVITE\n\n"));
    EXPECT_EQ(TakeSent(), (std::vector<Datagram>{{Crlf("ACK sip:bob@127.0.0.2:5062 SIP/2.0\n"
                                                       "Via: SIP/2.0/UDP 127.0.0.1:5070;branch=" +
                                                       ProxyBranch("CSeq: 9 INVITE\r\n") +
                                                       "\n"
                                                       "Record-Route: <;maddr=127.0.0.1>\n"
                                                       "Max-Forwards: 70\n"
                                                       "CSeq: 9 INVITE\n\n"),
                                                  "127.0.0.1", 5061}}));
}

TEST_F(BuildersTest, BranchFollowsTopViaCallIdAndCSeqNumber)
{
    const std::string cancel = Crlf("CANCEL sip:bob@127.0.0.1 SIP/2.0\n"
                                    "Via: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKa\n"
                                    "Call-ID: c1\nCSeq: 7 CANCEL\n\n");
    const std::string bye = Crlf("BYE sip:bob@127.0.0.1 SIP/2.0\n"
                                 "Via: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKz\n"
                                 "Call-ID: c1\nCSeq: 8 BYE\n\n");
    EXPECT_EQ(ProxyBranch(kInvite), "z9hG4bK1b9a2fcea1c5c342");
    EXPECT_EQ(ProxyBranch(cancel), ProxyBranch(kInvite));
    EXPECT_NE(ProxyBranch(bye), ProxyBranch(kInvite));
}

TEST_F(BuildersTest, SendsWithoutUsableDestinationAreSkipped)
{
    log.SetText("");
    proxy.Log().SetLogLevel(4);
    out.SendDatagram("x", "", 5060);
    out.SendDatagram("x", "127.0.0.2", 0);
    out.SendDatagram("x", "127.0.0.1", 5070);
    out.SendDatagram("x", "127.0.0.33", 5070);
    out.SendDatagram("x", "0.0.0.0", 5070);
    EXPECT_TRUE(net.sent.empty());
    EXPECT_EQ(proxy.Stats().Errors(), 3);
    out.SendDatagram("x", "127.0.0.2", 5071);
    EXPECT_EQ(TakeLog(), (std::vector<std::string>{
                             "LOG_DEBUG Not sent: no destination address or port (:5060)",
                             "LOG_DEBUG Not sent: no destination address or port (127.0.0.2:0)",
                             "LOG_ERR Loop detected: not sending to own address 127.0.0.1:5070",
                             "LOG_ERR Loop detected: not sending to own address 127.0.0.33:5070",
                             "LOG_ERR Loop detected: not sending to own address 0.0.0.0:5070",
                             "LOG_DEBUGV SIP Send: IP=127.0.0.2 Port=5071", "x"}));
    EXPECT_EQ(TakeSent(), (std::vector<Datagram>{{"x", "127.0.0.2", 5071}}));
}

} // namespace
} // namespace tavrix
