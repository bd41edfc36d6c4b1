#include "core/proxy/proxy_fixture.h"
#include "core/text/text.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

using namespace test;

// The proxy listens on UDP and TCP at 127.0.0.1:5070, TLS at 5071, WebSocket at 8080 and UDP
// at [::1]:5070. bob is a UDP phone; alice's phone connects over TCP from port 40001.
class TransportTest : public ProxyTest
{
protected:
    TransportTest()
    {
        proxy.AddFace(TransportKind::Tcp, "127.0.0.1", 5070);
        proxy.AddFace(TransportKind::Tls, "127.0.0.1", 5071);
        proxy.AddFace(TransportKind::Ws, "127.0.0.1", 8080);
        proxy.AddFace(TransportKind::Udp, "[::1]", 5070);
        FromBob(Register(kBob, "reg-b", "Expires: 3600\n"));
        TakeSent();
    }
    void Over(TransportKind kind, std::string ip, std::uint16_t port, std::string_view text)
    {
        proxy.ReceiveDatagram(text, PeerAddress{"", std::move(ip), port, kind});
    }
    // alice's REGISTER over her TCP connection, her Contact at 127.0.0.1:5061.
    void AliceOverTcp()
    {
        Over(TransportKind::Tcp, "127.0.0.1", 40001,
             Registering("alice", "TCP 127.0.0.1:5061", "sip:alice@127.0.0.1:5061;transport=tcp"));
    }
    // A REGISTER as a phone writes it over that transport.
    static std::string Registering(std::string_view user, std::string_view via,
                                   std::string_view contact)
    {
        return Crlf(Cat("REGISTER sip:127.0.0.1:5070 SIP/2.0\nVia: SIP/2.0/", via,
                        ";branch=z9hG4bKr\nFrom: <sip:", user, "@127.0.0.1>;tag=r1\nTo: <sip:",
                        user, "@127.0.0.1>\nCall-ID: reg-", user, "\nCSeq: 1 REGISTER\nContact: <",
                        contact, ">\nExpires: 3600\nContent-Length: 0\n\n"));
    }
    // bob's INVITE for user.
    static std::string Calling(std::string_view user, std::string_view callId)
    {
        return Crlf(Cat(
            "INVITE sip:", user,
            "@127.0.0.1:5070 SIP/2.0\nVia: SIP/2.0/UDP 127.0.0.2:5062;branch=z9hG4bK", callId,
            "\nFrom: <sip:bob@127.0.0.1>;tag=b1\nTo: <sip:", user, "@127.0.0.1>\nCall-ID: ", callId,
            "\nCSeq: 1 INVITE\nContact: <sip:bob@127.0.0.2:5062>\nContent-Length: 0\n\n"));
    }
    // The lines of the text (else of the last datagram sent) that start with name.
    Lines LinesOf(std::string_view name, std::string_view text = "")
    {
        Lines lines;
        std::string_view rest = text;
        if (rest.empty() && !net.sent.empty()) {
            rest = net.sent.back().text;
        }
        while (!rest.empty() && !rest.starts_with("\r\n")) {
            const std::string_view line = rest.substr(0, rest.find("\r\n"));
            if (line.starts_with(name)) {
                lines.emplace_back(line);
            }
            rest.remove_prefix(line.size() + 2);
        }
        return lines;
    }
};

TEST_F(TransportTest, EachLegIsReachedOverWhatItCameOn)
{
    // RFC 3261 18.2.2: the 200 goes back over alice's connection, to its far end, whatever
    // port her Via names; her Via is stamped with both (RFC 3581 4).
    net.open.insert(RecordingTransport::Key(TransportKind::Tcp, "127.0.0.1", 40001));
    AliceOverTcp();
    EXPECT_EQ(LinesOf("Via"), Lines{"Via: SIP/2.0/TCP 127.0.0.1:5061;branch=z9hG4bKr;"
                                    "received=127.0.0.1;rport=40001"});
    EXPECT_EQ(Sent(), Lines{"TCP 127.0.0.1:40001 SIP/2.0 200 OK"});

    // bob's call reaches her over that connection; the proxy's Via and Record-Route name the
    // face it leaves by, and the one bob reaches comes second (RFC 5658 3.2).
    FromBob(Calling("alice", "c1"));
    EXPECT_EQ(LinesOf("Via: SIP/2.0/TCP")[0].substr(0, 38),
              "Via: SIP/2.0/TCP 127.0.0.1:5070;branch");
    EXPECT_EQ(LinesOf("Record-Route"), (Lines{"Record-Route: <sip:127.0.0.1:5070;transport=tcp;lr>",
                                              "Record-Route: <sip:127.0.0.1:5070;lr>"}));
    const std::string invite = net.sent.back().text;
    EXPECT_EQ(Sent(), (Lines{"127.0.0.2:5062 SIP/2.0 100 Trying",
                             "TCP 127.0.0.1:40001 INVITE sip:alice@127.0.0.1:5061;transport=tcp "
                             "SIP/2.0"}));
    // Her ringing goes to bob over UDP, where his Via says.
    Over(TransportKind::Tcp, "127.0.0.1", 40001, Reply("180 Ringing", invite, "a9"));
    EXPECT_EQ(Sent(), Lines{"127.0.0.2:5062 SIP/2.0 180 Ringing"});

    // Her connection closed: the next call opens one to her Contact.
    net.open.clear();
    FromBob(Calling("alice", "c2"));
    EXPECT_EQ(Sent().at(1),
              "TCP 127.0.0.1:5061 INVITE sip:alice@127.0.0.1:5061;transport=tcp SIP/2.0");
}

