#pragma once

#include "core/proxy/digest.h"
#include "core/proxy/proxy.h"

#include <QString>

#include <variant>

namespace tavrix {

// The users of an htdigest file (Apache's htdigest writes it) for the realm, or of the realm of
// its first line when none is given; or why not: "FILE: REASON" or "FILE:LINE: what is wrong".
std::variant<Users, QString> ReadUsersFile(const QString& path, const QString& realm);

// Reads the users file again for the proxy: the new users, with a LOG_INFO line; a file that
// cannot be read keeps the old ones, with a LOG_ERR line. Nothing without a users file.
void ReloadUsers(Proxy& proxy, const QString& path, const QString& realm);

} // namespace tavrix
