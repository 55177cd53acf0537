#include "servicestore.h"

#include "store.h"

#include <QDateTime>
#include <QSqlQuery>

#include <sodium.h>

using namespace Qt::StringLiterals;

namespace {

const char16_t *const Tables[] = {
    uR"(CREATE TABLE IF NOT EXISTS service_tokens (
        id INTEGER PRIMARY KEY,
        name TEXT NOT NULL,
        role TEXT NOT NULL CHECK (role IN ('console', 'operator')),
        hash TEXT NOT NULL UNIQUE,
        issued_at BIGINT NOT NULL,
        revoked_at BIGINT))",
    uR"(CREATE TABLE IF NOT EXISTS service_requests (
        token_id BIGINT NOT NULL,
        idempotency_key TEXT NOT NULL,
        operation TEXT NOT NULL,
        fingerprint TEXT NOT NULL,
        answer TEXT NOT NULL,
        created_at BIGINT NOT NULL,
        PRIMARY KEY (token_id, idempotency_key)))",
    uR"(CREATE INDEX IF NOT EXISTS service_requests_age ON service_requests (created_at))",
};

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

QString newSecret()
{
    unsigned char random[32];
    randombytes_buf(random, sizeof random);
    char
        encoded[sodium_base64_ENCODED_LEN(sizeof random, sodium_base64_VARIANT_URLSAFE_NO_PADDING)];
    sodium_bin2base64(encoded, sizeof encoded, random, sizeof random,
                      sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    sodium_memzero(random, sizeof random);
    return ServiceStore::TokenPrefix + QString::fromLatin1(encoded);
}

} // namespace

ServiceStore::ServiceStore(std::unique_ptr<Store> owned, Store &store)
    : m_owned(std::move(owned))
    , m_store(&store)
{
}

ServiceStore::~ServiceStore() = default;

Status ServiceStore::open(const QString &location, std::unique_ptr<ServiceStore> &store)
{
    if (sodium_init() < 0)
        return Status::failure(Store::Unavailable, u"libsodium could not be initialised"_s);
    std::unique_ptr<Store> opened;
    QUILLET_TRY(Store::open(location, opened));
    Store &raw = *opened;
    std::unique_ptr<ServiceStore> made(new ServiceStore(std::move(opened), raw));
    QUILLET_TRY(made->createTables());
    store = std::move(made);
    return Status::ok();
}

Status ServiceStore::attach(Store &store, std::unique_ptr<ServiceStore> &service)
{
    if (sodium_init() < 0)
        return Status::failure(Store::Unavailable, u"libsodium could not be initialised"_s);
    std::unique_ptr<ServiceStore> made(new ServiceStore(nullptr, store));
    QUILLET_TRY(made->createTables());
    service = std::move(made);
    return Status::ok();
}

Status ServiceStore::createTables()
{
    return m_store
        ->transaction([&]() -> Result<Store::Decision> {
            for (const char16_t *sql : Tables) {
                QSqlQuery q = m_store->query();
                QUILLET_TRY(m_store->run(q, QString::fromUtf16(sql)));
            }
            return Store::Decision::Commit;
        })
        .status();
}

QString ServiceStore::hash(const QByteArray &data)
{
    unsigned char digest[crypto_generichash_BYTES];
    crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char *>(data.data()),
                       size_t(data.size()), nullptr, 0);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(digest), sizeof digest).toHex());
}

Status ServiceStore::issue(const QString &name, Wire::Role role, QString &issued, bool &done)
{
    done = false;
    const QString secret = newSecret();
    const Status status
        = m_store
              ->transaction([&]() -> Result<Store::Decision> {
                  QSqlQuery q = m_store->query();
                  QUILLET_TRY(m_store->run(
                      q, u"SELECT 1 FROM service_tokens WHERE name = ? AND revoked_at IS NULL"_s,
                      { name }));
                  if (q.next())
                      return Store::Decision::RollBack;
                  QSqlQuery insert = m_store->query();
                  QUILLET_TRY(
                      m_store->run(insert,
                                   u"INSERT INTO service_tokens (name, role, hash, issued_at) "
                                   u"VALUES (?, ?, ?, ?)"_s,
                                   { name, Wire::roleName(role), hash(secret.toUtf8()), nowMs() }));
                  done = true;
                  return Store::Decision::Commit;
              })
              .status();
    QUILLET_TRY(status);
    if (done)
        issued = secret;
    return Status::ok();
}

