#include "app/datagram_batch.h"

#include <cerrno>

namespace tavrix {

namespace {

constexpr std::size_t kMaxDatagram = 65535;

} // namespace

DatagramBatch::DatagramBatch() : m_buffer(kMaxDatagram * kSize)
{
    for (std::size_t i = 0; i < kSize; ++i) {
        m_iov[i] = {m_buffer.data() + i * kMaxDatagram, kMaxDatagram};
    }
}

DatagramBatch::Received DatagramBatch::Receive(int descriptor)
{
    for (std::size_t i = 0; i < kSize; ++i) {
        m_in[i] = {};
        m_in[i].msg_hdr.msg_iov = &m_iov[i];
        m_in[i].msg_hdr.msg_iovlen = 1;
        m_in[i].msg_hdr.msg_name = &m_sources[i];
        m_in[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
    Received received;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int count = ::recvmmsg(descriptor, m_in.data(), kSize, MSG_DONTWAIT, nullptr);
        if (count >= 0) {
            received.count = count;
            break;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            break;
        }
        received.errors.push_back(errno);
    }
    return received;
}

std::string_view DatagramBatch::Data(int i) const
{
    const auto index = static_cast<std::size_t>(i);
    return {static_cast<const char*>(m_iov[index].iov_base), m_in[index].msg_len};
}

void DatagramBatch::Queue(std::string_view text, std::uint32_t address, std::uint16_t port)
{
    if (static_cast<std::size_t>(m_queued) == m_out.size()) {
        m_out.emplace_back();
    }
    Outgoing& out = m_out[static_cast<std::size_t>(m_queued++)];
    out.text.assign(text);
    out.to = {};
    out.to.sin_family = AF_INET;
    out.to.sin_addr.s_addr = htonl(address);
    out.to.sin_port = htons(port);
}

std::vector<std::pair<int, int>> DatagramBatch::Flush(int descriptor)
{
    std::vector<std::pair<int, int>> refused;
    std::vector<iovec> iov(static_cast<std::size_t>(m_queued));
    std::vector<mmsghdr> out(static_cast<std::size_t>(m_queued));
    for (std::size_t i = 0; i < out.size(); ++i) {
        iov[i] = {m_out[i].text.data(), m_out[i].text.size()};
        out[i] = {};
        out[i].msg_hdr.msg_iov = &iov[i];
        out[i].msg_hdr.msg_iovlen = 1;
        out[i].msg_hdr.msg_name = &m_out[i].to;
        out[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
    // sendmmsg stops at the first datagram it cannot send: report that one, go on after it.
    for (int sent = 0; sent < m_queued;) {
        const int count =
            ::sendmmsg(descriptor, out.data() + sent, static_cast<unsigned>(m_queued - sent), 0);
        if (count > 0) {
            sent += count;
        } else {
            refused.emplace_back(sent++, errno);
        }
    }
    m_queued = 0;
    return refused;
}

} // namespace tavrix
