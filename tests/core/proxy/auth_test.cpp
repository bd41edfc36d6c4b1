#include "core/proxy/proxy_fixture.h"
#include "core/text/message.h"

#include <gtest/gtest.h>

namespace tavrix {
namespace {

using namespace test;

TEST(Digest, ResponsesUsersFilesAndHeaders)
{
    // RFC 2617 3.5.
    Credentials c{"Mufasa",
                  "testrealm@host.com",
                  "dcd98b7102dd2f0e8b11d0f600bfb0c093",
                  "/dir/index.html",
                  "",
                  "auth",
                  "00000001",
                  "0a4f113b",
                  ""};
    const std::string ha1 = Md5Hex("Mufasa:testrealm@host.com:Circle Of Life");
    EXPECT_EQ(ha1, "939e7578ed9e3c518a452acee763bce9");
    EXPECT_EQ(DigestResponse(ha1, c, "GET"), "6629fae49393a05397450978507c4ef1");
    const auto parsed = ParseDigest("Digest username=\"Mufasa\",  realm=\"testrealm@host.com\", "
                                    "nonce=\"dcd9\", uri=\"/dir/index.html\", qop=auth, "
                                    "nc=00000001, cnonce=\"0a4f113b\", response=\"6629\"");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->Username + parsed->Nonce + parsed->Qop + parsed->Nc + parsed->Response,
              "Mufasadcd9auth000000016629");
    EXPECT_FALSE(ParseDigest("Basic dXNlcjpwYXNz"));
    EXPECT_EQ(ParseDigest("Digest\tusername=\"u\", stale").value_or(Credentials{}).Username, "u");

