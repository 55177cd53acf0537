#pragma once

// The local gateway's store: by default one SQLite file per user, shared by every
// console and operator tool process on the machine; or a PostgreSQL database that a
// team's desktops share (see storelocation.h for how it is named, postgresqlschema.h
// for its schema and rights).
//
//   open(path) ── folder 0700, file 0600 ── SQLite (WAL, synchronous=FULL, busy 5 s,
//        │                                  foreign keys)
//        ├─ empty file ──────────────> create the schema (one transaction)
//        ├─ a Quillet store ─────────> quick_check, then forward migrations
//        └─ anything else ───────────> failure Status naming the file and the reason;
//                                      the file is left exactly as it was
//
// Every change runs through transaction(): BEGIN IMMEDIATE, each statement checked,
// COMMIT only when the work asks for it, ROLLBACK otherwise.
//
// On PostgreSQL a write transaction is a plain BEGIN at READ COMMITTED: the statements
// that decide on money read the account row with lockRow() (SELECT ... FOR UPDATE), so
// writers of one account queue behind each other while other accounts go on; nothing
// is ever retried. A connection that broke is opened afresh by the next call.

#include "status.h"
#include "storelocation.h"

#include <QSqlQuery>
#include <QString>
#include <QVariantList>

#include <functional>
#include <memory>
#include <unordered_map>

class QSqlError;

class Store {
public:
    static constexpr int SchemaVersion = 1;
    // Written into the SQLite header so a Quillet store is recognised as one.
    static constexpr qint32 ApplicationId = 0x51474C53; // "QGLS"

    // Status codes of store failures, the values component platforms use.
    static constexpr qint32 Unavailable = qint32(0x80004005u);
    static constexpr qint32 AccessDenied = qint32(0x80070005u);
    static constexpr qint32 DiskFull = qint32(0x80070070u);
    static constexpr qint32 InvalidArgument = qint32(0x80070057u);

    // `quillet-gateway/gateway.sqlite3` under the user's generic data folder; empty
    // when the platform names no such folder.
    static QString defaultPath();

    static Status open(const QString &path, std::unique_ptr<Store> &store);
    static Status open(const StoreLocation &location, std::unique_ptr<Store> &store);
    // Creates the schema or brings it to this version, as the PostgreSQL schema's owner,
    // and grants PostgresqlSchema::RuntimeRole what the gateway needs (creating that
    // role when it does not exist).
    static Status initialize(const StoreLocation &location);
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // The file, or the server and database, as reports name it.
    const QString &path() const { return m_path; }
    bool onPostgresql() const { return m_engine == StoreLocation::Engine::Postgresql; }

    // What differs between the engines in the statements themselves.
    // A time (milliseconds since the epoch) as the store binds it.
    QVariant time(qint64 msSinceEpoch) const;
    // A time column's value as milliseconds since the epoch.
    static qint64 msSinceEpoch(const QVariant &value);
    // Appended to a SELECT in a write transaction whose rows decide what it writes.
    QString lockRow() const;
    // Makes the transaction that runs it the only one registering an account until it
    // ends (SQLite's write lock does so already).
    Status lockRegistrations();

    // A forward-only query on this store's connection.
    QSqlQuery query() const;
    // Prepares `sql`, binds `values` in order and runs it.
    Status run(QSqlQuery &query, const QString &sql, const QVariantList &values = {});
    // Like run(), on a statement prepared once and kept for the connection's life;
    // `statement` points at it afterwards, to read its rows. Kept statements are finished
    // when a transaction ends; outside one, the caller finishes it at once, so that none
    // holds a read snapshot between operations.
    Status step(QSqlQuery *&statement, const QString &sql, const QVariantList &values = {});
    // Runs `work` in one BEGIN IMMEDIATE transaction. It commits when `work` returns
    // success and has set `keep`; any failure, or `keep` left false, rolls back.
    Status transaction(const std::function<Status(bool &keep)> &work);

    // A failure Status for an error of this store's connection.
    Status failure(const QSqlError &error) const;

private:
    Store(QString path, QString connectionName);

    Status prepareFile();
    Status connect();
    Status connectPostgresql();
    Status reconnectIfBroken();
    Status checkOrCreatePostgresql(bool initializing);
    Status createPostgresqlSchema();
    Status grantRuntimeRole();
    Status checkOrCreate();
    Status createSchema();
    Status migrate(int fromVersion);
    Status migrateStep(int fromVersion);
    void finishStatements();
    // A statement that is not prepared (PostgreSQL prepares only queries and changes).
    Status execute(const QString &sql);
    Status failurePostgresql(const QSqlError &error) const;
    // PostgreSQL keeps no U+0000 in a text: such a value is refused before it is sent.
    Status checkValues(const QVariantList &values) const;
    Status failure(qint32 code, const QString &reason) const;

    QString m_path;
    QString m_connectionName;
    StoreLocation::Engine m_engine = StoreLocation::Engine::Sqlite;
    StoreLocation m_location;
    // The PostgreSQL connection broke; the next statement opens it again first.
    mutable bool m_broken = false;
    std::unordered_map<QString, std::unique_ptr<QSqlQuery>> m_statements;
};
