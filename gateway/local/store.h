#pragma once

// The local gateway's store, shared by every console and operator tool process that
// uses it: an SQLite file (the default) or a PostgreSQL database that a team shares.
// What depends on the database engine lives in a StoreEngine.
//
//   open(location) ── engine.prepare ── connect ── engine.isNew?
//        ├─ nothing there ──────────> create the schema   ┐ decided again inside one
//        ├─ a Quillet store ────────> check, then migrate ┘ write transaction
//        └─ anything else ──────────> failure Status naming the store and the reason;
//                                     it is left exactly as it was
//
// Every change runs through transaction(): the engine's write BEGIN, each statement
// checked, COMMIT only when the work decides so, ROLLBACK on anything else. On SQLite
// BEGIN IMMEDIATE holds the whole store; on PostgreSQL the work holds the rows it
// decides on (lockAccount, lockRegistrations) and other accounts go on meanwhile.
// A connection that broke is opened again by the next call.
//
// A component beside the gateway (the service) keeps tables of its own in the same store,
// an Extension with a version of its own: written once, in the engine's words; made or
// migrated by whoever opens the store where the engine allows it, else by init.

#include "gateway/local/storeengine.h"
#include "gateway/local/storelocation.h"
#include "gateway/result.h"

#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <functional>
#include <memory>
#include <span>
#include <unordered_map>

// A caller's own work that rides in the one statement of sends (StoreEngine::sendAtOnce),
// so that it commits with them, in the same round trip, or not at all. Each send is a
// row of `input`, numbered `n` (LocalGateway::sendInput writes the gateway's columns):
//   input    the rider's columns of that row, as `name type, ...`; the caller writes
//            their values into each send's object beside the gateway's
//   gate     common table expressions, the last named `gate`: a send goes only when
//            `gate` has its `n`
//   after    more of them, run beside the sends; they may read `went(n, messages)`,
//            the sends that wrote their messages
//   columns  read, for each row of `input`, after the send's own
struct SendRider {
    QString input;
    QString gate;
    QString after;
    QString columns;
};

class Store {
public:
    static constexpr int SchemaVersion = 8;

    // Status codes of store failures, the values component platforms use.
    static constexpr qint32 Unavailable = Status::CreationFailed;
    static constexpr qint32 AccessDenied = Status::AccessDenied;
    static constexpr qint32 DiskFull = Status::DiskFull;
    static constexpr qint32 InvalidArgument = Status::InvalidArgument;

    // What a transaction's work decides once it has run without a failure.
    enum class Decision { Commit, RollBack };
    // When a commit returns: once the disk has the change (AtCommit), or as soon as
    // other connections see it (Later). A Later commit outlives the process that made it
    // but may be undone by a power cut or an operating system crash, together with the
    // Later commits just before it; the next AtCommit commit secures them all. Only work
    // whose undoing costs nothing but repeating it may commit Later.
    enum class Flush { AtCommit, Later };
    using Work = std::function<Result<Decision>()>;

    // `quillet-gateway/gateway.sqlite3` under the user's generic data folder; empty
    // when the platform names no such folder.
    static QString defaultPath();

    // An SQLite store at `path`.
    static Status open(const QString &path, std::unique_ptr<Store> &store);
    // The store `location` names: an SQLite file or a PostgreSQL database.
    static Status open(const StoreLocation &location, std::unique_ptr<Store> &store);
    // Tables that a component beside the gateway (the service) keeps in the same store,
    // versioned apart from the gateway's schema by a meta row of their own.
    struct Extension {
        // A version's statements, in order; tables at version N get those of every later
        // version. Written once for every engine, which fills in
        //   {key}               a table's own key, numbered as rows are inserted
        //   {time}              the type of a time column (bound with time())
        //   {references T(c)}   a reference to the key c of table T, where the engine
        //                       declares one (the space before it goes with it)
        struct Step {
            int version;
            const char16_t *sql;
        };
        QString versionKey;
        int version = 0;
        std::span<const Step> steps;
        // What the role the gateway runs as needs of the tables, as "SELECT ON table".
        QStringList privileges;
        // Why the tables cannot be used (both are needed): `found` is newer than `known`;
        // they are missing or older, and whoever opens the store may not make them.
        QString (*newer)(int found, int known) = nullptr;
        QString (*missing)() = nullptr;
    };

