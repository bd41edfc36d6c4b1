#pragma once

#include "core/proxy/proxy.h"
#include "core/proxy/sip_messages.h"
#include "core/text/text.h"
#include "mock/memory_log_sink.h"
#include "mock/mock_clock.h"
#include "mock/recording_display.h"
#include "mock/recording_transport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace tavrix::test {

using Lines = std::vector<std::string>;
inline constexpr std::string_view kStamp = "12/5/2026 7:13:08 PM";

// The text with its first occurrence of `from` replaced by `to`.
inline std::string With(std::string text, const std::string& from, const std::string& to)
{
    text.replace(text.find(from), from.size(), to);
    return text;
}

// The answer of a phone to a request the proxy sent it: the request's Via, From, To (with tag
// when it has none), Call-ID and CSeq lines, then extra (LF line ends).
inline std::string Reply(std::string_view status, std::string_view request, std::string_view tag,
                         std::string_view extra = "")
{
    std::string text = Cat("SIP/2.0 ", status, "\r\n");
    while (!request.empty() && !request.starts_with("\r\n")) {
        const std::string_view line = request.substr(0, request.find("\r\n"));
        if (line.starts_with("Via: ") || line.starts_with("From: ") ||
            line.starts_with("Call-ID: ") || line.starts_with("CSeq: ")) {
            AppendPieces(text, line, "\r\n");
        } else if (line.starts_with("To: ")) {
            const bool tagged = line.find(";tag=") != std::string_view::npos;
            AppendPieces(text, line, tagged ? "" : ";tag=", tagged ? "" : tag, "\r\n");
        }
        request.remove_prefix(line.size() + 2);
    }
    AppendPieces(text, Crlf(extra), "Content-Length: 0\r\n\r\n");
    return text;
}

// A fresh proxy at 127.0.0.1:5070 with a recording transport, the log text in memory, a fixed
// clock and LogLevel 3; the default route is 127.0.0.9:5080.
class ProxyTest : public ::testing::Test
{
protected:
    explicit ProxyTest(ProxyConfig config = {"127.0.0.1", 5070, "127.0.0.9:5080", 3})
        : proxy(net, log, display, clock, std::move(config))
    {}

    void Receive(std::string_view text, std::string ip, std::uint16_t port)
    {
        proxy.ReceiveDatagram(text, PeerAddress{"", std::move(ip), port});
    }
    void From(const Party& p, std::string_view text) { Receive(text, p.ip, p.port); }
    void FromAlice(std::string_view text) { From(kAlice, text); }
    void FromBob(std::string_view text) { From(kBob, text); }
    void Ticks(int n)
    {
        for (int i = 0; i < n; ++i) {
            proxy.Tick();
        }
    }
    // Plays a scenario; its transcript as Sent() gives it.
    Lines Play(const Scenario& scenario)
    {
        for (const Step& step : scenario.steps) {
            step.from != nullptr ? From(*step.from, step.text) : Ticks(step.ticks);
        }
        return Sent();
    }

    // The log rows written since the last call, each "LEVEL text" without the time stamp.
    Lines TakeLog()
    {
        Lines lines;
        const std::string stamp = ": " + std::string(kStamp) + " ";
        std::string_view text = log.Text();
        while (!text.empty()) {
            const std::size_t end = std::min(text.find("\r\n"), text.size());
            std::string line(text.substr(0, end));
            if (const std::size_t at = line.find(stamp); at != std::string::npos) {
                line.replace(at, stamp.size(), " ");
            }
            lines.push_back(line);
            text.remove_prefix(std::min(end + 2, text.size()));
        }
        log.SetText("");
        return lines;
    }
    // Whether the log rows since the last TakeLog() hold every line; they are taken.
    ::testing::AssertionResult Logged(std::initializer_list<std::string_view> lines)
    {
        const Lines rows = TakeLog();
        for (const std::string_view line : lines) {
            if (std::ranges::find(rows, line) == rows.end()) {
                ::testing::AssertionResult result = ::testing::AssertionFailure();
                for (const std::string& row : rows) {
                    result << row << "\n";
                }
                return result << "(without " << line << ")";
            }
        }
        return ::testing::AssertionSuccess();
    }
    ::testing::AssertionResult Logged(std::string_view line) { return Logged({line}); }
    std::vector<Datagram> TakeSent() { return std::exchange(net.sent, {}); }
    // Destination and first line of each datagram sent since the last call; a stream's
    // destination after its transport's name ("TCP 127.0.0.1:40001 INVITE ...").
    Lines Sent()
    {
        Lines out;
        for (const Datagram& d : TakeSent()) {
            out.push_back((d.kind == TransportKind::Udp ? "" : std::string(ViaName(d.kind)) + " ") +
                          d.address + ":" + std::to_string(d.port) + " " +
                          d.text.substr(0, d.text.find("\r\n")));
        }
        return out;
    }
    const CallRecord& Slot(SlotNumber n) { return proxy.Calls().At(n); }
    std::string Summary() { return proxy.Stats().Summary(); }

    RecordingTransport net;
    MemoryLogSink log{std::string(kStamp)};
    RecordingDisplay display;
    MockClock clock;
    Proxy proxy;
};

// The proxy with alice (slot 1) and bob (slot 2) registered for an hour.
class RegisteredTest : public ProxyTest
{
protected:
    RegisteredTest()
    {
        FromAlice(Register(kAlice, "reg-a", "Expires: 3600\n"));
        FromBob(Register(kBob, "reg-b", "Expires: 3600\n"));
        TakeSent();
        TakeLog();
    }
};

} // namespace tavrix::test
