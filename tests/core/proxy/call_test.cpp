#include "core/proxy/proxy_fixture.h"
#include "core/text/text.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

using namespace test;

class CallTest : public RegisteredTest
{
protected:
    const Scenario& Named(const std::string& name)
    {
        static const std::vector<Scenario> scenarios = Scenarios();
        return *std::find_if(scenarios.begin(), scenarios.end(),
                             [&](const Scenario& s) { return s.name == name; });
    }
};

TEST_F(CallTest, WholeCallOnTheWireInTheLogAndTheTable)
{
    const std::string invite = Invite("bob");
    FromAlice(invite);
    std::vector<Datagram> sent = TakeSent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], (Datagram{Crlf("SIP/2.0 100 Trying\n"
                                      "Via: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKinv\n"
                                      "From: \"Alice\" <sip:alice@127.0.0.1>;tag=a1\n"
                                      "To: <sip:bob@127.0.0.1>\nCall-ID: call-1\nCSeq: 1 INVITE\n"
                                      "User-Agent: TestPhone/1.0\n"
                                      "Contact: <sip:alice@127.0.0.1:5061>\n\n"),
                                 "127.0.0.1", 5061}));
    EXPECT_EQ(sent[1], (Datagram{BuildRequest("INVITE", "sip:bob@127.0.0.2:5062", Message(invite),
                                              {"127.0.0.1", 5070}),
                                 "127.0.0.2", 5062}));
    EXPECT_EQ(TakeLog(),
              (Lines{"LOG_DEBUG Using latest request as basis request", "LOG_INFO Call started",
                     "LOG_DEBUG Sending '100 Trying' to 127.0.0.1:5061",
                     "LOG_INFO Looking for destination for: bob",
                     "LOG_DEBUG Sending 'INVITE' request to: 127.0.0.2:5062"}));
    EXPECT_EQ(Slot(3).Callee, (PeerAddress{"sip:bob@127.0.0.2:5062", "127.0.0.2", 5062}));
    EXPECT_EQ(Slot(3).TimeLeft, 7200);

    const std::string answer = "v=0\r\no=bob 2 2 IN IP4 127.0.0.2\r\n";
    FromBob(Answer("200 OK", "1 INVITE", invite, answer));
    EXPECT_EQ(TakeSent(),
              (std::vector<Datagram>{{Crlf("SIP/2.0 200 OK\n"
                                           "Via: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKinv\n"
                                           "From: \"Alice\" <sip:alice@127.0.0.1>;tag=a1\n"
                                           "To: <sip:bob@127.0.0.1>;tag=b1\nCall-ID: call-1\n"
                                           "Record-Route: <sip:127.0.0.1:5070;lr>\n"
                                           "CSeq: 1 INVITE\nContact: <sip:bob@127.0.0.2:5062>\n"
                                           "Content-Length: 33\n\n") +
                                          answer,
                                      "127.0.0.1", 5061}}));
    TakeLog();

    const std::vector<Step>& rest = Named("call").steps;
    for (std::size_t i = 3; i < rest.size(); ++i) {
        From(*rest[i].from, rest[i].text);
    }
    EXPECT_EQ(Sent(), (Lines{"127.0.0.2:5062 ACK sip:bob@127.0.0.2:5062 SIP/2.0",
                             "127.0.0.1:5061 SIP/2.0 100 Trying",
                             "127.0.0.2:5062 BYE sip:bob@127.0.0.2:5062 SIP/2.0",
                             "127.0.0.1:5061 SIP/2.0 200 OK"}));
    EXPECT_EQ(TakeLog(),
              (Lines{"LOG_DEBUG Received 'ACK' from 127.0.0.1:5061",
                     "LOG_DEBUG Sending 'ACK' request to: 127.0.0.2:5062",
                     "LOG_DEBUG Received 'BYE' from 127.0.0.1:5061",
                     "LOG_DEBUG Sending '100 Trying' to 127.0.0.1:5061",
                     "LOG_DEBUG Sending 'BYE' request to: 127.0.0.2:5062",
                     "LOG_DEBUG Got '200 OK' from '127.0.0.2:5062'",
                     "LOG_DEBUG Sending '200 OK' to 127.0.0.1:5061", "LOG_INFO Call completed"}));
    EXPECT_EQ(Slot(3).stage, CallStage::Ending);
    EXPECT_EQ(Summary(), "Statistics: Registrations=2 CallAttempts=1 FailedCalls=0 "
                         "CompletedCalls=1 Errors=0 LastRoute=bob");
    EXPECT_EQ(display.fields["CompletedCalls"], "1");
}

