#include "core/proxy/builders.h"
#include "core/proxy/datagram_sender.h"
#include "core/proxy/proxy_fixture.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

using test::Crlf;

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
                                 "Content-Type: application/sdp\n"
                                 "Content-Length: 4\n\n") +
                            "v=0\n";
const std::string kHead = "Via: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKa\n"
                          "Via: SIP/2.0/UDP 127.0.0.5:5099;branch=z9hG4bKb\n"
                          "From: <sip:alice@127.0.0.1>;tag=1\nTo: <sip:bob@127.0.0.1>\n"
                          "Call-ID: c1\nCSeq: 7 INVITE\n";

std::string Relayed(std::string source, const std::string& status, const std::string& cseq)
{
    source.replace(0, source.find("\r\n"), "SIP/2.0 " + status);
    source.replace(source.find("7 INVITE"), 8, cseq);
    return source;
}

TEST(BuildResponse, OnlyTheHeadersOfItsStatus)
{
    const std::string contact = "Contact: <sip:alice@127.0.0.1:5061>\n";
    const std::string body = "Content-Type: application/sdp\nContent-Length: 4\n\n";
    const std::string relayedHead = kHead.substr(kHead.find("\n") + 1); // the proxy's Via goes
    // A relayed response also carries every other line as received, and its body.
    const std::string sdp = "Content-Type: application/sdp\n";
    const std::string length = "Content-Length: 4\n\nv=0\n";
    const struct
    {
        std::string status;
        std::string source;
        std::int16_t timeLeft;
        std::string expected;
    } rows[] = {
        {"100 Trying", kInvite, 1, "SIP/2.0 100 Trying\n" + kHead + contact + "Expires: 300\n\n"},
        {"100 Trying", kInvite, 0, "SIP/2.0 100 Trying\n" + kHead + contact + "\n"},
        {"486 Busy Here", kInvite, 1, "SIP/2.0 486 Busy Here\n" + kHead + "\n"},
        {"200 OK", kInvite, 0, "SIP/2.0 200 OK\n" + kHead + body + "v=0\n"},
        {"183 Session Progress", Relayed(kInvite, "183 Session Progress", "7 INVITE"), 0,
         "SIP/2.0 183 Session Progress\n" + relayedHead + contact + "Expires: 300\n" + sdp +
             length},
        {"200 OK", Relayed(kInvite, "200 OK", "7 INVITE"), 0,
         "SIP/2.0 200 OK\n" + relayedHead + contact + sdp + "Content-Length: 4\nExpires: 300\n\n" +
             "v=0\n"},
        {"200 OK", Relayed(kInvite, "200 OK", "8 BYE"), 5,
         "SIP/2.0 200 OK\n" + relayedHead.substr(0, relayedHead.find("CSeq")) + "CSeq: 8 BYE\n" +
             contact + "Expires: 300\n" + sdp + length},
    };
    for (const auto& row : rows) {
        const std::size_t body = row.expected.find("\n\n") + 2; // a body stays as it is
        EXPECT_EQ(BuildResponse(row.status, Message(row.source), row.timeLeft),
                  Crlf(row.expected.substr(0, body)) + row.expected.substr(body))
            << row.status;
    }
    // Vias joined on one line lose only the proxy's value; every route line of a relayed
    // response stays, in any letter case or compact form, with its long name.
    const std::string routes = "Record-Route: <sip:p;lr>\nrecord-route: <sip:q;lr>\n";
    EXPECT_EQ(BuildResponse("180 Ringing",
                            Message(Crlf("SIP/2.0 180 Ringing\nv: SIP/2.0/UDP p;branch=x, "
                                         "SIP/2.0/UDP a\ni: c\n" +
                                         routes + "\n")),
                            0),
              Crlf("SIP/2.0 180 Ringing\nVia: SIP/2.0/UDP a\nCall-ID: c\nRecord-Route: "
                   "<sip:p;lr>\nRecord-Route: <sip:q;lr>\n\n"));
    EXPECT_EQ(BuildResponse("100 Trying", Message(Crlf("BYE x SIP/2.0\n" + routes + "\n")), 0),
              Crlf("SIP/2.0 100 Trying\nRecord-Route: <sip:p;lr>\n\n"))
        << "an answer of our own";
}

