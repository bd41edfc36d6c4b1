#include "core/proxy/proxy_fixture.h"
#include "core/text/text.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

using namespace test;

class RegistrarTest : public ProxyTest
{
protected:
    const Party kCarol{"carol", "127.0.0.3", 5063};
};

TEST_F(RegistrarTest, RegisterRefreshAndExpiry)
{
    FromAlice(Register(kAlice, "reg-a"));
    EXPECT_EQ(TakeSent(), (std::vector<Datagram>{
                              {Crlf("SIP/2.0 200 OK\n"
                                    "Via: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bK-r-reg-a\n"
                                    "From: <sip:alice@127.0.0.1>;tag=r1\n"
                                    "To: <sip:alice@127.0.0.1>\nCall-ID: reg-a\nCSeq: 1 REGISTER\n"
                                    "Contact: <sip:alice@127.0.0.1:5061>;expires=60\n\n"),
                               "127.0.0.1", 5061}}));
    EXPECT_EQ(TakeLog(), (Lines{"LOG_DEBUG REGISTER request from '127.0.0.1:5061'",
                                "LOG_DEBUG Add route 'alice' to sip:alice@127.0.0.1:5061",
                                "LOG_INFO User 'alice' successfully registered at "
                                "'127.0.0.1:5061' with ID: 1",
                                "LOG_DEBUG Sending '200 OK' to 127.0.0.1:5061"}));
    const PeerAddress alice{"", "127.0.0.1", 5061};
    CallRecord registered;
    registered.Slot = 1;
    registered.holds = Holds::Registration;
    registered.CallID = "reg-a";
    registered.TimeLeft = 60;
    registered.Caller = registered.Source = alice;
    registered.Username = registered.Owner = "alice";
    registered.Contact = "sip:alice@127.0.0.1:5061";
    EXPECT_EQ(Slot(1), registered);
    EXPECT_EQ(display.fields["Registrations"], "1");

    // A refresh under the same Call-ID only renews the lifetime.
    FromAlice(Register(kAlice, "reg-a", "Expires: 5\n"));
    EXPECT_EQ(TakeLog(), (Lines{"LOG_DEBUG REGISTER request from '127.0.0.1:5061'",
                                "LOG_DEBUG Sending '200 OK' to 127.0.0.1:5061"}));
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

TEST_F(RegistrarTest, LifetimeFromExpiresElseContactParameterElseAnHour)
{
    std::string onContact = Register(kAlice, "r1", "");
    onContact.replace(onContact.find(">\r\nContent"), 1, ">;expires=120");
    FromAlice(onContact);
    FromBob(Register(kBob, "r2", ""));
    From(kCarol, Register(kCarol, "r3", "Expires: 0\n"));
    EXPECT_EQ(Slot(1).TimeLeft, 120);
    EXPECT_EQ(Slot(2).TimeLeft, 3600);
    EXPECT_EQ(Slot(3).TimeLeft, 0);
    Ticks(1); // an explicit 0 ends on the next tick
    EXPECT_EQ(Slot(3), CallRecord{});
    FromBob(Register(kBob, "r2", "Expires: 0\n"));
    Ticks(1);
    EXPECT_EQ(Slot(2), CallRecord{});
    EXPECT_EQ(proxy.Routes().Listing(), "alice linked to sip:alice@127.0.0.1:5061\r\n");
    EXPECT_EQ(display.fields["Registrations"], "1");
}

TEST_F(RegistrarTest, RefusalsAndRequestsThatRecordNothing)
{
    std::string sips = Register(kAlice, "reg-x");
    sips.replace(sips.find("<sip:alice"), 5, "<sips:");
    FromAlice(sips);
    std::string noContact = Register(kAlice, "r1", "Expires: 2\n");
    noContact.erase(noContact.find("Contact:"),
                    noContact.find("Expires:") - noContact.find("Contact:"));
    Receive(noContact, "127.0.0.1", 40000);
    EXPECT_EQ(Sent(),
              (Lines{"127.0.0.1:5061 SIP/2.0 401 Unauthorised", "127.0.0.1:5061 SIP/2.0 200 OK"}));
    EXPECT_EQ(TakeLog(), (Lines{"LOG_DEBUG REGISTER request from '127.0.0.1:5061'",
                                "LOG_ERR Invalid to address: sips:alice@127.0.0.1 from 127.0.0.1",
                                "LOG_DEBUG Sending '401 Unauthorised' to 127.0.0.1:5061",
                                "LOG_INFO Registration failed for '' at '127.0.0.1:5061'",
                                "LOG_DEBUG REGISTER request from '127.0.0.1:40000'",
                                "LOG_DEBUG Cleaning up call: 2",
                                "LOG_DEBUG Sending '200 OK' to 127.0.0.1:5061"}));
    EXPECT_EQ(Slot(2), CallRecord{}) << "a REGISTER without Contact holds no slot";
    Ticks(3);
    EXPECT_EQ(TakeLog(), (Lines{"LOG_DEBUG Cleaning up call: 1"}));
    EXPECT_EQ(Summary(), "Statistics: Registrations=0 CallAttempts=0 FailedCalls=0 "
                         "CompletedCalls=0 Errors=1 LastRoute=");
}

TEST_F(RegistrarTest, InviteRegistersAnUnknownCallerAndUsesAKnownContact)
{
    FromAlice(Invite("carol", "i1"));
    EXPECT_EQ(TakeLog(),
              (Lines{"LOG_DEBUG Using latest request as basis request",
                     "LOG_DEBUG Add route 'alice' to sip:alice@127.0.0.1:5061",
                     "LOG_INFO User 'alice' successfully registered at '127.0.0.1:5061' with ID: 1",
                     "LOG_INFO Call started", "LOG_DEBUG Sending '100 Trying' to 127.0.0.1:5061",
                     "LOG_INFO Looking for destination for: carol", "LOG_INFO No route for: carol",
                     "LOG_DEBUG Sending '404 Not Found' to 127.0.0.1:5061"}));
    Ticks(1);
    EXPECT_EQ(TakeLog(), (Lines{"LOG_INFO Unregistered 'alice' from 127.0.0.1:5061'",
                                "LOG_DEBUG Removing routes to sip:alice@127.0.0.1:5061",
                                "LOG_DEBUG Cleaning up call: 1"}));

    // A caller whose Contact is registered is reached at that Contact, not at its source;
    // the proxy's own answer goes where the request's Via says (no rport: its port).
    FromAlice(Register(kAlice, "reg-a"));
    FromBob(Register(kBob, "reg-b"));
    TakeSent();
    Receive(Invite("bob", "i2"), "127.0.0.1", 40000);
    EXPECT_EQ(Slot(3).Caller, (PeerAddress{"", "127.0.0.1", 5061}));
    FromBob(Answer("180 Ringing", "1 INVITE", Invite("bob", "i2"), "", "i2"));
    EXPECT_EQ(Sent(), (Lines{"127.0.0.1:5061 SIP/2.0 100 Trying",
                             "127.0.0.2:5062 INVITE sip:bob@127.0.0.2:5062 SIP/2.0",
                             "127.0.0.1:5061 SIP/2.0 180 Ringing"}));
    EXPECT_EQ(Summary(), "Statistics: Registrations=2 CallAttempts=2 FailedCalls=1 "
                         "CompletedCalls=0 Errors=0 LastRoute=bob");

    // The registration an INVITE makes, and its call, last what its Expires says.
    std::string timed = Invite("bob", "i3", "Expires: 30\n");
    timed.replace(timed.find("127.0.0.1:5061>"), 14, "127.0.0.1:5071");
    Receive(timed, "127.0.0.1", 5071);
    EXPECT_EQ(Slot(proxy.Calls().Find("i3")).TimeLeft, 30);
}

// Remembers what the proxy told it, and holds what it is to load.
class MemoryStore final : public RegistrarStore
{
public:
    void Save(const Binding& binding) override { told.push_back("save " + Text(binding)); }
    void Remove(const Binding& binding) override { told.push_back("remove " + Text(binding)); }
    std::vector<Binding> LoadAll() override { return kept; }
    static std::string Text(const Binding& b)
    {
        return Cat(b.CallID, " ", b.Username, " ", b.Contact, " ", b.IP, ":", b.Port, " ",
                   b.Expires, " ", b.Updated);
    }
    std::vector<Binding> kept;
    Lines told;
};

TEST_F(RegistrarTest, TheStoreHearsOfEveryRegistrationAndGivesThemBack)
{
    MemoryStore store;
    const std::int64_t now = clock.Seconds();
    store.kept = {
        {"old", "carol", "sip:carol@127.0.0.3:5063", "127.0.0.3", 5063, now - 1, now - 99},
        {"kept", "dave", "sip:dave@127.0.0.4:5064", "127.0.0.4", 5064, now + 30, now - 9}};
    proxy.AttachStore(&store);
    EXPECT_EQ(store.told, (Lines{"remove old carol sip:carol@127.0.0.3:5063 127.0.0.3:5063 " +
                                 std::to_string(now - 1) + " " + std::to_string(now - 99)}));
    EXPECT_EQ(TakeLog().back(), "LOG_INFO User 'dave' restored at '127.0.0.4:5064' with ID: 1, 30 "
                                "seconds left");
    EXPECT_EQ(proxy.Routes().Listing(), "dave linked to sip:dave@127.0.0.4:5064\r\n");

    store.told.clear();
    FromAlice(Register(kAlice, "reg-a"));
    clock.Set(now + 5);
    FromAlice(Register(kAlice, "reg-a", "Expires: 0\n"));
    Ticks(1);
    const std::string alice = " alice sip:alice@127.0.0.1:5061 127.0.0.1:5061 ";
    EXPECT_EQ(
        store.told,
        (Lines{"save reg-a" + alice + std::to_string(now + 60) + " " + std::to_string(now),
               "save reg-a" + alice + std::to_string(now + 5) + " " + std::to_string(now + 5),
               "remove reg-a" + alice + std::to_string(now + 5) + " " + std::to_string(now + 5)}));

    // From another instance: a later registration wins, an ending ends it here too.
    proxy.Restore(
        {"kept", "dave", "sip:dave@127.0.0.4:5064", "127.0.0.9", 5069, now + 90, now - 20});
    EXPECT_EQ(Slot(1).Source.IP, "127.0.0.4") << "older than the one here";
    proxy.Restore({"kept", "dave", "sip:dave@127.0.0.4:5064", "127.0.0.9", 5069, now + 90, now});
    EXPECT_EQ(Slot(1).Source, (PeerAddress{"", "127.0.0.9", 5069})) << "where it is heard";
    EXPECT_EQ(Slot(1).Caller, (PeerAddress{"", "127.0.0.4", 5064})) << "what its Contact says";
    proxy.Forget({"kept", "dave", "", "", 0, 0, now - 1});
    EXPECT_EQ(Slot(1).Source.IP, "127.0.0.9") << "an older ending leaves the later registration";
    proxy.Forget({"kept", "dave", "", "", 0, 0, now});
    EXPECT_EQ(Slot(1), CallRecord{});
    proxy.Restore({"late", "erin", "sip:erin@127.0.0.5:5065", "127.0.0.5", 5065, now + 5, now});
    EXPECT_EQ(proxy.Routes().Listing(), "") << "one that runs out now is not taken in";
    EXPECT_EQ(store.told.size(), 3u) << "what came from the store is not told back";
    EXPECT_EQ(display.fields["Registrations"], "0");

    // What is written again after the store was away keeps each registration's own time; a
    // call's slot is no registration to overwrite.
    FromAlice(Register(kAlice, "reg-a2"));
    FromAlice(Invite("alice", "call-1"));
    clock.Set(now + 8);
    ASSERT_EQ(proxy.Bindings().size(), 1u);
    EXPECT_EQ(proxy.Bindings()[0].Updated, now + 5);
    proxy.Restore({"call-1", "erin", "sip:erin@127.0.0.5:5065", "127.0.0.5", 5065, now + 90, now});
    EXPECT_EQ(Slot(proxy.Calls().Find("call-1")).Caller, (PeerAddress{"", "127.0.0.1", 5061}));
}

} // namespace
} // namespace tavrix