TEST_F(CallTest, ScenariosAsThePhonesSeeThem)
{
    const struct
    {
        const char* scenario;
        Lines sent;
        const char* summary;
    } rows[] = {
        {"cancelled",
         {"127.0.0.1:5061 SIP/2.0 100 Trying",
          "127.0.0.2:5062 INVITE sip:bob@127.0.0.2:5062 SIP/2.0",
          "127.0.0.1:5061 SIP/2.0 100 Trying",
          "127.0.0.2:5062 CANCEL sip:bob@127.0.0.2:5062 SIP/2.0", "127.0.0.1:5061 SIP/2.0 200 OK",
          "127.0.0.1:5061 SIP/2.0 487 Request Terminated",
          "127.0.0.2:5062 ACK sip:bob@127.0.0.2:5062 SIP/2.0"},
         "CallAttempts=1 FailedCalls=0 CompletedCalls=1"},
        {"busy",
         {"127.0.0.1:5061 SIP/2.0 100 Trying",
          "127.0.0.2:5062 INVITE sip:bob@127.0.0.2:5062 SIP/2.0",
          "127.0.0.1:5061 SIP/2.0 486 Busy Here",
          "127.0.0.2:5062 ACK sip:bob@127.0.0.2:5062 SIP/2.0"},
         "CallAttempts=1 FailedCalls=0 CompletedCalls=0"},
        {"default route",
         {"127.0.0.1:5061 SIP/2.0 100 Trying",
          "127.0.0.9:5080 INVITE sip:seven77@127.0.0.9:5080 SIP/2.0"},
         "CallAttempts=1 FailedCalls=0 CompletedCalls=0"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.scenario);
        const SIP_STATS& stats = proxy.Stats();
        const Counter attempts = stats.CallAttempts();
        const Counter failed = stats.FailedCalls();
        const Counter completed = stats.CompletedCalls();
        EXPECT_EQ(Play(Named(row.scenario)), row.sent);
        EXPECT_EQ(Cat("CallAttempts=", stats.CallAttempts() - attempts,
                      " FailedCalls=", stats.FailedCalls() - failed,
                      " CompletedCalls=", stats.CompletedCalls() - completed),
                  row.summary);
        const Lines log = TakeLog();
        EXPECT_EQ(log.back(), "LOG_DEBUG Cleaning up call: 3") << "the call's slot is free again";
        EXPECT_EQ(Slot(3), CallRecord{});
    }
}

TEST_F(CallTest, FailuresAndUnfamiliarAnswersEndTheCall)
{
    const struct
    {
        const Party& from;
        const char* status;
        const char* sent;
        const char* log;
        bool ends;
    } rows[] = {
        {kBob, "100 Trying", nullptr, nullptr, false},
        {kBob, "486 Busy Here", "127.0.0.1:5061 SIP/2.0 486 Busy Here", nullptr, true},
        {kBob, "404 User Gone", "127.0.0.1:5061 SIP/2.0 404 Not Found", nullptr, true},
        {kBob, "487 Request Terminated", "127.0.0.1:5061 SIP/2.0 487 Request Terminated", nullptr,
         true},
        {kBob, "603 Declined", "127.0.0.1:5061 SIP/2.0 603 Declined",
         "LOG_DEBUG Dunno how to handle response #603 '603 Declined' from '127.0.0.1:5061' - "
         "Forwarding",
         true},
        {kBob, "302 Moved", "127.0.0.1:5061 SIP/2.0 302 Moved", nullptr, true},
        {kBob, "183 Session Progress", "127.0.0.1:5061 SIP/2.0 183 Session Progress", nullptr,
         false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.status);
        const std::string callId = std::string("call-") + row.status;
        const std::string invite = Invite("bob", callId);
        FromAlice(invite);
        TakeSent();
        TakeLog();
        From(row.from, Answer(row.status, "1 INVITE", invite, "", callId));
        EXPECT_EQ(Sent(), row.sent ? Lines{row.sent} : Lines{});
        const Lines log = TakeLog();
        EXPECT_EQ(log.front(),
                  std::string("LOG_DEBUG Got '") + row.status + "' from '" + row.from.Host() + "'");
        if (row.log) {
            EXPECT_EQ(log.at(1), row.log);
        }
        EXPECT_EQ(Slot(proxy.Calls().Find(callId)).stage == CallStage::Ending, row.ends);
    }
    EXPECT_EQ(proxy.Stats().FailedCalls(), 1) << "only a relayed 404 counts";
}

