#include "core/proxy/proxy_fixture.h"
#include "core/text/text.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

using namespace test;

// Requests of every method, the headers they carry on, and the registrar's bindings.
class MethodsTest : public RegisteredTest
{
protected:
    // A request of alice's for user outside any call, with lines of her own after the usual.
    static std::string Request(std::string_view method, std::string_view user,
                               std::string_view callId, std::string_view extra = "")
    {
        return Crlf(Cat(method, " sip:", user,
                        "@127.0.0.1:5070 SIP/2.0\nVia: SIP/2.0/UDP "
                        "127.0.0.1:5061;branch=z9hG4bK",
                        callId, "\nMax-Forwards: 70\nFrom: <sip:alice@127.0.0.1>;tag=a1\nTo: <sip:",
                        user, "@127.0.0.1>\nCall-ID: ", callId, "\nCSeq: 1 ", method,
                        "\nContact: <sip:alice@127.0.0.1:5061>\n", extra, "Content-Length: 0\n\n"));
    }
    // The text of the last datagram sent.
    std::string Last() { return net.sent.empty() ? "" : net.sent.back().text; }
};

TEST_F(MethodsTest, EveryOtherLineAndTheBodyAreCarriedOn)
{
    // RFC 3261 16.6 step 1: the lines the proxy does not write itself follow its own, as they
    // came; a second line of a copied header too.
    const std::string extra = "P-Asserted-Identity: <sip:alice@office>\nMin-SE: 90\n"
                              "k: 100rel\nX-Custom:  kept as it came \n";
    std::string invite = Invite("bob", "c1", extra);
    FromAlice(invite);
    const std::string forwarded = Last();
    EXPECT_NE(forwarded.find("Content-Length: " + std::to_string(kSdp.size()) +
                             "\r\nP-Asserted-Identity: <sip:alice@office>\r\nMin-SE: 90\r\n"
                             "k: 100rel\r\nX-Custom:  kept as it came \r\n\r\nv=0"),
              std::string::npos)
        << forwarded;
    // A 183 with early media, and a 200 to an UPDATE, keep their bodies.
    const std::string sdp = "v=0\r\no=bob 2 2 IN IP4 127.0.0.2\r\n";
    std::string early = Answer("183 Session Progress", "1 INVITE", invite, sdp, "c1");
    early.insert(early.find("Content-Length"), "Content-Type: application/sdp\r\nRSeq: 1\r\n"
                                               "Require: 100rel\r\n");
    FromBob(early);
    EXPECT_TRUE(Last().ends_with("Content-Type: application/sdp\r\nRSeq: 1\r\nRequire: 100rel\r\n"
                                 "Content-Length: 33\r\n\r\n" +
                                 sdp))
        << Last();
    EXPECT_EQ(net.sent.back().address, kAlice.ip);
}

