#include "app/config_file.h"

#include "app/options.h"

#include <QFile>
#include <QHash>
#include <QSettings>

#include <algorithm>

namespace tavrix {

namespace {

// Where an INI text sets each key, by the key QSettings gives it ("section/name" outside
// [General]; the last line wins, as there), and the first line that is neither blank, a
// comment, a section nor "name = value" (0: none). QSettings itself skips such a line silently
// and tells no line numbers.
struct IniLines
{
    QHash<QString, int> keys;
    int malformed = 0;
};

IniLines ScanIni(const QString& text)
{
    IniLines found;
    QString section;
    const QStringList lines = text.split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        const int number = static_cast<int>(i + 1);
        const qsizetype equals = line.indexOf(u'=');
        if (line.isEmpty() || line.startsWith(u'#') || line.startsWith(u';')) {
            continue;
        }
        if (line.startsWith(u'[') && line.endsWith(u']')) {
            section = line.mid(1, line.size() - 2).trimmed();
        } else if (equals > 0) {
            const QString name = line.left(equals).trimmed();
            found.keys.insert(
                section.isEmpty() || section == u"General" ? name : section + u'/' + name, number);
        } else if (found.malformed == 0) {
            found.malformed = number;
        }
    }
    return found;
}

} // namespace

QString ReadConfigFile(const QString& path, Options& options)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
    }
    const IniLines lines = ScanIni(QString::fromUtf8(file.readAll()));
    const auto at = [&](int line) { return line ? path + u':' + QString::number(line) : path; };
    if (lines.malformed) {
        return QStringLiteral("%1: expected a line \"name = value\"").arg(at(lines.malformed));
    }
    const QSettings ini(path, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError) {
        return QStringLiteral("%1: not an INI file").arg(path);
    }
    QStringList keys = ini.allKeys(); // in file order, so the first fault is the one reported
    std::sort(keys.begin(), keys.end(), [&lines](const QString& a, const QString& b) {
        return lines.keys.value(a) < lines.keys.value(b);
    });
    for (const QString& key : keys) {
        if (key.startsWith(u'#')) {
            continue; // QSettings comments only with ';' and takes "# name = value" for a key
        }
        const auto setting =
            std::find_if(Settings().begin(), Settings().end(),
                         [&key](const Setting& s) { return key == QLatin1StringView(s.name); });
        if (setting == Settings().end()) {
            return QStringLiteral("%1: unknown key '%2'").arg(at(lines.keys.value(key)), key);
        }
        // A value with a comma comes back as a list; it is taken as written.
        const QVariant value = ini.value(key);
        const QString text = value.typeId() == QMetaType::QStringList
                                 ? value.toStringList().join(u',')
                                 : value.toString();
        QString expected;
        if (setting->valueName || text == u"true") {
            expected = setting->apply(options, text);
        } else if (text != u"false") {
            expected = QStringLiteral("true or false");
        }
        if (!expected.isEmpty()) {
            return QStringLiteral("%1: invalid value '%2' for %3: expected %4")
                .arg(at(lines.keys.value(key)), text, key, expected);
        }
    }
    return {};
}

} // namespace tavrix
