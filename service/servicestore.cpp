#include "service/servicestore.h"

#include "gateway/local/store.h"
#include "service/servicetexts.h"

#include <QDateTime>
#include <QSqlQuery>

#include <sodium.h>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

// Each version's statements, in order; tables at version N get those of every later one.
// Version 2 drops the answers version 1 remembered in plain text, with the keys.
// Version 1's tables may be there already at version 0: stores made before the tables
// had a version.
const Store::Extension::Step Steps[] = {
    { 1, uR"(CREATE TABLE IF NOT EXISTS service_tokens (
        id {key},
        name TEXT NOT NULL,
        role TEXT NOT NULL CHECK (role IN ('console', 'operator')),
        hash TEXT NOT NULL UNIQUE,
        issued_at {time} NOT NULL,
        revoked_at {time}))" },
    { 1, uR"(CREATE UNIQUE INDEX IF NOT EXISTS service_tokens_active ON service_tokens (name)
        WHERE revoked_at IS NULL)" },
    { 2, uR"(DROP TABLE IF EXISTS service_requests)" },
    { 2, uR"(CREATE TABLE service_requests (
        token_id BIGINT NOT NULL {references service_tokens(id)},
        key_hash TEXT NOT NULL,
        operation TEXT NOT NULL,
        fingerprint TEXT NOT NULL,
        answer TEXT NOT NULL,
        created_at {time} NOT NULL,
        PRIMARY KEY (token_id, key_hash)))" },
    { 2, uR"(CREATE INDEX service_requests_age ON service_requests (created_at))" },
    { 2, uR"(CREATE TABLE service_signons (
        token_id BIGINT NOT NULL {references service_tokens(id)},
        account_no TEXT NOT NULL,
        signed_on_at {time} NOT NULL,
        PRIMARY KEY (account_no, token_id)))" },
    { 3, uR"(CREATE TABLE service_token_accounts (
        token_id BIGINT NOT NULL PRIMARY KEY {references service_tokens(id)},
        account_no TEXT NOT NULL))" },
};

// The service's tables. What the service does as the runtime role: issue, verify and
// revoke tokens; remember, look up and forget answers; sign tokens on and off. Nothing
// else, and no change of a token but its revocation.
const Store::Extension &tables()
{
    static const Store::Extension extension {
        .versionKey = u"service_schema_version"_s,
        .version = ServiceStore::SchemaVersion,
        .steps = Steps,
        .privileges = {
            u"SELECT, INSERT ON service_tokens"_s,
            u"UPDATE (revoked_at) ON service_tokens"_s,
            u"SELECT, INSERT, DELETE ON service_requests"_s,
            u"SELECT, INSERT, DELETE ON service_signons"_s,
            u"SELECT, INSERT ON service_token_accounts"_s,
        },
        .newer = &ServiceTexts::newerServiceTables,
        .missing = &ServiceTexts::serviceTablesMissing,
    };
    return extension;
}

// The role a token's rows say: see the header on service_token_accounts.
Wire::Role roleOf(const QVariant &role, const QVariant &accountNo)
{
    if (!accountNo.isNull())
        return Wire::Role::Application;
    return role.toString() == u"operator"_s ? Wire::Role::Operator : Wire::Role::Console;
}

const QString TokensWithAccounts = u" FROM service_tokens t LEFT JOIN service_token_accounts b "
                                   u"ON b.token_id = t.id"_s;

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

Status ServiceStore::open(const StoreLocation &location, std::unique_ptr<ServiceStore> &store)
{
    if (sodium_init() < 0)
        return Status::failure(Store::Unavailable, u"libsodium could not be initialised"_s);
    std::unique_ptr<Store> opened;
    QUILLET_TRY(Store::open(location, opened));
    QUILLET_TRY(opened->openExtension(tables()));
    Store &raw = *opened;
    store.reset(new ServiceStore(std::move(opened), raw));
    return Status::ok();
}

Status ServiceStore::attach(Store &store, std::unique_ptr<ServiceStore> &service)
{
    if (sodium_init() < 0)
        return Status::failure(Store::Unavailable, u"libsodium could not be initialised"_s);
    QUILLET_TRY(store.openExtension(tables()));
    service.reset(new ServiceStore(nullptr, store));
    return Status::ok();
}

Status ServiceStore::initialize(const StoreLocation &location)
{
    return Store::initialize(location, &tables());
}

QString ServiceStore::hash(const QByteArray &data)
{
    unsigned char digest[crypto_generichash_BYTES];
    crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char *>(data.data()),
                       size_t(data.size()), nullptr, 0);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(digest), sizeof digest).toHex());
}

