#include "gateway/local/store.h"

#include "gateway/local/localtexts.h"
#include "gateway/local/postgresqlengine.h"
#include "gateway/local/sqliteengine.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

namespace {

// Binds `values` to the statement's placeholders in order. A null QString would be
// bound as SQL NULL; a text is never NULL here.
void bindAll(QSqlQuery &statement, const QVariantList &values)
{
    for (int i = 0; i < values.size(); ++i) {
        const QVariant &value = values.at(i);
        if (value.metaType() == QMetaType::fromType<QString>() && value.toString().isNull())
            statement.bindValue(i, QString(u""_s));
        else
            statement.bindValue(i, value);
    }
}

} // namespace

QString Store::defaultPath()
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (data.isEmpty())
        return {};
    return QDir(data).filePath(u"quillet-gateway/gateway.sqlite3"_s);
}

Store::Store(QString path, QString connectionName, std::unique_ptr<StoreEngine> engine)
    : m_path(std::move(path))
    , m_connectionName(std::move(connectionName))
    , m_engine(std::move(engine))
{
}

Store::~Store()
{
    m_statements.clear();
    {
        QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
        if (db.isValid())
            db.close();
    }
    if (QSqlDatabase::contains(m_connectionName))
        QSqlDatabase::removeDatabase(m_connectionName);
}

Status Store::open(const QString &path, std::unique_ptr<Store> &store)
{
    static QAtomicInteger<quint64> connections;
    const QString name = u"quillet-local-gateway-%1"_s.arg(connections.fetchAndAddRelaxed(1));
    const QString absolute = path.isEmpty() ? QString() : QFileInfo(path).absoluteFilePath();
    std::unique_ptr<Store> opened(new Store(absolute, name, std::make_unique<SqliteEngine>()));
    if (absolute.isEmpty())
        return opened->failure(Unavailable, LocalTexts::noDataFolder());
    QUILLET_TRY(opened->m_engine->prepare(*opened));
    QUILLET_TRY(opened->connect());
    QUILLET_TRY(opened->settle());
    store = std::move(opened);
    return Status::ok();
}

Status Store::open(const StoreLocation &location, std::unique_ptr<Store> &store)
{
    if (location.engine == StoreLocation::Engine::Sqlite)
        return open(location.path, store);
    static QAtomicInteger<quint64> connections;
    const QString name = u"quillet-local-gateway-pg-%1"_s.arg(connections.fetchAndAddRelaxed(1));
    std::unique_ptr<Store> opened(
        new Store(location.describe(), name, std::make_unique<PostgresqlEngine>(location)));
    QUILLET_TRY(opened->connect());
    QUILLET_TRY(opened->settle());
    store = std::move(opened);
    return Status::ok();
}

Status Store::initialize(const StoreLocation &location, const Extension *extension)
{
    std::unique_ptr<Store> store;
    QUILLET_TRY(open(location, store));
    QUILLET_TRY(store->m_engine->grantRuntimeRole(*store));
    if (extension)
        return store->initializeExtension(*extension);
    return Status::ok();
}

Status Store::failure(qint32 code, const QString &reason) const
{
    if (!m_engine->isFile())
        return Status::failure(code, LocalTexts::databaseFailed(m_path, reason));
    return Status::failure(code, LocalTexts::storeFailed(QDir::toNativeSeparators(m_path), reason));
}

Status Store::failure(const QSqlError &error) const
{
    const QString detail = error.text();
    switch (m_engine->classify(error)) {
    case StoreEngine::Fault::Full:
        return failure(DiskFull, LocalTexts::diskFull());
    case StoreEngine::Fault::Busy:
        return failure(Unavailable, LocalTexts::busy());
    case StoreEngine::Fault::Corrupt:
        return failure(Unavailable, LocalTexts::corrupt(detail));
    case StoreEngine::Fault::NotADatabase:
        return failure(Unavailable, LocalTexts::notSqlite());
    case StoreEngine::Fault::AccessDenied:
        return failure(AccessDenied, LocalTexts::accessDenied(detail));
    case StoreEngine::Fault::CannotOpen:
        return failure(Unavailable, LocalTexts::cannotOpen(detail));
    case StoreEngine::Fault::ConnectionLost:
        m_broken = true;
        return failure(Unavailable, LocalTexts::serverUnreachable(error.text().trimmed()));
    case StoreEngine::Fault::Other:
        break;
    }
    return failure(Unavailable, LocalTexts::databaseError(detail));
}

