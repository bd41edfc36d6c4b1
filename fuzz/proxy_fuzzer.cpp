// libFuzzer target: one fresh proxy per input, fed a sequence of datagrams and timer ticks from a
// few loopback sources through an in-memory transport. After every step the call table and the
// traffic sent so far must hold their invariants; a broken one traps, which libFuzzer reports
// as a crash with the input that caused it.
//
// Input: a sequence of steps, each "@@" <op> <source> [argument] LF <payload>. A payload runs
// up to the next "@@" at the start of a line, so SIP text stays readable in the corpus and a
// mutation inside one message leaves the steps after it intact.
//   op 'T' or 't'  the argument is a decimal number of ticks (1 without digits); at most
//                  kMaxTicksPerInput in all
//   op 'R'         the payload is the whole rest of the input: any bytes, "@@" lines included
//   op 'F'         the payload is bytes read from a stream connection: cut into messages as
//                  the connection's framing does (in two reads, split in the middle), each
//                  handed to the proxy from the source; a framing error closes the connection
//   op 'C'         the source's connection closes (its payload is ignored)
//   any other op   the payload is one datagram
//   source '1'..'8' picks kSources[0..7]; any other byte picks one by its value modulo 8
// An input that does not start with "@@" opens with a datagram from the first source.
//
// With TAVRIX_FUZZ_TRACE set in the environment, each step, each datagram sent and the whole
// log are printed to stderr: run one input that way to see what it did.

#include "core/log/stats.h"
#include "core/proxy/call_table.h"
#include "core/proxy/proxy.h"
#include "core/proxy/transport.h"
#include "core/text/stream_framer.h"
#include "mock/memory_log_sink.h"
#include "mock/mock_clock.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using tavrix::CallRecord;
using tavrix::PeerAddress;

constexpr std::string_view kLocalIp = "127.0.0.1";
constexpr std::uint16_t kWebSocketPort = 8080;
constexpr std::uint16_t kLocalPort = 5060;

// alice, bob, the upstream of the default route, alice's second port (above the 16-bit signed
// range), a host on the proxy's own port, which every answer must refuse to reach, a phone
// over TCP, a browser over WebSocket and a phone over IPv6.
const std::array<PeerAddress, 8> kSources = {{
    {"", "127.0.0.1", 5061},
    {"", "127.0.0.2", 5062},
    {"", "127.0.0.3", 5063},
    {"", "127.0.0.1", 40000},
    {"", "127.0.0.5", 5060},
    {"", "127.0.0.6", 40001, tavrix::TransportKind::Tcp},
    {"", "127.0.0.7", 40002, tavrix::TransportKind::Ws},
    {"", "[::1]", 5066},
}};

// A tick walks all 100 slots, and an input that asks for thousands of them would be the slowest
// by far. Expiry needs no long waits: any request may state a lifetime of a few seconds, and
// alice and bob below register for less than this.
constexpr long kMaxTicksPerInput = 600;

// Every input starts from alice and bob registered, so calls between them can be routed.
constexpr std::string_view kAliceRegister = "REGISTER sip:127.0.0.1 SIP/2.0\r\n"
                                            "Via: SIP/2.0/UDP 127.0.0.1:5061;branch=z9hG4bKpa\r\n"
                                            "Max-Forwards: 70\r\n"
                                            "From: <sip:alice@127.0.0.1>;tag=pa\r\n"
                                            "To: <sip:alice@127.0.0.1>\r\n"
                                            "Call-ID: pre-alice\r\n"
                                            "CSeq: 1 REGISTER\r\n"
                                            "Contact: <sip:alice@127.0.0.1:5061>\r\n"
                                            "Expires: 300\r\n"
                                            "Content-Length: 0\r\n\r\n";