TEST_F(TransportTest, OneConnectionIsOnePhone)
{
    // A phone that learnt its address from the 200 registers again with it, under another
    // Call-ID: its first Contact is replaced, so a call rings it once.
    net.open.insert(RecordingTransport::Key(TransportKind::Tcp, "127.0.0.1", 40001));
    Over(TransportKind::Tcp, "127.0.0.1", 40001,
         Registering("alice", "TCP 10.0.0.9:5061", "sip:alice@10.0.0.9:5061;transport=tcp"));
    const std::string again =
        Registering("alice", "TCP 127.0.0.1:40001", "sip:alice@127.0.0.1:40001;transport=tcp");
    Over(TransportKind::Tcp, "127.0.0.1", 40001, With(again, "reg-alice", "reg-alice2"));
    EXPECT_EQ(proxy.Stats().Registrations(), 2); // bob's and hers
    TakeSent();
    FromBob(Calling("alice", "c1"));
    EXPECT_EQ(Sent().at(1), "TCP 127.0.0.1:40001 INVITE sip:alice@127.0.0.1:40001;transport=tcp "
                            "SIP/2.0");

    // Her BYE over the connection is relayed without a 100 Trying (RFC 4320 4.1).
    const std::string bye =
        With(With(Calling("bob", "c1"), "INVITE sip:bob", "BYE sip:bob"), "1 INVITE", "2 BYE");
    Over(TransportKind::Tcp, "127.0.0.1", 40001,
         With(bye, "UDP 127.0.0.2:5062", "TCP 127.0.0.1:40001"));
    EXPECT_EQ(Sent(), Lines{"127.0.0.2:5062 BYE sip:bob@127.0.0.2:5062 SIP/2.0"});
}

TEST_F(TransportTest, AForkedCallReachesEachPhoneWhereItIsHeard)
{
    // carol's desk phone over UDP, her soft phone behind NAT over TCP: each branch goes where
    // its phone is heard, the soft phone's over its connection.
    Over(TransportKind::Udp, "127.0.0.3", 5063,
         Registering("carol", "UDP 127.0.0.3:5063", "sip:carol@127.0.0.3:5063"));
    net.open.insert(RecordingTransport::Key(TransportKind::Tcp, "127.0.0.1", 40003));
    const std::string soft =
        Registering("carol", "TCP 10.0.0.9:5061", "sip:carol@10.0.0.9:5061;transport=tcp");
    Over(TransportKind::Tcp, "127.0.0.1", 40003, With(soft, "reg-carol", "reg-c2"));
    TakeSent();
    FromBob(Calling("carol", "c3"));
    EXPECT_EQ(Sent(),
              (Lines{"127.0.0.2:5062 SIP/2.0 100 Trying",
                     "127.0.0.3:5063 INVITE sip:carol@127.0.0.3:5063 SIP/2.0",
                     "TCP 127.0.0.1:40003 INVITE sip:carol@10.0.0.9:5061;transport=tcp SIP/2.0"}));
}

