#include "core/text/stream_framer.h"

#include "core/text/message.h"

#include <algorithm>

namespace tavrix {

StreamFramer::Status StreamFramer::Feed(std::string_view bytes, std::vector<std::string>& messages)
{
    if (m_status != Status::Ok) {
        return m_status;
    }
    m_buffer.append(bytes);
    while (!m_buffer.empty()) {
        if (m_buffer.starts_with("\r\n\r\n")) {
            ++m_pings;
            m_buffer.erase(0, 4);
            continue;
        }
        if (m_buffer == "\r\n" || m_buffer == "\r" || m_buffer == "\r\n\r") {
            break; // maybe the start of a ping
        }
        if (m_buffer.starts_with("\r\n")) {
            m_buffer.erase(0, 2);
            continue;
        }
        const std::size_t end = m_buffer.find("\r\n\r\n");
        if (end == std::string::npos) {
            if (m_buffer.size() > kMaxMessageSize) {
                m_status = Status::TooLarge;
            }
            break;
        }
        const std::size_t headerSize = end + 4;
        const std::string_view length = Message(std::string_view(m_buffer).substr(0, headerSize))
                                            .Header(HeaderId::ContentLength);
        if (length.empty() ||
            !std::ranges::all_of(length, [](char c) { return c >= '0' && c <= '9'; })) {
            m_status = Status::NoLength;
            break;
        }
        const std::size_t size =
            length.size() > 5 ? kMaxMessageSize + 1 : headerSize + std::stoul(std::string(length));
        if (size > kMaxMessageSize) {
            m_status = Status::TooLarge;
            break;
        }
        if (m_buffer.size() < size) {
            break;
        }
        messages.push_back(m_buffer.substr(0, size));
        m_buffer.erase(0, size);
    }
    if (m_status != Status::Ok) {
        m_buffer.clear();
    }
    return m_status;
}

std::string WithContentLength(std::string_view message)
{
    const std::size_t end = message.find("\r\n\r\n");
    if (end == std::string_view::npos ||
        !Message(message.substr(0, end + 4)).Header(HeaderId::ContentLength).empty()) {
        return std::string(message);
    }
    std::string framed(message.substr(0, end + 2));
    framed += "Content-Length: " + std::to_string(message.size() - end - 4) + "\r\n";
    framed += message.substr(end + 2);
    return framed;
}

} // namespace tavrix