Status Store::connect()
{
    // A connection opened again after it broke keeps its name and settings.
    QSqlDatabase db = QSqlDatabase::contains(m_connectionName)
        ? QSqlDatabase::database(m_connectionName, false)
        : QSqlDatabase::addDatabase(m_engine->driverName(), m_connectionName);
    if (!db.isValid())
        return failure(Unavailable,
                       m_engine->isFile() ? LocalTexts::cannotOpen(db.lastError().text())
                                          : LocalTexts::noPostgresqlDriver());
    m_engine->configure(db, m_path);
    db.setConnectOptions(m_engine->connectOptions());
    if (!db.open())
        return failure(db.lastError());
    m_broken = false;
    for (const QString &setting : m_engine->sessionSettings())
        QUILLET_TRY(control(setting));
    return Status::ok();
}

// Statements kept for the broken connection go with it.
Status Store::reconnectIfBroken()
{
    if (!m_broken)
        return Status::ok();
    m_statements.clear();
    QSqlDatabase::database(m_connectionName, false).close();
    return connect();
}

Status Store::execute(const QString &sql)
{
    QUILLET_TRY(reconnectIfBroken());
    QSqlQuery q = query();
    if (!q.exec(sql))
        return failure(q.lastError());
    return Status::ok();
}

Status Store::control(const QString &sql)
{
    if (!m_engine->preparesControl())
        return execute(sql);
    QSqlQuery *statement = nullptr;
    return step(statement, sql);
}

Status Store::checkValues(const QVariantList &values) const
{
    if (m_engine->keepsNul())
        return Status::ok();
    for (const QVariant &value : values) {
        if (value.metaType() == QMetaType::fromType<QString>()
            && value.toString().contains(QChar(u'\0')))
            return failure(InvalidArgument, LocalTexts::nulInText());
    }
    return Status::ok();
}

QString Store::timeText(qint64 msSinceEpoch)
{
    return QDateTime::fromMSecsSinceEpoch(msSinceEpoch, Qt::UTC).toString(Qt::ISODateWithMs);
}

qint64 Store::msSinceEpoch(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QDateTime>())
        return value.toDateTime().toMSecsSinceEpoch();
    return value.toLongLong();
}

Status Store::lockAccount(const QString &column, const QVariant &value)
{
    const QString sql = m_engine->lockAccount(column);
    if (sql.isEmpty())
        return Status::ok();
    QSqlQuery *statement = nullptr;
    QUILLET_TRY(step(statement, sql, { value }));
    if (statement)
        statement->finish();
    return Status::ok();
}

Status Store::lockRegistrations()
{
    const QString sql = m_engine->lockRegistrations();
    if (sql.isEmpty())
        return Status::ok();
    QSqlQuery *statement = nullptr;
    QUILLET_TRY(step(statement, sql));
    if (statement)
        statement->finish();
    return Status::ok();
}

QSqlQuery Store::query() const
{
    QSqlQuery q(QSqlDatabase::database(m_connectionName, false));
    q.setForwardOnly(true);
    return q;
}

Status Store::run(QSqlQuery &q, const QString &sql, const QVariantList &values)
{
    QUILLET_TRY(checkValues(values));
    QUILLET_TRY(reconnectIfBroken());
    if (!q.prepare(sql))
        return failure(q.lastError());
    bindAll(q, values);
    if (!q.exec())
        return failure(q.lastError());
    return Status::ok();
}

Status Store::step(QSqlQuery *&statement, const QString &sql, const QVariantList &values)
{
    QUILLET_TRY(checkValues(values));
    QUILLET_TRY(reconnectIfBroken());
    auto kept = m_statements.find(sql);
    if (kept == m_statements.end()) {
        auto made = std::make_unique<QSqlQuery>(query());
        if (!made->prepare(sql))
            return failure(made->lastError());
        kept = m_statements.emplace(sql, std::move(made)).first;
    }
    statement = kept->second.get();
    bindAll(*statement, values);
    if (!statement->exec())
        return failure(statement->lastError());
    return Status::ok();
}

Result<qint64> Store::insert(const QString &sql, const QVariantList &values)
{
    QSqlQuery *statement = nullptr;
    QUILLET_TRY(step(statement, m_engine->returningId(sql), values));
    if (!statement)
        return failure(Unavailable, LocalTexts::databaseError(sql));
    return m_engine->insertedId(*statement);
}

void Store::finishStatements()
{
    for (auto &[sql, statement] : m_statements) {
        if (statement->isActive())
            statement->finish();
    }
}

