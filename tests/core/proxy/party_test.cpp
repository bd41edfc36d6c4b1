#include "core/proxy/proxy_fixture.h"
#include "core/text/text.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

using namespace test;

// Who may speak within a call or a registration, and where the proxy's own refusals may go.
class PartyTest : public RegisteredTest
{
protected:
    const Party kStranger{"mallory", "127.0.0.66", 5066};

    // The request with its From and To tags swapped, as the callee writes them.
    static std::string Swapped(const std::string& text)
    {
        return With(With(With(text, "tag=a1", "tag=T"), "tag=b1", "tag=a1"), "tag=T", "tag=b1");
    }
    std::uint64_t Strangers() { return proxy.Log().Events(Flood::Stranger); }
};

TEST_F(PartyTest, OnlyTheCallsPartiesEndItChangeItOrAnswerIt)
{
    const std::string invite = Invite("bob");
    FromAlice(invite);
    FromBob(Answer("180 Ringing", "1 INVITE", invite));
    TakeSent();
    TakeLog();
    const std::string cancel =
        With(With(invite, "INVITE sip", "CANCEL sip"), "1 INVITE", "1 CANCEL");
    const std::string answer = Answer("200 OK", "1 INVITE", invite, "v=0\r\n");
    const struct
    {
        const Party& from;
        std::string text;
        const char* what;
    } ringing[] = {
        {kStranger, answer, "200 OK"}, // the audio would go to him
        {kBob, With(answer, ProxyBranch(invite), "z9hG4bKx"), "200 OK"},        // not our branch
        {kAlice, Answer("486 Busy Here", "1 INVITE", invite), "486 Busy Here"}, // wrong side
        {kStranger, cancel, "CANCEL"},
        {kBob, cancel, "CANCEL"},                                     // only the caller cancels
        {kAlice, With(cancel, "z9hG4bKinv", "z9hG4bKnew"), "CANCEL"}, // another branch
        {kStranger, InDialog("BYE", "2 BYE", kStranger, "z9hG4bKb"), "BYE"},
    };
    for (const auto& row : ringing) {
        From(row.from, row.text);
        EXPECT_TRUE(TakeSent().empty()) << row.what << " from " << row.from.Host();
        EXPECT_EQ(TakeLog(), (Lines{std::string("LOG_ERR Not a party to the call: '") + row.what +
                                    "' from " + row.from.Host() + " dropped"}));
    }
    EXPECT_EQ(Strangers(), std::size(ringing));

    // Once answered, the dialog's tags too: the caller's From and the callee's To, or the two
    // swapped from the callee's side (RFC 3261 12.2.2).
    FromBob(answer);
    const std::string bye = InDialog("BYE", "2 BYE", kAlice, "z9hG4bKbye");
    const std::string reinvite = Swapped(InDialog("INVITE", "3 INVITE", kBob, "z9hG4bKre"));
    FromAlice(With(bye, "tag=b1", "tag=zz"));
    From(kStranger, bye);
    FromBob(With(reinvite, "tag=a1", "tag=zz"));
    EXPECT_EQ(Sent(), (Lines{"127.0.0.1:5061 SIP/2.0 200 OK"}));
    EXPECT_EQ(Strangers(), std::size(ringing) + 3);
    FromBob(reinvite);
    FromAlice(bye);
    FromBob(Answer("200 OK", "2 BYE", bye));
    EXPECT_EQ(Sent(), (Lines{"127.0.0.2:5062 SIP/2.0 100 Trying",
                             "127.0.0.1:5061 INVITE sip:alice@127.0.0.1:5061 SIP/2.0",
                             "127.0.0.1:5061 SIP/2.0 100 Trying",
                             "127.0.0.2:5062 BYE sip:bob@127.0.0.2:5062 SIP/2.0",
                             "127.0.0.1:5061 SIP/2.0 200 OK"}));
    EXPECT_EQ(proxy.Stats().CompletedCalls(), 1);
}

TEST_F(PartyTest, RefusalsGoOnlyToTheSenderAndAtMostTwentyASecond)
{
    FromAlice(Crlf("OPTIONS sip:x SIP/2.0\nCall-ID: nv\n\n")); // nowhere to answer
    // Under a registration's Call-ID only its own phone is answered.
    const std::string options =
        Crlf("OPTIONS sip:x SIP/2.0\nVia: SIP/2.0/UDP 127.0.0.1:5061\nCall-ID: reg-a\n\n");
    From(kStranger, options);
    FromAlice(options);
    EXPECT_EQ(Sent(), Lines{"127.0.0.1:5061 SIP/2.0 200 OK"});
    EXPECT_EQ(Strangers(), 1u);

    // Twenty refusals a second for the requests of one address; another address still gets
    // its own, and the rest are summed up at the tick.
    const std::string junk =
        Crlf("JUNK sip:x SIP/2.0\nVia: SIP/2.0/UDP 127.0.0.66:5066;branch=z9hG4bKj\n"
             "From: <sip:m@h>;tag=1\nTo: <sip:x@h>\nCall-ID: j\nCSeq: 1 JUNK\n"
             "Max-Forwards: 70\nContact: <sip:m@127.0.0.66:5066>\nAccept: text/plain\n"
             "User-Agent: Junk/1.0 (a phone of requests nobody knows)\n\n");
    for (int i = 0; i < 25; ++i) {
        From(kStranger, With(junk, "Call-ID: j", Cat("Call-ID: j", i)));
    }
    Receive(junk, "127.0.0.67", 5067);
    const Lines sent = Sent();
    ASSERT_EQ(sent.size(), 21u);
    EXPECT_EQ(sent.front(), "127.0.0.66:5066 SIP/2.0 405 Method not allowed");
    EXPECT_EQ(sent.back(), "127.0.0.67:5066 SIP/2.0 405 Method not allowed") << "the Via's port";
    TakeLog();
    Ticks(1);
    EXPECT_EQ(TakeLog().at(1), "LOG_ERR 5 answers not sent: more than 20 a second for one "
                               "address, or larger than 1.5 times their request");
    EXPECT_EQ(proxy.Log().Events(Flood::AnswerLimit), 5u);
    From(kStranger, junk);
    EXPECT_EQ(Sent().size(), 1u) << "a new second";
}

TEST_F(PartyTest, ARegistrationHoldsOneSlotWhateverItsCallIds)
{
    // RFC 3261 10.3 step 7: the binding of alice's Contact is updated in its own slot, and the
    // REGISTERs under new Call-IDs hold none.
    for (int i = 0; i < 3; ++i) {
        FromAlice(Register(kAlice, Cat("again-", i), "Expires: 32767\n"));
    }
    EXPECT_EQ(Sent(), Lines(3, "127.0.0.1:5061 SIP/2.0 200 OK"));
    EXPECT_EQ(proxy.Calls().Taken(), 2u);
    EXPECT_EQ(Slot(1).TimeLeft, 32767);
    EXPECT_EQ(display.fields["Registrations"], "2");
}

} // namespace
} // namespace tavrix