constexpr std::string_view kBobRegister = "REGISTER sip:127.0.0.1 SIP/2.0\r\n"
                                          "Via: SIP/2.0/UDP 127.0.0.2:5062;branch=z9hG4bKpb\r\n"
                                          "Max-Forwards: 70\r\n"
                                          "From: <sip:bob@127.0.0.1>;tag=pb\r\n"
                                          "To: <sip:bob@127.0.0.1>\r\n"
                                          "Call-ID: pre-bob\r\n"
                                          "CSeq: 1 REGISTER\r\n"
                                          "Contact: <sip:bob@127.0.0.2:5062>\r\n"
                                          "Expires: 300\r\n"
                                          "Content-Length: 0\r\n\r\n";

bool Tracing()
{
    static const bool tracing = std::getenv("TAVRIX_FUZZ_TRACE") != nullptr;
    return tracing;
}

// The first line of a text, for the trace.
std::string_view FirstLine(std::string_view text)
{
    return text.substr(0, std::min(text.find_first_of("\r\n"), text.size()));
}

[[noreturn]] void Broken(const char* what)
{
    std::fprintf(stderr, "tavrix_fuzz: invariant broken: %s\n", what);
    std::fflush(stderr);
    __builtin_trap();
}

// The IPv4 address a destination text stands for, read as the shell's socket layer reads it:
// four dotted parts, each decimal, octal ("0177") or hex ("0x7f"), with white space around
// ignored (Latin-1's too: 0x85 and 0xA0). A NUL anywhere makes it no address.
bool ParseIPv4(std::string_view text, std::uint32_t& address)
{
    constexpr std::string_view kWhite = " \t\n\v\f\r\x85\xa0";
    if (std::count(text.begin(), text.end(), '.') != 3 ||
        text.find('\0') != std::string_view::npos) {
        return false;
    }
    const std::size_t first = text.find_first_not_of(kWhite);
    text = text.substr(first, text.find_last_not_of(kWhite) - first + 1);
    if (text.find_first_of(kWhite) != std::string_view::npos) {
        return false;
    }
    const std::string copy(text);
    in_addr parsed{};
    if (inet_aton(copy.c_str(), &parsed) == 0) {
        return false;
    }
    address = ntohl(parsed.s_addr);
    return true;
}

// The proxy's own endpoint: LocalIP, any 127.x address or 0.0.0.0 with LocalPort, in any
// spelling the socket layer accepts ("0x7f.0.0.1", "0177.0.0.1", " 127.0.0.1", "00.0.0.0").
bool IsOwnEndpoint(std::string_view address, std::uint16_t port)
{
    if (port != kLocalPort && port != kWebSocketPort) {
        return false;
    }
    if (address == "[::1]" || address == "[::]") {
        return true;
    }
    std::uint32_t number = 0;
    if (!ParseIPv4(address, number)) {
        return false;
    }
    return (number >> 24) == 127 || number == 0; // LocalIP is 127.0.0.1
}

// Checks every datagram as it leaves, so a trap shows the code path that sent it.
class CheckingTransport final : public tavrix::Transport
{
public:
    // Any bytes may go out; only the destination is checked.
    void Send(std::string_view text, std::string_view address, std::uint16_t port) override
    {
        if (Tracing()) {
            const std::string_view line = FirstLine(text);
            std::fprintf(stderr, "  sent to %.*s:%u: %.*s\n", static_cast<int>(address.size()),
                         address.data(), port, static_cast<int>(line.size()), line.data());
        }
        if (address.empty()) {
            Broken("datagram sent to an empty address");
        }
        if (port == 0) {
            Broken("datagram sent to port 0");
        }
        if (IsOwnEndpoint(address, port)) {
            Broken("datagram sent to the proxy's own endpoint");
        }
    }
    bool SendStream(tavrix::TransportKind kind, std::string_view text, std::string_view address,
                    std::uint16_t port) override
    {
        if (kind == tavrix::TransportKind::Udp) {
            Broken("a stream message over UDP");
        }
        Send(text, address, port);
        return true;
    }
    bool Connected(tavrix::TransportKind kind, std::string_view address,
                   std::uint16_t port) const override
    {
        return std::ranges::any_of(kSources, [&](const PeerAddress& source) {
            return source.transport == kind && source.IP == address && source.Port == port;
        });
    }
};

