#pragma once

#include <QSslConfiguration>
#include <QString>

#include <variant>

namespace tavrix {

// The server side of TLS from a PEM certificate (the chain may follow it in the same file) and
// a PEM private key: TLS 1.2 at least, the phones' certificates not asked for. Otherwise the
// reason, naming the file ("cannot read /etc/x.pem: No such file or directory").
// Needs the application object (Qt's TLS backend).
std::variant<QSslConfiguration, QString> LoadTls(const QString& certFile, const QString& keyFile);

// Whether the files hold a PEM certificate and the PEM private key of it: empty, or what is
// wrong, naming the file. Needs no application object, so the command line can stop on it.
QString CheckTlsFiles(const QString& certFile, const QString& keyFile);

} // namespace tavrix
