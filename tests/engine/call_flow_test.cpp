#include "engine/proxy_fixture.h"
#include "sip/builders.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

using test::Crlf;
using test::Datagram;
using test::Register;
using Lines = std::vector<std::string>;

const std::string kSdp = "v=0\r\no=alice 1 1 IN IP4 127.0.0.1\r\n";

std::string Invite(const std::string& to, const std::string& extra = "")
{
    return Crlf("INVITE sip:" + to +
                "@127.0.0.1:5070 SIP/2.0\n"
                "Via: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKinv\n"
                "Max-Forwards: 70\n"
                "From: \"Alice\" <sip:alice@127.0.0.1>;tag=a1\n"
                "To: <sip:" +
                to +
                "@127.0.0.1>\n"
                "Call-ID: call-1\n"
                "CSeq: 1 INVITE\n"
                "Contact: <sip:alice@127.0.0.1:5061>\n" +
                extra +
                "Content-Type: application/sdp\n"
                "Content-Length: 34\n\n") +
           kSdp;
}

// A response of Bob's to the forwarded request: the proxy's Via on top of Alice's.
std::string FromBobResponse(const std::string& status, const std::string& cseq,
                            const std::string& request, const std::string& body = "")
{
    return Crlf("SIP/2.0 " + status +
                "\n"
                "Via: SIP/2.0/UDP 127.0.0.1:5070;branch=" +
                ProxyBranch(request) +
                "\n"
                "Via: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKinv\n"
                "Record-Route: <sip:bob@127.0.0.1;maddr=127.0.0.1>\n"
                "From: \"Alice\" <sip:alice@127.0.0.1>;tag=a1\n"
                "To: <sip:bob@127.0.0.1>;tag=b1\n"
                "Call-ID: call-1\n"
                "CSeq: " +
                cseq +
                "\n"
                "Contact: <sip:bob@127.0.0.2:5062>\n"
                "Content-Length: " +
                std::to_string(body.size()) + "\n\n") +
           body;
}

std::string InDialog(const std::string& method, const std::string& cseq, const std::string& via)
{
    return Crlf(method +
                " sip:bob@127.0.0.2:5062 SIP/2.0\n"
                "Via: SIP/2.0/UDP " +
                via +
                "\n"
                "From: \"Alice\" <sip:alice@127.0.0.1>;tag=a1\n"
                "To: <sip:bob@127.0.0.1>;tag=b1\n"
                "Call-ID: call-1\n"
                "CSeq: " +
                cseq + "\n\n");
}

// The branch parameter of a message's first Via line.
std::string TopBranch(const std::string& message)
{
    const std::size_t at = message.find(";branch=");
    return message.substr(at + 8, message.find("\r\n", at) - at - 8);
}

class CallFlowTest : public test::ProxyTest
{
protected:
    CallFlowTest()
    {
        FromAlice(Register("alice", "127.0.0.1", 5061, "reg-a", "Expires: 3600\n"));
        FromBob(Register("bob", "127.0.0.2", 5062, "reg-b", "Expires: 3600\n"));
        TakeSent();
        TakeLog();
    }
};

