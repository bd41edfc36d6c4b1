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

std::string_view LevelLabel(Level level)
{
    switch (level) {
    case Level::Err:
        return "LOG_ERR";
    case Level::Info:
        return "LOG_INFO";
    case Level::Debug:
        return "LOG_DEBUG";
    case Level::DebugV:
        return "LOG_DEBUGV";
    }
    return {};
}

void Logger::CountError(Level level)
{
    if (level == Level::Err) {
        // Counted before the line is written; at the limit the count stays, the line is written.
        m_stats.SetErrors(m_stats.Errors() + 1);
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

void Logger::Emit(Level level, std::string& line, std::size_t start)
{
    if (level != Level::DebugV &&
        std::any_of(line.begin() + static_cast<std::ptrdiff_t>(start), line.end(), IsControl)) {
        std::string escaped = line.substr(0, start);
        for (std::size_t i = start; i < line.size(); ++i) {
            const char c = line[i];
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
        line.swap(escaped);
    }
    if (!std::string_view(line).substr(start).ends_with(kCrLf)) {
        line.append(kCrLf);
    }
    // Past the cap every write removes as many leading characters as it adds, ignoring line
    // boundaries; a line longer than the whole text leaves the line alone.
    const std::size_t length = m_sink.Length();
    if (length > kLogCap) {
        m_sink.RemoveFront(std::min(line.size(), length));
    }
    m_sink.Append(line);
}

} // namespace tavrix
