#include "app/local_time.h"

#include <QDateTime>

namespace tavrix {

QString WithoutTimeZone(const QString& format)
{
    QString out;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar ch = format.at(i);
        if (ch == u'\'') {
            quoted = !quoted;
        } else if (ch == u't' && !quoted) {
            while (i + 1 < format.size() && format.at(i + 1) == u't') {
                ++i;
            }
            while (!out.isEmpty() && out.back().isSpace()) {
                out.chop(1);
            }
            while (out.isEmpty() && i + 1 < format.size() && format.at(i + 1).isSpace()) {
                ++i;
            }
            continue;
        }
        out.append(ch);
    }
    return out;
}

LocalTimeText::LocalTimeText()
    : m_locale(QLocale::system()), m_dateFormat(m_locale.dateFormat(QLocale::ShortFormat)),
      m_timeFormat(WithoutTimeZone(m_locale.timeFormat(QLocale::LongFormat)))
{}

std::string_view LocalTimeText::Text(std::int64_t seconds)
{
    if (seconds != m_second) {
        m_second = seconds;
        const QDateTime now = QDateTime::fromSecsSinceEpoch(seconds);
        const QString text = m_locale.toString(now.date(), m_dateFormat) + u' ' +
                             m_locale.toString(now.time(), m_timeFormat);
        m_text.clear();
        for (const QChar ch : text) {
            // Locales put narrow or other wide spaces between the time and "PM".
            if (ch.unicode() > 0xFF) {
                m_text.push_back(ch.isSpace() ? ' ' : '?');
            } else {
                m_text.push_back(static_cast<char>(ch.unicode()));
            }
        }
    }
    return m_text;
}

} // namespace tavrix
