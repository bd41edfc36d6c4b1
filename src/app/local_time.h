#pragma once

#include <QLocale>
#include <QString>

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrix {

// The time format without its time-zone field ("t") and the blank that set it apart;
// quoted literal text stays as written.
QString WithoutTimeZone(const QString& format);

// How a moment is written into log text.
class TimeFormat
{
public:
    virtual ~TimeFormat() = default;
    // The text of a moment (seconds since 1970); valid until the next call.
    virtual std::string_view Text(std::int64_t seconds) = 0;
};

// A moment as log lines show it: the system locale's short date and long time (formats read
// once, at construction), without a time-zone name, one byte per character. The text of the
// last second asked for is kept, so a burst of lines formats it once.
class LocalTimeText final : public TimeFormat
{
public:
    LocalTimeText();
    std::string_view Text(std::int64_t seconds) override;

private:
    QLocale m_locale;
    QString m_dateFormat;
    QString m_timeFormat;
    std::int64_t m_second = -1;
    std::string m_text;
};

} // namespace tavrix
