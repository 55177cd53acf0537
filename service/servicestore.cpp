#include "servicestore.h"

#include "postgresqlschema.h"
#include "servicetexts.h"
#include "store.h"

#include <QDateTime>
#include <QSqlQuery>

#include <sodium.h>

#include <span>

using namespace Qt::StringLiterals;

namespace {

const QString VersionKey = QStringLiteral("service_schema_version");

// Each version's statements, in order; a store at version N runs those of every later
// one. Version 2 drops the answers version 1 remembered in plain text, with the keys.
struct Step {
    int version;
    const char16_t *sql;
};

// SQLite: times in milliseconds since the epoch, as the tables have always had them.
const Step SqliteSteps[] = {
    { 1, uR"(CREATE TABLE IF NOT EXISTS service_tokens (
        id INTEGER PRIMARY KEY,
        name TEXT NOT NULL,
        role TEXT NOT NULL CHECK (role IN ('console', 'operator')),
        hash TEXT NOT NULL UNIQUE,
        issued_at BIGINT NOT NULL,
        revoked_at BIGINT))" },
    { 1, uR"(CREATE UNIQUE INDEX IF NOT EXISTS service_tokens_active ON service_tokens (name)
        WHERE revoked_at IS NULL)" },
    { 2, uR"(DROP TABLE IF EXISTS service_requests)" },
    { 2, uR"(CREATE TABLE service_requests (
        token_id BIGINT NOT NULL,
        key_hash TEXT NOT NULL,
        operation TEXT NOT NULL,
        fingerprint TEXT NOT NULL,
        answer TEXT NOT NULL,
        created_at BIGINT NOT NULL,
        PRIMARY KEY (token_id, key_hash)))" },
    { 2, uR"(CREATE INDEX service_requests_age ON service_requests (created_at))" },
    { 2, uR"(CREATE TABLE service_signons (
        token_id BIGINT NOT NULL,
        account_no TEXT NOT NULL,
        signed_on_at BIGINT NOT NULL,
        PRIMARY KEY (account_no, token_id)))" },
};

// PostgreSQL: in the gateway's schema, times as timestamptz like the gateway's own.
const Step PostgresqlSteps[] = {
    { 1, uR"(CREATE TABLE service_tokens (
        id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
        name text NOT NULL,
        role text NOT NULL CHECK (role IN ('console', 'operator')),
        hash text NOT NULL UNIQUE,
        issued_at timestamptz NOT NULL,
        revoked_at timestamptz))" },
    { 1, uR"(CREATE UNIQUE INDEX service_tokens_active ON service_tokens (name)
        WHERE revoked_at IS NULL)" },
    { 2, uR"(DROP TABLE IF EXISTS service_requests)" },
    { 2, uR"(CREATE TABLE service_requests (
        token_id bigint NOT NULL REFERENCES service_tokens(id),
        key_hash text NOT NULL,
        operation text NOT NULL,
        fingerprint text NOT NULL,
        answer text NOT NULL,
        created_at timestamptz NOT NULL,
        PRIMARY KEY (token_id, key_hash)))" },
    { 2, uR"(CREATE INDEX service_requests_age ON service_requests (created_at))" },
    { 2, uR"(CREATE TABLE service_signons (
        token_id bigint NOT NULL REFERENCES service_tokens(id),
        account_no text NOT NULL,
        signed_on_at timestamptz NOT NULL,
        PRIMARY KEY (account_no, token_id)))" },
};

// What the service does as the runtime role: issue, verify and revoke tokens; remember,
// look up and forget answers; sign tokens on and off. Nothing else, and no change of a
// token but its revocation.
QStringList grants(const QString &role)
{
    const QString to = u" TO "_s + role;
    return { u"GRANT SELECT, INSERT ON service_tokens"_s + to,
             u"GRANT UPDATE (revoked_at) ON service_tokens"_s + to,
             u"GRANT SELECT, INSERT, DELETE ON service_requests"_s + to,
             u"GRANT SELECT, INSERT, DELETE ON service_signons"_s + to };
}

// The advisory lock on PostgreSQL held while the tables are made ("QGSS").
constexpr qint64 TablesLock = 0x51475353;

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

ServiceStore::ServiceStore(std::unique_ptr<Store> owned, Store &store, StoreLocation::Engine engine)
    : m_owned(std::move(owned))
    , m_store(&store)
    , m_engine(engine)
{
}

ServiceStore::~ServiceStore() = default;

Status ServiceStore::open(const StoreLocation &location, std::unique_ptr<ServiceStore> &store)
{
    if (sodium_init() < 0)
        return Status::failure(Store::Unavailable, u"libsodium could not be initialised"_s);
    std::unique_ptr<Store> opened;
    QUILLET_TRY(Store::open(location, opened));
    Store &raw = *opened;
    std::unique_ptr<ServiceStore> made(new ServiceStore(std::move(opened), raw, location.engine));
    QUILLET_TRY(made->settle());
    store = std::move(made);
    return Status::ok();
}