    const std::string line = "alice:office:618304ee8ac85166f85e81416c13ed76\n";
    const UsersFile file = ParseUsers("# users\n\n" + line + "bob:other:" + ha1 + "\r\n");
    EXPECT_EQ(file.users.Realm, "office");
    EXPECT_EQ(file.users.Ha1.size(), 1u);
    EXPECT_EQ(ParseUsers(line + "bob:other:" + ha1, "other").users.Ha1.count("bob"), 1u);
    for (const char* bad :
         {"alice:office\n", ":office:618304ee8ac85166f85e81416c13ed76\n", "alice:office:61830\n",
          "alice:office:Z18304ee8ac85166f85e81416c13ed76\n"}) {
        EXPECT_EQ(ParseUsers(line + bad).errorLine, 2) << bad;
    }
}

class AuthTest : public ProxyTest
{
protected:
    explicit AuthTest(ProxyConfig config = {"127.0.0.1", 5070, "127.0.0.9:5080", 3})
        : ProxyTest(std::move(config))
    {
        proxy.SetUsers(ParseUsers("alice:office:" + Md5Hex("alice:office:secret") +
                                  "\nbob:office:" + Md5Hex("bob:office:pw") + "\n")
                           .users);
    }
    // The challenge of the last answer sent; empty without one.
    std::string Nonce()
    {
        const std::string text = net.sent.empty() ? "" : net.sent.back().text;
        const std::size_t at = text.find("nonce=\"");
        return at == std::string::npos ? "" : text.substr(at + 7, 64);
    }
    // request with credentials of user for password, in the header the proxy asked for.
    std::string Answered(std::string request, const std::string& user, const std::string& password,
                         const std::string& nonce, const std::string& nc = "00000001",
                         const std::string& qop = "auth")
    {
        const std::string method(MethodToken(request));
        Credentials c{user, "office", nonce, "sip:127.0.0.1:5070", "", qop, nc, "c0ffee", ""};
        c.Response = DigestResponse(Md5Hex(user + ":office:" + password), c, method);
        const std::string header = Cat(
            method == "INVITE" ? "Proxy-Authorization" : "Authorization", ": Digest username=\"",
            user, "\", realm=\"office\", nonce=\"", nonce, "\", uri=\"", c.Uri, "\", response=\"",
            c.Response, "\", algorithm=MD5, qop=", qop, ", nc=", nc, ", cnonce=\"c0ffee\"\r\n");
        request.insert(request.find("Call-ID:"), header);
        return request;
    }
};

TEST_F(AuthTest, RegisterAndCallOnlyWithTheRightCredentials)
{
    Receive(Register(kAlice, "reg-a"), "127.0.0.8", 5099); // from anywhere: answered there
    EXPECT_EQ(net.sent.back().address + ":" + std::to_string(net.sent.back().port),
              "127.0.0.8:5061")
        << "at the address it came from, the port its Via names";
    EXPECT_NE(net.sent.back().text.find("\r\nWWW-Authenticate: Digest realm=\"office\", nonce=\"" +
                                        Nonce() + "\", algorithm=MD5, qop=\"auth\"\r\n\r\n"),
              std::string::npos);
    const std::string nonce = Nonce();
    const std::string reg = Register(kAlice, "reg-a");
    const std::string right = Answered(reg, "alice", "secret", nonce);
    const struct
    {
        std::string request;
        const char* sent;
    } rows[] = {
        {With(right, "realm=\"office\"", "realm=\"home\""), "401 Unauthorised"},
        {With(right, ": Digest ", ": Bearer "), "401 Unauthorised"},
        {With(right, "=MD5", "=SHA-256"), "403 Forbidden"},
        {Answered(reg, "alice", "secret", nonce.substr(0, 20)), "401 Unauthorised"},
        {Answered(reg, "alice", "secret", nonce.substr(0, 20) + "z" + nonce.substr(21)),
         "401 Unauthorised"},
        {Answered(reg, "alice", "secret", nonce, "0000000g"), "403 Forbidden"},
        {Answered(reg, "alice", "secret", nonce, "00000001", "auth-int"), "403 Forbidden"},
        {Answered(With(Register({"carol", "127.0.0.3", 5063}, "reg-c"), "127.0.0.3:5063;",
                       "127.0.0.1:5061;"),
                  "carol", "x", nonce),
         "403 Forbidden"},
        {Answered(reg, "alice", "wrong", nonce), "403 Forbidden"},
        {Answered(reg, "bob", "pw", nonce), "403 Forbidden"},
        {right, "200 OK"},
        {right, "403 Forbidden"}, // replay
        {Answered(reg, "alice", "secret", nonce, "00000002"), "200 OK"},
        {Answered(reg, "alice", "secret", nonce.substr(0, 63) + (nonce.back() == '0' ? "1" : "0")),
         "401 Unauthorised"},
    };
    TakeSent();
    TakeLog();
    for (const auto& row : rows) {
        FromAlice(row.request);
        EXPECT_EQ(Sent(), Lines{"127.0.0.1:5061 SIP/2.0 " + std::string(row.sent)}) << row.sent;
    }
    const Lines log = TakeLog();
    EXPECT_EQ(std::count(log.begin(), log.end(),
                         "LOG_ERR Authentication failed for 'alice' from 127.0.0.1:5061"),
              6);
    EXPECT_EQ(display.fields["Registrations"], "1");

    clock.Set(clock.Seconds() + 301);
    FromAlice(Answered(Register(kAlice, "reg-a"), "alice", "secret", nonce, "00000003"));
    EXPECT_NE(net.sent.back().text.find("qop=\"auth\", stale=true\r\n"), std::string::npos);

    // A new call is asked for credentials (407), nothing stored or counted; with them it goes.
    FromBob(Answered(Register(kBob, "reg-b"), "bob", "pw", Nonce()));
    TakeSent();
    FromAlice(Invite("bob", "c1"));
    EXPECT_NE(net.sent.back().text.find("\r\nProxy-Authenticate: Digest realm=\"office\""),
              std::string::npos);
    const std::string invite = Answered(Invite("bob", "c1"), "alice", "secret", Nonce());
    FromAlice(InDialog("ACK", "1 ACK", kAlice, "z9hG4bKinv", "c1"));
    EXPECT_EQ(Sent(), Lines{"127.0.0.1:5061 SIP/2.0 407 Proxy Authentication Required"});
    EXPECT_EQ(display.fields["CallAttempts"], "");
    FromAlice(invite);
    EXPECT_EQ(net.sent.back().text.find("Authorization"), std::string::npos) << "used up here";
    FromBob(Answer("200 OK", "1 INVITE", invite, "v=0\r\n", "c1"));
    FromBob(InDialog("BYE", "2 BYE", kBob, "z9hG4bKbye", "c1")); // within the call: no question
    EXPECT_EQ(Sent(), (Lines{"127.0.0.1:5061 SIP/2.0 100 Trying",
                             "127.0.0.2:5062 INVITE sip:bob@127.0.0.2:5062 SIP/2.0",
                             "127.0.0.1:5061 SIP/2.0 200 OK", "127.0.0.2:5062 SIP/2.0 100 Trying",
                             "127.0.0.1:5061 BYE sip:alice@127.0.0.1:5061 SIP/2.0"}));
}

// Users who may hold two registrations and two calls each.
class LimitTest : public AuthTest
{
protected:
    LimitTest() : AuthTest({"127.0.0.1", 5070, "127.0.0.9:5080", 3, 100, 11, 2, 2}) {}
    // The request answered with alice's credentials for a fresh challenge.
    std::string AsAlice(const std::string& request)
    {
        FromAlice(request);
        const std::string nonce = Nonce();
        TakeSent();
        return Answered(request, "alice", "secret", nonce);
    }
};

TEST_F(LimitTest, OneAccountCannotHoldEverySlot)
{
    Lines sent;
    for (int i = 0; i < 3; ++i) {
        const Party phone{"alice", "127.0.0.1", static_cast<std::uint16_t>(5061 + i)};
        FromAlice(AsAlice(Register(phone, Cat("r", i), "Expires: 32767\n")));
        const Lines answers = Sent();
        sent.insert(sent.end(), answers.begin(), answers.end());
    }
    for (int i = 0; i < 3; ++i) {
        FromAlice(AsAlice(Invite("seven77", Cat("c", i), "Expires: 32767\n")));
        const Lines answers = Sent();
        sent.insert(sent.end(), answers.begin(), answers.end());
    }
    EXPECT_EQ(sent,
              (Lines{"127.0.0.1:5061 SIP/2.0 200 OK", "127.0.0.1:5062 SIP/2.0 200 OK",
                     "127.0.0.1:5063 SIP/2.0 403 Forbidden", "127.0.0.1:5061 SIP/2.0 100 Trying",
                     "127.0.0.9:5080 INVITE sip:seven77@127.0.0.9:5080 SIP/2.0",
                     "127.0.0.1:5061 SIP/2.0 100 Trying",
                     "127.0.0.9:5080 INVITE sip:seven77@127.0.0.9:5080 SIP/2.0",
                     "127.0.0.1:5061 SIP/2.0 503 Service Unavailable"}));
    EXPECT_TRUE(Logged({"LOG_ERR Too many registrations for 'alice' from 127.0.0.1:5061",
                        "LOG_ERR Too many calls for 'alice' from 127.0.0.1:5061"}));
    EXPECT_EQ(display.fields["Registrations"], "2");
    EXPECT_EQ(proxy.Calls().Taken(), 4u) << "a refused request holds no slot";
    EXPECT_EQ(proxy.Log().Events(Flood::UserLimit), 2u);
}

TEST_F(AuthTest, NoChallengeLouderThanItsRequest)
{
    // A sixteen-byte INVITE from a forged source would bring two hundred bytes to the victim.
    FromAlice("INVITE \r\nv: SIP/2.0/UDP 1\r\ni:2\r\n\r\n");
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(proxy.Log().Events(Flood::AnswerLimit), 1u);
    FromAlice(Invite("bob", "full"));
    EXPECT_EQ(Sent(), Lines{"127.0.0.1:5061 SIP/2.0 407 Proxy Authentication Required"});
}

// A random source that gives bytes until told to stop.
class FailingRandom final : public RandomSource
{
public:
    bool Fill(unsigned char* bytes, std::size_t size) override
    {
        std::fill(bytes, bytes + size, 0x5a);
        return works;
    }
    bool works = false;
};

TEST_F(ProxyTest, WithoutRandomBytesNobodyIsLetInAndTheStartIsRefused)
{
    const Users users = ParseUsers("alice:office:" + Md5Hex("alice:office:secret") + "\n").users;
    FailingRandom random;
    EXPECT_FALSE(proxy.SetUsers(users, &random)) << "no key: the program must not start";
    FromAlice(Register(kAlice, "reg-a"));
    EXPECT_EQ(Sent(), Lines{"127.0.0.1:5061 SIP/2.0 503 Service Unavailable"});
    EXPECT_EQ(TakeLog().at(2), "LOG_ERR Credentials cannot be checked: no random source, no nonce");

    Proxy later(net, log, display, clock);
    random.works = true;
    EXPECT_TRUE(later.SetUsers(users, &random));
    random.works = false; // the key is drawn; a challenge still needs fresh bytes
    later.ReceiveDatagram(Register(kAlice, "reg-a"), {"", kAlice.ip, kAlice.port});
    EXPECT_EQ(Sent(), Lines{"127.0.0.1:5061 SIP/2.0 503 Service Unavailable"});
    EXPECT_EQ(display.fields["Registrations"], "");
}

} // namespace
} // namespace tavrix
