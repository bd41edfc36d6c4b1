#include "app/console_admins.h"

#include "app/server.h"
#include "app/users_file.h"

#include <QCryptographicHash>
#include <QFileInfo>

namespace tavrix {

ConsoleAdmins::ConsoleAdmins(QString usersFile, QString realm, QStringList admins,
                             std::optional<Users> users)
    : m_usersFile(std::move(usersFile)), m_realm(std::move(realm)), m_admins(std::move(admins)),
      m_users(std::move(users))
{
    const QFileInfo info(m_usersFile);
    m_modified = info.lastModified();
    m_size = info.size();
}

void ConsoleAdmins::reread()
{
    const QFileInfo info(m_usersFile);
    if (info.lastModified() == m_modified && info.size() == m_size) {
        return;
    }
    auto users = ReadUsersFile(m_usersFile, m_realm);
    if (Users* read = std::get_if<Users>(&users)) { // a file being written keeps the old ones
        m_users = std::move(*read);
        m_modified = info.lastModified();
        m_size = info.size();
    }
}

QString ConsoleAdmins::check(const QByteArray& authorization, QString& user)
{
    const QByteArray scheme = authorization.left(6);
    if (!m_users || scheme.toLower() != "basic ") {
        return {};
    }
    const QByteArray pair = QByteArray::fromBase64(authorization.mid(6).trimmed());
    const qsizetype colon = pair.indexOf(':');
    if (colon <= 0) {
        return {};
    }
    user = QString::fromUtf8(pair.left(colon));
    if (!m_admins.contains(user)) {
        return {};
    }
    reread();
    const auto ha1 = m_users->Ha1.find(pair.left(colon).toStdString());
    if (ha1 == m_users->Ha1.end()) {
        return {};
    }
    const QByteArray given =
        QCryptographicHash::hash(pair.left(colon) + ':' +
                                     QByteArray::fromStdString(m_users->Realm) + ':' +
                                     pair.mid(colon + 1),
                                 QCryptographicHash::Md5)
            .toHex();
    // Compared in constant time, so the time taken tells nothing about the digest.
    const QByteArray expected = QByteArray::fromStdString(ha1->second).toLower();
    unsigned char differ = given.size() == expected.size() ? 0 : 1;
    for (qsizetype i = 0; i < given.size() && i < expected.size(); ++i) {
        differ |= static_cast<unsigned char>(given[i] ^ expected[i]);
    }
    return differ == 0 ? user : QString();
}

QByteArray ConsoleAdmins::challenge() const
{
    const std::string realm = m_users ? m_users->Realm : std::string();
    return "Basic realm=\"Tavrix console, " + QByteArray::fromStdString(realm) +
           "\", charset=\"UTF-8\"";
}

} // namespace tavrix