Result<ServiceStore::Issued> ServiceStore::issue(const QString &name, Wire::Role role,
                                                 const QString &accountNo)
{
    Issued issued;
    const QString secret = newSecret();
    const bool bound = role == Wire::Role::Application;
    const Result<Store::Decision> decided = m_store->transaction([&]() -> Result<Store::Decision> {
        QSqlQuery q = m_store->query();
        QUILLET_TRY(m_store->run(
            q, u"SELECT 1 FROM service_tokens WHERE name = ? AND revoked_at IS NULL"_s, { name }));
        if (q.next()) {
            issued.refused = Issued::Refused::NameTaken;
            return Store::Decision::RollBack;
        }
        if (bound) {
            QUILLET_TRY(
                m_store->run(q, u"SELECT 1 FROM accounts WHERE number = ?"_s, { accountNo }));
            if (!q.next()) {
                issued.refused = Issued::Refused::NoSuchAccount;
                return Store::Decision::RollBack;
            }
        }
        QUILLET_TRY_VALUE(
            const qint64 id,
            m_store->insert(u"INSERT INTO service_tokens (name, role, hash, issued_at) "
                            u"VALUES (?, ?, ?, ?)"_s,
                            { name, Wire::roleName(bound ? Wire::Role::Console : role),
                              hash(secret.toUtf8()), m_store->time(nowMs()) }));
        if (bound) {
            QUILLET_TRY(m_store->run(
                q, u"INSERT INTO service_token_accounts (token_id, account_no) VALUES (?, ?)"_s,
                { id, accountNo }));
        }
        return Store::Decision::Commit;
    });
    QUILLET_TRY(decided.status());
    if (*decided == Store::Decision::Commit)
        issued.secret = secret;
    return issued;
}

Result<ServiceStore::Revoked> ServiceStore::revoke(const QString &name, bool applicationOnly)
{
    Revoked revoked = Revoked::NoSuchToken;
    const Result<Store::Decision> decided = m_store->transaction([&]() -> Result<Store::Decision> {
        QSqlQuery q = m_store->query();
        QUILLET_TRY(m_store->run(q,
                                 u"SELECT t.id, b.account_no"_s + TokensWithAccounts
                                     + u" WHERE t.name = ? AND t.revoked_at IS NULL"_s,
                                 { name }));
        if (!q.next())
            return Store::Decision::RollBack;
        const qint64 id = q.value(0).toLongLong();
        if (applicationOnly && q.value(1).isNull()) {
            revoked = Revoked::NotAnApplication;
            return Store::Decision::RollBack;
        }
        // Another revocation of the same token may have come first.
        QUILLET_TRY(m_store->run(
            q, u"UPDATE service_tokens SET revoked_at = ? WHERE id = ? AND revoked_at IS NULL"_s,
            { m_store->time(nowMs()), id }));
        if (q.numRowsAffected() != 1)
            return Store::Decision::RollBack;
        revoked = Revoked::Done;
        return Store::Decision::Commit;
    });
    QUILLET_TRY(decided.status());
    return revoked;
}

Status ServiceStore::list(QList<Listed> &tokens, qint64 afterId, int limit)
{
    QSqlQuery q = m_store->query();
    QVariantList values { afterId };
    if (limit >= 0)
        values.append(limit);
    QUILLET_TRY(m_store->run(q,
                             u"SELECT t.id, t.name, t.role, b.account_no, t.issued_at, "
                             u"t.revoked_at"_s
                                 + TokensWithAccounts + u" WHERE t.id > ? ORDER BY t.id"_s
                                 + (limit >= 0 ? u" LIMIT ?"_s : QString()),
                             values));
    while (q.next()) {
        Listed t { q.value(0).toLongLong(),         q.value(1).toString(),
                   roleOf(q.value(2), q.value(3)),  q.value(3).toString(),
                   Store::msSinceEpoch(q.value(4)), std::nullopt };
        if (!q.value(5).isNull())
            t.revokedAtMs = Store::msSinceEpoch(q.value(5));
        tokens.append(t);
    }
    return Status::ok();
}

Result<qint64> ServiceStore::count()
{
    QSqlQuery q = m_store->query();
    QUILLET_TRY(m_store->run(q, u"SELECT count(*) FROM service_tokens"_s));
    return q.next() ? q.value(0).toLongLong() : 0;
}

bool ServiceStore::acceptableName(const QString &name)
{
    return !name.isEmpty() && name.size() <= 64
        && std::all_of(name.cbegin(), name.cend(), [](QChar c) { return c.isPrint(); })
        && QStringView(name).isValidUtf16();
}

