#pragma once

// The store on SQLite: one file per user, shared by every process on the machine.
//
//   path ── folder 0700, file 0600, header check ── QSQLITE (WAL, synchronous=FULL,
//                                                    busy 5 s, foreign keys)
//
// A Quillet store carries its own application id in the SQLite header; a file without
// it is never written to. The header's user version is the revision of how this engine
// lays out the current schema (see readyForWrites), which no other engine shares.

#include "gateway/local/storeengine.h"

#include <optional>

class SqliteEngine final : public StoreEngine {
public:
    SqliteEngine() = default;
    ~SqliteEngine() override;
    SqliteEngine(const SqliteEngine &) = delete;
    SqliteEngine &operator=(const SqliteEngine &) = delete;

    // Written into the SQLite header so a Quillet store is recognised as one.
    static constexpr qint32 ApplicationId = 0x51474C53; // "QGLS"
    // How long a write waits for another's lock before it gives up as busy.
    static constexpr int BusyTimeoutMs = 5000;
    // The largest store that is checked whole when it opens (see checkSound).
    static constexpr qint64 WholeCheckBytes = qint64(16) << 20;

    // Every statement that makes an empty database a Quillet store of `version`: the
    // first version's schema followed by each migration since.
    static QStringList schemaOfVersion(int version);

    QString driverName() const override;
    std::recursive_timed_mutex *writerTurn() const override;
    std::chrono::milliseconds turnTimeout() const override;
    QString connectOptions() const override;
    Status prepare(const Store &store) override;
    QStringList sessionSettings() const override;
    Result<bool> isNew(Store &store) override;
    Status checkSound(Store &store) override;
    Status readyForWrites(Store &store) override;
    QStringList schema() const override;
    QStringList migration(int fromVersion) const override;
    QString beginWrite() const override;
    Fault classify(const QSqlError &error) const override;
    Result<QString> deferFlush(Store &store) override;
    QString returningId(const QString &insert) const override;
    qint64 insertedId(QSqlQuery &statement) const override;
    QString numberedKey() const override;
    QString timeType() const override;
    QString reference(const QString &target) const override;
    bool openerMakesTables() const override { return true; }
    QString leaveCheckpoints() const override;
    QString checkpoint() const override;

private:
    void bringToRevision(Store &store);

    // The file this engine holds open, as the process-wide count of open stores knows it.
    struct FileId {
        quint64 device = 0;
        quint64 inode = 0;
        auto operator<=>(const FileId &) const = default;
    };
    std::optional<FileId> m_file;
};
