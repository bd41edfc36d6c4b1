#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavrix {

// The largest message the proxy takes, on any transport.
inline constexpr std::size_t kMaxMessageSize = 65535;

// Cuts the bytes of one stream connection (TCP, TLS) into SIP messages: each ends where its
// Content-Length says (RFC 3261 18.3). CR LF between messages is skipped; a double one is a
// keep-alive ping (RFC 5626 3.5.1), to be answered with one CR LF.
class StreamFramer
{
public:
    enum class Status
    {
        Ok,
        NoLength, // a message without a Content-Length: its end cannot be known
        TooLarge  // a message (or its header) longer than kMaxMessageSize
    };

    // Takes the bytes read; every message they complete is appended to messages. After an
    // error the connection is of no further use and nothing more is taken.
    Status Feed(std::string_view bytes, std::vector<std::string>& messages);
    // Whether part of a message waits for more bytes.
    bool Partial() const { return !m_buffer.empty(); }
    // The pings read since the last call.
    int TakePings() { return std::exchange(m_pings, 0); }

private:
    std::string m_buffer;
    Status m_status = Status::Ok;
    int m_pings = 0;
};

// The message as it goes over a stream: with a Content-Length header (RFC 3261 18.3, 20.14:
// mandatory there) naming its body's size when it has none; otherwise as it stands.
std::string WithContentLength(std::string_view message);

} // namespace tavrix