TEST_F(TransportTest, ContactsNameTheirTransport)
{
    // Each phone registered over the transport its Contact names, from a connection that has
    // closed since (or over UDP from its Contact's address). The proxy's own Record-Route is
    // the second of two when the call leaves by another face.
    struct Row
    {
        std::string contact;
        TransportKind over;
        std::string from;
        std::string where; // of bob's INVITE to the phone
        std::string recordRoute;
    };
    const std::string tls = "<sip:127.0.0.1:5071;transport=tls;lr>";
    const std::vector<Row> rows{
        {"sip:p@127.0.0.4:5064", TransportKind::Udp, "127.0.0.4", "127.0.0.4:5064", ""},
        {"sip:p@127.0.0.4:5064;transport=TCP", TransportKind::Tcp, "127.0.0.4",
         "TCP 127.0.0.4:5064", "<sip:127.0.0.1:5070;transport=tcp;lr>"},
        {"sips:p@127.0.0.4", TransportKind::Tls, "127.0.0.4", "TLS 127.0.0.4:5061", tls},
        {"sip:p@127.0.0.4;transport=tls", TransportKind::Tls, "127.0.0.4", "TLS 127.0.0.4:5061",
         tls},
        {"sip:p@[::1]:5066", TransportKind::Udp, "[::1]", "[::1]:5066", "<sip:[::1]:5070;lr>"},
        // No TLS face of IPv6: the one of IPv4.
        {"sips:p@[::1]:5066", TransportKind::Tls, "[::1]", "TLS [::1]:5066", tls},
    };
    proxy.AddFace(TransportKind::Tls, "127.0.0.1", 5081); // of two of a kind, the first
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.contact);
        const std::string user = Cat("phone", n++);
        Over(row.over, row.from, 5064,
             Registering(user, Cat(ViaName(row.over), " ", row.from, ":5064"), row.contact));
        TakeSent();
        FromBob(Calling(user, Cat("call-", user)));
        Lines routes{"Record-Route: <sip:127.0.0.1:5070;lr>"};
        if (!row.recordRoute.empty()) {
            routes.insert(routes.begin(), "Record-Route: " + row.recordRoute);
        }
        EXPECT_EQ(LinesOf("Record-Route"), routes);
        const Lines sent = Sent();
        ASSERT_EQ(sent.size(), 2u);
        EXPECT_EQ(sent[1].substr(0, sent[1].find(" INVITE")), row.where);
    }
}

TEST_F(TransportTest, AWebSocketBindingEndsWithItsConnection)
{
    // RFC 7118 5: a browser's Contact names a host nobody can reach; only its connection can.
    net.open.insert(RecordingTransport::Key(TransportKind::Ws, "127.0.0.1", 50000));
    Over(TransportKind::Ws, "127.0.0.1", 50000,
         Registering("carol", "WS df7jal23ls0d.invalid",
                     "sip:k1@df7jal23ls0d.invalid;transport=ws"));
    EXPECT_EQ(LinesOf("Via"), Lines{"Via: SIP/2.0/WS df7jal23ls0d.invalid;branch=z9hG4bKr;"
                                    "received=127.0.0.1;rport=50000"});
    EXPECT_EQ(Sent(), Lines{"WS 127.0.0.1:50000 SIP/2.0 200 OK"});
    FromBob(Calling("carol", "c1"));
    EXPECT_EQ(Sent().at(1),
              "WS 127.0.0.1:50000 INVITE sip:k1@df7jal23ls0d.invalid;transport=ws SIP/2.0");

    net.open.clear();
    TakeLog();
    proxy.ConnectionClosed(PeerAddress{"", "127.0.0.1", 50000, TransportKind::Ws});
    EXPECT_EQ(TakeLog().at(0), "LOG_INFO Connection from 127.0.0.1:50000 closed: registration of "
                               "'carol' ended");
    FromBob(Calling("carol", "c2"));
    EXPECT_EQ(Sent(),
              (Lines{"127.0.0.2:5062 SIP/2.0 100 Trying", "127.0.0.2:5062 SIP/2.0 404 Not Found"}));
    // A TCP connection's close ends nothing: its phone can be called back at its Contact.
    AliceOverTcp();
    proxy.ConnectionClosed(PeerAddress{"", "127.0.0.1", 40001, TransportKind::Tcp});
    EXPECT_EQ(proxy.Routes().RoutesOf("alice"),
              std::vector<std::string>{"sip:alice@127.0.0.1:5061;transport=tcp"});
}