TEST_F(CallFlowTest, WholeCallFromInviteToTheAnswerOfBye)
{
    const std::string invite = Invite("bob");
    FromAlice(invite);
    std::vector<Datagram> sent = TakeSent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], (Datagram{Crlf("SIP/2.0 100 Trying\n"
                                      "Via: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKinv\n"
                                      "From: \"Alice\" <sip:alice@127.0.0.1>;tag=a1\n"
                                      "To: <sip:bob@127.0.0.1>\n"
                                      "Call-ID: call-1\n"
                                      "CSeq: 1 INVITE\n"
                                      "Contact: <sip:alice@127.0.0.1:5061>\n\n"),
                                 "127.0.0.1", 5061}));
    EXPECT_EQ(sent[1], (Datagram{Crlf("INVITE sip:bob@127.0.0.2:5062 SIP/2.0\n"
                                      "Via: SIP/2.0/UDP 127.0.0.1:5070;branch=" +
                                      ProxyBranch(invite) + "\n" +
                                      "Via: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKinv\n"
                                      "Record-Route: <sip:bob@127.0.0.1;maddr=127.0.0.1>\n"
                                      "Max-Forwards: 69\n"
                                      "From: \"Alice\" <sip:alice@127.0.0.1>;tag=a1\n"
                                      "To: <sip:bob@127.0.0.1>\n"
                                      "Call-ID: call-1\n"
                                      "CSeq: 1 INVITE\n"
                                      "Contact: <sip:alice@127.0.0.1:5061>\n"
                                      "Content-Type: application/sdp\n"
                                      "Content-Length: 34\n\n") +
                                     kSdp,
                                 "127.0.0.2", 5062}));
    EXPECT_EQ(TakeLog(),
              (Lines{"LOG_DEBUG Using latest request as basis request", "LOG_INFO Call started",
                     "LOG_DEBUG Sending '100 Trying' to 127.0.0.1:5061",
                     "LOG_INFO Looking for destination for: bob",
                     "LOG_DEBUG Sending 'INVITE' request to: 127.0.0.2:5062"}));
    EXPECT_EQ(Slot(3).Callee, (PeerAddress{"sip:bob@127.0.0.2:5062", "127.0.0.2", 5062}));
    EXPECT_EQ(Slot(3).TimeLeft, 7200);
    EXPECT_EQ(Slot(3).Leg, 0) << "the record is stored before Leg turns to the callee";
    EXPECT_EQ(display.fields["LastRoute"], "bob");

    FromBob(FromBobResponse("180 Ringing", "1 INVITE", invite));
    const std::string answer = "v=0\r\no=bob 2 2 IN IP4 127.0.0.2\r\n";
    FromBob(FromBobResponse("200 OK", "1 INVITE", invite, answer));
    sent = TakeSent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_TRUE(sent[0].text.starts_with("SIP/2.0 180 Ringing\r\n"));
    EXPECT_EQ(sent[1], (Datagram{Crlf("SIP/2.0 200 OK\n"
                                      "Via: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKinv\n"
                                      "From: \"Alice\" <sip:alice@127.0.0.1>;tag=a1\n"
                                      "To: <sip:bob@127.0.0.1>;tag=b1\n"
                                      "Call-ID: call-1\n"
                                      "Record-Route: <sip:bob@127.0.0.1;maddr=127.0.0.1>\n"
                                      "CSeq: 1 INVITE\n"
                                      "Contact: <sip:bob@127.0.0.2:5062>\n"
                                      "Content-Length: 33\n\n") +
                                     answer,
                                 "127.0.0.1", 5061}));
    EXPECT_EQ(TakeLog(), (Lines{"LOG_DEBUG Got '180 Ringing' from '127.0.0.2:5062'",
                                "LOG_DEBUG Sending '180 Ringing' to 127.0.0.1:5061",
                                "LOG_DEBUG Got '200 OK' from '127.0.0.2:5062'",
                                "LOG_DEBUG Sending '200 OK' to 127.0.0.1:5061"}));

    FromAlice(InDialog("ACK", "1 ACK", "127.0.0.1:5061;branch=z9hG4bKack"));
    const std::string bye = InDialog("BYE", "2 BYE", "127.0.0.1:5061;branch=z9hG4bKbye");
    FromAlice(bye);
    EXPECT_EQ(Sent(), (Lines{"127.0.0.2:5062 ACK sip:bob@127.0.0.2:5062 SIP/2.0",
                             "127.0.0.1:5061 SIP/2.0 100 Trying",
                             "127.0.0.2:5062 BYE sip:bob@127.0.0.2:5062 SIP/2.0"}));
    FromBob(FromBobResponse("200 OK", "2 BYE", bye));
    EXPECT_EQ(Sent(), (Lines{"127.0.0.1:5061 SIP/2.0 200 OK"}));
    EXPECT_EQ(TakeLog(),
              (Lines{"LOG_DEBUG Received 'ACK' from 127.0.0.1:5061",
                     "LOG_DEBUG Sending 'ACK' request to: 127.0.0.2:5062",
                     "LOG_DEBUG Received 'BYE' from 127.0.0.1:5061",
                     "LOG_DEBUG Sending '100 Trying' to 127.0.0.1:5061",
                     "LOG_DEBUG Sending 'BYE' request to: 127.0.0.2:5062",
                     "LOG_DEBUG Got '200 OK' from '127.0.0.2:5062'",
                     "LOG_DEBUG Sending '200 OK' to 127.0.0.1:5061", "LOG_INFO Call completed"}));
    EXPECT_EQ(Slot(3).Finished, kTrue);
    EXPECT_EQ(proxy.Stats().Summary(), "Statistics: Registrations=2 CallAttempts=1 FailedCalls=0 "
                                       "CompletedCalls=1 Errors=0 LastRoute=bob");
}

