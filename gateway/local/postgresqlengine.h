#pragma once

// The store on PostgreSQL: one database that a team's desktops share.
//
//   StoreLocation ── QPSQL (host, port, user, database; sslmode, service,
//                    connect timeout, keepalives; the password from libpq's files)
//        └─ session: search_path quillet, time zone UTC, statement and idle timeouts
//
// A write transaction is BEGIN at READ COMMITTED. What it decides on, it reads after
// lockAccount() (SELECT ... FOR UPDATE on the account row), so two calls for one account
// queue, and calls for different accounts run side by side and commit together. Nothing
// ever needs a retry, so nothing can run twice. A card goes to exactly one of several
// racers because its conditional UPDATE re-reads the row once the first one commits.
// A send is a single statement (sendAtOnce) that holds the account row the same way: on
// its own it is one round trip and one commit, which is what bounds a send's rate.

#include "gateway/local/storeengine.h"
#include "gateway/local/storelocation.h"

class PostgresqlEngine final : public StoreEngine {
public:
    explicit PostgresqlEngine(StoreLocation location);

    QString driverName() const override;
    QString connectOptions() const override;
    void configure(QSqlDatabase &db, const QString &path) const override;
    bool isFile() const override { return false; }
    Status prepare(const Store &store) override;
    QStringList sessionSettings() const override;
    Result<bool> isNew(Store &store) override;
    Status checkSound(Store &store) override;
    Status readyForWrites(Store &store) override;
    QStringList schema() const override;
    QStringList migration(int fromVersion) const override;
    QString beginWrite() const override;
    Fault classify(const QSqlError &error) const override;
    QString returningId(const QString &insert) const override;
    qint64 insertedId(QSqlQuery &statement) const override;
    bool preparesControl() const override { return false; }
    QVariant time(qint64 msSinceEpoch) const override;
    bool keepsNul() const override { return false; }
    QString lockAccount(const QString &column) const override;
    QString lockRegistrations() const override;
    QString lockRows() const override { return QStringLiteral(" FOR UPDATE"); }
    QString lockRowsSkippingHeld() const override
    {
        return QStringLiteral(" FOR UPDATE SKIP LOCKED");
    }
    QString sendAtOnce(const SendRider &rider) const override;
    QString numberedKey() const override;
    QString timeType() const override { return QStringLiteral("timestamptz"); }
    QString reference(const QString &target) const override;
    bool openerMakesTables() const override { return false; }
    QString lockTables() const override;
    // Creates PostgresqlSchema::RuntimeRole when it is missing and grants it what the
    // gateway needs on the store's schema.
    Status grantRuntimeRole(Store &store) override;
    Status grant(Store &store, const QStringList &privileges) override;

private:
    StoreLocation m_location;
};