TEST(BuildRequest, ProxyViaRecordRouteHopsAndCopiedHeaders)
{
    const Endpoint self{"127.0.0.1", 5070};
    EXPECT_EQ(BuildRequest("INVITE", "sip:bob@127.0.0.2:5062", Message(kInvite), self),
              Crlf("INVITE sip:bob@127.0.0.2:5062 SIP/2.0\n"
                   "Via: SIP/2.0/UDP 127.0.0.1:5070;branch=" +
                   ProxyBranch(kInvite) + "\n" + kHead.substr(0, kHead.find("From")) +
                   "Record-Route: <sip:127.0.0.1:5070;lr>\nRoute: <sip:elsewhere>\n"
                   "Max-Forwards: 70\n" +
                   kHead.substr(kHead.find("From")) +
                   "Contact: <sip:alice@127.0.0.1:5061>\nContent-Type: application/sdp\n"
                   "Content-Length: 4\nExpires: 300\n\n") +
                  "v=0\n");
    // The route set: the proxy's own on top of the source's; a topmost Route that names the
    // proxy is used up, any other stays (RFC 3261 16.4, 16.6).
    const std::string source =
        Crlf("BYE x SIP/2.0\nMax-Forwards: 1\nRecord-Route: <sip:p;lr>\n"
             "Route: <sip:127.0.0.5:5070;lr>\nRoute: <sip:127.0.0.1:5070;lr>\n"
             "route: <sip:q;lr>\nCSeq: 9 INVITE\nContent-Length: 0\n\n");
    // A Content-Length of 0 without a body is carried on as it was.
    const std::string rest = "Max-Forwards: 0\nCSeq: 9 INVITE\nContent-Length: 0\n\n";
    const std::string branch = ProxyBranch(source);
    const std::pair<std::string, std::string> rows[] = {
        {"Route: <sip:127.0.0.5:5070;lr>", ""},
        {"Route: <sip:127.0.0.1;lr>", "Route: <sip:127.0.0.1;lr>\n"},
        {"Route: <sip:proxy@127.0.0.1:5070;transport=udp>", ""},
        {"Route: sip:127.0.0.1:5070", ""},
        {"Route: <sip:127.0.0.1:5071;lr>", "Route: <sip:127.0.0.1:5071;lr>\n"},
        {"Route: <sips:127.0.0.1:5070;lr>", "Route: <sips:127.0.0.1:5070;lr>\n"},
    };
    for (const auto& [top, kept] : rows) {
        std::string request = source;
        request.replace(request.find("Route: <sip:127.0.0.5"), 30, top);
        EXPECT_EQ(BuildRequest("ACK", "sip:b", Message(request), self),
                  Crlf("ACK sip:b SIP/2.0\nVia: SIP/2.0/UDP 127.0.0.1:5070;branch=" + branch +
                       "\nRecord-Route: <sip:127.0.0.1:5070;lr>\nRecord-Route: <sip:p;lr>\n" +
                       kept + "Route: <sip:127.0.0.1:5070;lr>\nRoute: <sip:q;lr>\n" + rest))
            << top;
    }

    // The branch follows the top Via, the Call-ID and the CSeq number (RFC 3261 9.1, 17.1.1.3).
    std::string cancel = kInvite;
    cancel.replace(cancel.find("7 INVITE"), 8, "7 CANCEL");
    std::string bye = kInvite;
    bye.replace(bye.find("7 INVITE"), 8, "8 BYE");
    std::string otherVia = kInvite;
    otherVia.replace(otherVia.find("bKa"), 3, "bKz");
    EXPECT_EQ(ProxyBranch(cancel), ProxyBranch(kInvite));
    EXPECT_NE(ProxyBranch(bye), ProxyBranch(kInvite));
    EXPECT_NE(ProxyBranch(otherVia), ProxyBranch(kInvite));
    EXPECT_EQ(ProxyBranch(kInvite).size(), 23u);
}

TEST(SendDatagram, OnlyToUsableAddressesThatAreNotTheProxy)
{
    test::RecordingTransport net;
    test::RecordingDisplay display;
    SIP_STATS stats(display);
    test::MemoryLogSink sink("t");
    test::MockClock clock;
    Logger log(sink, clock, stats);
    log.SetLogLevel(4);
    const Endpoint self{"10.0.0.1", 5070};
    DatagramSender out(net, log, self);
    for (const auto& [address, port] : {std::pair{"", 5060},
                                        {"127.0.0.2", 0},
                                        {"10.0.0.1", 5070},
                                        {"127.0.0.33", 5070},
                                        {"0.0.0.0", 5070},
                                        {"0x7f.0.0.1", 5070},
                                        {"host.example", 5060}}) {
        out.SendDatagram("x", address, static_cast<std::uint16_t>(port));
    }
    EXPECT_TRUE(net.sent.empty());
    out.SendDatagram("x", "127.0.0.2", 5071);
    out.SendDatagram("y", "10.0.0.1", 5071);
    EXPECT_EQ(net.sent,
              (std::vector<test::Datagram>{{"x", "127.0.0.2", 5071}, {"y", "10.0.0.1", 5071}}));
    EXPECT_EQ(sink.Text(),
              "LOG_DEBUG: t Not sent: no destination address or port (:5060)\r\n"
              "LOG_DEBUG: t Not sent: no destination address or port (127.0.0.2:0)\r\n"
              "LOG_ERR: t Loop detected: not sending to own address 10.0.0.1:5070\r\n"
              "LOG_ERR: t Loop detected: not sending to own address 127.0.0.33:5070\r\n"
              "LOG_ERR: t Loop detected: not sending to own address 0.0.0.0:5070\r\n"
              "LOG_DEBUG: t Not sent: '0x7f.0.0.1' is not an IPv4 address\r\n"
              "LOG_DEBUG: t Not sent: 'host.example' is not an IPv4 address\r\n"
              "LOG_DEBUGV: t SIP Send: IP=127.0.0.2 Port=5071\r\n    x\r\n"
              "LOG_DEBUGV: t SIP Send: IP=10.0.0.1 Port=5071\r\n    y\r\n");
}

} // namespace
} // namespace tavrix