Status ServiceStore::revoke(const QString &name, bool &done)
{
    done = false;
    return m_store
        ->transaction([&]() -> Result<Store::Decision> {
            QSqlQuery q = m_store->query();
            QUILLET_TRY(m_store->run(q,
                                     u"UPDATE service_tokens SET revoked_at = ? WHERE name = ? "
                                     u"AND revoked_at IS NULL"_s,
                                     { nowMs(), name }));
            done = q.numRowsAffected() > 0;
            return done ? Store::Decision::Commit : Store::Decision::RollBack;
        })
        .status();
}

Status ServiceStore::list(QList<Listed> &tokens)
{
    QSqlQuery q = m_store->query();
    QUILLET_TRY(m_store->run(
        q, u"SELECT name, role, issued_at, revoked_at FROM service_tokens ORDER BY id"_s));
    while (q.next()) {
        Listed t { q.value(0).toString(),
                   q.value(1).toString() == u"operator"_s ? Wire::Role::Operator
                                                          : Wire::Role::Console,
                   q.value(2).toLongLong(), std::nullopt };
        if (!q.value(3).isNull())
            t.revokedAtMs = q.value(3).toLongLong();
        tokens.append(t);
    }
    return Status::ok();
}

Status ServiceStore::verify(const QString &secret, std::optional<Token> &token)
{
    token.reset();
    if (!secret.startsWith(TokenPrefix))
        return Status::ok();
    QSqlQuery *q = nullptr;
    Status status = m_store->step(
        q, u"SELECT id, name, role FROM service_tokens WHERE hash = ? AND revoked_at IS NULL"_s,
        { hash(secret.toUtf8()) });
    if (status.isOk() && q->next()) {
        token = Token { q->value(0).toLongLong(), q->value(1).toString(),
                        q->value(2).toString() == u"operator"_s ? Wire::Role::Operator
                                                                : Wire::Role::Console };
    }
    if (q)
        q->finish();
    return status;
}

Status ServiceStore::remembered(qint64 tokenId, const QString &key,
                                std::optional<Remembered> &found)
{
    found.reset();
    QSqlQuery *q = nullptr;
    Status status
        = m_store->step(q,
                        u"SELECT fingerprint, answer FROM service_requests "
                        u"WHERE token_id = ? AND idempotency_key = ? AND created_at >= ?"_s,
                        { tokenId, key, nowMs() - KeyLifetimeMs });
    if (status.isOk() && q->next())
        found = Remembered { q->value(0).toString(), q->value(1).toString().toUtf8() };
    if (q)
        q->finish();
    return status;
}

Status ServiceStore::remember(qint64 tokenId, const QString &key, const QString &operation,
                              const QString &fingerprint, const QByteArray &answer)
{
    QSqlQuery q = m_store->query();
    return m_store->run(
        q,
        u"INSERT INTO service_requests (token_id, idempotency_key, operation, "
        u"fingerprint, answer, created_at) VALUES (?, ?, ?, ?, ?, ?)"_s,
        { tokenId, key, operation, fingerprint, QString::fromUtf8(answer), nowMs() });
}

Status ServiceStore::forgetExpired()
{
    return m_store
        ->transaction([&]() -> Result<Store::Decision> {
            QSqlQuery q = m_store->query();
            QUILLET_TRY(m_store->run(q, u"DELETE FROM service_requests WHERE created_at < ?"_s,
                                     { nowMs() - KeyLifetimeMs }));
            return Store::Decision::Commit;
        })
        .status();
}
