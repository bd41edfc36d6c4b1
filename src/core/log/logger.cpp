#include "core/log/logger.h"

#include "core/text/numeric.h"

#include <algorithm>

namespace tavrix {

namespace {

bool IsControl(char c)
{
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

// Every control character written as \r, \n, \t or \xNN.
void Escape(std::string& text)
{
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

// Four spaces after every line break inside the text (a LF, or a CR that no LF follows), so
// that no line of a dumped message begins like a line of the log.
void Indent(std::string& text)
{
    constexpr std::string_view kIndent = "    ";
    std::string out;
    out.reserve(text.size() + 64);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        out.push_back(c);
        const bool last = i + 1 == text.size();
        if (!last && (c == '\n' || (c == '\r' && text[i + 1] != '\n'))) {
            out.append(kIndent);
        }
    }
    text.swap(out);
}

} // namespace

void Logger::CountError(Level level)
{
    if (level == Level::Err) {
        // Counted before the line is written; at the limit the count stays, the line is written.
        m_stats.Increment(Figure::Errors);
    }
}

bool Logger::Admit(Flood kind, Level level, std::string_view source)
{
    ++m_events[static_cast<std::size_t>(kind)];
    if (!Passes(level)) {
        return false;
    }
    CountError(level);
    Suppressed& flood = m_floods[static_cast<std::size_t>(kind)];
    if (source.empty()) {
        if (flood.written >= kFloodLines) {
            return false;
        }
        ++flood.written;
        return true;
    }
    if (flood.written >= kFloodTotal) {
        return false;
    }
    // A flood from ever new (forged) sources keeps the table small: past this many sources in
    // a second, a new one has no budget left.
    constexpr std::size_t kMaxSources = 1000;
    const auto known = flood.bySource.find(std::string(source));
    if (known == flood.bySource.end() && flood.bySource.size() >= kMaxSources) {
        return false;
    }
    int& mine = known != flood.bySource.end() ? known->second : flood.bySource[std::string(source)];
    if (mine >= kFloodLines) {
        return false;
    }
    ++mine;
    ++flood.written;
    return true;
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
    if (level == Level::DebugV) {
        Indent(text);
    } else if (std::any_of(text.begin(), text.end(), IsControl)) {
        Escape(text);
    }
    m_sink.Write(LogRecord{level, m_clock.Seconds(), text});
}

} // namespace tavrix