// A free slot is an empty record; a taken slot holds its own number and is the one its Call-ID
// finds, so no Call-ID is in two slots and the index beside the slots agrees with them. Every
// route leads to a Contact that a live registration holds.
void CheckTables(const tavrix::CallTable& calls, const tavrix::RouteTable& routes)
{
    for (std::int32_t i = 0; i < routes.Capacity(); ++i) {
        const std::string& contact = routes.Entry(i).Contact;
        if (!contact.empty() && calls.RegistrationsOf(contact) == 0) {
            Broken("a route outlives its registration");
        }
    }
    static const CallRecord kFree{};
    std::size_t taken = 0;
    for (tavrix::SlotNumber i = 1; i <= calls.Capacity(); ++i) {
        const CallRecord& slot = calls.At(i);
        if (slot.CallID.empty()) {
            if (!(slot == kFree)) {
                Broken("free slot is not an empty record");
            }
            continue;
        }
        ++taken;
        if (slot.Slot != i) {
            Broken("taken slot does not hold its own number");
        }
        if (calls.Find(slot.CallID) != i) {
            Broken("the Call-ID index does not lead to the slot");
        }
    }
    if (taken != calls.Taken()) {
        Broken("the count of taken slots is wrong");
    }
}

const PeerAddress& SourceFor(char code)
{
    const auto byte = static_cast<unsigned char>(code);
    if (byte >= '1' && byte < '1' + kSources.size()) {
        return kSources[byte - '1'];
    }
    return kSources[byte % kSources.size()];
}

long TickCount(std::string_view argument)
{
    long count = 0;
    bool digits = false;
    for (const char c : argument) {
        if (c >= '0' && c <= '9') {
            digits = true;
            count = std::min(kMaxTicksPerInput, count * 10 + (c - '0'));
        }
    }
    return digits ? count : 1;
}

// One input, run against one proxy.
class Run
{
public:
    Run() : m_proxy(m_transport, m_sink, m_display, m_clock, Config())
    {
        m_proxy.AddFace(tavrix::TransportKind::Tcp, std::string(kLocalIp), kLocalPort);
        m_proxy.AddFace(tavrix::TransportKind::Ws, std::string(kLocalIp), kWebSocketPort);
        m_proxy.AddFace(tavrix::TransportKind::Udp, "[::1]", kLocalPort);
    }

    // Traced, each step's log lines follow it, so that a broken invariant shows what led up
    // to it.
    void PrintLog()
    {
        if (Tracing()) {
            const std::string_view log = std::string_view(m_sink.Text()).substr(m_printed);
            std::fwrite(log.data(), 1, log.size(), stderr); // NUL bytes too
            m_printed += log.size();
        }
    }

    void Datagram(std::string_view text, const PeerAddress& source)
    {
        if (Tracing()) {
            const std::string_view line = FirstLine(text);
            std::fprintf(stderr, "datagram from %s:%u, %zu bytes: %.*s\n", source.IP.c_str(),
                         source.Port, text.size(), static_cast<int>(line.size()), line.data());
        }
        m_proxy.ReceiveDatagram(text, source);
        PrintLog();
        CheckTables(m_proxy.Calls(), m_proxy.Routes());
    }

