#include "gateway/local/passwordhasher.h"

#include <sodium.h>

#include <QByteArray>

namespace {

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

} // namespace

PasswordHasher::Cost PasswordHasher::interactive()
{
    return { crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE };
}

PasswordHasher::Cost PasswordHasher::fastest()
{
    return { crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN };
}

PasswordHasher::PasswordHasher(Cost cost)
    : m_cost(cost)
{
}

bool PasswordHasher::hash(const QString &password, QString &encoded) const
{
    if (!sodiumReady())
        return false;
    const QByteArray bytes = password.toUtf8();
    char out[crypto_pwhash_STRBYTES] = {};
    if (crypto_pwhash_str_alg(out, bytes.constData(), static_cast<unsigned long long>(bytes.size()),
                              m_cost.opsLimit, m_cost.memLimit, crypto_pwhash_ALG_ARGON2ID13)
        != 0)
        return false;
    encoded = QString::fromLatin1(out);
    return true;
}

bool PasswordHasher::verify(const QString &encoded, const QString &password)
{
    if (!sodiumReady())
        return false;
    const QByteArray hashed = encoded.toLatin1();
    if (hashed.isEmpty() || hashed.size() >= crypto_pwhash_STRBYTES)
        return false;
    const QByteArray bytes = password.toUtf8();
    return crypto_pwhash_str_verify(hashed.constData(), bytes.constData(),
                                    static_cast<unsigned long long>(bytes.size()))
        == 0;
}

QString PasswordHasher::randomDigits(int count)
{
    QString digits;
    if (!sodiumReady())
        return digits;
    digits.reserve(count);
    for (int i = 0; i < count; ++i)
        digits.append(QChar(u'0' + static_cast<char16_t>(randombytes_uniform(10))));
    return digits;
}

QString PasswordHasher::randomText(int count, QLatin1StringView alphabet)
{
    QString text;
    if (!sodiumReady() || alphabet.isEmpty())
        return text;
    text.reserve(count);
    for (int i = 0; i < count; ++i)
        text.append(QChar(alphabet.at(randombytes_uniform(uint32_t(alphabet.size())))));
    return text;
}
