#pragma once

// Everything about the store that depends on the database engine, behind one interface.
//
//   LocalGateway (rules, portable SQL) ── Store (transactions, kept statements,
//                                             │     schema version, failure texts)
//                                             └─ StoreEngine: the engine's own part
//                                                  ├─ SqliteEngine (one file per user)
//                                                  └─ another engine adds a class here
//
// Store asks the engine how to reach the database, how to recognise and create its
// schema, which statement starts a write transaction, and what an error means; it
// never asks which engine it runs on.

#include "result.h"

#include <QString>
#include <QStringList>

class QSqlError;
class QSqlQuery;
class Store;

class StoreEngine {
public:
    // The conditions the store reports in words of its own.
    enum class Fault { Busy, Full, Corrupt, NotADatabase, AccessDenied, CannotOpen, Other };

    virtual ~StoreEngine() = default;

    // The QtSql driver and its connection options.
    virtual QString driverName() const = 0;
    virtual QString connectOptions() const = 0;
    // Before the connection opens: SQLite makes the folder and file private and checks
    // that an existing file is an SQLite database at all.
    virtual Status prepare(const Store &store) = 0;
    // Settings of each new connection; none of them writes.
    virtual QStringList sessionSettings() const = 0;
    // True when nothing is there yet, false for a Quillet store, a failure for anything
    // else. Asked before and again inside the write transaction that creates or migrates.
    virtual Result<bool> isNew(Store &store) = 0;
    // A full check of an existing store, and what it needs before the first write.
    virtual Status checkSound(Store &store) = 0;
    virtual Status readyForWrites(Store &store) = 0;

    // The statements that create the schema of Store::SchemaVersion and mark the
    // database as a Quillet store, and those that move a store from `fromVersion` to
    // the next (empty when there is no such step).
    virtual QStringList schema() const = 0;
    virtual QStringList migration(int fromVersion) const = 0;

    // The statement that starts a transaction which will write, taking the write lock
    // at once so that what it reads stays true until it commits.
    virtual QString beginWrite() const = 0;
    virtual Fault classify(const QSqlError &error) const = 0;

    // An INSERT whose new row id is wanted, and how to read that id after it ran.
    virtual QString returningId(const QString &insert) const = 0;
    virtual qint64 insertedId(QSqlQuery &statement) const = 0;
};
