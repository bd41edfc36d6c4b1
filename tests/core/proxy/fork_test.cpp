#include "core/proxy/proxy_fixture.h"
#include "core/text/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

namespace tavrix {
namespace {

using namespace test;

const Party kDesk = kBob;
const Party kSoft{"bob", "127.0.0.4", 5064};
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

    // alice's INVITE forked: the INVITE each device got, by device address.
    void Call(std::string_view invite = Invite("bob"))
    {
        FromAlice(invite);
        for (const Datagram& d : TakeSent()) {
            if (d.text.starts_with("INVITE ")) {
                forwarded[d.address] = d.text;
            }
        }
    }
    // A device's answer to the request it got, with its own tag.
    static std::string Reply(const Party& device, std::string_view status,
                             const std::string& request, std::string_view extra = "")
    {
        std::string text = Cat("SIP/2.0 ", status, "\r\n");
        std::string_view rest = request;
        while (!rest.empty() && !rest.starts_with("\r\n")) {
            const std::string_view line = rest.substr(0, rest.find("\r\n"));
            if (line.starts_with("Via: ") || line.starts_with("From: ") ||
                line.starts_with("Call-ID: ") || line.starts_with("CSeq: ")) {
                AppendPieces(text, line, "\r\n");
            } else if (line.starts_with("To: ")) {
                AppendPieces(text, line,
                             line.find(";tag=") == std::string_view::npos ? ";tag=" : "",
                             line.find(";tag=") == std::string_view::npos ? device.ip : "", "\r\n");
            }
            rest.remove_prefix(line.size() + 2);
        }
        AppendPieces(text, "Contact: <sip:bob@", device.Host(), ">\r\n", Crlf(extra),
                     "Content-Length: 0\r\n\r\n");
        return text;
    }
    void Answers(const Party& device, std::string_view status, std::string_view extra = "")
    {
        From(device, Reply(device, status, forwarded.at(device.ip), extra));
    }
    // alice's request within the dialog with that device.
    static std::string ToDevice(std::string_view method, std::string_view cseq, const Party& device)
    {
        return With(InDialog(method, cseq, kAlice, Cat("z9hG4bK", method, device.port)), "tag=b1",
                    "tag=" + device.ip);
    }