TEST_F(CallFlowTest, CancelledCallIsReleasedByTheAck)
{
    const std::string invite = Invite("bob");
    FromAlice(invite);
    const std::string forwardedInvite = TakeSent().at(1).text;
    std::string cancel = invite;
    cancel.replace(0, 6, "CANCEL");
    cancel.replace(cancel.find("1 INVITE"), 8, "1 CANCEL");
    FromAlice(cancel);
    const std::string forwardedCancel = net.sent.at(1).text;
    EXPECT_EQ(Sent(), (Lines{"127.0.0.1:5061 SIP/2.0 100 Trying",
                             "127.0.0.2:5062 CANCEL sip:bob@127.0.0.2:5062 SIP/2.0"}));
    EXPECT_EQ(TopBranch(forwardedCancel), TopBranch(forwardedInvite)) << "RFC 3261 9.1";

    FromBob(FromBobResponse("200 OK", "1 CANCEL", cancel));
    FromBob(FromBobResponse("487 Request Terminated", "1 INVITE", invite));
    FromAlice(InDialog("ACK", "1 ACK", "127.0.0.1:5061;branch=z9hG4bKinv"));
    EXPECT_EQ(Sent(), (Lines{"127.0.0.1:5061 SIP/2.0 200 OK", "127.0.0.1:5061 SIP/2.0 200 OK",
                             "127.0.0.2:5062 ACK sip:bob@127.0.0.2:5062 SIP/2.0"}));
    const Lines log = TakeLog();
    EXPECT_EQ(log.back(), "LOG_DEBUG Cleaning up call: 3");
    EXPECT_EQ(Slot(3), CallRecord{});
    EXPECT_EQ(proxy.Stats().CompletedCalls(), 1) << "a cancelled call counts as completed";
}

TEST_F(CallFlowTest, FailuresAndUnfamiliarAnswers)
{
    const std::string invite = Invite("bob");
    FromAlice(invite);
    TakeSent();
    TakeLog();
    FromAlice(FromBobResponse("486 Busy Here", "1 INVITE", invite)); // from either side
    FromBob(FromBobResponse("404 User Gone", "1 INVITE", invite));
    FromBob(FromBobResponse("603 Declined", "1 INVITE", invite));
    FromBob(FromBobResponse("100 Trying", "1 INVITE", invite));
    EXPECT_EQ(Sent(),
              (Lines{"127.0.0.1:5061 SIP/2.0 486 Busy Here", "127.0.0.1:5061 SIP/2.0 404 Not Found",
                     "127.0.0.1:5061 SIP/2.0 603 Declined"}));
    EXPECT_EQ(TakeLog(), (Lines{"LOG_DEBUG Got '486 Busy Here' from '127.0.0.1:5061'",
                                "LOG_DEBUG Sending '486 Busy Here' to 127.0.0.1:5061",
                                "LOG_DEBUG Got '404 User Gone' from '127.0.0.2:5062'",
                                "LOG_DEBUG Sending '404 Not Found' to 127.0.0.1:5061",
                                "LOG_DEBUG Got '603 Declined' from '127.0.0.2:5062'",
                                "LOG_DEBUG Dunno how to handle response #603 '603 Declined' from "
                                "'127.0.0.1:5061' - Forwarding",
                                "LOG_DEBUG Sending '603 Declined' to 127.0.0.1:5061",
                                "LOG_DEBUG Got '100 Trying' from '127.0.0.2:5062'"}));
    EXPECT_EQ(proxy.Stats().FailedCalls(), 1);

    // The callee's BYE: logged with the caller's address, answered to the callee.
    FromBob(InDialog("BYE", "5 BYE", "127.0.0.2:5062;branch=z9hG4bKb"));
    FromBob(InDialog("ACK", "5 ACK", "127.0.0.2:5062;branch=z9hG4bKb2"));
    EXPECT_EQ(Sent(), (Lines{"127.0.0.2:5062 SIP/2.0 100 Trying",
                             "127.0.0.1:5061 BYE sip:bob@127.0.0.2:5062 SIP/2.0"}));
    EXPECT_EQ(TakeLog().front(), "LOG_DEBUG Received 'BYE' from 127.0.0.1:5061");
}