TEST_F(CallTest, RequestsWithinTheCallFromEitherSide)
{
    FromAlice(Invite("bob"));
    FromBob(Answer("200 OK", "1 INVITE", Invite("bob"), "v=0\r\n"));
    FromAlice(InDialog("ACK", "1 ACK", kAlice, "z9hG4bKack"));
    TakeSent();
    TakeLog();
    // Hold from alice, then from bob: "100 Trying" and on to the other side (an INFO without
    // it), the call as it was. Requests towards alice go to her Contact; bob's ACK goes to alice
    // too.
    std::string hold = InDialog("INVITE", "2 INVITE", kAlice, "z9hG4bKhold");
    FromAlice(hold);
    FromBob(Answer("200 OK", "2 INVITE", hold, "v=0\r\n"));
    FromAlice(InDialog("INFO", "3 INFO", kAlice, "z9hG4bKi")); // without "100 Trying"
    std::string resume = InDialog("INVITE", "7 INVITE", kBob, "z9hG4bKres");
    FromBob(resume);
    From(kAlice, Answer("491 Request Pending", "7 INVITE", resume));
    FromBob(InDialog("ACK", "7 ACK", kBob, "z9hG4bKres"));
    FromBob(InDialog("BYE", "8 BYE", kBob, "z9hG4bKbye"));
    EXPECT_EQ(Sent(), (Lines{"127.0.0.1:5061 SIP/2.0 100 Trying",
                             "127.0.0.2:5062 INVITE sip:bob@127.0.0.2:5062 SIP/2.0",
                             "127.0.0.1:5061 SIP/2.0 200 OK",
                             "127.0.0.2:5062 INFO sip:bob@127.0.0.2:5062 SIP/2.0",
                             "127.0.0.2:5062 SIP/2.0 100 Trying",
                             "127.0.0.1:5061 INVITE sip:alice@127.0.0.1:5061 SIP/2.0",
                             "127.0.0.2:5062 SIP/2.0 491 Request Pending",
                             "127.0.0.1:5061 ACK sip:alice@127.0.0.1:5061 SIP/2.0",
                             "127.0.0.2:5062 SIP/2.0 100 Trying",
                             "127.0.0.1:5061 BYE sip:alice@127.0.0.1:5061 SIP/2.0"}));
    const Lines log = TakeLog();
    EXPECT_EQ(log.front(), "LOG_DEBUG Received 'INVITE' from 127.0.0.1:5061");
    EXPECT_NE(std::find(log.begin(), log.end(), "LOG_DEBUG Received 'BYE' from 127.0.0.2:5062"),
              log.end())
        << "names the sender";
    EXPECT_EQ(Slot(3).stage, CallStage::Answered) << "a refused re-INVITE leaves the call";
    EXPECT_EQ(Summary(), "Statistics: Registrations=2 CallAttempts=1 FailedCalls=0 "
                         "CompletedCalls=0 Errors=0 LastRoute=bob");
}

TEST_F(CallTest, PhonesOnOneAddressAreToldApartByPort)
{
    const Party carol{"carol", "127.0.0.1", 5063};
    From(carol, Register(carol, "reg-c"));
    const std::string invite = Invite("carol");
    FromAlice(invite);
    From(carol, Answer("200 OK", "1 INVITE", invite, "v=0\r\n"));
    FromAlice(InDialog("ACK", "1 ACK", kAlice, "z9hG4bKack"));
    // A sender at no leg's address is no party; one at the legs' address but neither's port
    // is placed by its address alone, on the caller's side.
    Receive(InDialog("BYE", "2 BYE", carol, "z9hG4bKnat"), "127.0.0.2", 5061);
    Receive(InDialog("BYE", "2 BYE", carol, "z9hG4bKnat"), "127.0.0.1", 5099);
    From(carol, InDialog("BYE", "3 BYE", carol, "z9hG4bKbye"));
    EXPECT_EQ(Sent(), (Lines{"127.0.0.1:5063 SIP/2.0 200 OK", "127.0.0.1:5061 SIP/2.0 100 Trying",
                             "127.0.0.1:5063 INVITE sip:carol@127.0.0.1:5063 SIP/2.0",
                             "127.0.0.1:5061 SIP/2.0 200 OK",
                             "127.0.0.1:5063 ACK sip:carol@127.0.0.1:5063 SIP/2.0",
                             "127.0.0.1:5063 SIP/2.0 100 Trying",
                             "127.0.0.1:5063 BYE sip:carol@127.0.0.1:5063 SIP/2.0",
                             "127.0.0.1:5063 SIP/2.0 100 Trying",
                             "127.0.0.1:5061 BYE sip:alice@127.0.0.1:5061 SIP/2.0"}));
}

