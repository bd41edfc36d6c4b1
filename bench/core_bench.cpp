// Throughput of the core: header access, logging and whole calls through the datagram entry
// point, without any network. Run: build/bench/tavrix_bench
#include "sip_text.h"

#include "console/text_log_sink.h"
#include "engine/proxy.h"
#include "sip/builders.h"
#include "sip/message.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

using namespace tavrix;
using test::Crlf;

// A typical INVITE of a soft phone, about 700 bytes with its SDP.
std::string Invite(const std::string& callId)
{
    const std::string sdp = "v=0\r\no=alice 2890844526 2890844526 IN IP4 127.0.0.1\r\n"
                            "s=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                            "m=audio 49170 RTP/AVP 0 8 101\r\na=rtpmap:0 PCMU/8000\r\n"
                            "a=rtpmap:8 PCMA/8000\r\na=rtpmap:101 telephone-event/8000\r\n";
    return Crlf("INVITE sip:bob@127.0.0.1:5070 SIP/2.0\n"
                "Via: SIP/2.0/UDP 127.0.0.1:5061;rport;branch=z9hG4bK" +
                callId +
                "\n"
                "Max-Forwards: 70\n"
                "From: \"Alice\" <sip:alice@127.0.0.1>;tag=8f3a2c\n"
                "To: <sip:bob@127.0.0.1>\n"
                "Call-ID: " +
                callId +
                "\n"
                "CSeq: 1 INVITE\n"
                "Contact: <sip:alice@127.0.0.1:5061>\n"
                "User-Agent: BenchPhone/1.0\n"
                "Allow: INVITE, ACK, CANCEL, BYE, OPTIONS\n"
                "Supported: replaces, timer\n"
                "Content-Type: application/sdp\n"
                "Content-Length: " +
                std::to_string(sdp.size()) + "\n\n") +
           sdp;
}

std::string Response(const std::string& status, const std::string& cseq, const std::string& request,
                     const std::string& callId, const std::string& body = "")
{
    return Crlf("SIP/2.0 " + status +
                "\n"
                "Via: SIP/2.0/UDP 127.0.0.1:5070;branch=" +
                ProxyBranch(request) +
                "\n"
                "Via: SIP/2.0/UDP 127.0.0.1:5061;rport;branch=z9hG4bK" +
                callId +
                "\n"
                "Record-Route: <sip:bob@127.0.0.1;maddr=127.0.0.1>\n"
                "From: \"Alice\" <sip:alice@127.0.0.1>;tag=8f3a2c\n"
                "To: <sip:bob@127.0.0.1>;tag=99\n"
                "Call-ID: " +
                callId +
                "\n"
                "CSeq: " +
                cseq +
                "\n"
                "Contact: <sip:bob@127.0.0.2:5062>\n"
                "Content-Length: " +
                std::to_string(body.size()) + "\n\n") +
           body;
}

std::string InDialog(const std::string& method, const std::string& cseq, const std::string& callId)
{
    return Crlf(method +
                " sip:bob@127.0.0.2:5062 SIP/2.0\n"
                "Via: SIP/2.0/UDP 127.0.0.1:5061;rport;branch=z9hG4bK" +
                method + callId +
                "\n"
                "Max-Forwards: 70\n"
                "From: \"Alice\" <sip:alice@127.0.0.1>;tag=8f3a2c\n"
                "To: <sip:bob@127.0.0.1>;tag=99\n"
                "Call-ID: " +
                callId +
                "\n"
                "CSeq: " +
                cseq +
                "\n"
                "Content-Length: 0\n\n");
}

std::string Register(const std::string& user, const std::string& ip, int port)
{
    return Crlf("REGISTER sip:127.0.0.1:5070 SIP/2.0\n"
                "Via: SIP/2.0/UDP " +
                ip + ":" + std::to_string(port) +
                ";branch=z9hG4bKr\n"
                "From: <sip:" +
                user + "@127.0.0.1>;tag=1\nTo: <sip:" + user +
                "@127.0.0.1>\n"
                "Call-ID: reg-" +
                user +
                "\nCSeq: 1 REGISTER\n"
                "Contact: <sip:" +
                user + "@" + ip + ":" + std::to_string(port) +
                ">\n"
                "Expires: 3600\nContent-Length: 0\n\n");
}

