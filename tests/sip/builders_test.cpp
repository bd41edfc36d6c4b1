#include "engine/proxy_fixture.h"
#include "sip/builders.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

using test::Crlf;
using test::Datagram;

// The whole-call tests hold the usual messages byte for byte; these are the builders' corners.
const std::string kInvite = Crlf("INVITE sip:bob@127.0.0.1 SIP/2.0\n"
                                 "Via: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKa\n"
                                 "Via: SIP/2.0/UDP 127.0.0.5:5099;branch=z9hG4bKb\n"
                                 "From: <sip:alice@127.0.0.1>;tag=1\n"
                                 "To: <sip:bob@127.0.0.1>\n"
                                 "Call-ID: c1\n"
                                 "CSeq: 7 INVITE\n"
                                 "Contact: <sip:alice@127.0.0.1:5061>\n"
                                 "Expires: 300\n"
                                 "Route: <sip:elsewhere>\n"
                                 "Content-Length: 4\n\n") +
                            "v=0\n";

class BuildersTest : public test::ProxyTest
{
protected:
    BuildersTest()
    {
        rec.Caller = {"", "127.0.0.1", 5061};
        rec.Callee = {"sip:bob@127.0.0.2:5062", "127.0.0.2", 5062};
    }
    std::string Text(std::size_t i) { return net.sent.at(i).text; }
    Sender& out = proxy.Out();
    CallRecord rec;
};

TEST_F(BuildersTest, ResponsesCarryOnlyTheHeadersOfTheirStatus)
{
    const std::string head = "Via: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKa\n"
                             "Via: SIP/2.0/UDP 127.0.0.5:5099;branch=z9hG4bKb\n"
                             "From: <sip:alice@127.0.0.1>;tag=1\nTo: <sip:bob@127.0.0.1>\n"
                             "Call-ID: c1\nCSeq: 7 INVITE\n";
    rec.TimeLeft = 1;
    out.SendResponse(rec, "100 Trying", kInvite);
    rec.TimeLeft = 0;
    out.SendResponse(rec, "100 Trying", kInvite);
    out.SendResponse(rec, "486 Busy Here", kInvite);
    out.SendResponse(rec, "200 OK", kInvite); // not relayed: no Contact, but the body
    const std::string contact = "Contact: <sip:alice@127.0.0.1:5061>\n";
    EXPECT_EQ(Text(0), Crlf("SIP/2.0 100 Trying\n" + head + contact + "Expires: 300\n\n"));
    EXPECT_EQ(Text(1), Crlf("SIP/2.0 100 Trying\n" + head + contact + "\n"));
    EXPECT_EQ(Text(2), Crlf("SIP/2.0 486 Busy Here\n" + head + "\n"));
    EXPECT_EQ(Text(3), Crlf("SIP/2.0 200 OK\n" + head + "Content-Length: 4\n\n") + "v=0\n");

    // A relayed 1xx never carries the body; a 2xx for anything but an INVITE ends blank.
    std::string ringing = kInvite;
    ringing.replace(0, ringing.find("\r\n"), "SIP/2.0 183 Session Progress");
    rec.Leg = 1;
    out.SendResponse(rec, "183 Session Progress", ringing);
    EXPECT_TRUE(Text(4).ends_with("Contact: <sip:alice@127.0.0.1:5061>\r\n\r\n"));
    EXPECT_EQ(net.sent[4].address, "127.0.0.2");
    std::string byeOk = ringing;
    byeOk.replace(byeOk.find("7 INVITE"), 8, "8 BYE");
    out.SendResponse(rec, "200 OK", byeOk);
    EXPECT_TRUE(Text(5).ends_with("CSeq: 8 BYE\r\n\r\n"));
}

TEST_F(BuildersTest, RequestWithoutToBodyOrHopsToTheCallersSide)
{
    rec.Leg = 2; // anything but 1 is the caller's side; the request line keeps the target
    out.SendRequest(rec, "ACK", Crlf("BYE x SIP/2.0\nCSeq: 9 INVITE\n\n"));
    EXPECT_EQ(net.sent.at(0),
              (Datagram{Crlf("ACK sip:bob@127.0.0.2:5062 SIP/2.0\n"
                             "Via: SIP/2.0/UDP 127.0.0.1:5070;branch=" +
                             ProxyBranch("CSeq: 9 INVITE\r\n") +
                             "\nRecord-Route: <;maddr=127.0.0.1>\nMax-Forwards: 70\n"
                             "CSeq: 9 INVITE\n\n"),
                        "127.0.0.1", 5061}));
}

TEST_F(BuildersTest, BranchFollowsTopViaCallIdAndCSeqNumber)
{
    std::string cancel = kInvite;
    cancel.replace(cancel.find("7 INVITE"), 8, "7 CANCEL");
    std::string bye = kInvite;
    bye.replace(bye.find("7 INVITE"), 8, "8 BYE");
    EXPECT_EQ(ProxyBranch(kInvite), "z9hG4bK1b9a2fcea1c5c342");
    EXPECT_EQ(ProxyBranch(cancel), ProxyBranch(kInvite));
    EXPECT_NE(ProxyBranch(bye), ProxyBranch(kInvite));
}

TEST_F(BuildersTest, SendsWithoutUsableDestinationAreSkipped)
{
    proxy.Log().SetLogLevel(4);
    out.SendDatagram("x", "", 5060);
    out.SendDatagram("x", "127.0.0.2", 0);
    out.SendDatagram("x", "127.0.0.1", 5070);
    out.SendDatagram("x", "127.0.0.33", 5070);
    out.SendDatagram("x", "0.0.0.0", 5070);
    EXPECT_TRUE(net.sent.empty());
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
