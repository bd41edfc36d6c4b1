#pragma once

#include "sip_text.h"

#include "console/text_log_sink.h"
#include "engine/proxy.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tavrix::test {

inline constexpr std::string_view kStamp = "12/5/2026 7:13:08 PM";

struct Datagram
{
    std::string text;
    std::string address;
    std::uint16_t port = 0;

    bool operator==(const Datagram&) const = default;
    friend std::ostream& operator<<(std::ostream& os, const Datagram& d)
    {
        return os << d.address << ":" << d.port << "\n" << d.text;
    }
};

class RecordingTransport final : public Transport
{
public:
    void Send(std::string_view text, std::string_view address, std::uint16_t port) override
    {
        sent.push_back({std::string(text), std::string(address), port});
    }
    std::vector<Datagram> sent;
};

class RecordingDisplay final : public StatsDisplay
{
public:
    void ShowCompletedCalls(std::string_view t) override { fields["CompletedCalls"] = t; }
    void ShowLastRoute(std::string_view t) override { fields["LastRoute"] = t; }
    void ShowErrors(std::string_view t) override { fields["Errors"] = t; }
    void ShowFailedCalls(std::string_view t) override { fields["FailedCalls"] = t; }
    void ShowCallAttempts(std::string_view t) override { fields["CallAttempts"] = t; }
    void ShowRegistrations(std::string_view t) override { fields["Registrations"] = t; }
    std::map<std::string, std::string> fields;
};

// A fresh proxy at 127.0.0.1:5070 with a recording transport, the log text in memory, a fixed
// clock and LogLevel 3. Alice is at 127.0.0.1:5061, Bob at 127.0.0.2:5062.
class ProxyTest : public ::testing::Test
{
protected:
    ProxyTest() : proxy(net, log, display, clock, {"127.0.0.1", 5070, "127.0.0.9:5080", 3}) {}

    void Receive(std::string_view text, std::string ip, std::uint16_t port)
    {
        proxy.ReceiveDatagram(text, PeerAddress{"", std::move(ip), port});
    }
    void FromAlice(std::string_view text) { Receive(text, "127.0.0.1", 5061); }
    void FromBob(std::string_view text) { Receive(text, "127.0.0.2", 5062); }
    void Ticks(int n)
    {
        for (int i = 0; i < n; ++i) {
            proxy.Tick();
        }
    }

    // The log rows written since the last call; a line's label and stamp read "LEVEL text".
    std::vector<std::string> TakeLog()
    {
        std::vector<std::string> lines;
        const std::string_view text = log.Text();
        std::size_t at = 0;
        while (at < text.size()) {
            std::size_t end = text.find("\r\n", at);
            end = end == std::string_view::npos ? text.size() : end;
            std::string line(text.substr(at, end - at));
            const std::string stamp = ": " + std::string(kStamp) + " ";
            if (const std::size_t at = line.find(stamp); at != std::string::npos) {
                line.replace(at, stamp.size(), " ");
            }
            lines.push_back(line);
            at = end + 2;
        }
        log.SetText("");
        return lines;
    }
    std::vector<Datagram> TakeSent()
    {
        std::vector<Datagram> out;
        out.swap(net.sent);
        return out;
    }
    // Destination and first line of each datagram sent since the last call.
    std::vector<std::string> Sent()
    {
        std::vector<std::string> out;
        for (const Datagram& d : TakeSent()) {
            out.push_back(d.address + ":" + std::to_string(d.port) + " " +
                          d.text.substr(0, d.text.find("\r\n")));
        }
        return out;
    }
    const CallRecord& Slot(std::int16_t n) { return proxy.Calls().At(n); }

    RecordingTransport net;
    TextLogSink log;
    RecordingDisplay display;
    FixedClock clock{std::string(kStamp)};
    Proxy proxy;
};

// Typical messages of the two test phones.
inline std::string Register(std::string_view user, std::string_view ip, int port,
                            std::string_view callId, std::string_view extra = "Expires: 60\n")
{
    return Crlf(std::string("REGISTER sip:127.0.0.1:5070 SIP/2.0\n") + "Via: SIP/2.0/UDP " +
                std::string(ip) + ":" + std::to_string(port) + ";branch=z9hG4bK-r-" +
                std::string(callId) + "\n" + "From: <sip:" + std::string(user) +
                "@127.0.0.1>;tag=r1\n" + "To: <sip:" + std::string(user) + "@127.0.0.1>\n" +
                "Call-ID: " + std::string(callId) + "\n" + "CSeq: 1 REGISTER\n" +
                "Contact: <sip:" + std::string(user) + "@" + std::string(ip) + ":" +
                std::to_string(port) + ">\n" + std::string(extra) + "Content-Length: 0\n\n");
}

} // namespace tavrix::test
