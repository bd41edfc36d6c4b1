#include "core/proxy/proxy_fixture.h"
#include "core/text/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <set>

namespace tavrix {
namespace {

using namespace test;

const Party kDesk = kBob;
const Party kSoft{"bob", "127.0.0.1", 5064}; // beside alice's phone
const Party kMobile{"bob", "127.0.0.5", 5065};

// bob has three devices (desk, soft phone, mobile, registered in that order); alice calls him.
class ForkTest : public ProxyTest
{
protected:
    explicit ForkTest(SlotNumber slots = 100)
        : ProxyTest({"127.0.0.1", 5070, "127.0.0.9:5080", 3, slots, 20})
    {
        FromAlice(Register(kAlice, "reg-a", "Expires: 3600\n"));
        for (const Party* device : {&kDesk, &kSoft, &kMobile}) {
            From(*device, Register(*device, "reg-" + device->ip, "Expires: 3600\n"));
        }
        TakeSent();
        TakeLog();
    }

    // alice's INVITE forked: the INVITE each device got, by device address (left in net.sent).
    void Call(std::string_view invite = Invite("bob"))
    {
        FromAlice(invite);
        for (const Datagram& d : net.sent) {
            if (d.text.starts_with("INVITE ")) {
                forwarded[d.address] = d.text;
            }
        }
    }
    // A device's answer to the request it got, with its own tag.
    static std::string Reply(const Party& device, std::string_view status,
                             const std::string& request, std::string_view extra = "")
    {
        return test::Reply(status, request, device.ip,
                           Cat("Contact: <sip:bob@", device.Host(), ">\n", extra));
    }
    void Answers(const Party& device, std::string_view status, std::string_view extra = "")
    {
        From(device, Reply(device, status, forwarded.at(device.ip), extra));
    }
    // Each device rings; what reaches alice is dropped.
    void Ring(std::initializer_list<const Party*> devices = {&kDesk, &kSoft, &kMobile})
    {
        for (const Party* device : devices) {
            Answers(*device, "180 Ringing");
        }
        TakeSent();
    }
    // alice's request within the dialog with that device.
    static std::string ToDevice(std::string_view method, std::string_view cseq, const Party& device)
    {
        return With(InDialog(method, cseq, kAlice, Cat("z9hG4bK", method, device.port)), "tag=b1",
                    "tag=" + device.ip);
    }
    // A request of the proxy's to a device, as Sent() shows it.
    static std::string To(std::string_view method, const Party& device)
    {
        return Cat(device.Host(), " ", method, " sip:bob@", device.Host(), " SIP/2.0");
    }

