#include "core/log/text_log_sink.h"

#include <algorithm>

namespace tavrix {

void TextLogSink::RemoveFront(std::size_t count)
{
    m_start += std::min(count, Length());
    // Compact once the removed part is larger than the live text: each character is then
    // moved at most once per write that removed it, which keeps a write's cost amortised.
    if (m_start > Length()) {
        m_buffer.erase(0, m_start);
        m_start = 0;
    }
}

void TextLogSink::Append(std::string_view line)
{
    m_buffer.append(line);
}

void TextLogSink::SetText(std::string_view text)
{
    m_buffer.assign(text);
    m_start = 0;
}

} // namespace tavrix
