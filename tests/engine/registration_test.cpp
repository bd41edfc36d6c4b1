#include "engine/proxy_fixture.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

using test::Crlf;
using test::Datagram;
using test::Register;
using Lines = std::vector<std::string>;

class RegistrationTest : public test::ProxyTest
{
};

TEST_F(RegistrationTest, RegisterRefreshAndExpiry)
{
    FromAlice(Register("alice", "127.0.0.1", 5061, "reg-a"));
    EXPECT_EQ(TakeSent(), (std::vector<Datagram>{
                              {Crlf("SIP/2.0 200 OK\n"
                                    "Via: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bK-r-reg-a\n"
                                    "From: <sip:alice@127.0.0.1>;tag=r1\n"
                                    "To: <sip:alice@127.0.0.1>\n"
                                    "Call-ID: reg-a\n"
                                    "CSeq: 1 REGISTER\n\n"),
                               "127.0.0.1", 5061}}));
    EXPECT_EQ(TakeLog(), (Lines{"LOG_DEBUG REGISTER request from '127.0.0.1:5061'",
                                "LOG_DEBUG Add route 'alice' to sip:alice@127.0.0.1:5061",
                                "LOG_INFO User 'alice' successfully registered at "
                                "'127.0.0.1:5061' with ID: 1",
                                "LOG_DEBUG Sending '200 OK' to 127.0.0.1:5061"}));
    CallRecord expected;
    expected.Slot = 1;
    expected.IsRegistration = kTrue;
    expected.CallID = "reg-a";
    expected.TimeLeft = 60;
    expected.Caller = {"", "127.0.0.1", 5061};
    expected.Username = "alice";
    expected.Contact = "sip:alice@127.0.0.1:5061";
    EXPECT_EQ(Slot(1), expected);
    EXPECT_EQ(display.fields["Registrations"], "1");

    // A refresh under the same Call-ID only renews the lifetime.
    FromAlice(Register("alice", "127.0.0.1", 5061, "reg-a", "Expires: 5\n"));
    EXPECT_EQ(TakeSent().size(), 1u);
    EXPECT_EQ(TakeLog(), (Lines{"LOG_DEBUG REGISTER request from '127.0.0.1:5061'",
                                "LOG_DEBUG Sending '200 OK' to 127.0.0.1:5061"}));
    EXPECT_EQ(Slot(1).TimeLeft, 5);
    EXPECT_EQ(proxy.Stats().Registrations(), 1);

    Ticks(5);
    EXPECT_EQ(Slot(1).TimeLeft, 0);
    EXPECT_TRUE(TakeLog().empty());
    Ticks(1);
    EXPECT_EQ(TakeLog(), (Lines{"LOG_INFO Unregistered 'alice' from 127.0.0.1:5061'",
                                "LOG_DEBUG Removing routes to sip:alice@127.0.0.1:5061",
                                "LOG_DEBUG Cleaning up call: 1"}));
    EXPECT_EQ(Slot(1), CallRecord{});
    EXPECT_EQ(proxy.Routes().Listing(), "");
    EXPECT_EQ(display.fields["Registrations"], "0");
}

TEST_F(RegistrationTest, FromWithoutSipUriIsRefused)
{
    std::string request = Register("alice", "127.0.0.1", 5061, "reg-x");
    request.replace(request.find("<sip:alice"), 5, "<sips:");
    FromAlice(request);
    const std::vector<Datagram> sent = TakeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(sent[0].text.starts_with("SIP/2.0 401 Unauthorised\r\nVia: "));
    EXPECT_EQ(sent[0].address + ":" + std::to_string(sent[0].port), "127.0.0.1:5061");
    EXPECT_EQ(TakeLog(), (Lines{"LOG_DEBUG REGISTER request from '127.0.0.1:5061'",
                                "LOG_ERR Invalid to address: sips:alice@127.0.0.1 from 127.0.0.1",
                                "LOG_DEBUG Sending '401 Unauthorised' to 127.0.0.1:5061",
                                "LOG_INFO Registration failed for '' at '127.0.0.1:5061'"}));
    EXPECT_EQ(proxy.Stats().Errors(), 1);
    EXPECT_EQ(proxy.Stats().Registrations(), 0);
}

