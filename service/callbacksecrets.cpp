#include "service/callbacksecrets.h"

#include "service/servicetexts.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace CallbackSecrets {

QString newSecret()
{
    unsigned char random[32];
    randombytes_buf(random, sizeof random);
    char
        encoded[sodium_base64_ENCODED_LEN(sizeof random, sodium_base64_VARIANT_URLSAFE_NO_PADDING)];
    sodium_bin2base64(encoded, sizeof encoded, random, sizeof random,
                      sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    sodium_memzero(random, sizeof random);
    return SecretPrefix + QString::fromLatin1(encoded);
}

QByteArray signature(const QString &secret, qint64 unixSeconds, const QByteArray &body)
{
    const QByteArray key = secret.toUtf8();
    const QByteArray t = QByteArray::number(unixSeconds);
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, reinterpret_cast<const unsigned char *>(key.constData()),
                                size_t(key.size()));
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char *>(t.constData()),
                                  size_t(t.size()));
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char *>("."), 1);
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char *>(body.constData()),
                                  size_t(body.size()));
    unsigned char mac[crypto_auth_hmacsha256_BYTES];
    crypto_auth_hmacsha256_final(&state, mac);
    const QByteArray hex = QByteArray(reinterpret_cast<const char *>(mac), sizeof mac).toHex();
    return "t=" + t + ",v1=" + hex;
}

} // namespace CallbackSecrets

namespace {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

// Made with O_EXCL, so that two processes starting at once on one folder agree on one
// key: the one that loses the race reads the winner's.
Status SecretSeal::load(const QString &file, SecretSeal &seal)
{
    if (sodium_init() < 0)
        return Status::failure(Status::CreationFailed,
                               ServiceTexts::cannotReadCallbackKey(file, u"libsodium"_s));
    const QByteArray path = QFile::encodeName(file);
    int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        unsigned char key[crypto_secretbox_KEYBYTES];
        crypto_secretbox_keygen(key);
        const bool written = ::write(fd, key, sizeof key) == ssize_t(sizeof key);
        const int error = errno;
        sodium_memzero(key, sizeof key);
        const bool synced = written && ::fsync(fd) == 0;
        ::close(fd);
        if (!synced) {
            ::unlink(path.constData());
            return Status::failure(Status::AccessDenied,
                                   ServiceTexts::cannotReadCallbackKey(file, systemError(error)));
        }
    } else if (errno != EEXIST) {
        const int error = errno;
        return Status::failure(Status::AccessDenied,
                               ServiceTexts::cannotReadCallbackKey(file, systemError(error)));
    }
    fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        return Status::failure(Status::AccessDenied,
                               ServiceTexts::cannotReadCallbackKey(file, systemError(error)));
    }
    struct stat info { };
    if (::fstat(fd, &info) != 0 || (info.st_mode & 077) != 0) {
        ::close(fd);
        return Status::failure(
            Status::AccessDenied,
            ServiceTexts::callbackKeyExposed(
                file, QString::number(info.st_mode & 07777, 8).rightJustified(4, u'0')));
    }
    QByteArray key(crypto_secretbox_KEYBYTES + 1, '\0');
    const ssize_t read = ::read(fd, key.data(), size_t(key.size()));
    ::close(fd);
    if (read != ssize_t(crypto_secretbox_KEYBYTES)) {
        sodium_memzero(key.data(), size_t(key.size()));
        return Status::failure(Status::AccessDenied, ServiceTexts::callbackKeyMalformed(file));
    }
    key.truncate(crypto_secretbox_KEYBYTES);
    seal.m_key = key;
    return Status::ok();
}

QByteArray SecretSeal::seal(const QString &secret) const
{
    const QByteArray plain = secret.toUtf8();
    QByteArray sealed(
        qsizetype(crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES) + plain.size(), '\0');
    auto *out = reinterpret_cast<unsigned char *>(sealed.data());
    randombytes_buf(out, crypto_secretbox_NONCEBYTES);
    crypto_secretbox_easy(out + crypto_secretbox_NONCEBYTES,
                          reinterpret_cast<const unsigned char *>(plain.constData()),
                          size_t(plain.size()), out,
                          reinterpret_cast<const unsigned char *>(m_key.constData()));
    return sealed;
}

std::optional<QString> SecretSeal::open(const QByteArray &sealed) const
{
    constexpr qsizetype Overhead = crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES;
    if (m_key.isEmpty() || sealed.size() < Overhead)
        return std::nullopt;
    QByteArray plain(sealed.size() - Overhead, '\0');
    const auto *in = reinterpret_cast<const unsigned char *>(sealed.constData());
    if (crypto_secretbox_open_easy(reinterpret_cast<unsigned char *>(plain.data()),
                                   in + crypto_secretbox_NONCEBYTES,
                                   size_t(sealed.size()) - crypto_secretbox_NONCEBYTES, in,
                                   reinterpret_cast<const unsigned char *>(m_key.constData()))
        != 0)
        return std::nullopt;
    return QString::fromUtf8(plain);
}
