#include "service/requestkey.h"

#include "protocol/wire.h"

#include <sodium.h>

namespace {

// libsodium's key derivation context: eight bytes naming what the subkeys are for.
constexpr char Context[crypto_kdf_CONTEXTBYTES + 1] = "QGreqkey";
enum SubkeyId : std::uint64_t { Lookup = 1, Seal = 2, Fingerprint = 3 };

QString hex(const unsigned char *bytes, std::size_t size)
{
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(bytes), qsizetype(size)).toHex());
}

const unsigned char *bytesOf(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

} // namespace

std::optional<RequestKey> RequestKey::derive(const QString &key)
{
    static_assert(crypto_kdf_KEYBYTES == 32 && crypto_secretbox_KEYBYTES == 32);
    if (key.size() < Wire::MinKeyLength || sodium_init() < 0)
        return std::nullopt;
    const QByteArray text = key.toUtf8();
    std::array<unsigned char, crypto_kdf_KEYBYTES> master {};
    crypto_generichash(master.data(), master.size(), bytesOf(text), std::size_t(text.size()),
                       nullptr, 0);
    RequestKey derived;
    crypto_kdf_derive_from_key(derived.m_lookup.data(), derived.m_lookup.size(), Lookup, Context,
                               master.data());
    crypto_kdf_derive_from_key(derived.m_seal.data(), derived.m_seal.size(), Seal, Context,
                               master.data());
    crypto_kdf_derive_from_key(derived.m_fingerprint.data(), derived.m_fingerprint.size(),
                               Fingerprint, Context, master.data());
    sodium_memzero(master.data(), master.size());
    return derived;
}

QString RequestKey::lookup() const
{
    return hex(m_lookup.data(), m_lookup.size());
}

QString RequestKey::fingerprint(const QByteArray &request) const
{
    std::array<unsigned char, crypto_generichash_BYTES> digest {};
    crypto_generichash(digest.data(), digest.size(), bytesOf(request), std::size_t(request.size()),
                       m_fingerprint.data(), m_fingerprint.size());
    return hex(digest.data(), digest.size());
}

QString RequestKey::seal(const QByteArray &answer) const
{
    QByteArray sealed(qsizetype(crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES)
                          + answer.size(),
                      Qt::Uninitialized);
    auto *nonce = reinterpret_cast<unsigned char *>(sealed.data());
    randombytes_buf(nonce, crypto_secretbox_NONCEBYTES);
    crypto_secretbox_easy(nonce + crypto_secretbox_NONCEBYTES, bytesOf(answer),
                          std::size_t(answer.size()), nonce, m_seal.data());
    return QString::fromLatin1(sealed.toBase64());
}

std::optional<QByteArray> RequestKey::open(const QString &sealed) const
{
    const auto result = QByteArray::fromBase64Encoding(sealed.toLatin1(),
                                                       QByteArray::AbortOnBase64DecodingErrors);
    constexpr qsizetype Overhead = crypto_secretbox_NONCEBYTES + crypto_secretbox_MACBYTES;
    if (!result || result.decoded.size() < Overhead)
        return std::nullopt;
    const QByteArray &decoded = result.decoded;
    const unsigned char *nonce = bytesOf(decoded);
    QByteArray answer(decoded.size() - Overhead, Qt::Uninitialized);
    if (crypto_secretbox_open_easy(
            reinterpret_cast<unsigned char *>(answer.data()), nonce + crypto_secretbox_NONCEBYTES,
            std::size_t(decoded.size() - crypto_secretbox_NONCEBYTES), nonce, m_seal.data())
        != 0)
        return std::nullopt;
    return answer;
}
