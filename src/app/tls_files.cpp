#include "app/tls_files.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

namespace tavrix {

namespace {

template <typename T, void (*Free)(T*)> struct Freer
{
    void operator()(T* p) const { Free(p); }
};
using Bio = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;
using Cert = std::unique_ptr<X509, Freer<X509, X509_free>>;
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;

std::variant<QByteArray, QString> ReadPem(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
    }
    return file.readAll();
}

} // namespace

std::variant<QSslConfiguration, QString> LoadTls(const QString& certFile, const QString& keyFile)
{
    if (!QSslSocket::supportsSsl()) {
        return QStringLiteral("TLS is not available: no TLS library could be loaded");
    }
    auto certText = ReadPem(certFile);
    if (const QString* error = std::get_if<QString>(&certText)) {
        return *error;
    }
    const QList<QSslCertificate> chain =
        QSslCertificate::fromData(std::get<QByteArray>(certText), QSsl::Pem);
    if (chain.isEmpty() || chain.front().isNull()) {
        return QStringLiteral("%1 holds no PEM certificate").arg(certFile);
    }
    auto keyText = ReadPem(keyFile);
    if (const QString* error = std::get_if<QString>(&keyText)) {
        return *error;
    }
    const QByteArray& keyBytes = std::get<QByteArray>(keyText);
    QSslKey key(keyBytes, QSsl::Rsa, QSsl::Pem);
    if (key.isNull()) {
        key = QSslKey(keyBytes, QSsl::Ec, QSsl::Pem);
    }
    if (key.isNull()) {
        return QStringLiteral("%1 holds no PEM private key (RSA or EC, unencrypted)").arg(keyFile);
    }
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(chain.front());
    if (chain.size() > 1) {
        tls.setLocalCertificateChain(chain);
    }
    tls.setPrivateKey(key);
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    // Phones seldom hold a certificate of their own; they authenticate with digest.
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    return tls;
}

QString CheckTlsFiles(const QString& certFile, const QString& keyFile)
{
    auto certText = ReadPem(certFile);
    if (const QString* error = std::get_if<QString>(&certText)) {
        return *error;
    }
    auto keyText = ReadPem(keyFile);
    if (const QString* error = std::get_if<QString>(&keyText)) {
        return *error;
    }
    const auto bio = [](const QByteArray& bytes) {
        return Bio(BIO_new_mem_buf(bytes.constData(), static_cast<int>(bytes.size())));
    };
    const Bio certBio = bio(std::get<QByteArray>(certText));
    const Cert cert(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
    if (!cert) {
        ERR_clear_error();
        return QStringLiteral("%1 holds no PEM certificate").arg(certFile);
    }
    const Bio keyBio = bio(std::get<QByteArray>(keyText));
    // No passphrase callback: an encrypted key is refused rather than asked for.
    static char none[] = "";
    const Key key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, none));
    if (!key) {
        ERR_clear_error();
        return QStringLiteral("%1 holds no PEM private key (unencrypted)").arg(keyFile);
    }
    if (X509_check_private_key(cert.get(), key.get()) != 1) {
        ERR_clear_error();
        return QStringLiteral("%1 is not the private key of the certificate in %2")
            .arg(keyFile, certFile);
    }
    return {};
}

} // namespace tavrix