    std::map<std::string, std::string> forwarded;
};

TEST_F(ForkTest, EveryBindingRingsOnItsOwnBranchAndTheFirstToAnswerTakesTheCall)
{
    // Whichever device answers, the others are cancelled and acknowledged by the proxy; the
    // caller sees every early dialog and the one answer.
    struct Row
    {
        const Party* answers;
        Lines cancelled;
    };
    const std::vector<Row> rows{
        {&kDesk, {"127.0.0.4:5064 CANCEL", "127.0.0.5:5065 CANCEL"}},
        {&kSoft, {"127.0.0.2:5062 CANCEL", "127.0.0.5:5065 CANCEL"}},
        {&kMobile, {"127.0.0.2:5062 CANCEL", "127.0.0.4:5064 CANCEL"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.answers->ip);
        forwarded.clear();
        const std::string callId = "call-" + row.answers->ip;
        FromAlice(Invite("bob", callId));
        const std::vector<Datagram> sent = TakeSent();
        ASSERT_EQ(sent.size(), 4u);
        EXPECT_TRUE(sent[0].text.starts_with("SIP/2.0 100 Trying"));
        std::set<std::string> branches;
        for (std::size_t i = 1; i < 4; ++i) {
            const Party& device = i == 1 ? kDesk : i == 2 ? kSoft : kMobile;
            EXPECT_EQ(sent[i].address + ":" + std::to_string(sent[i].port), device.Host());
            EXPECT_TRUE(sent[i].text.starts_with("INVITE sip:bob@" + device.Host() + " SIP/2.0"));
            EXPECT_NE(sent[i].text.find("\r\nVia: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKinv"),
                      std::string::npos);
            branches.insert(
                sent[i].text.substr(0, sent[i].text.find("\r\nVia: SIP/2.0/UDP 127.0.0.1:5061")));
            forwarded[device.ip] = sent[i].text;
        }
        EXPECT_EQ(branches.size(), 3u) << "one branch each";
        const Lines log = TakeLog();
        EXPECT_NE(std::ranges::find(log, "LOG_INFO Forking 'INVITE' to 3 bindings of 'bob'"),
                  log.end());

        for (const Party* device : {&kDesk, &kSoft, &kMobile}) {
            Answers(*device, "180 Ringing");
        }
        const std::vector<Datagram> ringing = TakeSent();
        ASSERT_EQ(ringing.size(), 3u);
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(ringing[i].address, kAlice.ip);
            EXPECT_NE(ringing[i].text.find(";tag=" + std::string(i == 0   ? kDesk.ip
                                                                 : i == 1 ? kSoft.ip
                                                                          : kMobile.ip)),
                      std::string::npos);
        }
        Answers(*row.answers, "200 OK");
        Lines expected{"127.0.0.1:5061 SIP/2.0 200 OK"};
        for (const std::string& cancel : row.cancelled) {
            expected.push_back(cancel + " sip:bob@" + cancel.substr(0, cancel.find(' ')) +
                               " SIP/2.0");
        }
        EXPECT_EQ(Sent(), expected);
        // The cancelled ones end with 487, which the proxy acknowledges itself.
        for (const Party* device : {&kDesk, &kSoft, &kMobile}) {
            if (device != row.answers) {
                Answers(*device, "487 Request Terminated");
            }
        }
        const Lines acks = Sent();
        ASSERT_EQ(acks.size(), 2u);
        EXPECT_EQ(acks[0], row.cancelled[0].substr(0, 15) + "ACK sip:bob@" +
                               row.cancelled[0].substr(0, 14) + " SIP/2.0");
        // alice's ACK and BYE reach the device that answered.
        FromAlice(With(ToDevice("ACK", "1 ACK", *row.answers), "call-1", callId));
        FromAlice(With(ToDevice("BYE", "2 BYE", *row.answers), "call-1", callId));
        const Lines dialog = Sent();
        ASSERT_EQ(dialog.size(), 3u);
        EXPECT_EQ(dialog[0].substr(0, dialog[0].find(' ')), row.answers->Host());
        EXPECT_EQ(dialog[2].substr(0, dialog[2].find(' ')), row.answers->Host());
    }
    EXPECT_NE(Summary().find("CallAttempts=3 FailedCalls=0"), std::string::npos) << Summary();
}

TEST_F(ForkTest, TheCallerGetsTheBestFinalAnswerOnceEveryBranchHasEnded)
{
    // RFC 3261 16.7 step 6. Each row: what the devices answer, in order, and what alice gets.
    struct Answer
    {
        const Party* device;
        std::string status;
    };
    struct Row
    {
        std::string name;
        std::vector<Answer> answers;
        Lines toAlice;       // first lines of what alice gets, after her 100 Trying
        std::size_t cancels; // CANCELs the proxy sends
    };
    const std::vector<Row> rows{
        {"all busy",
         {{&kDesk, "486 Busy Here"}, {&kSoft, "486 Busy Here"}, {&kMobile, "486 Busy Here"}},
         {"SIP/2.0 486 Busy Here"},
         0},
        {"busy, then answered",
         {{&kDesk, "486 Busy Here"}, {&kSoft, "200 OK"}, {&kMobile, "487 Request Terminated"}},
         {"SIP/2.0 200 OK"},
         1},
        {"a 6xx ends the others",
         {{&kSoft, "603 Decline"},
          {&kDesk, "487 Request Terminated"},
          {&kMobile, "487 Request Terminated"}},
         {"SIP/2.0 603 Decline"},
         2},
        {"the lowest class",
         {{&kDesk, "503 Service Unavailable"},
          {&kSoft, "404 Not Found"},
          {&kMobile, "302 Moved Temporarily"}},
         {"SIP/2.0 302 Moved Temporarily"},
         0},
        {"a challenge before another 4xx",
         {{&kDesk, "486 Busy Here"},
          {&kSoft, "480 Temporarily Unavailable"},
          {&kMobile, "407 Proxy Authentication Required"}},
         {"SIP/2.0 407 Proxy Authentication Required"},
         0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        forwarded.clear();
        const std::string callId = "c-" + row.name;
        Call(Invite("bob", callId));
        for (const Party* device : {&kDesk, &kSoft, &kMobile}) {
            Answers(*device, "180 Ringing");
        }
        TakeSent();
        Lines toAlice;
        std::size_t acks = 0;
        std::size_t cancels = 0;
        for (const Answer& answer : row.answers) {
            Answers(*answer.device, answer.status);
            for (const Datagram& d : TakeSent()) {
                const std::string first = d.text.substr(0, d.text.find("\r\n"));
                if (d.address == kAlice.ip) {
                    toAlice.push_back(first);
                }
                acks += first.starts_with("ACK ") ? 1 : 0;
                cancels += first.starts_with("CANCEL ") ? 1 : 0;
            }
        }
        EXPECT_EQ(toAlice, row.toAlice);
        EXPECT_EQ(cancels, row.cancels);
        EXPECT_EQ(acks, row.answers.size() - (row.toAlice[0] == "SIP/2.0 200 OK" ? 1 : 0));
        if (row.toAlice[0] != "SIP/2.0 200 OK") {
            // The proxy acknowledged every branch itself: alice's ACK goes no further.
            TakeLog();
            FromAlice(InDialog("ACK", "1 ACK", kAlice, "z9hG4bKinv", callId));
            EXPECT_EQ(Sent(), Lines{});
            const Lines log = TakeLog();
            EXPECT_NE(std::ranges::find(log, "LOG_DEBUG ACK of a failed forked call taken"),
                      log.end());
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
    const std::vector<Datagram> sent = TakeSent();
    ASSERT_FALSE(sent.empty());
    const std::string& last = sent.back().text;
    EXPECT_TRUE(last.starts_with("SIP/2.0 401 Unauthorized\r\n")) << last;
    EXPECT_NE(last.find("WWW-Authenticate: Digest realm=\"desk\", nonce=\"1\"\r\n"
                        "Proxy-Authenticate: Digest realm=\"soft\", nonce=\"2\"\r\n"),
              std::string::npos)
        << last;
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
    EXPECT_EQ(Sent(), (Lines{"127.0.0.1:5061 SIP/2.0 200 OK",
                             "127.0.0.2:5062 CANCEL sip:bob@127.0.0.2:5062 SIP/2.0",
                             "127.0.0.4:5064 CANCEL sip:bob@127.0.0.4:5064 SIP/2.0"}));
    FromAlice(cancel);
    EXPECT_EQ(Sent(), Lines{"127.0.0.1:5061 SIP/2.0 200 OK"}) << "no branch cancelled twice";
    Answers(kMobile, "180 Ringing");
    const std::vector<Datagram> late = TakeSent();
    ASSERT_EQ(late.size(), 1u);
    EXPECT_EQ(late[0].address, kMobile.ip);
    // The proxy's CANCEL: the INVITE's target, From, To (no tag), Call-ID and CSeq number, and
    // the branch that INVITE went on.
    const std::string& invite = forwarded.at(kMobile.ip);
    const std::string branch = invite.substr(invite.find("branch=") + 7, 23);
    EXPECT_EQ(late[0].text, "CANCEL sip:bob@127.0.0.5:5065 SIP/2.0\r\n"
                            "Via: SIP/2.0/UDP 127.0.0.1:5070;branch=" +
                                branch +
                                "\r\n"
                                "Max-Forwards: 70\r\n"
                                "From: \"Alice\" <sip:alice@127.0.0.1>;tag=a1\r\n"
                                "To: <sip:bob@127.0.0.1>\r\nCall-ID: call-1\r\nCSeq: 1 CANCEL\r\n"
                                "Content-Length: 0\r\n\r\n");
    for (const Party* device : {&kDesk, &kSoft, &kMobile}) {
        From(*device,
             With(Reply(*device, "200 OK", forwarded.at(device->ip)), "1 INVITE", "1 CANCEL"));
        Answers(*device, "487 Request Terminated");
    }
    const Lines ends = Sent();
    EXPECT_EQ(ends, (Lines{"127.0.0.2:5062 ACK sip:bob@127.0.0.2:5062 SIP/2.0",
                           "127.0.0.4:5064 ACK sip:bob@127.0.0.4:5064 SIP/2.0",
                           "127.0.0.5:5065 ACK sip:bob@127.0.0.5:5065 SIP/2.0",
                           "127.0.0.1:5061 SIP/2.0 487 Request Terminated"}));
    FromAlice(InDialog("ACK", "1 ACK", kAlice, "z9hG4bKinv"));
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(proxy.Calls().Find("call-1"), 0);
    EXPECT_NE(Summary().find("CallAttempts=1 FailedCalls=0 CompletedCalls=1"), std::string::npos)
        << Summary();
}

TEST_F(ForkTest, ASecondAnswerIsRelayedAndItsDialogEndsOnItsOwn)
{
    Call();
    for (const Party* device : {&kDesk, &kSoft, &kMobile}) {
        Answers(*device, "180 Ringing");
    }
    TakeSent();
    // An answer on the desk's branch from elsewhere is nobody's.
    From(Party{"bob", "127.0.0.9", 5069}, Reply(kDesk, "200 OK", forwarded.at(kDesk.ip)));
    EXPECT_EQ(Sent(), Lines{});
    TakeLog();
    Answers(kDesk, "200 OK");
    Answers(kSoft, "200 OK");
    EXPECT_EQ(Sent(), (Lines{"127.0.0.1:5061 SIP/2.0 200 OK",
                             "127.0.0.4:5064 CANCEL sip:bob@127.0.0.4:5064 SIP/2.0",
                             "127.0.0.5:5065 CANCEL sip:bob@127.0.0.5:5065 SIP/2.0",
                             "127.0.0.1:5061 SIP/2.0 200 OK"}));
    const Lines log = TakeLog();
    EXPECT_NE(std::ranges::find(log, "LOG_INFO Another branch answered the call too: '200 OK' from "
                                     "127.0.0.4:5064 relayed"),
              log.end());
    // alice acknowledges both and ends the soft phone's dialog; the desk's call goes on.
    FromAlice(ToDevice("ACK", "1 ACK", kDesk));
    FromAlice(ToDevice("ACK", "1 ACK", kSoft));
    const std::string bye = ToDevice("BYE", "2 BYE", kSoft);
    FromAlice(bye);
    const std::vector<Datagram> sent = TakeSent();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].address + " " + sent[0].text.substr(0, 34),
              "127.0.0.2 ACK sip:bob@127.0.0.2:5062 SIP/2.0");
    EXPECT_EQ(sent[1].address + " " + sent[1].text.substr(0, 34),
              "127.0.0.4 ACK sip:bob@127.0.0.4:5064 SIP/2.0");
    EXPECT_EQ(sent[3].address + " " + sent[3].text.substr(0, 34),
              "127.0.0.4 BYE sip:bob@127.0.0.4:5064 SIP/2.0");
    From(kSoft, Reply(kSoft, "200 OK", sent[3].text));
    EXPECT_EQ(Sent(), Lines{"127.0.0.1:5061 SIP/2.0 200 OK"});
    const SlotNumber slot = proxy.Calls().Find("call-1");
    ASSERT_NE(slot, 0);
    EXPECT_EQ(Slot(slot).stage, CallStage::Answered);
    EXPECT_NE(Summary().find("CompletedCalls=0"), std::string::npos);
    Answers(kMobile, "487 Request Terminated");
    EXPECT_EQ(Sent(), Lines{"127.0.0.5:5065 ACK sip:bob@127.0.0.5:5065 SIP/2.0"})
        << "no answer after the 2xx reaches alice";
    // A BYE of a dialog no branch has is nobody's.
    FromAlice(With(InDialog("BYE", "3 BYE", kAlice, "z9hG4bKodd"), "tag=b1", "tag=odd"));
    EXPECT_EQ(Sent(), Lines{});
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
    for (const Party* device : {&kDesk, &kSoft}) {
        Answers(*device, "180 Ringing");
    }
    TakeSent();
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
    EXPECT_EQ(Sent(), Lines{"127.0.0.4:5064 ACK sip:bob@127.0.0.4:5064 SIP/2.0"});
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
    const Lines log = TakeLog();
    EXPECT_NE(std::ranges::find(log, "LOG_INFO No answer from 127.0.0.4:5064 to a forked 'INVITE'"),
              log.end());
    // Nobody answers at all: the proxy's own 408.
    forwarded.clear();
    Call(Invite("bob", "call-2"));
    Ticks(32);
    EXPECT_EQ(Sent(), Lines{"127.0.0.1:5061 SIP/2.0 408 Request Timeout"});
}

TEST_F(ForkTest, AMessageReachesEveryDeviceAndIsAnsweredOnce)
{
    const std::string message = Crlf(
        "MESSAGE sip:bob@127.0.0.1:5070 SIP/2.0\nVia: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKm\n"
        "Max-Forwards: 70\nFrom: <sip:alice@127.0.0.1>;tag=a1\nTo: <sip:bob@127.0.0.1>\n"
        "Call-ID: m1\nCSeq: 1 MESSAGE\nContent-Type: text/plain\nContent-Length: 2\n\nhi");
    FromAlice(message);
    const std::vector<Datagram> sent = TakeSent();
    ASSERT_EQ(sent.size(), 3u);
    for (const Datagram& d : sent) {
        EXPECT_TRUE(d.text.starts_with("MESSAGE sip:bob@" + d.address)) << d.text;
        EXPECT_TRUE(d.text.ends_with("\r\n\r\nhi"));
        forwarded[d.address] = d.text;
    }
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
    const Lines log = TakeLog();
    EXPECT_NE(std::ranges::find(log, "LOG_INFO 2 more bindings of 'bob' not tried: at most 10 "
                                     "branches a call"),
              log.end());
}

} // namespace
} // namespace tavrix
