#include "engine/proxy_fixture.h"
#include "sip/message.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

using test::Crlf;
using test::Datagram;

constexpr std::string_view kAliceVia = "SIP/2.0/UDP 127.0.0.1:5061;rport;branch=z9hG4bKa";
constexpr std::string_view kBobVia = "SIP/2.0/UDP 127.0.0.2:5062;rport;branch=z9hG4bKb";

// Two phones as RFC 3261 user agents see the proxy (8.1.3.3, 8.2.6.2, 12.1.2): a request
// they receive carries a branch on its top Via; a response carries on top the Via the phone
// itself sent; the answer to an INVITE names the callee's Contact.
class UserAgentTest : public test::ProxyTest
{
protected:
    static std::string Message(std::string_view startLine, std::string_view via,
                               std::string_view callId, std::string_view cseq,
                               std::string_view more = "", std::string_view from = "alice")
    {
        return Crlf(std::string(startLine) + "\nVia: " + std::string(via) +
                    "\nFrom: <sip:" + std::string(from) +
                    "@127.0.0.1>;tag=a\nTo: <sip:bob@127.0.0.1>\n"
                    "Call-ID: " +
                    std::string(callId) + "\nCSeq: " + std::string(cseq) + "\n" +
                    std::string(more) + "\n");
    }
    // Hands a message to the proxy and returns what it sends on, "100 Trying" left aside.
    Datagram Pass(const std::string& text, bool fromAlice)
    {
        fromAlice ? FromAlice(text) : FromBob(text);
        std::vector<Datagram> sent = TakeSent();
        std::erase_if(sent, [](const Datagram& d) { return d.text.starts_with("SIP/2.0 100"); });
        EXPECT_EQ(sent.size(), 1u) << text;
        return sent.empty() ? Datagram{} : sent.front();
    }
    static std::string TopVia(const Datagram& d) { return GetHeader(d.text, "Via"); }
    static std::string Branch(const Datagram& d)
    {
        const std::string via = TopVia(d);
        return via.substr(via.find(";branch=") + 8);
    }
};

TEST_F(UserAgentTest, RegistrationsThatStateTheirLifetimeOnTheContactLast)
{
    FromAlice(Message("REGISTER sip:127.0.0.1 SIP/2.0", kAliceVia, "ra", "1 REGISTER",
                      "Contact: <sip:alice@127.0.0.1:5061;transport=udp>;expires=600\n"));
    Ticks(1);
    EXPECT_EQ(proxy.Stats().Registrations(), 1);
    EXPECT_EQ(Slot(1).TimeLeft, 599);
    EXPECT_EQ(Slot(1).Caller, (PeerAddress{"", "127.0.0.1", 5061}));
}

TEST_F(UserAgentTest, CallBetweenTwoStandardPhones)
{
    FromAlice(Message("REGISTER sip:127.0.0.1 SIP/2.0", kAliceVia, "ra", "1 REGISTER",
                      "Contact: <sip:alice@127.0.0.1:5061>;expires=600\n"));
    FromBob(Message("REGISTER sip:127.0.0.1 SIP/2.0", kBobVia, "rb", "1 REGISTER",
                    "Contact: <sip:bob@127.0.0.2:5062>\n", "bob"));
    TakeSent();

    const std::string contactA = "Contact: <sip:alice@127.0.0.1:5061>\n";
    const std::string contactB = "Contact: <sip:bob@127.0.0.2:5062>\n";
    const Datagram invite = Pass(Message("INVITE sip:bob@127.0.0.1 SIP/2.0", kAliceVia, "c",
                                         "1 INVITE", contactA + "Max-Forwards: 70\n"),
                                 true);
    EXPECT_EQ(invite.address, "127.0.0.2");
    ASSERT_TRUE(TopVia(invite).starts_with("SIP/2.0/UDP 127.0.0.1:5070;branch=z9hG4bK"));
    EXPECT_EQ(ViaLines(invite.text).at(1), "Via: " + std::string(kAliceVia));

    // Bob answers through the proxy's Via; Alice sees her own on top, and Bob's Contact.
    const std::string proxyVia = TopVia(invite) + "\nVia: " + std::string(kAliceVia);
    for (const char* status : {"180 Ringing", "200 OK"}) {
        const Datagram relayed = Pass(
            Message(std::string("SIP/2.0 ") + status, proxyVia, "c", "1 INVITE", contactB), false);
        EXPECT_EQ(relayed.address, "127.0.0.1");
        EXPECT_EQ(ViaLines(relayed.text),
                  (std::vector<std::string_view>{"Via: SIP/2.0/UDP 127.0.0.1:5061;rport;branch="
                                                 "z9hG4bKa"}));
        EXPECT_EQ(GetHeader(relayed.text, "Contact"), "<sip:bob@127.0.0.2:5062>") << status;
    }

    // A callee that writes the Vias as one line: only the proxy's value is taken off.
    const Datagram joined =
        Pass(Message("SIP/2.0 183 Session Progress", TopVia(invite) + ", " + std::string(kAliceVia),
                     "c", "1 INVITE"),
             false);
    EXPECT_EQ(ViaLines(joined.text), (std::vector<std::string_view>{
                                         "Via: SIP/2.0/UDP 127.0.0.1:5061;rport;branch=z9hG4bKa"}));

    // The ACK of a 2xx is a transaction of its own: a new branch from Alice, a new one from
    // the proxy. The ACK of a non-2xx would share the INVITE's.
    const std::string ackVia = "SIP/2.0/UDP 127.0.0.1:5061;rport;branch=z9hG4bKack";
    const Datagram ack =
        Pass(Message("ACK sip:bob@127.0.0.2:5062 SIP/2.0", ackVia, "c", "1 ACK"), true);
    EXPECT_NE(Branch(ack), Branch(invite));
    EXPECT_EQ(
        Branch(Pass(Message("ACK sip:bob@127.0.0.2:5062 SIP/2.0", kAliceVia, "c", "1 ACK"), true)),
        Branch(invite));

    // Bob hangs up; his BYE reaches Alice with a branch, her answer reaches Bob with his Via.
    const Datagram bye =
        Pass(Message("BYE sip:alice@127.0.0.1:5061 SIP/2.0", kBobVia, "c", "2 BYE"), false);
    EXPECT_EQ(bye.address, "127.0.0.1");
    EXPECT_NE(Branch(bye), Branch(invite));
    const Datagram ok = Pass(
        Message("SIP/2.0 200 OK", TopVia(bye) + "\nVia: " + std::string(kBobVia), "c", "2 BYE"),
        true);
    EXPECT_EQ(ok.address, "127.0.0.2");
    EXPECT_EQ(TopVia(ok), kBobVia);
    EXPECT_EQ(proxy.Stats().CompletedCalls(), 1);
}

} // namespace
} // namespace tavrix
