#include "tests/gateway/local/teststore.h"

#include "gateway/local/store.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QtDebug>

using namespace Qt::StringLiterals;

bool TestStore::onPostgresql()
{
    return qEnvironmentVariable("QUILLET_TEST_STORE") == u"postgresql"_s;
}

namespace {

// The gateway's tables (meta, accounts, ledger, cards, recharge_failures, mt, mt_parts, mo,
// waiting_counts, arrival_parts, arrivals_seen, link_status, link_unmatched, callbacks,
// outbox, smpp_credentials, smpp_binds)
constexpr int TableCount = 17;
// and, where quillet-gatewayd has served the store, service_tokens, service_requests,
// service_signons and service_token_accounts
constexpr int ServiceTableCount = 4;
// at the version this build makes them. A store with any other is dropped and made
// afresh, which costs a suite on PostgreSQL several times its run: when a version
// changes, these change with it (emptyStore warns when they are behind).
constexpr int ServiceSchemaVersion = 3;

// Runs `sql` on a connection of its own to `database` (empty: the PG* default).
bool runAsAdministrator(const QString &database, const QString &sql)
{
    const QString name = u"test-store-admin-"_s + database;
    if (!QSqlDatabase::contains(name)) {
        // Host, port, user and password come from the PG* variables.
        QSqlDatabase admin = QSqlDatabase::addDatabase(u"QPSQL"_s, name);
        admin.setDatabaseName(database);
        admin.setConnectOptions(u"sslmode=disable;connect_timeout=10"_s);
    }
    QSqlDatabase admin = QSqlDatabase::database(name, false);
    // Twice: a connection that a stopped server broke is opened afresh.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!admin.isOpen() && !admin.open())
            continue;
        QSqlQuery q(admin);
        if (q.exec(sql))
            return true;
        if (attempt == 1 || q.lastError().nativeErrorCode().size() == 5) {
            qWarning() << sql << q.lastError().text();
            return false;
        }
        admin.close();
    }
    qWarning() << "cannot reach the test cluster:" << admin.lastError().text();
    return false;
}

// One database for the whole run (making one takes a third of a second); each
// TestStore empties it by dropping the store's schema.
QString runDatabase()
{
    static const QString name = u"quillet_test_%1"_s.arg(QCoreApplication::applicationPid());
    static const bool made = runAsAdministrator(QString(), u"CREATE DATABASE "_s + name);
    return made ? name : QString();
}

} // namespace

bool TestStore::administer(const QString &sql)
{
    return runAsAdministrator(QString(), sql);
}

bool TestStore::administerStore(const QString &sql) const
{
    return !m_database.isEmpty() && runAsAdministrator(m_database, sql);
}

TestStore::TestStore()
{
    if (!m_dir.isValid())
        return;
    if (!onPostgresql()) {
        m_url = m_dir.filePath(u"gateway.sqlite3"_s);
        m_valid = true;
        return;
    }
    m_database = runDatabase();
    if (m_database.isEmpty() || !emptyStore())
        return;
    m_url = u"postgresql://%1@%2:%3/%4?sslmode=disable"_s.arg(
        qEnvironmentVariable("PGUSER"), qEnvironmentVariable("PGHOST", u"localhost"_s),
        qEnvironmentVariable("PGPORT", u"5432"_s), m_database);
    m_valid = true;
}

StoreLocation TestStore::location() const
{
    StoreLocation parsed;
    (void)StoreLocation::parse(m_url, parsed);
    return parsed;
}

TestStore::~TestStore() = default;

// Making the schema takes a tenth of a second, emptying its tables a hundredth: a
// store the last test left as the gateway (and the service) made it is emptied (rows
// deleted with the triggers off, so the ledger can go too, and the identities start
// again at 1); any other is dropped, and the next open makes it afresh.
bool TestStore::emptyStore() const
{
    const QString name = u"test-store-admin-"_s + m_database;
    if (!administerStore(u"SELECT 1"_s))
        return false;
    QSqlQuery q(QSqlDatabase::database(name, false));
    // The tables, the service's among them and the service's meta row, when the other
    // meta rows are the gateway's version only.
    const QString asMade
        = u"SELECT count(*) FILTER (WHERE tablename NOT LIKE 'service\\_%'), count(*) FILTER "
          u"(WHERE tablename LIKE 'service\\_%'), (SELECT count(*) FROM quillet.meta WHERE key "
          u"= 'service_schema_version' AND value = '%2') FROM pg_tables WHERE schemaname = "
          u"'quillet' AND (SELECT "
          u"array_agg(key || '=' || value) FROM quillet.meta WHERE key <> "
          u"'service_schema_version') = ARRAY['schema_version=%1']"_s.arg(Store::SchemaVersion)
              .arg(ServiceSchemaVersion);
    const bool read = q.exec(asMade) && q.next() && q.value(0).toInt() == TableCount;
    const bool plain = read && q.value(1).toInt() == 0 && q.value(2).toInt() == 0;
    const bool served = read && q.value(1).toInt() == ServiceTableCount && q.value(2).toInt() == 1;
    static bool warned = false;
    if (!read && !warned && q.isValid() && q.value(0).toInt() > TableCount) {
        warned = true;
        qWarning() << "the test store has" << q.value(0).toInt()
                   << "tables at this version, TableCount says" << TableCount
                   << ": every test makes the schema afresh";
    }
    if (plain || served)
        return administerStore(
            u"DO $$ DECLARE t text; BEGIN SET LOCAL session_replication_role = replica; "
            u"FOR t IN SELECT tablename FROM pg_tables WHERE schemaname = 'quillet' AND "
            u"tablename <> 'meta' LOOP EXECUTE 'DELETE FROM quillet.' || quote_ident(t); "
            u"END LOOP; FOR t IN SELECT sequencename FROM pg_sequences WHERE schemaname = "
            u"'quillet' LOOP EXECUTE 'ALTER SEQUENCE quillet.' || quote_ident(t) || "
            u"' RESTART'; END LOOP; END $$"_s);
    return administerStore(u"DROP SCHEMA IF EXISTS quillet CASCADE"_s);
}