void BM_GetHeader(benchmark::State& state)
{
    const std::string invite = Invite("a84b4c76e66710@pc33.example");
    for (auto _ : state) {
        benchmark::DoNotOptimize(GetHeader(invite, "Call-ID"));
        benchmark::DoNotOptimize(GetHeader(invite, "Content-Type"));
    }
    state.SetItemsProcessed(state.iterations() * 2);
    state.SetLabel(std::to_string(invite.size()) + "-byte INVITE, 2 lookups per iteration");
}
BENCHMARK(BM_GetHeader);

void BM_WriteLog(benchmark::State& state)
{
    const bool full = state.range(0) != 0;
    NullStatsDisplay display;
    SIP_STATS stats(display);
    TextLogSink sink;
    FixedClock clock("12/5/2026 7:13:08 PM");
    Logger log(sink, clock, stats);
    if (full) {
        sink.SetText(std::string(kLogCap + 1, 'x'));
    }
    std::int64_t n = 0;
    for (auto _ : state) {
        log.WriteLog(Level::LOG_DEBUG, "Sending '200 OK' to 127.0.0.1:5061");
        if (!full && ++n % 256 == 0) {
            sink.SetText(""); // stay well below the cap
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(full ? "full log text (past the cap)" : "empty log text");
}
BENCHMARK(BM_WriteLog)->Arg(0)->Arg(1);

// A whole registered call (INVITE, 180, 200, ACK, BYE, 200 in; every answer and forward out).
void BM_WholeCall(benchmark::State& state)
{
    const std::int16_t level = static_cast<std::int16_t>(state.range(0));
    NullTransport net;
    NullStatsDisplay display;
    TextLogSink sink;
    FixedClock clock("12/5/2026 7:13:08 PM");
    Proxy proxy(net, sink, display, clock, {"127.0.0.1", 5070, "127.0.0.9:5060", level});
    const PeerAddress alice{"", "127.0.0.1", 5061};
    const PeerAddress bob{"", "127.0.0.2", 5062};
    proxy.ReceiveDatagram(Register("alice", "127.0.0.1", 5061), alice);
    proxy.ReceiveDatagram(Register("bob", "127.0.0.2", 5062), bob);
    sink.SetText(std::string(kLogCap + 1, 'x'));

    // More Call-IDs than slots, so each call finds its old slot reclaimed.
    struct Call
    {
        std::string invite, ringing, ok, ack, bye, byeOk;
    };
    std::vector<Call> calls;
    for (int i = 0; i < 256; ++i) {
        const std::string id = "bench-" + std::to_string(i) + "@127.0.0.1";
        Call c;
        c.invite = Invite(id);
        c.ringing = Response("180 Ringing", "1 INVITE", c.invite, id);
        c.ok = Response("200 OK", "1 INVITE", c.invite, id,
                        "v=0\r\no=bob 1 1 IN IP4 127.0.0.2\r\ns=-\r\n");
        c.ack = InDialog("ACK", "1 ACK", id);
        c.bye = InDialog("BYE", "2 BYE", id);
        c.byeOk = Response("200 OK", "2 BYE", c.bye, id);
        calls.push_back(std::move(c));
    }
    std::size_t i = 0;
    for (auto _ : state) {
        const Call& c = calls[i++ % calls.size()];
        proxy.ReceiveDatagram(c.invite, alice);
        proxy.ReceiveDatagram(c.ringing, bob);
        proxy.ReceiveDatagram(c.ok, bob);
        proxy.ReceiveDatagram(c.ack, alice);
        proxy.ReceiveDatagram(c.bye, alice);
        proxy.ReceiveDatagram(c.byeOk, bob);
    }
    if (proxy.Stats().CompletedCalls() == 0) {
        state.SkipWithError("no call completed");
    }
    state.counters["calls/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetLabel(level == 1 ? "LogLevel 1" : "LogLevel 3, full log text");
}
BENCHMARK(BM_WholeCall)->Arg(1)->Arg(3);

} // namespace

BENCHMARK_MAIN();