Status ServiceStore::attach(Store &store, StoreLocation::Engine engine,
                            std::unique_ptr<ServiceStore> &service)
{
    if (sodium_init() < 0)
        return Status::failure(Store::Unavailable, u"libsodium could not be initialised"_s);
    std::unique_ptr<ServiceStore> made(new ServiceStore(nullptr, store, engine));
    QUILLET_TRY(made->settle());
    service = std::move(made);
    return Status::ok();
}

Status ServiceStore::initialize(const StoreLocation &location)
{
    QUILLET_TRY(Store::initialize(location));
    if (location.engine == StoreLocation::Engine::Sqlite) {
        std::unique_ptr<ServiceStore> service;
        return open(location, service);
    }
    std::unique_ptr<Store> opened;
    QUILLET_TRY(Store::open(location, opened));
    Store &db = *opened;
    ServiceStore service(std::move(opened), db, location.engine);
    return db
        .transaction([&]() -> Result<Store::Decision> {
            QSqlQuery q = db.query();
            QUILLET_TRY(db.run(q, u"SELECT pg_advisory_xact_lock(?)"_s, { TablesLock }));
            QUILLET_TRY_VALUE(const int found, service.version());
            if (found > SchemaVersion)
                return db.failure(Store::Unavailable,
                                  ServiceTexts::newerServiceTables(found, SchemaVersion));
            if (found < SchemaVersion)
                QUILLET_TRY(service.migrate(found));
            for (const QString &grant : grants(PostgresqlSchema::RuntimeRole))
                QUILLET_TRY(db.execute(grant));
            return Store::Decision::Commit;
        })
        .status();
}

Result<int> ServiceStore::version()
{
    QSqlQuery q = m_store->query();
    QUILLET_TRY(m_store->run(q, u"SELECT value FROM meta WHERE key = ?"_s, { VersionKey }));
    const int found = q.next() ? q.value(0).toString().toInt() : 0;
    q.finish();
    return found;
}

// A version this code knows is used as it is; an older one (or none) is brought up to
// date here on SQLite (where whoever opens the store may create tables) and refused on
// PostgreSQL, where the schema's owner runs init.
Status ServiceStore::settle()
{
    QUILLET_TRY_VALUE(const int found, version());
    if (found > SchemaVersion)
        return m_store->failure(Store::Unavailable,
                                ServiceTexts::newerServiceTables(found, SchemaVersion));
    if (found == SchemaVersion)
        return Status::ok();
    if (m_engine != StoreLocation::Engine::Sqlite)
        return m_store->failure(Store::Unavailable, ServiceTexts::serviceTablesMissing());
    return m_store
        ->transaction([&]() -> Result<Store::Decision> {
            // Decided again under the write lock: another process may have migrated.
            QUILLET_TRY_VALUE(const int current, version());
            if (current < SchemaVersion)
                QUILLET_TRY(migrate(current));
            return Store::Decision::Commit;
        })
        .status();
}

Status ServiceStore::migrate(int found)
{
    const bool sqlite = m_engine == StoreLocation::Engine::Sqlite;
    for (const Step &step : sqlite ? std::span(SqliteSteps) : std::span(PostgresqlSteps)) {
        if (step.version > found)
            QUILLET_TRY(m_store->execute(QString::fromUtf16(step.sql)));
    }
    QSqlQuery q = m_store->query();
    return m_store->run(q,
                        u"INSERT INTO meta (key, value) VALUES (?, ?) "
                        u"ON CONFLICT (key) DO UPDATE SET value = excluded.value"_s,
                        { VersionKey, QString::number(SchemaVersion) });
}

QString ServiceStore::hash(const QByteArray &data)
{
    unsigned char digest[crypto_generichash_BYTES];
    crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char *>(data.data()),
                       size_t(data.size()), nullptr, 0);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(digest), sizeof digest).toHex());
}

Result<std::optional<QString>> ServiceStore::issue(const QString &name, Wire::Role role)
{
    const QString secret = newSecret();
    const Result<Store::Decision> decided = m_store->transaction([&]() -> Result<Store::Decision> {
        QSqlQuery q = m_store->query();
        QUILLET_TRY(m_store->run(
            q, u"SELECT 1 FROM service_tokens WHERE name = ? AND revoked_at IS NULL"_s, { name }));
        if (q.next())
            return Store::Decision::RollBack;
        QSqlQuery insert = m_store->query();
        QUILLET_TRY(m_store->run(
            insert,
            u"INSERT INTO service_tokens (name, role, hash, issued_at) "
            u"VALUES (?, ?, ?, ?)"_s,
            { name, Wire::roleName(role), hash(secret.toUtf8()), m_store->time(nowMs()) }));
        return Store::Decision::Commit;
    });
    QUILLET_TRY(decided.status());
    if (*decided == Store::Decision::RollBack)
        return std::optional<QString>();
    return std::optional<QString>(secret);
}

