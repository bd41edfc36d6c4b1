#pragma once

#include "core/log/log_sink.h"

#include <QLocale>
#include <QString>

#include <string>
#include <string_view>

namespace tavrix {

// The time format without its time-zone field ("t") and the blank that set it apart;
// quoted literal text stays as written.
QString WithoutTimeZone(const QString& format);

// The local date and time in the system locale's short date and long time formats (read once,
// at construction), without a time-zone name. The text is made once per second.
class SystemClock final : public Clock
{
public:
    SystemClock();
    std::string_view Now() override;
    std::int64_t Seconds() override;

private:
    QLocale m_locale;
    QString m_dateFormat;
    QString m_timeFormat;
    qint64 m_second = -1;
    std::string m_text;
};

} // namespace tavrix
