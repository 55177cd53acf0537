#pragma once

// The local gateway's SQLite store: one file per user, shared by every console and
// operator tool process on the machine.
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

#include "status.h"

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

    // `quillet-gateway/gateway.sqlite3` under the user's generic data folder; empty
    // when the platform names no such folder.
    static QString defaultPath();

    static Status open(const QString &path, std::unique_ptr<Store> &store);
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    const QString &path() const { return m_path; }

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
    Status checkOrCreate();
    Status createSchema();
    Status migrate(int fromVersion);
    Status migrateStep(int fromVersion);
    void finishStatements();
    Status failure(qint32 code, const QString &reason) const;

    QString m_path;
    QString m_connectionName;
    std::unordered_map<QString, std::unique_ptr<QSqlQuery>> m_statements;
};