    std::map<std::string, std::string> forwarded;
};

TEST_F(ForkTest, EveryBindingRingsOnItsOwnBranchAndTheFirstToAnswerTakesTheCall)
{
    // Whichever device answers, the others are cancelled and acknowledged by the proxy; the
    // caller sees every early dialog and the one answer.
    const std::pair<const Party*, std::vector<const Party*>> rows[] = {
        {&kDesk, {&kSoft, &kMobile}}, {&kSoft, {&kDesk, &kMobile}}, {&kMobile, {&kDesk, &kSoft}}};
    for (const auto& [answers, others] : rows) {
        SCOPED_TRACE(answers->ip);
        forwarded.clear();
        const std::string callId = "call-" + answers->ip;
        Call(Invite("bob", callId));
        EXPECT_EQ(Sent(), (Lines{"127.0.0.1:5061 SIP/2.0 100 Trying", To("INVITE", kDesk),
                                 To("INVITE", kSoft), To("INVITE", kMobile)}));
        std::set<std::string> branches;
        for (const auto& [ip, text] : forwarded) {
            const std::size_t via =
                text.find("\r\nVia: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKinv");
            EXPECT_NE(via, std::string::npos);
            branches.insert(text.substr(0, via));
        }
        EXPECT_EQ(branches.size(), 3u) << "one branch each";
        EXPECT_TRUE(Logged("LOG_INFO Forking 'INVITE' to 3 bindings of 'bob'"));
        for (const Party* device : {&kDesk, &kSoft, &kMobile}) {
            Answers(*device, "180 Ringing");
            EXPECT_NE(net.sent.at(0).text.find(";tag=" + device->ip), std::string::npos);
            EXPECT_EQ(Sent(), Lines{"127.0.0.1:5061 SIP/2.0 180 Ringing"});
        }
        Answers(*answers, "200 OK");
        EXPECT_EQ(Sent(), (Lines{"127.0.0.1:5061 SIP/2.0 200 OK", To("CANCEL", *others[0]),
                                 To("CANCEL", *others[1])}));
        // The cancelled ones end with 487, which the proxy acknowledges itself.
        for (const Party* device : others) {
            Answers(*device, "487 Request Terminated");
        }
        EXPECT_EQ(Sent(), (Lines{To("ACK", *others[0]), To("ACK", *others[1])}));
        // alice's ACK and BYE reach the device that answered.
        FromAlice(With(ToDevice("ACK", "1 ACK", *answers), "call-1", callId));
        FromAlice(With(ToDevice("BYE", "2 BYE", *answers), "call-1", callId));
        EXPECT_EQ(Sent(), (Lines{To("ACK", *answers), "127.0.0.1:5061 SIP/2.0 100 Trying",
                                 To("BYE", *answers)}));
    }
    EXPECT_NE(Summary().find("CallAttempts=3 FailedCalls=0"), std::string::npos) << Summary();
}

TEST_F(ForkTest, TheCallerGetsTheBestFinalAnswerOnceEveryBranchHasEnded)
{
    // RFC 3261 16.7 step 6. Each row: what the devices answer, in order, and what alice gets.
    struct Row
    {
        std::string name;
        std::vector<std::pair<const Party*, std::string>> answers;
        std::string toAlice; // what alice gets, after her 100 Trying
        std::size_t cancels; // CANCELs the proxy sends
    };
    const std::string busy = "486 Busy Here", ended = "487 Request Terminated";
    const std::vector<Row> rows{
        {"all busy", {{&kDesk, busy}, {&kSoft, busy}, {&kMobile, busy}}, busy, 0},
        {"busy, then answered",
         {{&kDesk, busy}, {&kSoft, "200 OK"}, {&kMobile, ended}},
         "200 OK",
         1},
        {"a 6xx ends the others",
         {{&kSoft, "603 Decline"}, {&kDesk, ended}, {&kMobile, ended}},
         "603 Decline",
         2},
        {"the lowest class",
         {{&kDesk, "503 Service Unavailable"},
          {&kSoft, "404 Not Found"},
          {&kMobile, "302 Moved Temporarily"}},
         "302 Moved Temporarily",
         0},
        {"a challenge before another 4xx",
         {{&kDesk, busy},
          {&kSoft, "480 Temporarily Unavailable"},
          {&kMobile, "407 Proxy Authentication Required"}},
         "407 Proxy Authentication Required",
         0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        forwarded.clear();
        const std::string callId = "c-" + row.name;
        Call(Invite("bob", callId));
        Ring();
        Lines toAlice;
        std::size_t acks = 0;
        std::size_t cancels = 0;
        for (const auto& [device, status] : row.answers) {
            Answers(*device, status);
            for (const std::string& line : Sent()) {
                if (line.starts_with("127.0.0.1:5061 ")) {
                    toAlice.push_back(line.substr(15));
                }
                acks += line.find(" ACK ") != std::string::npos ? 1 : 0;
                cancels += line.find(" CANCEL ") != std::string::npos ? 1 : 0;
            }
        }
        EXPECT_EQ(toAlice, Lines{"SIP/2.0 " + row.toAlice});
        EXPECT_EQ(cancels, row.cancels);
        EXPECT_EQ(acks, row.answers.size() - (row.toAlice == "200 OK" ? 1 : 0));
        if (row.toAlice != "200 OK") {
            // The proxy acknowledged every branch itself: alice's ACK goes no further.
            TakeLog();
            FromAlice(InDialog("ACK", "1 ACK", kAlice, "z9hG4bKinv", callId));
            EXPECT_EQ(Sent(), Lines{});
            EXPECT_TRUE(Logged("LOG_DEBUG ACK of a failed forked call taken"));
        }
    }
}

TEST_F(ForkTest, ChallengesOfEveryBranchReachTheCallerInOneAnswer)
{
    Call();
    Answers(kDesk, "401 Unauthorized", "WWW-Authenticate: Digest realm=\"desk\", nonce=\"1\"\n");
    Answers(kSoft, "407 Proxy Authentication Required",
            "Proxy-Authenticate: Digest realm=\"soft\", nonce=\"2\"\n");
    Answers(kMobile, "486 Busy Here");
    const std::string& last = net.sent.back().text;
    EXPECT_TRUE(last.starts_with("SIP/2.0 401 Unauthorized\r\n")) << last;
    EXPECT_NE(last.find("WWW-Authenticate: Digest realm=\"desk\", nonce=\"1\"\r\n"
                        "Proxy-Authenticate: Digest realm=\"soft\", nonce=\"2\"\r\n"),
              std::string::npos)
        << last;
    TakeSent();
    // The caller's ACK of it goes nowhere: the proxy acknowledged each branch itself.
    FromAlice(ToDevice("ACK", "1 ACK", kDesk));
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(proxy.Calls().Find("call-1"), 0);
}

TEST_F(ForkTest, TheCallersCancelReachesEveryPendingBranch)
{
    Call();
    Answers(kDesk, "180 Ringing");
    Answers(kSoft, "100 Trying");
    TakeSent();
    // The mobile has not answered at all yet: its CANCEL waits for its first answer (RFC 3261
    // 9.1).
    const std::string cancel = Crlf(
        "CANCEL sip:bob@127.0.0.1:5070 SIP/2.0\nVia: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKinv\n"
        "Max-Forwards: 70\nFrom: \"Alice\" <sip:alice@127.0.0.1>;tag=a1\nTo: <sip:bob@127.0.0.1>\n"
        "Call-ID: call-1\nCSeq: 1 CANCEL\nContent-Length: 0\n\n");
    FromAlice(cancel);
    EXPECT_EQ(Sent(),
              (Lines{"127.0.0.1:5061 SIP/2.0 200 OK", To("CANCEL", kDesk), To("CANCEL", kSoft)}));
    EXPECT_TRUE(Logged("LOG_DEBUG Sending 'CANCEL' request to: 127.0.0.2:5062"));
    FromAlice(cancel);
    EXPECT_EQ(Sent(), Lines{"127.0.0.1:5061 SIP/2.0 200 OK"}) << "no branch cancelled twice";
    Answers(kMobile, "180 Ringing");
    // The proxy's CANCEL: the INVITE's target, From, To (no tag), Call-ID and CSeq number, and
    // the branch that INVITE went on.
    const std::string& invite = forwarded.at(kMobile.ip);
    const std::string branch = invite.substr(invite.find("branch=") + 7, 23);
    EXPECT_EQ(TakeSent(),
              (std::vector<Datagram>{
                  {"CANCEL sip:bob@127.0.0.5:5065 SIP/2.0\r\n"
                   "Via: SIP/2.0/UDP 127.0.0.1:5070;branch=" +
                       branch +
                       "\r\nMax-Forwards: 70\r\n"
                       "From: \"Alice\" <sip:alice@127.0.0.1>;tag=a1\r\n"
                       "To: <sip:bob@127.0.0.1>\r\nCall-ID: call-1\r\nCSeq: 1 CANCEL\r\n"
                       "Content-Length: 0\r\n\r\n",
                   "127.0.0.5", 5065}}));
    for (const Party* device : {&kDesk, &kSoft, &kMobile}) {
        From(*device,
             With(Reply(*device, "200 OK", forwarded.at(device->ip)), "1 INVITE", "1 CANCEL"));
        Answers(*device, "487 Request Terminated");
    }
    EXPECT_EQ(Sent(), (Lines{To("ACK", kDesk), To("ACK", kSoft), To("ACK", kMobile),
                             "127.0.0.1:5061 SIP/2.0 487 Request Terminated"}));
    FromAlice(InDialog("ACK", "1 ACK", kAlice, "z9hG4bKinv"));
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(proxy.Calls().Find("call-1"), 0);
    EXPECT_NE(Summary().find("CallAttempts=1 FailedCalls=0 CompletedCalls=1"), std::string::npos)
        << Summary();
}

TEST_F(ForkTest, ACancelCompletesTheCallWhileAnyBranchIsPending)
{
    // What the desk, the soft phone and the mobile answered before alice's CANCEL ("": none).
    const std::vector<Lines> rows{{"486 Busy Here", "486 Busy Here", "180 Ringing"},
                                  {"486 Busy Here", "180 Ringing", ""}};
    for (const Lines& answered : rows) {
        const std::string id = Cat("call-", answered[2]);
        forwarded.clear();
        Call(Invite("bob", id));
        for (std::size_t i = 0; i < 3; ++i) {
            if (!answered[i].empty()) {
                Answers(*std::array{&kDesk, &kSoft, &kMobile}[i], answered[i]);
            }
        }
        const Counter completed = proxy.Stats().CompletedCalls();
        FromAlice(
            With(With(Invite("bob", id), "INVITE sip", "CANCEL sip"), "1 INVITE", "1 CANCEL"));
        EXPECT_EQ(proxy.Stats().CompletedCalls(), completed + 1) << answered[2];
    }
}

TEST_F(ForkTest, ASecondAnswerIsRelayedAndItsDialogEndsOnItsOwn)
{
    Call();
    Ring();
    // An answer on the desk's branch from elsewhere is nobody's.
    From(Party{"bob", "127.0.0.9", 5069}, Reply(kDesk, "200 OK", forwarded.at(kDesk.ip)));
    EXPECT_EQ(Sent(), Lines{});
    TakeLog();
    Answers(kDesk, "200 OK");
    Answers(kSoft, "200 OK");
    EXPECT_EQ(Sent(), (Lines{"127.0.0.1:5061 SIP/2.0 200 OK", To("CANCEL", kSoft),
                             To("CANCEL", kMobile), "127.0.0.1:5061 SIP/2.0 200 OK"}));
    EXPECT_TRUE(Logged("LOG_INFO Another branch answered the call too: '200 OK' from "
                       "127.0.0.1:5064 relayed"));
    // A late ringing sets no answer timer (the call outlives it, below); an answer to another
    // request on a branch goes on as any answer within the call.
    Answers(kMobile, "180 Ringing");
    From(kMobile,
         With(Reply(kMobile, "200 OK", forwarded.at(kMobile.ip)), "1 INVITE", "1 OPTIONS"));
    EXPECT_EQ(Sent(), Lines{"127.0.0.1:5061 SIP/2.0 200 OK"});
    // alice acknowledges both and ends the soft phone's dialog; the desk's call goes on.
    FromAlice(ToDevice("ACK", "1 ACK", kDesk));
    FromAlice(ToDevice("ACK", "1 ACK", kSoft));
    FromAlice(ToDevice("BYE", "2 BYE", kSoft));
    const std::string bye = net.sent.back().text;
    EXPECT_EQ(Sent(), (Lines{To("ACK", kDesk), To("ACK", kSoft),
                             "127.0.0.1:5061 SIP/2.0 100 Trying", To("BYE", kSoft)}));
    From(kSoft, Reply(kSoft, "200 OK", bye));
    EXPECT_EQ(Sent(), Lines{"127.0.0.1:5061 SIP/2.0 200 OK"});
    const SlotNumber slot = proxy.Calls().Find("call-1");
    ASSERT_NE(slot, 0);
    EXPECT_EQ(Slot(slot).stage, CallStage::Answered);
    EXPECT_NE(Summary().find("CompletedCalls=0"), std::string::npos);
    Answers(kMobile, "487 Request Terminated");
    EXPECT_EQ(Sent(), Lines{To("ACK", kMobile)}) << "no answer after the 2xx reaches alice";
    // A BYE of a dialog no branch has is nobody's.
    FromAlice(With(InDialog("BYE", "3 BYE", kAlice, "z9hG4bKodd"), "tag=b1", "tag=odd"));
    EXPECT_EQ(Sent(), Lines{});
    Ticks(kAnswerTime);
    EXPECT_EQ(proxy.Calls().Find("call-1"), slot);
}

// Room for the four registrations and one call.
class FullForkTest : public ForkTest
{
protected:
    FullForkTest() : ForkTest(5) {}
};

TEST_F(FullForkTest, ACallWaitsForItsLastBranchAndTakesRepeatsItself)
{
    Call();
    Ring({&kDesk, &kSoft});
    // The caller's INVITE again: the proxy has it on every branch already.
    FromAlice(Invite("bob"));
    EXPECT_EQ(Sent(), Lines{"127.0.0.1:5061 SIP/2.0 100 Trying"});
    // Answered and ended while the soft phone's and the mobile's cancels are pending: the
    // slot is not given to the next call, so their answers still find it.
    Answers(kDesk, "200 OK");
    FromAlice(ToDevice("ACK", "1 ACK", kDesk));
    FromAlice(ToDevice("BYE", "2 BYE", kDesk));
    From(kDesk, Reply(kDesk, "200 OK", TakeSent().back().text));
    TakeSent();
    FromAlice(Invite("bob", "call-2"));
    EXPECT_EQ(Sent(), Lines{"127.0.0.1:5061 SIP/2.0 503 Service Unavailable"});
    Answers(kSoft, "487 Request Terminated");
    EXPECT_EQ(Sent(), Lines{To("ACK", kSoft)});
    // The mobile never answered: 32 s later its branch is given up, and the slot with it.
    Ticks(kForkSilence);
    FromAlice(Invite("bob", "call-3"));
    EXPECT_EQ(Sent().size(), 4u) << "100 Trying and the three branches";
}

TEST_F(ForkTest, SilentBranchesCountAsTimedOut)
{
    Call();
    Answers(kDesk, "486 Busy Here");
    TakeSent();
    Ticks(31);
    EXPECT_TRUE(Sent().empty());
    TakeLog();
    Ticks(1);
    EXPECT_EQ(Sent(), Lines{"127.0.0.1:5061 SIP/2.0 486 Busy Here"});
    EXPECT_TRUE(Logged("LOG_INFO No answer from 127.0.0.1:5064 to a forked 'INVITE'"));
    // Nobody answers at all: the proxy's own 408.
    FromAlice(Invite("bob", "call-2"));
    TakeSent();
    Ticks(32);
    EXPECT_EQ(Sent(), Lines{"127.0.0.1:5061 SIP/2.0 408 Request Timeout"});
}

TEST_F(ForkTest, AMessageReachesEveryDeviceAndIsAnsweredOnce)
{
    FromAlice(Crlf(
        "MESSAGE sip:bob@127.0.0.1:5070 SIP/2.0\nVia: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKm\n"
        "Max-Forwards: 70\nFrom: <sip:alice@127.0.0.1>;tag=a1\nTo: <sip:bob@127.0.0.1>\n"
        "Call-ID: m1\nCSeq: 1 MESSAGE\nContent-Type: text/plain\nContent-Length: 2\n\nhi"));
    for (const Datagram& d : net.sent) {
        EXPECT_TRUE(d.text.ends_with("\r\n\r\nhi"));
        forwarded[d.address] = d.text;
    }
    EXPECT_EQ(Sent(), (Lines{To("MESSAGE", kDesk), To("MESSAGE", kSoft), To("MESSAGE", kMobile)}));
    Answers(kSoft, "200 OK");
    Answers(kDesk, "202 Accepted");
    EXPECT_EQ(Sent(), Lines{"127.0.0.1:5061 SIP/2.0 200 OK"});
    EXPECT_NE(proxy.Calls().Find("m1"), 0) << "the mobile has not answered";
    Answers(kMobile, "480 Temporarily Unavailable");
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(proxy.Calls().Find("m1"), 0);
}

TEST_F(ForkTest, AtMostTenBranchesOneSlotForTheCall)
{
    for (int i = 0; i < 9; ++i) {
        const Party device{"bob", "127.0.1." + std::to_string(i + 1), 5060};
        From(device, Register(device, "more-" + std::to_string(i), "Expires: 3600\n"));
    }
    TakeSent();
    TakeLog();
    const std::size_t taken = proxy.Calls().Taken();
    Call();
    EXPECT_EQ(forwarded.size(), 10u);
    EXPECT_EQ(proxy.Calls().Taken(), taken + 1);
    EXPECT_TRUE(Logged("LOG_INFO 2 more bindings of 'bob' not tried: at most 10 branches a call"));
}

} // namespace
} // namespace tavrix