TEST_F(MethodsTest, OtherMethodsInACallAndOutsideOne)
{
    // Outside a call: routed as an INVITE is, without "100 Trying", as a transaction of its own
    // that ends with its final answer; no call is counted.
    const std::string message = Request("MESSAGE", "bob", "m1", "Content-Type: text/plain\n");
    FromAlice(message);
    FromBob(Answer("200 OK", "1 MESSAGE", message, "", "m1"));
    FromAlice(Request("MESSAGE", "nobody", "m2"));
    const std::string lost = Request("MESSAGE", "bob", "m3");
    FromAlice(lost);
    EXPECT_EQ(Sent(),
              (Lines{"127.0.0.2:5062 MESSAGE sip:bob@127.0.0.2:5062 SIP/2.0",
                     "127.0.0.1:5061 SIP/2.0 200 OK", "127.0.0.1:5061 SIP/2.0 404 Not Found",
                     "127.0.0.2:5062 MESSAGE sip:bob@127.0.0.2:5062 SIP/2.0"}));
    EXPECT_EQ(proxy.Calls().Find("m1"), 0) << "answered: over";
    EXPECT_EQ(proxy.Calls().Find("m2"), 0) << "refused: no slot";
    Ticks(32);
    EXPECT_NE(proxy.Calls().Find("m3"), 0);
    Ticks(1);
    EXPECT_EQ(proxy.Calls().Find("m3"), 0) << "unanswered for 32 s";

    // Under the Call-ID of alice's registration: refused, and her binding and route stay.
    TakeLog();
    FromAlice(Request("MESSAGE", "bob", "reg-a"));
    EXPECT_EQ(Sent(), Lines{"127.0.0.1:5061 SIP/2.0 400 Bad Request"});
    EXPECT_EQ(TakeLog()[1], "LOG_ERR 'MESSAGE' from 127.0.0.1:5061 under the Call-ID of a "
                            "registration refused");
    EXPECT_TRUE(Slot(proxy.Calls().Find("reg-a")).IsRegistration());

    // A subscription lives its 2xx's Expires; its NOTIFYs go back by Call-ID; a terminated one
    // ends it once answered.
    const std::string subscribe = Request("SUBSCRIBE", "bob", "s1", "Event: presence\n");
    FromAlice(subscribe);
    std::string accepted = Answer("202 Accepted", "1 SUBSCRIBE", subscribe, "", "s1");
    accepted.insert(accepted.find("Content-Length"), "Expires: 600\r\n");
    FromBob(accepted);
    EXPECT_EQ(Slot(proxy.Calls().Find("s1")).TimeLeft, 600);
    // An unsubscribe waits for its NOTIFY as long as a transaction would.
    FromAlice(With(Request("SUBSCRIBE", "bob", "s1", "Event: presence\nExpires: 0\n"),
                   "@127.0.0.1>\r\nCall", "@127.0.0.1>;tag=b1\r\nCall"));
    EXPECT_EQ(Slot(proxy.Calls().Find("s1")).TimeLeft, 32);
    const std::string notify = Crlf(
        "NOTIFY sip:alice@127.0.0.1:5061 SIP/2.0\nVia: SIP/2.0/UDP 127.0.0.2:5062;branch=z9hG4bKn\n"
        "From: <sip:bob@127.0.0.1>;tag=b1\nTo: <sip:alice@127.0.0.1>;tag=a1\nCall-ID: s1\n"
        "CSeq: 1 NOTIFY\nEvent: presence\nSubscription-State: terminated\n\n");
    FromBob(notify);
    FromAlice(Answer("200 OK", "1 NOTIFY", notify, "", "s1"));
    EXPECT_EQ(Sent(), (Lines{"127.0.0.2:5062 SUBSCRIBE sip:bob@127.0.0.2:5062 SIP/2.0",
                             "127.0.0.1:5061 SIP/2.0 202 Accepted",
                             "127.0.0.2:5062 SUBSCRIBE sip:bob@127.0.0.2:5062 SIP/2.0",
                             "127.0.0.1:5061 NOTIFY sip:alice@127.0.0.1:5061 SIP/2.0",
                             "127.0.0.2:5062 SIP/2.0 200 OK"}));
    EXPECT_EQ(proxy.Calls().Find("s1"), 0);

    // Anything else: 405 to its sender, saying what is handled (RFC 3261 21.4.6).
    FromAlice(Request("FROBNICATE", "bob", "f1", "Accept: text/plain\nUser-Agent: Alice/1.0\n"));
    EXPECT_NE(Last().find("\r\nAllow: INVITE, ACK, CANCEL, BYE, OPTIONS, REGISTER, PRACK, "
                          "SUBSCRIBE, NOTIFY, UPDATE, MESSAGE, REFER, INFO, PUBLISH\r\n"),
              std::string::npos);
    EXPECT_EQ(Summary(), "Statistics: Registrations=2 CallAttempts=0 FailedCalls=0 "
                         "CompletedCalls=0 Errors=2 LastRoute=bob");
}

TEST_F(MethodsTest, TheRegistrarListsEveryBindingOfTheUser)
{
    // RFC 3261 10.3: two Contacts, two bindings, each with its own lifetime; the 200 lists them.
    std::string two = Register(kAlice, "reg-a", "");
    two.replace(two.find("Contact: <sip:alice@127.0.0.1:5061>"), 35,
                "Contact: <sip:alice@127.0.0.1:5061>;expires=60, <sip:alice@127.0.0.1:5071>");
    FromAlice(two);
    EXPECT_TRUE(Last().ends_with("Contact: <sip:alice@127.0.0.1:5061>;expires=60\r\n"
                                 "Contact: <sip:alice@127.0.0.1:5071>;expires=3600\r\n\r\n"))
        << Last();
    EXPECT_EQ(display.fields["Registrations"], "3");
    const struct
    {
        const char* contact;
        const char* expires;
        const char* answer;
    } rows[] = {
        {"*", "Expires: 60\n", "400 Bad Request"},
        {"*, <sip:alice@h>", "Expires: 0\n", "400 Bad Request"},
        {"*", "Expires: 0\n", "200 OK"},
    };
    for (const auto& row : rows) {
        std::string request = Register(kAlice, "reg-a", row.expires);
        request.replace(request.find("<sip:alice@127.0.0.1:5061>"), 26, row.contact);
        FromAlice(request);
        EXPECT_TRUE(Last().starts_with(Cat("SIP/2.0 ", row.answer, "\r\n"))) << row.contact;
    }
    EXPECT_EQ(Last().find("Contact:"), std::string::npos) << "none left to list";
    EXPECT_EQ(display.fields["Registrations"], "1");
    EXPECT_EQ(proxy.Routes().Listing(), "bob linked to sip:bob@127.0.0.2:5062\r\n");
}

} // namespace
} // namespace tavrix