Result<Store::Decision> Store::transaction(const Work &work, Flush flush)
{
    if (m_depth > 0)
        return nestedTransaction(work);
    if (flush == Flush::AtCommit)
        return topTransaction(work);
    QUILLET_TRY_VALUE(const QString restore, m_engine->deferFlush(*this));
    Result<Decision> decided = topTransaction(work);
    // A connection left with commits that do not wait would leave later ones at risk
    // too: it is dropped, and the next call opens it with its usual settings.
    if (!restore.isEmpty() && !m_broken && control(restore).failed())
        m_broken = true;
    return decided;
}

Result<Store::Decision> Store::topTransaction(const Work &work)
{
    std::unique_lock<std::recursive_timed_mutex> turn;
    if (std::recursive_timed_mutex *writers = m_engine->writerTurn()) {
        turn = std::unique_lock(*writers, std::defer_lock);
        if (!turn.try_lock_for(m_engine->turnTimeout()))
            return failure(Unavailable, LocalTexts::busy());
    }
    QUILLET_TRY(control(m_engine->beginWrite()));
    const DepthGuard inside(m_depth);
    Result<Decision> decided = work();
    finishStatements();
    if (!decided.failed() && *decided == Decision::Commit) {
        const Status committed = control(u"COMMIT"_s);
        if (committed.isOk())
            return decided;
        decided = committed;
    }
    // SQLite may already have rolled back after some errors; then there is nothing
    // left to undo and this statement's own error does not matter. A connection that
    // broke took its transaction with it on the server.
    if (!m_broken)
        (void)control(u"ROLLBACK"_s);
    return decided;
}

Status Store::leaveCheckpoints()
{
    const QString statement = m_engine->leaveCheckpoints();
    return statement.isEmpty() ? Status::ok() : control(statement);
}

// First what the log holds now, while writers go on; then the little they added
// meanwhile, with this process's writers held for that moment, so that the whole log is
// in the store and the next commit can start it over instead of growing it.
Status Store::checkpoint()
{
    const QString statement = m_engine->checkpoint();
    if (statement.isEmpty())
        return Status::ok();
    const auto run = [&] {
        QSqlQuery *q = nullptr;
        Status status = step(q, statement);
        if (q)
            q->finish();
        return status;
    };
    QUILLET_TRY(run());
    std::unique_lock<std::recursive_timed_mutex> turn;
    if (std::recursive_timed_mutex *writers = m_engine->writerTurn()) {
        turn = std::unique_lock(*writers, std::defer_lock);
        if (!turn.try_lock_for(m_engine->turnTimeout()))
            return failure(Unavailable, LocalTexts::busy());
    }
    return run();
}

// Inside a transaction, work of its own is a savepoint: it commits into the enclosing
// transaction or rolls back only its own changes, and the enclosing work decides the rest.
// A savepoint that is kept is not released: the commit of the transaction releases them
// all, and on PostgreSQL each release is a round trip more for every write of a batch.
// Each depth has a name of its own, so that a rollback reaches the latest savepoint of its
// own depth, and with it every one kept after it.
Result<Store::Decision> Store::nestedTransaction(const Work &work)
{
    const QString savepoint = u"nested_work_"_s + QString::number(m_depth);
    QUILLET_TRY(control(u"SAVEPOINT "_s + savepoint));
    const DepthGuard inside(m_depth);
    Result<Decision> decided = work();
    if (!decided.failed() && *decided == Decision::Commit)
        return decided;
    if (!m_broken) {
        (void)control(u"ROLLBACK TO SAVEPOINT "_s + savepoint);
        (void)control(u"RELEASE SAVEPOINT "_s + savepoint);
    }
    return decided;
}

// A store that is already at this version is only checked, and takes no write lock.
// Anything else is decided under the write lock, since another process may be
// creating or migrating the same store at this moment.
Status Store::settle()
{
    QUILLET_TRY_VALUE(const bool fresh, m_engine->isNew(*this));
    if (!fresh) {
        QUILLET_TRY(m_engine->checkSound(*this));
        QUILLET_TRY_VALUE(const int version, schemaVersion());
        QUILLET_TRY(m_engine->readyForWrites(*this));
        if (version == SchemaVersion)
            return Status::ok();
    } else {
        QUILLET_TRY(m_engine->readyForWrites(*this));
    }
    return createOrMigrate().status();
}

// The version a Quillet store records; a failure for one this code cannot use.
Result<int> Store::schemaVersion()
{
    QSqlQuery q = query();
    QUILLET_TRY(run(q, u"SELECT value FROM meta WHERE key = 'schema_version'"_s));
    const QString text = q.next() ? q.value(0).toString() : QString();
    q.finish();
    bool numeric = false;
    const int version = text.toInt(&numeric);
    if (!numeric || version < 1)
        return failure(Unavailable, LocalTexts::badSchemaVersion(text));
    if (version > SchemaVersion)
        return failure(Unavailable, LocalTexts::newerSchema(version, SchemaVersion));
    return version;
}