TEST_F(TransportTest, IPv6AddressesInBrackets)
{
    // The proxy's own IPv6 address is guarded like its IPv4 ones; a phone elsewhere gets
    // received without brackets (RFC 3261 20.42), and answers go back bracketed.
    Receive(Registering("dave", "UDP [2001:db8::5]:5066;rport", "sip:dave@[2001:db8::5]:5066"),
            "[::1]", 40002);
    EXPECT_EQ(LinesOf("Via"), Lines{"Via: SIP/2.0/UDP [2001:db8::5]:5066;branch=z9hG4bKr;"
                                    "received=::1;rport=40002"});
    EXPECT_EQ(Sent(), Lines{"[::1]:40002 SIP/2.0 200 OK"});
    FromBob(Calling("dave", "c1"));
    EXPECT_EQ(LinesOf("Via: SIP/2.0/UDP [::1]").size(), 1u);
    EXPECT_EQ(Sent().at(1), "[::1]:40002 INVITE sip:dave@[2001:db8::5]:5066 SIP/2.0");

    FromBob(Registering("eve", "UDP 127.0.0.2:5062", "sip:eve@[::1]:5070"));
    FromBob(Calling("eve", "c2"));
    EXPECT_EQ(Sent(), (Lines{"127.0.0.2:5062 SIP/2.0 200 OK", "127.0.0.2:5062 SIP/2.0 100 Trying",
                             "127.0.0.2:5062 SIP/2.0 482 Loop Detected"}));
    // Only hex digits and colons (and a dotted tail) make an IPv6 reference.
    for (const auto& [text, is] :
         std::vector<std::pair<std::string, bool>>{{"[2001:DB8::a]", true},
                                                   {"[::ffff:127.0.0.1]", true},
                                                   {"[::g]", false},
                                                   {"[:: 1]", false},
                                                   {"::1", false},
                                                   {"[]", false}}) {
        EXPECT_EQ(IsIPv6Reference(text), is) << text;
    }
}

TEST_F(TransportTest, ANewLocalAddressKeepsTheOtherFaces)
{
    proxy.SetLocalEndpoint("127.0.0.7", 5999);
    AliceOverTcp();
    FromBob(Calling("alice", "c1"));
    EXPECT_EQ(net.sent.size(), 3u);
    EXPECT_EQ(LinesOf("Record-Route"), (Lines{"Record-Route: <sip:127.0.0.1:5070;transport=tcp;lr>",
                                              "Record-Route: <sip:127.0.0.7:5999;lr>"}));
}

TEST_F(TransportTest, AnswersGoBackOverTheRequestsConnection)
{
    // A TLS phone that writes TCP in its Via is answered over its TLS connection (RFC 3261
    // 18.2.2), the proxy's own 100 and bob's relayed ringing alike.
    net.open.insert(RecordingTransport::Key(TransportKind::Tls, "127.0.0.1", 40002));
    Over(TransportKind::Tls, "127.0.0.1", 40002,
         With(Calling("bob", "c9"), "UDP 127.0.0.2:5062", "TCP 127.0.0.1:5"));
    const std::string invite = net.sent.back().text;
    EXPECT_EQ(Sent(), (Lines{"TLS 127.0.0.1:40002 SIP/2.0 100 Trying",
                             "127.0.0.2:5062 INVITE sip:bob@127.0.0.2:5062 SIP/2.0"}));
    FromBob(Reply("180 Ringing", invite, "b9"));
    EXPECT_EQ(Sent(), Lines{"TLS 127.0.0.1:40002 SIP/2.0 180 Ringing"});
}

TEST_F(TransportTest, BothRoutesOfTheProxyAreUsedUp)
{
    // A request within a dialog that crossed transports names both of the proxy's faces.
    const std::string bye =
        Crlf("BYE sip:alice@127.0.0.1:5061;transport=tcp SIP/2.0\n"
             "Via: SIP/2.0/UDP 127.0.0.2:5062;branch=z9hG4bKbye\n"
             "Route: <sip:127.0.0.1:5070;lr>\nRoute: <sip:127.0.0.1:5070;transport=tcp;lr>\n"
             "Route: <sip:elsewhere.example;lr>\n"
             "From: <sip:bob@127.0.0.1>;tag=b1\nTo: <sip:alice@127.0.0.1>;tag=a1\nCall-ID: c1\n"
             "CSeq: 2 BYE\nContent-Length: 0\n\n");
    const std::string built = BuildRequest(
        "BYE", "sip:alice@127.0.0.1:5061;transport=tcp", Message(bye), proxy.Self(), {}, {}, 0,
        Legs{TransportKind::Udp, "127.0.0.2", TransportKind::Tcp, "127.0.0.1"});
    EXPECT_EQ(LinesOf("Route", built), Lines{"Route: <sip:elsewhere.example;lr>"});
}

} // namespace
} // namespace tavrix
