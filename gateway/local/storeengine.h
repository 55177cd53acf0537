#pragma once

// Everything about the store that depends on the database engine, behind one interface.
//
//   LocalGateway (rules, portable SQL) ── Store (transactions, kept statements,
//                                             │     schema version, failure texts)
//                                             └─ StoreEngine: the engine's own part
//                                                  ├─ SqliteEngine (one file per user)
//                                                  └─ PostgresqlEngine (a shared server)
//
// Store asks the engine how to reach the database, how to recognise and create its
// schema, which statement starts a write transaction, and what an error means; it
// never asks which engine it runs on. The same goes for the tables that a component
// beside the gateway keeps in the store (Store::Extension): their statements are written
// once, and the engine supplies the words and the steps that differ.

#include "gateway/result.h"

#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <chrono>
#include <mutex>

class QSqlError;
class QSqlQuery;
class Store;

// What a caller adds to a send's statement (see store.h).
struct SendRider;

class StoreEngine {
public:
    // The conditions the store reports in words of its own.
    // ConnectionLost: the connection broke (a server that went away); the store opens
    // it again before its next statement.
    enum class Fault {
        Busy,
        Full,
        Corrupt,
        NotADatabase,
        AccessDenied,
        CannotOpen,
        ConnectionLost,
        Other
    };

    virtual ~StoreEngine() = default;

    // The QtSql driver and its connection options.
    virtual QString driverName() const = 0;
    virtual QString connectOptions() const = 0;
    // Names the database on a connection before it opens: by default the store's path.
    virtual void configure(QSqlDatabase &db, const QString &path) const
    {
        db.setDatabaseName(path);
    }
    // Whether reports call the store a file (or else a database on a server).
    virtual bool isFile() const { return true; }
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
    // Where threads of this process that write the same database take turns before
    // beginWrite(), and how long one waits for its turn; none where the database itself
    // queues writers fairly.
    virtual std::recursive_timed_mutex *writerTurn() const { return nullptr; }
    virtual std::chrono::milliseconds turnTimeout() const { return {}; }
    virtual Fault classify(const QSqlError &error) const = 0;
    // Before beginWrite() of a transaction whose commit need not wait for the disk:
    // makes this connection's next commit so and gives the statement that puts the
    // setting back once the transaction has ended. Empty where nothing was changed:
    // commits that already do not wait, or an engine that always waits.
    virtual Result<QString> deferFlush(Store &store)
    {
        Q_UNUSED(store);
        return QString();
    }

    // An INSERT whose new row id is wanted, and how to read that id after it ran.
    virtual QString returningId(const QString &insert) const = 0;
    virtual qint64 insertedId(QSqlQuery &statement) const = 0;

    // Whether transaction control and settings may be prepared and kept like any
    // statement (PostgreSQL prepares only queries and changes).
    virtual bool preparesControl() const { return true; }
    // A time, in milliseconds since the epoch, as the engine's time columns take it.
    virtual QVariant time(qint64 msSinceEpoch) const { return msSinceEpoch; }
    // Whether a text may hold U+0000.
    virtual bool keepsNul() const { return true; }
    // Inside a write transaction: a statement that holds the account row whose `column`
    // is bound to the one placeholder until the transaction ends, and one that makes
    // this transaction the only one registering an account. Empty where beginWrite()
    // already holds the whole store.
    virtual QString lockAccount(const QString &column) const
    {
        Q_UNUSED(column);
        return {};
    }
    virtual QString lockRegistrations() const { return {}; }
    // The same as a suffix to a SELECT of the rows to hold.
    virtual QString lockRows() const { return {}; }
    // Like lockRows(), passing over rows another transaction holds.
    virtual QString lockRowsSkippingHeld() const { return {}; }
    // For an engine whose commits go to a log that is copied into the store now and then
    // (a checkpoint): the statement that leaves that to checkpoint() on this connection,
    // rather than to whichever commit fills the log, and the statement of a checkpoint
    // that neither waits for nor holds up anyone. None on other engines.
    virtual QString leaveCheckpoints() const { return {}; }
    virtual QString checkpoint() const { return {}; }
    // Whole sends as one statement, where the engine runs it so: outside a transaction
    // it is one round trip and one commit. Empty where the gateway sends step by step.
    // Its one placeholder takes a JSON array of sends, each an object of the gateway's
    // fields n, account, needs, text, segments, cost (of one message), submitted, due,
    // state, delivered and phones, and the rider's own; no two for the same account. For each
    // send it holds the account, if it is signed on and its balance covers `needs`; then,
    // for every recipient in the comma-separated `phones`, it writes a message and its
    // charge in the ledger, all or none. Whatever happens to the accounts, it also
    // delivers the scheduled messages due by the latest `submitted` that no other
    // transaction holds at that moment. A row for each send: n, messages written,
    // messages delivered (the same in every row), then the rider's columns. A `rider`
    // (see SendRider) adds a caller's work to it.
    virtual QString sendAtOnce(const SendRider &rider) const
    {
        (void)rider;
        return {};
    }
    // In init, as the store's owner, once the schema is there: gives the role the gateway
    // runs as what the gateway needs, and makes the role where it is missing. Nothing
    // where the engine has no roles.
    virtual Status grantRuntimeRole(Store &store)
    {
        Q_UNUSED(store);
        return Status::ok();
    }

    // The words that statements of an extension's tables (Store::Extension) leave to
    // the engine: a table's own key, which the engine numbers as rows are inserted (see
    // returningId); the type of a time column, as time() binds it; and a reference to
    // `target` ("table(column)") as a column's constraint, or empty where such tables
    // declare none.
    virtual QString numberedKey() const = 0;
    virtual QString timeType() const = 0;
    virtual QString reference(const QString &target) const = 0;
    // Whether whoever opens the store makes and migrates an extension's tables: every
    // role that opens it may do everything with it, and there is nothing to grant.
    // Otherwise the store's owner does, in init, and grants the runtime role what it
    // needs of them; a store opened before that refuses to run.
    virtual bool openerMakesTables() const = 0;
    // Inside the write transaction that makes or migrates an extension's tables: a
    // statement that makes it the only one doing so until it ends. Empty where
    // beginWrite() already holds the whole store.
    virtual QString lockTables() const { return {}; }
    // Inside init's write transaction, where the opener does not make the tables: grants
    // the role the gateway runs as each of `privileges` ("SELECT, INSERT ON table").
    virtual Status grant(Store &store, const QStringList &privileges)
    {
        Q_UNUSED(store);
        Q_UNUSED(privileges);
        return Status::ok();
    }
};