Status ServiceStore::verify(const QString &secret, std::optional<Token> &token)
{
    token.reset();
    if (!secret.startsWith(TokenPrefix))
        return Status::ok();
    QSqlQuery *q = nullptr;
    Status status
        = m_store->step(q,
                        u"SELECT t.id, t.name, t.role, b.account_no"_s + TokensWithAccounts
                            + u" WHERE t.hash = ? AND t.revoked_at IS NULL"_s,
                        { hash(secret.toUtf8()) });
    if (status.isOk() && q->next()) {
        token = Token { q->value(0).toLongLong(), q->value(1).toString(),
                        roleOf(q->value(2), q->value(3)), q->value(3).toString() };
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
    return readRemembered(*q, key, found);
}

Status ServiceStore::remembered(qint64 tokenId, const RequestKey &key,
                                std::optional<Remembered> &found, const QString &accountNo,
                                bool &signedOn)
{
    found.reset();
    signedOn = false;
    QSqlQuery *q = nullptr;
    QUILLET_TRY(m_store->step(
        q,
        u"SELECT r.fingerprint, r.answer, r.created_at, EXISTS (SELECT 1 FROM service_signons "
        u"WHERE account_no = ? AND token_id = ?) FROM (SELECT 1) AS one "
        u"LEFT JOIN service_requests r ON r.token_id = ? AND r.key_hash = ?"_s,
        { accountNo, tokenId, tokenId, key.lookup() }));
    if (q->next())
        signedOn = q->value(3).toBool();
    return readRemembered(*q, key, found, q->isValid());
}

// From the row the statement is on (`onRow`), or else the next one.
Status ServiceStore::readRemembered(QSqlQuery &q, const RequestKey &key,
                                    std::optional<Remembered> &found, bool onRow)
{
    if ((!onRow && !q.next()) || q.isNull(0)) {
        q.finish();
        return Status::ok();
    }
    const QVariantList columns { q.value(0), q.value(1), q.value(2) };
    q.finish();
    return rememberedIn(columns, key, found);
}

Status ServiceStore::rememberedIn(const QVariantList &columns, const RequestKey &key,
                                  std::optional<Remembered> &found) const
{
    found.reset();
    if (columns.size() < 3 || columns.at(0).isNull())
        return Status::ok();
    const std::optional<QByteArray> answer = key.open(columns.at(1).toString());
    if (!answer)
        return m_store->failure(Store::Unavailable, ServiceTexts::rememberedAnswerDamaged());
    const bool expired = Store::msSinceEpoch(columns.at(2)) < nowMs() - KeyLifetimeMs;
    found = Remembered { columns.at(0).toString(), *answer, expired };
    return Status::ok();
}

const SendRider &ServiceStore::rememberingSends()
{
    static const SendRider riding = [] {
        SendRider rider;
        rider.input = u"token bigint, key_hash text, operation text, fingerprint text, "
                      u"sent_answer text, refused_answer text, at timestamptz"_s;
        // Each lookup is a subquery of its own row, so that it goes by the index whatever
        // the planner guesses of the rows of `input` or the size of the tables.
        rider.gate = uR"(active AS (
            SELECT input.n FROM input CROSS JOIN LATERAL (
                SELECT 1 FROM service_tokens
                WHERE id = input.token AND revoked_at IS NULL LIMIT 1) AS token),
        earlier AS (
            SELECT input.n, record.* FROM input CROSS JOIN LATERAL (
                SELECT fingerprint, answer, created_at FROM service_requests
                WHERE token_id = input.token AND key_hash = input.key_hash LIMIT 1) AS record),
        fresh AS (SELECT n FROM active WHERE n NOT IN (SELECT n FROM earlier)),
        gate AS (
            SELECT input.n FROM fresh JOIN input USING (n) CROSS JOIN LATERAL (
                SELECT 1 FROM service_signons
                WHERE account_no = input.account AND token_id = input.token LIMIT 1) AS signon))"_s;
        // Without ON CONFLICT: a record made meanwhile fails the whole statement.
        rider.after = uR"(kept AS (
            INSERT INTO service_requests (token_id, key_hash, operation, fingerprint, answer,
                                          created_at)
            SELECT input.token, input.key_hash, input.operation, input.fingerprint,
                   CASE WHEN n IN (SELECT n FROM went) THEN input.sent_answer
                        ELSE input.refused_answer END,
                   input.at
            FROM fresh JOIN input USING (n)))"_s;
        rider.columns = u"(SELECT fingerprint FROM earlier WHERE earlier.n = input.n), "
                        u"(SELECT answer FROM earlier WHERE earlier.n = input.n), "
                        u"(SELECT created_at FROM earlier WHERE earlier.n = input.n), "
                        u"input.n IN (SELECT n FROM active)"_s;
        return rider;
    }();
    return riding;
}

void ServiceStore::rememberingSend(QJsonObject &send, qint64 tokenId, const RequestKey &key,
                                   const QString &operation, const QString &fingerprint,
                                   const QByteArray &sentAnswer,
                                   const QByteArray &refusedAnswer) const
{
    send.insert("token"_L1, double(tokenId));
    send.insert("key_hash"_L1, key.lookup());
    send.insert("operation"_L1, operation);
    send.insert("fingerprint"_L1, fingerprint);
    send.insert("sent_answer"_L1, key.seal(sentAnswer));
    send.insert("refused_answer"_L1, key.seal(refusedAnswer));
    send.insert("at"_L1, Store::timeText(nowMs()));
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

Result<bool> ServiceStore::stands(qint64 tokenId)
{
    QSqlQuery *q = nullptr;
    QUILLET_TRY(m_store->step(
        q, u"SELECT 1 FROM service_tokens WHERE id = ? AND revoked_at IS NULL"_s, { tokenId }));
    const bool found = q->next();
    q->finish();
    return found;
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
