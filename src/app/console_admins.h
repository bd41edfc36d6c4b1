#pragma once

#include "core/proxy/digest.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

namespace tavrix {

// The users who may open the web console: the administrators named in the settings, with the
// passwords of the users file (HTTP Basic, RFC 7617, checked against the file's HA1). The file
// is read again whenever it changed, so a password changed or a user removed counts at once.
class ConsoleAdmins
{
public:
    // No users: nobody is asked, and nobody may change anything.
    ConsoleAdmins(QString usersFile, QString realm, QStringList admins, std::optional<Users> users);

    // Whether credentials are asked for at all.
    bool required() const { return m_users.has_value(); }
    // The administrator whose valid credentials the Authorization value carries; a null text
    // for none, another scheme, another user or a wrong password. user gets the name claimed,
    // for the log.
    QString check(const QByteArray& authorization, QString& user);
    // The WWW-Authenticate value that asks for them.
    QByteArray challenge() const;

private:
    void reread();

    QString m_usersFile;
    QString m_realm;
    QStringList m_admins;
    std::optional<Users> m_users;
    QDateTime m_modified;
    qint64 m_size = -1;
};

} // namespace tavrix
