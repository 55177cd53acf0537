#include "gateway/local/postgresqlengine.h"

#include "gateway/local/localtexts.h"
#include "gateway/local/postgresqlschema.h"
#include "gateway/local/store.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>

using namespace Qt::StringLiterals;

namespace {

// Advisory locks: one held by whoever creates or migrates the schema, one by each
// transaction that registers an account, and one by whoever makes or migrates the
// tables kept beside the gateway's ("QGLS", "QGLR", "QGSS").
constexpr qint64 SchemaLock = 0x51474C53;
constexpr qint64 RegistrationLock = 0x51474C52;
constexpr qint64 TablesLock = 0x51475353;

} // namespace

PostgresqlEngine::PostgresqlEngine(StoreLocation location)
    : m_location(std::move(location))
{
}

QString PostgresqlEngine::driverName() const
{
    return u"QPSQL"_s;
}

QString PostgresqlEngine::connectOptions() const
{
    return m_location.connectOptions();
}

void PostgresqlEngine::configure(QSqlDatabase &db, const QString &path) const
{
    Q_UNUSED(path);
    db.setHostName(m_location.host);
    db.setPort(m_location.port == 0 ? -1 : m_location.port);
    db.setUserName(m_location.user);
    db.setDatabaseName(m_location.database);
}

Status PostgresqlEngine::prepare(const Store &store)
{
    Q_UNUSED(store);
    return Status::ok();
}

// A statement may run 30 s; a transaction left open by a client that stopped in the
// middle gives its locks back after 60 s.
QStringList PostgresqlEngine::sessionSettings() const
{
    return { u"SET search_path = quillet"_s, u"SET TIME ZONE 'UTC'"_s,
             u"SET statement_timeout = '30s'"_s,
             u"SET idle_in_transaction_session_timeout = '60s'"_s };
}

// Inside the transaction that creates or migrates, the advisory lock is held until it
// ends, so only one process does it; outside one it only waits for such a process.
Result<bool> PostgresqlEngine::isNew(Store &store)
{
    QSqlQuery q = store.query();
    QUILLET_TRY(store.run(q, u"SELECT pg_advisory_xact_lock(?)"_s, { SchemaLock }));
    QUILLET_TRY(store.run(q, u"SELECT count(*) FROM pg_namespace WHERE nspname = ?"_s,
                          { PostgresqlSchema::Name }));
    const bool exists = q.next() && q.value(0).toLongLong() > 0;
    if (!exists)
        return true;
    QUILLET_TRY(store.run(
        q, u"SELECT count(*) FROM pg_tables WHERE schemaname = ? AND tablename = 'meta'"_s,
        { PostgresqlSchema::Name }));
    if (!(q.next() && q.value(0).toLongLong() > 0))
        return store.failure(Store::Unavailable, LocalTexts::notAQuilletSchema());
    return false;
}

// The server checks its own pages; there is nothing for a client to add.
Status PostgresqlEngine::checkSound(Store &store)
{
    Q_UNUSED(store);
    return Status::ok();
}

Status PostgresqlEngine::readyForWrites(Store &store)
{
    Q_UNUSED(store);
    return Status::ok();
}

QStringList PostgresqlEngine::schema() const
{
    QStringList statements = { u"CREATE SCHEMA quillet"_s };
    statements += PostgresqlSchema::version1();
    for (int from = 1; from < Store::SchemaVersion; ++from)
        statements += PostgresqlSchema::migration(from);
    return statements;
}

QStringList PostgresqlEngine::migration(int fromVersion) const
{
    return PostgresqlSchema::migration(fromVersion);
}

QString PostgresqlEngine::beginWrite() const
{
    return u"BEGIN"_s;
}

// By SQLSTATE. A failure without one, or of class 08 (connection exception), or an
// administrator's shutdown (57P01-57P03), means the connection is gone.
StoreEngine::Fault PostgresqlEngine::classify(const QSqlError &error) const
{
    const QString state = error.nativeErrorCode();
    if (state.isEmpty() || state.startsWith(u"08"_s) || state == u"57P01"_s || state == u"57P02"_s
        || state == u"57P03"_s)
        return Fault::ConnectionLost;
    if (state == u"53100"_s)
        return Fault::Full;
    // Serialization failure, deadlock, lock or statement timeout, idle transaction
    // ended by the server.
    if (state == u"40001"_s || state == u"40P01"_s || state == u"55P03"_s || state == u"57014"_s
        || state == u"25P03"_s)
        return Fault::Busy;
    if (state.startsWith(u"28"_s) || state == u"42501"_s)
        return Fault::AccessDenied;
    if (state == u"3D000"_s)
        return Fault::CannotOpen;
    if (state == u"XX001"_s || state == u"XX002"_s)
        return Fault::Corrupt;
    return Fault::Other;
}

QString PostgresqlEngine::returningId(const QString &insert) const
{
    return insert + u" RETURNING id"_s;
}

qint64 PostgresqlEngine::insertedId(QSqlQuery &statement) const
{
    return statement.next() ? statement.value(0).toLongLong() : 0;
}

QVariant PostgresqlEngine::time(qint64 msSinceEpoch) const
{
    return QDateTime::fromMSecsSinceEpoch(msSinceEpoch, Qt::UTC);
}

QString PostgresqlEngine::lockAccount(const QString &column) const
{
    return u"SELECT 1 FROM accounts WHERE "_s + column + u" = ? FOR UPDATE"_s;
}

