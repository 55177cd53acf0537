#include "tools/storebackup.h"

#include "tools/tooltexts.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

Status failed(const QString &why)
{
    return Status::failure(Status::CreationFailed, why);
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

Status flushed(const QString &path, int flags)
{
    const int fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC);
    const bool done = fd >= 0 && ::fsync(fd) == 0;
    const QString why = done ? QString() : systemError();
    if (fd >= 0)
        ::close(fd);
    return done ? Status::ok() : failed(ToolTexts::backupFailed(path, why));
}

// VACUUM INTO `copy` on a connection of its own, which ends before this returns.
Status vacuumInto(const QString &store, const QString &copy)
{
    const QString name = u"quillet-backup"_s;
    QString why;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, name);
        db.setDatabaseName(store);
        // Read-only: the store is never created, changed or migrated by a backup.
        db.setConnectOptions(u"QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=10000"_s);
        if (!db.open()) {
            why = db.lastError().text();
        } else {
            QSqlQuery query(db);
            if (!query.prepare(u"VACUUM INTO ?"_s)) {
                why = query.lastError().text();
            } else {
                query.addBindValue(copy);
                if (!query.exec())
                    why = query.lastError().text();
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return why.isEmpty() ? Status::ok() : failed(ToolTexts::backupFailed(store, why));
}

} // namespace

Status backupStore(const QString &store, const QString &file)
{
    if (!QFileInfo(store).isFile())
        return failed(ToolTexts::noStoreToBackUp(store));
    if (QFileInfo::exists(file) || QFileInfo(file).isSymLink())
        return failed(ToolTexts::backupExists(file));
    const QString folder = QFileInfo(file).absolutePath();
    // Beside the copy's place, so that it becomes the copy by a link on the same disk;
    // mkstemp makes it empty, as VACUUM INTO wants, and for its owner alone.
    QByteArray partial = QFile::encodeName(folder + u"/.quillet-backup-XXXXXX"_s);
    const int fd = ::mkstemp(partial.data());
    if (fd < 0)
        return failed(ToolTexts::backupFailed(file, systemError()));
    ::close(fd);
    const QString partialPath = QFile::decodeName(partial);
    Status done = vacuumInto(store, partialPath);
    if (done.isOk())
        done = flushed(partialPath, O_RDONLY);
    // link() never replaces: a file that came to be at `file` meanwhile is left alone.
    if (done.isOk() && ::link(partial.constData(), QFile::encodeName(file).constData()) != 0)
        done = failed(errno == EEXIST ? ToolTexts::backupExists(file)
                                      : ToolTexts::backupFailed(file, systemError()));
    ::unlink(partial.constData());
    if (done.isOk())
        done = flushed(folder, O_RDONLY | O_DIRECTORY);
    return done;
}
