#pragma once

// The local gateway's store, shared by every console and operator tool process that
// uses it. What depends on the database engine lives in a StoreEngine.
//
//   open(path) ── engine.prepare ── connect ── engine.isNew?
//        ├─ nothing there ──────────> create the schema   ┐ decided again inside one
//        ├─ a Quillet store ────────> check, then migrate ┘ write transaction
//        └─ anything else ──────────> failure Status naming the store and the reason;
//                                     it is left exactly as it was
//
// Every change runs through transaction(): the engine's write BEGIN, each statement
// checked, COMMIT only when the work decides so, ROLLBACK on anything else.

#include "result.h"
#include "storeengine.h"

#include <QSqlQuery>
#include <QString>
#include <QVariantList>

#include <functional>
#include <memory>
#include <unordered_map>

class Store {
public:
    static constexpr int SchemaVersion = 2;

    // Status codes of store failures, the values component platforms use.
    static constexpr qint32 Unavailable = qint32(0x80004005u);
    static constexpr qint32 AccessDenied = qint32(0x80070005u);
    static constexpr qint32 DiskFull = qint32(0x80070070u);

    // What a transaction's work decides once it has run without a failure.
    enum class Decision { Commit, RollBack };
    using Work = std::function<Result<Decision>()>;

    // `quillet-gateway/gateway.sqlite3` under the user's generic data folder; empty
    // when the platform names no such folder.
    static QString defaultPath();

    // An SQLite store at `path`.
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
    // Runs a kept INSERT and gives the new row's id.
    Result<qint64> insert(const QString &sql, const QVariantList &values);
    // Runs `work` in one write transaction. It commits when `work` decides Commit; a
    // failure, or RollBack, rolls everything back. Gives what was decided. Called from
    // inside another transaction's work, it runs as a savepoint of that transaction, so
    // a caller can make several operations (and a record of them) one atomic change.
    Result<Decision> transaction(const Work &work);

    // A failure Status for an error of this store's connection, or for `reason`.
    Status failure(const QSqlError &error) const;
    Status failure(qint32 code, const QString &reason) const;

private:
    Store(QString path, QString connectionName, std::unique_ptr<StoreEngine> engine);

    Status connect();
    Status settle();
    Result<int> schemaVersion();
    Result<Decision> createOrMigrate();
    Result<Decision> nestedTransaction(const Work &work);
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
    std::unordered_map<QString, std::unique_ptr<QSqlQuery>> m_statements;
    int m_depth = 0;
};