TEST_F(CallFlowTest, FailedCallIsReleasedByTheAck)
{
    const std::string invite = Invite("bob");
    FromAlice(invite);
    FromBob(FromBobResponse("486 Busy Here", "1 INVITE", invite));
    EXPECT_EQ(Slot(3).Finished, kTrue);
    FromAlice(InDialog("ACK", "1 ACK", "127.0.0.1:5061;branch=z9hG4bKinv"));
    EXPECT_EQ(TakeLog().back(), "LOG_DEBUG Cleaning up call: 3");
    EXPECT_EQ(Slot(3), CallRecord{});
    EXPECT_EQ(proxy.Stats().CompletedCalls(), 0);
}

TEST_F(CallFlowTest, DefaultRouteTakesUnregisteredNamesOfSevenAndMore)
{
    FromAlice(Invite("sixsix"));
    EXPECT_EQ(Sent(),
              (Lines{"127.0.0.1:5061 SIP/2.0 100 Trying", "127.0.0.1:5061 SIP/2.0 404 Not Found"}));
    EXPECT_EQ(Slot(3).TimeLeft, 0) << "a call that was not routed frees its slot next tick";
    Ticks(1);
    EXPECT_EQ(Slot(3), CallRecord{});

    std::string seven = Invite("seven77", "Session-Expires: 5;refresher=uac\n");
    seven.replace(seven.find("call-1"), 6, "call-2");
    FromAlice(seven);
    EXPECT_EQ(Sent(), (Lines{"127.0.0.1:5061 SIP/2.0 100 Trying",
                             "127.0.0.9:5080 INVITE sip:seven77@127.0.0.9:5080 SIP/2.0"}));
    EXPECT_EQ(Slot(3).TimeLeft, 5);
    EXPECT_EQ(proxy.Stats().FailedCalls(), 1);
    EXPECT_EQ(proxy.Stats().CallAttempts(), 2);
    TakeLog();
    Ticks(5);
    EXPECT_EQ(Slot(3).TimeLeft, 0);
    Ticks(1);
    EXPECT_EQ(TakeLog(), (Lines{"LOG_DEBUG Cleaning up call: 3"}));
}

TEST_F(CallFlowTest, OptionsAndUnknownMethodsAreAnsweredNeverForwarded)
{
    FromAlice(Crlf("OPTIONS sip:x SIP/2.0\nVia: SIP/2.0/UDP 127.0.0.1:5061\nCall-ID: reg-a\n\n"));
    FromAlice(Crlf("register sip:x SIP/2.0\nCall-ID: reg-a\n\n"));
    FromAlice(Crlf(" REGISTER sip:x SIP/2.0\nCall-ID: reg-a\n\n"));
    EXPECT_EQ(Sent(), (Lines{"127.0.0.1:5061 SIP/2.0 200 OK",
                             "127.0.0.1:5061 SIP/2.0 405 Method not allowed",
                             "127.0.0.1:5061 SIP/2.0 405 Method not allowed"}));
    EXPECT_EQ(TakeLog(), (Lines{"LOG_DEBUG Received 'OPTIONS' from 127.0.0.1:5061",
                                "LOG_DEBUG Sending '200 OK' to 127.0.0.1:5061",
                                "LOG_ERR Dunno how to handle 'register' request from "
                                "127.0.0.1:5061.",
                                "LOG_DEBUG Sending '405 Method not allowed' to 127.0.0.1:5061",
                                "LOG_ERR Dunno how to handle '' request from 127.0.0.1:5061.",
                                "LOG_DEBUG Sending '405 Method not allowed' to 127.0.0.1:5061"}));

    FromBob(Crlf("SIP/2.0 099 Odd\nCall-ID: reg-b\n\n"));
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(TakeLog(), (Lines{"LOG_ERR Invalid response: 099 Odd"}));
}

} // namespace
} // namespace tavrix