TEST_F(CallTest, KeepAlivesAndCompactHeaders)
{
    proxy.Log().SetLogLevel(4);
    for (const char* keepAlive : {"\r\n\r\n", "\r\n", " \t\r\n", ""}) {
        FromAlice(keepAlive);
    }
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(TakeLog().size(), 8u) << "four datagram dumps, nothing else";
    EXPECT_EQ(Summary(), "Statistics: Registrations=2 CallAttempts=0 FailedCalls=0 "
                         "CompletedCalls=0 Errors=0 LastRoute=");
    proxy.Log().SetLogLevel(3);
    // The answer goes to the address the request came from (RFC 3261 18.2.2, RFC 3581): at its
    // Via's port, or at its source port when the Via asks for rport, received and rport noted.
    const std::string head = "OPTIONS sip:x SIP/2.0\nf: <sip:a@h>;tag=1\nt: <sip:x@h>\n";
    FromAlice(Crlf(head + "v: SIP/2.0/UDP 127.0.0.4:5064\ni: o1\n\n"));
    FromAlice(Crlf(head + "v: SIP/2.0/UDP 127.0.0.4:5064;rport;branch=z9hG4bKo\ni: o2\n\n"));
    const std::string answer = "SIP/2.0 200 OK\nVia: SIP/2.0/UDP 127.0.0.4:5064";
    const std::string rest = "\nFrom: <sip:a@h>;tag=1\nTo: <sip:x@h>\nCall-ID: o";
    EXPECT_EQ(TakeSent(),
              (std::vector<Datagram>{
                  {Crlf(answer + ";received=127.0.0.1" + rest + "1\n\n"), "127.0.0.1", 5064},
                  {Crlf(answer + ";branch=z9hG4bKo;received=127.0.0.1;rport=5061" + rest + "2\n\n"),
                   "127.0.0.1", 5061}}));
}

TEST_F(CallTest, OptionsUnknownMethodsAndOddResponses)
{
    // Requests of a size a phone sends; a refusal may not be much longer than its request.
    const std::string via = "Via: SIP/2.0/UDP 127.0.0.4:5064;branch=z9hG4bKodd\n"
                            "From: <sip:odd@127.0.0.4>;tag=o\nTo: <sip:x@127.0.0.1>\n"
                            "CSeq: 1 ODD\nUser-Agent: Odd/1.0 (test phone of odd methods)\n"
                            "Max-Forwards: 70\nContact: <sip:odd@127.0.0.4:5064>\n"
                            "Accept: application/sdp\nContent-Length: 0\n";
    FromAlice(Crlf("OPTIONS sip:x SIP/2.0\nVia: SIP/2.0/UDP 127.0.0.1:5061\nCall-ID: reg-a\n\n"));
    Receive(Crlf("OPTIONS sip:x SIP/2.0\n" + via + "Call-ID: o1\n\n"), "127.0.0.4", 50000);
    FromAlice(Crlf("register sip:x SIP/2.0\n" + via + "Call-ID: reg-a\n\n"));
    Receive(Crlf(" REGISTER sip:x SIP/2.0\n" + via + "Call-ID: o2\n\n"), "127.0.0.4", 50000);
    FromBob(Crlf("SIP/2.0 099 Odd\nCall-ID: reg-b\n\n"));
    FromBob(Crlf("SIP/2.0 99999999 Huge\nCall-ID: reg-b\n\n"));
    FromBob(Crlf("SIP/2.0 200 OK\nCall-ID: o4\nCSeq: 1 INVITE\n\n"));
    EXPECT_EQ(Sent(), (Lines{"127.0.0.1:5061 SIP/2.0 200 OK", "127.0.0.4:5064 SIP/2.0 200 OK",
                             "127.0.0.1:5064 SIP/2.0 405 Method not allowed",
                             "127.0.0.4:5064 SIP/2.0 405 Method not allowed"}));
    EXPECT_TRUE(
        Logged({"LOG_ERR Dunno how to handle 'register' request from 127.0.0.1:5061.",
                "LOG_ERR Dunno how to handle '' request from 127.0.0.4:50000.",
                "LOG_ERR Invalid response: 099 Odd", "LOG_ERR Invalid response: 99999999 Huge",
                "LOG_ERR Not a party to the call: '200 OK' from 127.0.0.2:5062 dropped"}));
    EXPECT_EQ(proxy.Calls().Find("o4"), 0) << "a response to nothing takes no slot";
}

} // namespace
} // namespace tavrix
