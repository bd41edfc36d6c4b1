#include "core/log/logger.h"

#include "core/text/numeric.h"

#include <algorithm>

namespace tavrix {

namespace {

bool IsControl(char c)
{
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

} // namespace

void Logger::CountError(Level level)
{
    if (level == Level::Err) {
        // Counted before the line is written; at the limit the count stays, the line is written.
        m_stats.Increment(Figure::Errors);
    }
}

void Logger::Tick()
{
    for (Suppressed& flood : m_floods) {
        if (flood.count > 0 && Passes(flood.level)) {
            Write(flood.level, flood.count, " similar messages suppressed: ", flood.first);
        }
        flood = Suppressed{};
    }
}

void Logger::Emit(Level level, std::string& text)
{
    ++m_lines[static_cast<std::size_t>(level) % m_lines.size()];
    if (level != Level::DebugV && std::any_of(text.begin(), text.end(), IsControl)) {
        std::string escaped;
        escaped.reserve(text.size() + 16);
        for (const char c : text) {
            if (c == '\r') {
                escaped.append("\\r");
            } else if (c == '\n') {
                escaped.append("\\n");
            } else if (c == '\t') {
                escaped.append("\\t");
            } else if (IsControl(c)) {
                static constexpr char kHex[] = "0123456789ABCDEF";
                const auto byte = static_cast<unsigned char>(c);
                AppendPieces(escaped, "\\x", std::string_view(&kHex[byte >> 4], 1),
                             std::string_view(&kHex[byte & 0xf], 1));
            } else {
                escaped.push_back(c);
            }
        }
        text.swap(escaped);
    }
    m_sink.Write(LogRecord{level, m_clock.Seconds(), text});
}

} // namespace tavrix
