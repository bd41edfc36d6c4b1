#include "app/users_file.h"

#include "app/latin1.h"

#include <QFile>

namespace tavrix {

std::variant<Users, QString> ReadUsersFile(const QString& path, const QString& realm)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QStringLiteral("%1: %2").arg(path, file.errorString());
    }
    const QByteArray text = file.readAll();
    UsersFile users = ParseUsers(
        std::string_view(text.constData(), static_cast<std::size_t>(text.size())), Latin1(realm));
    if (users.errorLine != 0) {
        return QStringLiteral("%1:%2: %3")
            .arg(path)
            .arg(users.errorLine)
            .arg(QString::fromStdString(users.error));
    }
    if (users.users.Ha1.empty()) {
        return QStringLiteral("%1: no user of realm '%2'")
            .arg(path, QString::fromStdString(users.users.Realm));
    }
    return users.users;
}

void ReloadUsers(Proxy& proxy, const QString& path, const QString& realm)
{
    if (path.isEmpty()) {
        return;
    }
    auto users = ReadUsersFile(path, realm);
    if (const QString* error = std::get_if<QString>(&users)) {
        proxy.Log().WriteLog(Level::Err, "Users not reloaded, the old ones stay: ", Latin1(*error));
        return;
    }
    const std::size_t count = std::get<Users>(users).Ha1.size();
    proxy.SetUsers(std::get<Users>(std::move(users)));
    proxy.Log().WriteLog(Level::Info, "Users reloaded from ", Latin1(path), ": ", count, " users");
}

} // namespace tavrix
