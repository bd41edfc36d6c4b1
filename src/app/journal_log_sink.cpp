#include "app/journal_log_sink.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace tavrix {

namespace {

// The syslog priority of a level.
std::string_view Priority(Level level)
{
    switch (level) {
    case Level::Err:
        return "<3>";
    case Level::Info:
        return "<6>";
    case Level::Debug:
    case Level::DebugV:
        break;
    }
    return "<7>";
}

} // namespace

void JournalLogSink::Write(const LogRecord& record)
{
    constexpr char kHex[] = "0123456789ABCDEF";
    const std::string_view priority = Priority(record.level);
    const std::string line = LogLine(record, m_time.Text(record.time));
    std::string out;
    out.reserve(line.size() + 16);
    bool rowStart = true;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const auto ch = static_cast<unsigned char>(line[i]);
        if (rowStart) {
            out += priority;
            rowStart = false;
        }
        if (ch == '\n') {
            out += '\n';
            rowStart = true;
        } else if (ch == '\r') {
            if (i + 1 == line.size() || line[i + 1] != '\n') {
                out += "\\r";
            }
        } else if ((ch < 0x20 && ch != '\t') || (ch >= 0x7F && ch < 0xA0)) {
            out += {'\\', 'x', kHex[ch >> 4], kHex[ch & 0xF]};
        } else if (ch >= 0xA0) {
            out += {static_cast<char>(0xC0 | (ch >> 6)), static_cast<char>(0x80 | (ch & 0x3F))};
        } else {
            out += static_cast<char>(ch);
        }
    }
    if (!rowStart) {
        out += '\n';
    }
    std::fwrite(out.data(), 1, out.size(), m_stream);
    std::fflush(m_stream);
}

bool StdoutIsJournal()
{
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat status = {};
    if (stream == nullptr || ::fstat(STDOUT_FILENO, &status) != 0) {
        return false;
    }
    const std::string text(stream);
    const std::size_t colon = text.find(':');
    return colon != std::string::npos && text.substr(0, colon) == std::to_string(status.st_dev) &&
           text.substr(colon + 1) == std::to_string(status.st_ino);
}

} // namespace tavrix