Result<Store::Decision> Store::createOrMigrate()
{
    return transaction([this]() -> Result<Decision> {
        QUILLET_TRY_VALUE(const bool fresh, m_engine->isNew(*this));
        QSqlQuery q = query();
        if (fresh) {
            for (const QString &statement : m_engine->schema())
                QUILLET_TRY(execute(statement));
            QUILLET_TRY(run(q, u"INSERT INTO meta(key, value) VALUES ('schema_version', ?)"_s,
                            { QString::number(SchemaVersion) }));
            return Decision::Commit;
        }
        QUILLET_TRY_VALUE(const int version, schemaVersion());
        if (version == SchemaVersion)
            return Decision::RollBack; // made or moved on by another process
        for (int from = version; from < SchemaVersion; ++from) {
            const QStringList statements = m_engine->migration(from);
            if (statements.isEmpty())
                return failure(Unavailable, LocalTexts::badSchemaVersion(QString::number(from)));
            for (const QString &statement : statements)
                QUILLET_TRY(execute(statement));
        }
        QUILLET_TRY(run(q, u"UPDATE meta SET value = ? WHERE key = 'schema_version'"_s,
                        { QString::number(SchemaVersion) }));
        return Decision::Commit;
    });
}

Result<int> Store::extensionVersion(const Extension &extension)
{
    QSqlQuery q = query();
    QUILLET_TRY(run(q, u"SELECT value FROM meta WHERE key = ?"_s, { extension.versionKey }));
    const int found = q.next() ? q.value(0).toString().toInt() : 0;
    q.finish();
    return found;
}

// A version this code knows is used as it is, and takes no write lock.
Status Store::openExtension(const Extension &extension)
{
    QUILLET_TRY_VALUE(const int found, extensionVersion(extension));
    if (found > extension.version)
        return failure(Unavailable, extension.newer(found, extension.version));
    if (found == extension.version)
        return Status::ok();
    if (!m_engine->openerMakesTables())
        return failure(Unavailable, extension.missing());
    return transaction([&]() -> Result<Decision> {
               if (const QString lock = m_engine->lockTables(); !lock.isEmpty())
                   QUILLET_TRY(execute(lock));
               // Decided again under the lock: another process may have migrated.
               QUILLET_TRY_VALUE(const int current, extensionVersion(extension));
               if (current < extension.version)
                   QUILLET_TRY(migrateExtension(extension, current));
               return Decision::Commit;
           })
        .status();
}

// Where whoever opens the store makes the tables, there is nothing more for its owner to
// do. Elsewhere the grants are given again each time, as the gateway's are.
Status Store::initializeExtension(const Extension &extension)
{
    if (m_engine->openerMakesTables())
        return openExtension(extension);
    return transaction([&]() -> Result<Decision> {
               if (const QString lock = m_engine->lockTables(); !lock.isEmpty())
                   QUILLET_TRY(execute(lock));
               QUILLET_TRY_VALUE(const int found, extensionVersion(extension));
               if (found > extension.version)
                   return failure(Unavailable, extension.newer(found, extension.version));
               if (found < extension.version)
                   QUILLET_TRY(migrateExtension(extension, found));
               QUILLET_TRY(m_engine->grant(*this, extension.privileges));
               return Decision::Commit;
           })
        .status();
}

Status Store::migrateExtension(const Extension &extension, int found)
{
    for (const Extension::Step &step : extension.steps) {
        if (step.version > found)
            QUILLET_TRY(execute(inEngineWords(QString::fromUtf16(step.sql))));
    }
    QSqlQuery q = query();
    return run(q,
               u"INSERT INTO meta (key, value) VALUES (?, ?) "
               u"ON CONFLICT (key) DO UPDATE SET value = excluded.value"_s,
               { extension.versionKey, QString::number(extension.version) });
}

// An extension's statement with the engine's words in place of its placeholders.
QString Store::inEngineWords(const QString &sql) const
{
    QString statement = sql;
    statement.replace(u"{key}"_s, m_engine->numberedKey());
    statement.replace(u"{time}"_s, m_engine->timeType());
    static const QRegularExpression reference(uR"( \{references ([^}]+)\})"_s);
    for (QRegularExpressionMatch found = reference.match(statement); found.hasMatch();
         found = reference.match(statement)) {
        const QString declared = m_engine->reference(found.captured(1));
        statement.replace(found.capturedStart(), found.capturedLength(),
                          declared.isEmpty() ? QString() : u' ' + declared);
    }
    return statement;
}
