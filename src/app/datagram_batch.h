#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavrix {

// Datagrams read and written many at a time on a UDP descriptor (Linux recvmmsg and sendmmsg):
// one system call, and one wake-up of the program, for a burst instead of one per datagram.
class DatagramBatch
{
public:
    static constexpr int kSize = 64;

    DatagramBatch();

    // What a read brought: the datagrams' count, and the errors the socket reported instead of
    // datagrams (error numbers; "would block" is none).
    struct Received
    {
        int count = 0;
        std::vector<int> errors;
    };
    // Reads what is waiting, up to kSize datagrams, without blocking. An error report of an
    // earlier send (ICMP) comes instead of datagrams, once: it is kept and reading goes on.
    Received Receive(int descriptor);
    std::string_view Data(int i) const;
    const sockaddr_in& Source(int i) const { return m_sources[static_cast<std::size_t>(i)]; }

    // Keeps a datagram to go with the next Flush.
    void Queue(std::string_view text, std::uint32_t address, std::uint16_t port);
    // Sends what is queued. Each datagram the system refused, with its error number.
    std::vector<std::pair<int, int>> Flush(int descriptor);
    // The queued datagram i's destination, for reporting a refusal.
    const sockaddr_in& Destination(int i) const { return m_out[static_cast<std::size_t>(i)].to; }

private:
    struct Outgoing
    {
        std::string text;
        sockaddr_in to;
    };

    std::vector<char> m_buffer; // kSize datagrams of the largest size
    std::array<sockaddr_in, kSize> m_sources{};
    std::array<iovec, kSize> m_iov{};
    std::array<mmsghdr, kSize> m_in{};
    std::vector<Outgoing> m_out;
    int m_queued = 0;
};

} // namespace tavrix