Result<bool> ServiceStore::revoke(const QString &name)
{
    const Result<Store::Decision> decided = m_store->transaction([&]() -> Result<Store::Decision> {
        QSqlQuery q = m_store->query();
        QUILLET_TRY(m_store->run(q,
                                 u"UPDATE service_tokens SET revoked_at = ? WHERE name = ? "
                                 u"AND revoked_at IS NULL"_s,
                                 { m_store->time(nowMs()), name }));
        return q.numRowsAffected() > 0 ? Store::Decision::Commit : Store::Decision::RollBack;
    });
    QUILLET_TRY(decided.status());
    return *decided == Store::Decision::Commit;
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
                   Store::msSinceEpoch(q.value(2)), std::nullopt };
        if (!q.value(3).isNull())
            t.revokedAtMs = Store::msSinceEpoch(q.value(3));
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

Status ServiceStore::remembered(qint64 tokenId, const RequestKey &key,
                                std::optional<Remembered> &found)
{
    found.reset();
    QSqlQuery *q = nullptr;
    QUILLET_TRY(m_store->step(q,
                              u"SELECT fingerprint, answer, created_at FROM service_requests "
                              u"WHERE token_id = ? AND key_hash = ?"_s,
                              { tokenId, key.lookup() }));
    if (!q->next()) {
        q->finish();
        return Status::ok();
    }
    const QString fingerprint = q->value(0).toString();
    const std::optional<QByteArray> answer = key.open(q->value(1).toString());
    const bool expired = Store::msSinceEpoch(q->value(2)) < nowMs() - KeyLifetimeMs;
    q->finish();
    if (!answer)
        return m_store->failure(Store::Unavailable, ServiceTexts::rememberedAnswerDamaged());
    found = Remembered { fingerprint, *answer, expired };
    return Status::ok();
}

Status ServiceStore::remember(qint64 tokenId, const RequestKey &key, const QString &operation,
                              const QString &fingerprint, const QByteArray &answer, bool replacing)
{
    // Kept statements: on PostgreSQL a statement prepared afresh costs two more round
    // trips (prepare, deallocate) than one kept for the connection.
    QSqlQuery *q = nullptr;
    if (replacing) {
        QUILLET_TRY(
            m_store->step(q, u"DELETE FROM service_requests WHERE token_id = ? AND key_hash = ?"_s,
                          { tokenId, key.lookup() }));
    }
    return m_store->step(q,
                         u"INSERT INTO service_requests (token_id, key_hash, operation, "
                         u"fingerprint, answer, created_at) VALUES (?, ?, ?, ?, ?, ?)"_s,
                         { tokenId, key.lookup(), operation, fingerprint, key.seal(answer),
                           m_store->time(nowMs()) });
}

Result<bool> ServiceStore::signedOn(qint64 tokenId, const QString &accountNo)
{
    QSqlQuery *q = nullptr;
    QUILLET_TRY(
        m_store->step(q, u"SELECT 1 FROM service_signons WHERE account_no = ? AND token_id = ?"_s,
                      { accountNo, tokenId }));
    const bool found = q->next();
    q->finish();
    return found;
}

Status ServiceStore::signOn(qint64 tokenId, const QString &accountNo)
{
    QSqlQuery *q = nullptr;
    return m_store->step(q,
                         u"INSERT INTO service_signons (token_id, account_no, signed_on_at) "
                         u"VALUES (?, ?, ?) ON CONFLICT (account_no, token_id) DO NOTHING"_s,
                         { tokenId, accountNo, m_store->time(nowMs()) });
}

Result<qint64> ServiceStore::signOff(qint64 tokenId, const QString &accountNo)
{
    QSqlQuery *q = nullptr;
    QUILLET_TRY(
        m_store->step(q, u"DELETE FROM service_signons WHERE account_no = ? AND token_id = ?"_s,
                      { accountNo, tokenId }));
    QUILLET_TRY(m_store->step(q, u"SELECT count(*) FROM service_signons WHERE account_no = ?"_s,
                              { accountNo }));
    const qint64 others = q->next() ? q->value(0).toLongLong() : 0;
    q->finish();
    return others;
}

Status ServiceStore::signOffOthers(qint64 tokenId, const QString &accountNo)
{
    QSqlQuery *q = nullptr;
    return m_store->step(q, u"DELETE FROM service_signons WHERE account_no = ? AND token_id <> ?"_s,
                         { accountNo, tokenId });
}

Status ServiceStore::forgetExpired()
{
    return m_store
        ->transaction([&]() -> Result<Store::Decision> {
            QSqlQuery q = m_store->query();
            QUILLET_TRY(m_store->run(q, u"DELETE FROM service_requests WHERE created_at < ?"_s,
                                     { m_store->time(nowMs() - KeyLifetimeMs) }));
            return Store::Decision::Commit;
        })
        .status();
}
