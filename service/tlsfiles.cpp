#include "service/tlsfiles.h"

#include "service/servicetexts.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslCipher>
#include <QSslKey>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// The TLS 1.3 suites, and those of TLS 1.2 with an ephemeral elliptic-curve key exchange
// and an AEAD cipher: a key stolen later opens no recorded session, and no CBC
// construction is left to attack. Earlier versions of TLS share none of them. (Finite-field
// DHE is left out: Qt hands OpenSSL no parameters for it here, and clients that have it
// have ECDHE too.)
QList<QSslCipher> forwardSecretCiphers()
{
    QList<QSslCipher> kept;
    const QList<QSslCipher> supported = QSslConfiguration::supportedCiphers();
    for (const QSslCipher &cipher : supported) {
        const QString encryption = cipher.encryptionMethod();
        const bool aead
            = encryption.startsWith(u"AESGCM"_s) || encryption.startsWith(u"CHACHA20"_s);
        if (cipher.protocol() == QSsl::TlsV1_3 || (cipher.keyExchangeMethod() == u"ECDH"_s && aead))
            kept.append(cipher);
    }
    return kept;
}

// Checked on the open file, so that what is checked is what is read.
QString exposure(const QFile &key)
{
    struct stat held { };
    if (::fstat(key.handle(), &held) != 0)
        return ServiceTexts::cannotReadTls(key.fileName(), key.errorString());
    const mode_t mode = held.st_mode & 07777;
    const bool ours = held.st_uid == ::geteuid();
    if (!ours && held.st_uid != 0)
        return ServiceTexts::keyNotOwned(key.fileName());
    // Root's key may be read by its group (Debian's ssl-cert, say), never written.
    const mode_t refused = ours ? mode_t(S_IRWXG | S_IRWXO) : mode_t(S_IWGRP | S_IXGRP | S_IRWXO);
    if (mode & refused)
        return ServiceTexts::keyExposed(key.fileName(), u"%1"_s.arg(mode, 4, 8, QChar(u'0')));
    return {};
}

} // namespace

Status loadTls(const QString &certificateFile, const QString &keyFile,
               QSslConfiguration &configuration)
{
    const auto refused
        = [](const QString &why) { return Status::failure(Status::CreationFailed, why); };
    QFile certificate(certificateFile);
    QFile key(keyFile);
    if (!certificate.open(QIODevice::ReadOnly))
        return refused(ServiceTexts::cannotReadTls(certificateFile, certificate.errorString()));
    if (!key.open(QIODevice::ReadOnly))
        return refused(ServiceTexts::cannotReadTls(keyFile, key.errorString()));
    if (const QString why = exposure(key); !why.isEmpty())
        return refused(why);
    const QList<QSslCertificate> chain = QSslCertificate::fromDevice(&certificate, QSsl::Pem);
    const QByteArray pem = key.readAll();
    QSslKey privateKey(pem, QSsl::Rsa, QSsl::Pem);
    if (privateKey.isNull())
        privateKey = QSslKey(pem, QSsl::Ec, QSsl::Pem);
    if (chain.isEmpty() || privateKey.isNull())
        return refused(ServiceTexts::cannotReadTls(chain.isEmpty() ? certificateFile : keyFile,
                                                   ServiceTexts::notPem()));
    configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(privateKey);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.setCiphers(forwardSecretCiphers());
    return Status::ok();
}