QString PostgresqlEngine::lockRegistrations() const
{
    return u"SELECT pg_advisory_xact_lock(%1)"_s.arg(RegistrationLock);
}

// One round trip, and in autocommit one commit, for what would otherwise be six
// statements a send. The accounts' rows are held, in the order of their numbers as every
// batch holds them (FOR UPDATE re-reads a row once an earlier holder commits, so the
// balance compared is the latest one); a send whose account is not held writes no
// message and no charge. Sends are told apart by their accounts, which is why no two may
// share one (and two that did could not spend more than the balance: its CHECK would
// fail the statement). Each charge is made from the message row it pays for, so there is
// never one without the other, and the ledger's trigger moves the balance as for any
// charge. Due messages that another transaction holds are its to deliver: skipping them
// means a send never waits for a message row while it holds an account, so two sends
// cannot wait for each other.
QString PostgresqlEngine::sendAtOnce(const SendRider &rider) const
{
    const QString input = rider.input.isEmpty() ? QString() : u", "_s + rider.input;
    const QString gate = rider.gate.isEmpty() ? u"gate AS (SELECT n FROM input)"_s : rider.gate;
    const QString after = rider.after.isEmpty() ? QString() : u",\n        "_s + rider.after;
    const QString columns = rider.columns.isEmpty() ? QString() : u", "_s + rider.columns;
    return uR"(WITH input AS (
            SELECT * FROM jsonb_to_recordset(?::jsonb) AS input(
                n integer, account text, needs bigint, text text, segments integer,
                cost bigint, submitted timestamptz, due timestamptz, state text,
                delivered timestamptz, phones text%1)),
        %2,
        locked AS (
            SELECT id, number, balance FROM accounts
            WHERE number = ANY (ARRAY(SELECT account FROM input JOIN gate USING (n)))
                AND signed_on = 1
            ORDER BY number
            FOR UPDATE),
        account AS (
            SELECT input.n, locked.id FROM input JOIN gate USING (n)
                JOIN locked ON locked.number = input.account
            WHERE locked.balance >= input.needs),
        sent AS (
            INSERT INTO mt (account_id, phone, text, segments, cost, origin, submitted_at,
                            due_at, state, delivered_at, done_at)
            SELECT account.id, recipient.phone, input.text, input.segments, input.cost, 'send',
                   input.submitted, input.due, input.state, input.delivered, input.delivered
            FROM account JOIN input USING (n),
                 unnest(string_to_array(input.phones, ',')) WITH ORDINALITY
                 AS recipient(phone, position)
            ORDER BY input.n, recipient.position
            RETURNING id, account_id, cost, submitted_at),
        charged AS (
            INSERT INTO ledger (account_id, amount, reason, reference, at)
            SELECT account_id, -cost, 'send', 'mt:' || id, submitted_at FROM sent
            WHERE cost > 0 ORDER BY id),
        went AS (
            SELECT account.n, count(*) AS messages FROM account
                JOIN sent ON sent.account_id = account.id
            GROUP BY account.n),
        due AS (
            UPDATE mt SET state = CASE WHEN mt.link IS NULL THEN 'delivered' ELSE 'queued' END,
                delivered_at = CASE WHEN mt.link IS NULL THEN mt.due_at END,
                done_at = CASE WHEN mt.link IS NULL THEN mt.due_at END,
                next_try_at = mt.due_at
            FROM (SELECT id FROM mt
                  WHERE state = 'scheduled' AND due_at <= (SELECT max(submitted) FROM input)
                  FOR UPDATE SKIP LOCKED) AS held
            WHERE mt.id = held.id
            RETURNING mt.id)%3
        SELECT input.n, coalesce((SELECT messages FROM went WHERE went.n = input.n), 0),
               (SELECT count(*) FROM due)%4
        FROM input)"_s.arg(input, gate, after, columns);
}

QString PostgresqlEngine::numberedKey() const
{
    return u"bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY"_s;
}

QString PostgresqlEngine::reference(const QString &target) const
{
    return u"REFERENCES "_s + target;
}

QString PostgresqlEngine::lockTables() const
{
    return u"SELECT pg_advisory_xact_lock(%1)"_s.arg(TablesLock);
}

// The role exists: init made it with the gateway's own grants.
Status PostgresqlEngine::grant(Store &store, const QStringList &privileges)
{
    for (const QString &privilege : privileges)
        QUILLET_TRY(
            store.execute(u"GRANT "_s + privilege + u" TO "_s + PostgresqlSchema::RuntimeRole));
    return Status::ok();
}

Status PostgresqlEngine::grantRuntimeRole(Store &store)
{
    return store
        .transaction([&]() -> Result<Store::Decision> {
            QSqlQuery q = store.query();
            QUILLET_TRY(store.run(q, u"SELECT count(*) FROM pg_roles WHERE rolname = ?"_s,
                                  { PostgresqlSchema::RuntimeRole }));
            const bool exists = q.next() && q.value(0).toLongLong() > 0;
            q.finish();
            if (!exists)
                QUILLET_TRY(store.execute(u"CREATE ROLE "_s + PostgresqlSchema::RuntimeRole
                                          + u" NOLOGIN"_s));
            for (const QString &grant : PostgresqlSchema::grants(PostgresqlSchema::RuntimeRole))
                QUILLET_TRY(store.execute(grant));
            return Store::Decision::Commit;
        })
        .status();
}
