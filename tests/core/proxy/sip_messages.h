#pragma once

// The messages of the test phones, shared by the engine tests, the fuzzer's seed corpus and
// the benchmark. The proxy under test is 127.0.0.1:5070; alice is 127.0.0.1:5061, bob
// 127.0.0.2:5062, and the default route leads to 127.0.0.9:5080.

#include "core/proxy/builders.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavrix::test {

// A message written with LF line ends, as CR LF text.
inline std::string Crlf(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\n') {
            out.push_back('\r');
        }
        out.push_back(c);
    }
    return out;
}

struct Party
{
    std::string user;
    std::string ip;
    std::uint16_t port;
    std::string Host() const { return ip + ":" + std::to_string(port); }
};
inline const Party kAlice{"alice", "127.0.0.1", 5061};
inline const Party kBob{"bob", "127.0.0.2", 5062};

inline const std::string kSdp = "v=0\r\no=alice 2890844526 2890844526 IN IP4 127.0.0.1\r\n"
                                "s=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                                "m=audio 49170 RTP/AVP 0 8 101\r\na=rtpmap:0 PCMU/8000\r\n"
                                "a=rtpmap:8 PCMA/8000\r\na=rtpmap:101 telephone-event/8000\r\n";

inline std::string Register(const Party& p, std::string_view callId,
                            std::string_view extra = "Expires: 60\n")
{
    return Crlf("REGISTER sip:127.0.0.1:5070 SIP/2.0\nVia: SIP/2.0/UDP " + p.Host() +
                ";branch=z9hG4bK-r-" + std::string(callId) + "\nFrom: <sip:" + p.user +
                "@127.0.0.1>;tag=r1\nTo: <sip:" + p.user + "@127.0.0.1>\nCall-ID: " +
                std::string(callId) + "\nCSeq: 1 REGISTER\nContact: <sip:" + p.user + "@" +
                p.Host() + ">\n" + std::string(extra) + "Content-Length: 0\n\n");
}

// alice's INVITE for user, with an offer, as a soft phone writes it.
inline std::string Invite(std::string_view user, std::string_view callId = "call-1",
                          std::string_view extra = "")
{
    return Crlf("INVITE sip:" + std::string(user) +
                "@127.0.0.1:5070 SIP/2.0\nVia: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKinv\n"
                "Max-Forwards: 70\nFrom: \"Alice\" <sip:alice@127.0.0.1>;tag=a1\nTo: <sip:" +
                std::string(user) + "@127.0.0.1>\nCall-ID: " + std::string(callId) +
                "\nCSeq: 1 INVITE\nContact: <sip:alice@127.0.0.1:5061>\nUser-Agent: TestPhone/1.0\n"
                "Allow: INVITE, ACK, CANCEL, BYE, OPTIONS\nSupported: replaces, timer\n" +
                std::string(extra) + "Content-Type: application/sdp\nContent-Length: " +
                std::to_string(kSdp.size()) + "\n\n") +
           kSdp;
}

// The answer to a request the proxy forwarded (to bob, mostly): the proxy's Via on the
// request's own.
inline std::string Answer(std::string_view status, std::string_view cseq, std::string_view request,
                          std::string_view body = "", std::string_view callId = "call-1")
{
    const std::size_t via = request.find("\r\nVia: ") + 7;
    const std::string sender(request.substr(via, request.find("\r\n", via) - via));
    return Crlf("SIP/2.0 " + std::string(status) + "\nVia: SIP/2.0/UDP 127.0.0.1:5070;branch=" +
                ProxyBranch(request) + "\nVia: " + sender +
                "\n"
                "Record-Route: <sip:127.0.0.1:5070;lr>\n"
                "From: \"Alice\" <sip:alice@127.0.0.1>;tag=a1\nTo: <sip:bob@127.0.0.1>;tag=b1\n"
                "Call-ID: " +
                std::string(callId) + "\nCSeq: " + std::string(cseq) +
                "\nContact: <sip:bob@127.0.0.2:5062>\n" +
                "Content-Length: " + std::to_string(body.size()) + "\n\n") +
           std::string(body);
}

// A request inside call-1 from a party, with its own Via branch.
inline std::string InDialog(std::string_view method, std::string_view cseq, const Party& from,
                            std::string_view branch, std::string_view callId = "call-1")
{
    return Crlf(std::string(method) + " sip:bob@127.0.0.2:5062 SIP/2.0\nVia: SIP/2.0/UDP " +
                from.Host() + ";branch=" + std::string(branch) +
                "\nFrom: \"Alice\" <sip:alice@127.0.0.1>;tag=a1\n"
                "To: <sip:bob@127.0.0.1>;tag=b1\nCall-ID: " +
                std::string(callId) + "\nCSeq: " + std::string(cseq) + "\n\n");
}

// One step of a scenario: a datagram from a party, or ticks of the timer.
struct Step
{
    const Party* from; // nullptr: ticks
    std::string text;
    int ticks = 0;
};

struct Scenario
{
    std::string name;
    std::vector<Step> steps;
};

// Whole exchanges after both phones registered (reg-a, reg-b), the calls under that Call-ID.
inline std::vector<Scenario> Scenarios(const std::string& id = "call-1")
{
    const std::string invite = Invite("bob", id);
    std::string cancel = invite;
    cancel.replace(0, 6, "CANCEL");
    cancel.replace(cancel.find("1 INVITE"), 8, "1 CANCEL");
    const std::string bye = InDialog("BYE", "2 BYE", kAlice, "z9hG4bKbye", id);
    const std::string ack = InDialog("ACK", "1 ACK", kAlice, "z9hG4bKinv", id);
    const std::string answer = "v=0\r\no=bob 2 2 IN IP4 127.0.0.2\r\n";
    return {
        {"call",
         {{&kAlice, invite},
          {&kBob, Answer("180 Ringing", "1 INVITE", invite, "", id)},
          {&kBob, Answer("200 OK", "1 INVITE", invite, answer, id)},
          {&kAlice, InDialog("ACK", "1 ACK", kAlice, "z9hG4bKack", id)},
          {&kAlice, bye},
          {&kBob, Answer("200 OK", "2 BYE", bye, "", id)}}},
        {"cancelled",
         {{&kAlice, invite},
          {&kAlice, cancel},
          {&kBob, Answer("200 OK", "1 CANCEL", cancel, "", id)},
          {&kBob, Answer("487 Request Terminated", "1 INVITE", invite, "", id)},
          {&kAlice, ack}}},
        {"busy",
         {{&kAlice, invite},
          {&kBob, Answer("486 Busy Here", "1 INVITE", invite, "", id)},
          {&kAlice, ack}}},
        {"default route",
         {{&kAlice, Invite("seven77", "call-2", "Session-Expires: 5\n")}, {nullptr, "", 6}}},
        {"expiry", {{&kAlice, Register(kAlice, "reg-a", "Expires: 2\n")}, {nullptr, "", 3}}},
    };
}

} // namespace tavrix::test