    // Bytes of a stream connection, read in two pieces.
    void Stream(std::string_view bytes, const PeerAddress& source)
    {
        tavrix::StreamFramer framer;
        std::vector<std::string> messages;
        const std::size_t half = bytes.size() / 2;
        auto status = framer.Feed(bytes.substr(0, half), messages);
        if (status == tavrix::StreamFramer::Status::Ok) {
            status = framer.Feed(bytes.substr(half), messages);
        }
        for (const std::string& message : messages) {
            if (message.size() > tavrix::kMaxMessageSize) {
                Broken("a framed message over the largest size");
            }
            Datagram(message, source);
        }
        if (status != tavrix::StreamFramer::Status::Ok) {
            Closed(source);
        }
    }

    void Closed(const PeerAddress& source)
    {
        m_proxy.ConnectionClosed(source);
        PrintLog();
        CheckTables(m_proxy.Calls(), m_proxy.Routes());
    }

    void Ticks(long count)
    {
        count = std::min(count, kMaxTicksPerInput - m_ticks);
        if (Tracing()) {
            std::fprintf(stderr, "%ld ticks\n", count);
        }
        for (long i = 0; i < count; ++i) {
            m_proxy.Tick();
        }
        m_ticks += count;
        PrintLog();
        CheckTables(m_proxy.Calls(), m_proxy.Routes());
    }

private:
    static tavrix::ProxyConfig Config()
    {
        tavrix::ProxyConfig config;
        config.LocalIP = std::string(kLocalIp);
        config.LocalPort = kLocalPort;
        config.DefaultRoute = "127.0.0.3:5063"; // the third source answers as the upstream
        config.LogLevel = 4;                    // every log line is built and written
        return config;
    }

    CheckingTransport m_transport;
    tavrix::test::MemoryLogSink m_sink;
    tavrix::NullStatsDisplay m_display;
    tavrix::test::MockClock m_clock;
    tavrix::Proxy m_proxy;
    long m_ticks = 0;
    std::size_t m_printed = 0;
};

constexpr std::string_view kStepMark = "@@";
constexpr std::string_view kNextStep = "\n@@";

// The payload from pos, which starts a line, to the next step mark (the LF before the mark stays
// with the payload); pos moves to the mark.
std::string_view TakePayload(std::string_view input, std::size_t& pos)
{
    if (input.substr(pos).starts_with(kStepMark)) {
        return {};
    }
    const std::size_t next = input.find(kNextStep, pos);
    const std::size_t end = next == std::string_view::npos ? input.size() : next + 1;
    const std::string_view payload = input.substr(pos, end - pos);
    pos = end;
    return payload;
}

void RunSteps(Run& run, std::string_view input)
{
    std::size_t pos = 0;
    if (!input.starts_with(kStepMark)) {
        run.Datagram(TakePayload(input, pos), kSources[0]);
    }
    while (pos < input.size()) {
        // pos is at a step mark.
        pos += kStepMark.size();
        const char op = pos < input.size() ? input[pos++] : 'D';
        const char source = pos < input.size() ? input[pos++] : '1';
        const std::size_t lineEnd = input.find('\n', pos);
        const std::size_t argumentEnd = lineEnd == std::string_view::npos ? input.size() : lineEnd;
        const std::string_view argument = input.substr(pos, argumentEnd - pos);
        pos = lineEnd == std::string_view::npos ? input.size() : lineEnd + 1;

        if (op == 'R') {
            run.Datagram(input.substr(pos), SourceFor(source));
            return;
        }
        // After a header without a line end there is no payload, and no further step.
        const std::string_view payload =
            lineEnd == std::string_view::npos ? std::string_view() : TakePayload(input, pos);
        if (op == 'T' || op == 't') {
            run.Ticks(TickCount(argument));
        } else if (op == 'C') {
            run.Closed(SourceFor(source));
        } else if (op == 'F' && lineEnd != std::string_view::npos) {
            run.Stream(payload, SourceFor(source));
        } else if (lineEnd != std::string_view::npos) {
            run.Datagram(payload, SourceFor(source));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Run run;
    run.Datagram(kAliceRegister, kSources[0]);
    run.Datagram(kBobRegister, kSources[1]);
    RunSteps(run, std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