TEST_F(RegistrationTest, LifetimeFromExpiresElseContactParameterElseAnHour)
{
    std::string onContact = Register("alice", "127.0.0.1", 5061, "r1", "");
    onContact.replace(onContact.find(">\r\nContent"), 1, ">;expires=120");
    FromAlice(onContact);
    FromBob(Register("bob", "127.0.0.2", 5062, "r2", ""));
    FromBob(Register("carol", "127.0.0.3", 5063, "r3", "Expires: 0\n"));
    EXPECT_EQ(Slot(1).TimeLeft, 120);
    EXPECT_EQ(Slot(2).TimeLeft, 3600);
    EXPECT_EQ(Slot(3).TimeLeft, 0);
    EXPECT_EQ(proxy.Stats().Registrations(), 3);

    Ticks(1); // an explicit 0 ends on the next tick
    EXPECT_EQ(Slot(3), CallRecord{});
    EXPECT_EQ(proxy.Stats().Registrations(), 2);

    // "Expires: 0" under a registration's Call-ID ends it on the next tick.
    FromBob(Register("bob", "127.0.0.2", 5062, "r2", "Expires: 0\n"));
    Ticks(1);
    EXPECT_EQ(Slot(2), CallRecord{});
    EXPECT_EQ(proxy.Routes().Listing(), "alice linked to sip:alice@127.0.0.1:5061\r\n");
}

TEST_F(RegistrationTest, RegisterWithoutContactIsAnsweredButNotRecorded)
{
    std::string request = Register("alice", "127.0.0.1", 5061, "r1", "Expires: 2\n");
    request.erase(request.find("Contact:"), request.find("Expires:") - request.find("Contact:"));
    Receive(request, "127.0.0.1", 40000);
    const std::vector<Datagram> sent = TakeSent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].port, 40000) << "answered to the sender";
    EXPECT_EQ(Slot(1).IsRegistration, 0);
    EXPECT_EQ(Slot(1).TimeLeft, 2);
    EXPECT_EQ(proxy.Stats().Registrations(), 0);
    TakeLog();
    Ticks(3); // released like a call, with its one line
    EXPECT_EQ(TakeLog(), (Lines{"LOG_DEBUG Cleaning up call: 1"}));
}

TEST_F(RegistrationTest, InviteFromUnknownContactRegistersTheCaller)
{
    FromAlice(Crlf("INVITE sip:carol@127.0.0.1 SIP/2.0\n"
                   "Via: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKi\n"
                   "From: <sip:alice@127.0.0.1>;tag=1\nTo: <sip:carol@127.0.0.1>\n"
                   "Call-ID: i1\nCSeq: 1 INVITE\nContact: <sip:alice@127.0.0.1:5061>\n\n"));
    EXPECT_EQ(TakeLog(),
              (Lines{"LOG_DEBUG Using latest request as basis request",
                     "LOG_DEBUG Add route 'alice' to sip:alice@127.0.0.1:5061",
                     "LOG_INFO User 'alice' successfully registered at '127.0.0.1:5061' with ID: 1",
                     "LOG_INFO Call started", "LOG_DEBUG Sending '100 Trying' to 127.0.0.1:5061",
                     "LOG_INFO Looking for destination for: carol", "LOG_INFO No route for: carol",
                     "LOG_DEBUG Sending '404 Not Found' to 127.0.0.1:5061"}));
    // The call was never routed: the slot keeps what "Expires" said (nothing, 0).
    EXPECT_EQ(Slot(1).IsRegistration, kTrue);
    EXPECT_EQ(Slot(1).TimeLeft, 0);
    Ticks(1);
    EXPECT_EQ(TakeLog(), (Lines{"LOG_INFO Unregistered 'alice' from 127.0.0.1:5061'",
                                "LOG_DEBUG Removing routes to sip:alice@127.0.0.1:5061",
                                "LOG_DEBUG Cleaning up call: 1"}));
    EXPECT_EQ(proxy.Stats().Registrations(), 0);
    EXPECT_EQ(proxy.Stats().CallAttempts(), 1);
    EXPECT_EQ(proxy.Stats().FailedCalls(), 1);
}

} // namespace
} // namespace tavrix