    // Creates or migrates the store; on PostgreSQL as the schema's owner, and grants
    // the runtime role what the gateway needs (see postgresqlschema.h). With an
    // `extension`, then its tables the same way (see initializeExtension).
    static Status initialize(const StoreLocation &location, const Extension *extension = nullptr);
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // The file, or the server and database, as reports name it.
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
    // Runs a kept INSERT and gives the new row's id.
    Result<qint64> insert(const QString &sql, const QVariantList &values);
    // Runs `work` in one write transaction. It commits when `work` decides Commit; a
    // failure, or RollBack, rolls everything back. Gives what was decided. Called from
    // inside another transaction's work, it runs as a savepoint of that transaction, so
    // a caller can make several operations (and a record of them) one atomic change.
    // A transaction inside another commits with the outer one, whatever its `flush`.
    Result<Decision> transaction(const Work &work, Flush flush = Flush::AtCommit);
    // Whether committed changes go to a log that is copied into the store now and then
    // (SQLite's WAL): by whichever commit fills it, unless leaveCheckpoints() leaves that
    // to checkpoint() calls on another connection, so that no commit waits for it.
    bool hasCheckpoints() const { return !m_engine->checkpoint().isEmpty(); }
    Status leaveCheckpoints();
    // Copies what it can of the log into the store without waiting for anyone.
    Status checkpoint();
    // Whether a transaction() is running on this store now.
    bool inTransaction() const { return m_depth > 0; }
    // Runs a statement as it is, without preparing it (schema, settings, grants).
    Status execute(const QString &sql);

    // What differs between the engines inside the statements themselves.
    // A time (milliseconds since the epoch) to bind to a time column.
    QVariant time(qint64 msSinceEpoch) const { return m_engine->time(msSinceEpoch); }
    // A time column's value in milliseconds since the epoch.
    static qint64 msSinceEpoch(const QVariant &value);
    // A time as text, in UTC to the millisecond, as a JSON document carries it (the
    // gateway's and the service's documents, and sendAtOnce's rows).
    static QString timeText(qint64 msSinceEpoch);
    // In a write transaction, before reading what it decides on: holds the account
    // whose `column` equals `value`, or every registration, until the transaction ends.
    Status lockAccount(const QString &column, const QVariant &value);
    // Appended to a SELECT in a write transaction: holds the rows it reads until the
    // transaction ends.
    QString lockRows() const { return m_engine->lockRows(); }
    // Like lockRows(), passing over the rows another transaction holds.
    QString lockRowsSkippingHeld() const { return m_engine->lockRowsSkippingHeld(); }
    // The engine's statement for whole sends, with a caller's `rider` (see
    // StoreEngine::sendAtOnce); empty where a send is made step by step.
    QString sendAtOnce(const SendRider &rider = {}) const { return m_engine->sendAtOnce(rider); }
    // A failure for values the engine cannot keep (a U+0000 in a text, on PostgreSQL),
    // which every bound value is checked for; values that go in another way (inside a
    // JSON document, as sendAtOnce takes them) are checked with it.
    Status checkValues(const QVariantList &values) const;
    Status lockRegistrations();

    // The extension's tables at its version: those of an older version (or none) are
    // made or migrated here where whoever opens the store may (see
    // StoreEngine::openerMakesTables), and a failure otherwise; newer ones are refused.
    Status openExtension(const Extension &extension);
    // The same as the store's owner: makes or migrates them on every engine, and grants
    // the runtime role their privileges. After the gateway's own (see initialize).
    Status initializeExtension(const Extension &extension);

    // A failure Status for an error of this store's connection, or for `reason`.
    Status failure(const QSqlError &error) const;
    Status failure(qint32 code, const QString &reason) const;

private:
    Store(QString path, QString connectionName, std::unique_ptr<StoreEngine> engine);

    Status connect();
    Status reconnectIfBroken();
    Status control(const QString &sql);
    Status settle();
    Result<int> schemaVersion();
    Result<Decision> createOrMigrate();
    // The version the extension's meta row records; 0 when there is none.
    Result<int> extensionVersion(const Extension &extension);
    // Inside the caller's write transaction, holding lockTables(): brings the tables from
    // version `found` to the extension's.
    Status migrateExtension(const Extension &extension, int found);
    QString inEngineWords(const QString &sql) const;
    Result<Decision> nestedTransaction(const Work &work);
    Result<Decision> topTransaction(const Work &work);
    struct DepthGuard {
        explicit DepthGuard(int &depth)
            : m_depth(depth)
        {
            ++m_depth;
        }
        ~DepthGuard() { --m_depth; }
        DepthGuard(const DepthGuard &) = delete;
        DepthGuard &operator=(const DepthGuard &) = delete;
        int &m_depth;
    };
    void finishStatements();

    QString m_path;
    QString m_connectionName;
    std::unique_ptr<StoreEngine> m_engine;
    // The connection broke; the next statement opens it again first.
    mutable bool m_broken = false;
    std::unordered_map<QString, std::unique_ptr<QSqlQuery>> m_statements;
    int m_depth = 0;
};
