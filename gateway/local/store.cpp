#include "store.h"

#include "localtexts.h"
#include "postgresqlschema.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// SQLite's primary result codes that need their own report.
constexpr int SqliteBusy = 5;
constexpr int SqliteLocked = 6;
constexpr int SqliteReadOnly = 8;
constexpr int SqliteCorrupt = 11;
constexpr int SqliteFull = 13;
constexpr int SqliteCantOpen = 14;
constexpr int SqliteAuth = 23;
constexpr int SqliteNotADb = 26;

// Held by the transaction that creates the PostgreSQL schema, and by each one that
// registers an account ("QGLS" and "QGLR").
constexpr qint64 SchemaLock = 0x51474C53;
constexpr qint64 RegistrationLock = 0x51474C52;

// How long one statement may run, and how long a transaction may sit idle holding its
// locks (a client that stopped in the middle), before the server gives up on it.
const QString SessionSettings[] = {
    QStringLiteral("SET search_path = quillet"),
    QStringLiteral("SET TIME ZONE 'UTC'"),
    QStringLiteral("SET statement_timeout = '30s'"),
    QStringLiteral("SET idle_in_transaction_session_timeout = '60s'"),
};

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The schema of version 1. The balance only ever changes through a ledger row: the
// trigger applies the row's amount, and the CHECK refuses a negative balance, so the
// balance is the ledger's sum by construction.
const char16_t *const SchemaV1[] = {
    uR"(CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL))",
    uR"(CREATE TABLE accounts (
        id INTEGER PRIMARY KEY,
        number TEXT NOT NULL UNIQUE,
        password_hash TEXT NOT NULL,
        province TEXT NOT NULL, city TEXT NOT NULL, trade TEXT NOT NULL,
        company TEXT NOT NULL, contact_name TEXT NOT NULL, telephone TEXT NOT NULL,
        mobile TEXT NOT NULL, email TEXT NOT NULL, fax TEXT NOT NULL,
        address TEXT NOT NULL, postcode TEXT NOT NULL,
        service_number TEXT NOT NULL UNIQUE,
        balance INTEGER NOT NULL DEFAULT 0 CHECK (balance >= 0),
        signed_on INTEGER NOT NULL CHECK (signed_on IN (0, 1)),
        forwarding_phone TEXT,
        auto_reply TEXT,
        created_at INTEGER NOT NULL))",
    uR"(CREATE TABLE ledger (
        id INTEGER PRIMARY KEY,
        account_id INTEGER NOT NULL REFERENCES accounts(id),
        amount INTEGER NOT NULL CHECK (amount <> 0),
        reason TEXT NOT NULL CHECK (reason IN ('recharge', 'send')),
        reference TEXT NOT NULL,
        at INTEGER NOT NULL))",
    uR"(CREATE TRIGGER ledger_applies AFTER INSERT ON ledger BEGIN
        UPDATE accounts SET balance = balance + NEW.amount WHERE id = NEW.account_id;
        SELECT RAISE(ABORT, 'ledger row without account') WHERE changes() <> 1;
        END)",
    uR"(CREATE TRIGGER ledger_is_append_only BEFORE UPDATE ON ledger BEGIN
        SELECT RAISE(ABORT, 'ledger rows are never changed'); END)",
    uR"(CREATE TRIGGER ledger_is_kept BEFORE DELETE ON ledger BEGIN
        SELECT RAISE(ABORT, 'ledger rows are never deleted'); END)",
    uR"(CREATE TABLE cards (
        id INTEGER PRIMARY KEY,
        number TEXT NOT NULL UNIQUE,
        password_hash TEXT NOT NULL,
        value INTEGER NOT NULL CHECK (value > 0),
        issued_at INTEGER NOT NULL,
        spent_by INTEGER REFERENCES accounts(id),
        spent_at INTEGER,
        CHECK ((spent_by IS NULL) = (spent_at IS NULL))))",
    uR"(CREATE TRIGGER card_spent_once BEFORE UPDATE OF spent_by ON cards
        WHEN OLD.spent_by IS NOT NULL
        BEGIN SELECT RAISE(ABORT, 'card already spent'); END)",
    uR"(CREATE TABLE recharge_failures (
        id INTEGER PRIMARY KEY,
        account_id INTEGER NOT NULL REFERENCES accounts(id),
        at INTEGER NOT NULL))",
    uR"(CREATE INDEX recharge_failures_account ON recharge_failures(account_id, at))",
    uR"(CREATE TABLE mt (
        id INTEGER PRIMARY KEY,
        account_id INTEGER NOT NULL REFERENCES accounts(id),
        phone TEXT NOT NULL,
        text TEXT NOT NULL,
        segments INTEGER NOT NULL CHECK (segments > 0),
        cost INTEGER NOT NULL CHECK (cost >= 0),
        origin TEXT NOT NULL CHECK (origin IN ('send', 'forward', 'auto_reply')),
        submitted_at INTEGER NOT NULL,
        due_at INTEGER NOT NULL,
        state TEXT NOT NULL CHECK (state IN ('scheduled', 'delivered', 'not_sent')),
        reason TEXT,
        delivered_at INTEGER))",
    // Only scheduled messages are indexed by due time, so an immediate send writes no
    // index page; the operator's handset listing reads the table as it is.
    uR"(CREATE INDEX mt_due ON mt(due_at) WHERE state = 'scheduled')",
    uR"(CREATE TRIGGER mt_state_moves_forward BEFORE UPDATE OF state ON mt
        WHEN NOT (OLD.state = 'scheduled' AND NEW.state IN ('delivered', 'not_sent'))
        BEGIN SELECT RAISE(ABORT, 'message state only moves forward'); END)",
    uR"(CREATE TABLE mo (
        id INTEGER PRIMARY KEY,
        account_id INTEGER NOT NULL REFERENCES accounts(id),
        sender TEXT NOT NULL,
        extension TEXT NOT NULL,
        text TEXT NOT NULL,
        sent_at INTEGER NOT NULL,
        state TEXT NOT NULL CHECK (state IN ('waiting', 'fetched')),
        fetched_at INTEGER))",
    uR"(CREATE INDEX mo_waiting ON mo(account_id, state, sent_at, id))",
    uR"(CREATE INDEX mo_waiting_extension ON mo(account_id, extension, state, sent_at, id))",
    uR"(CREATE TRIGGER mo_state_moves_forward BEFORE UPDATE OF state ON mo
        WHEN NOT (OLD.state = 'waiting' AND NEW.state = 'fetched')
        BEGIN SELECT RAISE(ABORT, 'message state only moves forward'); END)",
};

} // namespace

QString Store::defaultPath()
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (data.isEmpty())
        return {};
    return QDir(data).filePath(u"quillet-gateway/gateway.sqlite3"_s);
}

Store::Store(QString path, QString connectionName)
    : m_path(std::move(path))
    , m_connectionName(std::move(connectionName))
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
    std::unique_ptr<Store> opened(new Store(absolute, name));
    if (absolute.isEmpty())
        return opened->failure(Unavailable, LocalTexts::noDataFolder());
    QUILLET_TRY(opened->prepareFile());
    QUILLET_TRY(opened->connect());
    QUILLET_TRY(opened->checkOrCreate());
    store = std::move(opened);
    return Status::ok();
}

Status Store::open(const StoreLocation &location, std::unique_ptr<Store> &store)
{
    if (location.engine == StoreLocation::Engine::Sqlite)
        return open(location.path, store);
    static QAtomicInteger<quint64> connections;
    const QString name = u"quillet-local-gateway-pg-%1"_s.arg(connections.fetchAndAddRelaxed(1));
    std::unique_ptr<Store> opened(new Store(location.describe(), name));
    opened->m_engine = location.engine;
    opened->m_location = location;
    QUILLET_TRY(opened->connectPostgresql());
    QUILLET_TRY(opened->checkOrCreatePostgresql(false));
    store = std::move(opened);
    return Status::ok();
}

Status Store::initialize(const StoreLocation &location)
{
    std::unique_ptr<Store> store;
    if (location.engine == StoreLocation::Engine::Sqlite)
        return open(location.path, store);
    static QAtomicInteger<quint64> connections;
    const QString name = u"quillet-local-gateway-init-%1"_s.arg(connections.fetchAndAddRelaxed(1));
    store.reset(new Store(location.describe(), name));
    store->m_engine = location.engine;
    store->m_location = location;
    QUILLET_TRY(store->connectPostgresql());
    QUILLET_TRY(store->checkOrCreatePostgresql(true));
    return store->grantRuntimeRole();
}

Status Store::failure(qint32 code, const QString &reason) const
{
    if (onPostgresql())
        return Status::failure(code, LocalTexts::databaseFailed(m_path, reason));
    return Status::failure(code, LocalTexts::storeFailed(QDir::toNativeSeparators(m_path), reason));
}

Status Store::failure(const QSqlError &error) const
{
    if (onPostgresql())
        return failurePostgresql(error);
    bool numeric = false;
    const int native = error.nativeErrorCode().toInt(&numeric);
    const int primary = numeric ? (native & 0xff) : -1;
    const QString detail = error.text();
    switch (primary) {
    case SqliteFull:
        return failure(DiskFull, LocalTexts::diskFull());
    case SqliteBusy:
    case SqliteLocked:
        return failure(Unavailable, LocalTexts::busy());
    case SqliteCorrupt:
        return failure(Unavailable, LocalTexts::corrupt(detail));
    case SqliteNotADb:
        return failure(Unavailable, LocalTexts::notSqlite());
    case SqliteReadOnly:
    case SqliteAuth:
        return failure(AccessDenied, LocalTexts::accessDenied(detail));
    case SqliteCantOpen:
        return failure(Unavailable, LocalTexts::cannotOpen(detail));
    default:
        return failure(Unavailable, LocalTexts::databaseError(detail));
    }
}

// The folder is made 0700 and the file 0600 before SQLite sees them, so the store is
// never readable by others, not even for a moment. Existing ones are left as they are.
Status Store::prepareFile()
{
    const QFileInfo file(m_path);
    const QString folder = file.absolutePath();
    const QFileInfo folderInfo(folder);
    if (!folderInfo.exists()) {
        const QString parent = QFileInfo(folder).absolutePath();
        if (!QDir().mkpath(parent))
            return failure(Unavailable, LocalTexts::cannotCreateFolder(parent, QString()));
        if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0 && errno != EEXIST)
            return failure(errno == EACCES ? AccessDenied : Unavailable,
                           LocalTexts::cannotCreateFolder(folder, systemError(errno)));
    }
    if (!QFileInfo(folder).isDir())
        return failure(Unavailable, LocalTexts::notAFolder(folder));

    const QByteArray encoded = QFile::encodeName(m_path);
    struct stat info { };
    if (::stat(encoded.constData(), &info) != 0) {
        if (errno != ENOENT)
            return failure(Unavailable, LocalTexts::cannotReadFile(systemError(errno)));
        const int fd = ::open(encoded.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return failure(errno == EACCES ? AccessDenied : Unavailable,
                           LocalTexts::cannotCreateFile(systemError(errno)));
        if (fd >= 0)
            ::close(fd);
        if (::stat(encoded.constData(), &info) != 0)
            return failure(Unavailable, LocalTexts::cannotReadFile(systemError(errno)));
    }
    if (!S_ISREG(info.st_mode))
        return failure(Unavailable, LocalTexts::notAFile());

    // A file with content must begin with SQLite's header; anything else is left alone
    // without handing it to SQLite at all.
    if (info.st_size > 0) {
        QFile raw(m_path);
        if (!raw.open(QIODevice::ReadOnly))
            return failure(AccessDenied, LocalTexts::cannotReadFile(raw.errorString()));
        static constexpr char Header[] = "SQLite format 3";
        const QByteArray head = raw.read(sizeof(Header));
        if (head != QByteArray(Header, sizeof(Header)))
            return failure(Unavailable, LocalTexts::notSqlite());
    }
    return Status::ok();
}

Status Store::connect()
{
    QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, m_connectionName);
    if (!db.isValid())
        return failure(Unavailable, LocalTexts::cannotOpen(db.lastError().text()));
    db.setDatabaseName(m_path);
    db.setConnectOptions(u"QSQLITE_BUSY_TIMEOUT=5000"_s);
    if (!db.open())
        return failure(db.lastError());
    // Connection settings only: none of these writes to the file.
    QSqlQuery q = query();
    QUILLET_TRY(run(q, u"PRAGMA busy_timeout = 5000"_s));
    QUILLET_TRY(run(q, u"PRAGMA foreign_keys = ON"_s));
    QUILLET_TRY(run(q, u"PRAGMA synchronous = FULL"_s));
    return Status::ok();
}

// SQLSTATE classes and codes that need their own report; anything without a code
// means the connection itself failed.
Status Store::failurePostgresql(const QSqlError &error) const
{
    const QString state = error.nativeErrorCode();
    QString detail = error.databaseText().trimmed();
    if (detail.isEmpty())
        detail = error.driverText().trimmed();
    if (state.isEmpty() || state.startsWith(u"08"_s) || state == u"57P01"_s || state == u"57P02"_s
        || state == u"57P03"_s) {
        m_broken = true;
        return failure(Unavailable, LocalTexts::serverUnreachable(detail));
    }
    if (state == u"53100"_s)
        return failure(DiskFull, LocalTexts::diskFull());
    if (state == u"40001"_s || state == u"40P01"_s || state == u"55P03"_s || state == u"57014"_s
        || state == u"25P03"_s)
        return failure(Unavailable, LocalTexts::busy());
    if (state.startsWith(u"28"_s) || state == u"42501"_s)
        return failure(AccessDenied, LocalTexts::accessDenied(detail));
    if (state == u"3D000"_s)
        return failure(Unavailable, LocalTexts::cannotOpen(detail));
    return failure(Unavailable, LocalTexts::databaseError(detail));
}

Status Store::connectPostgresql()
{
    QSqlDatabase db = QSqlDatabase::contains(m_connectionName)
        ? QSqlDatabase::database(m_connectionName, false)
        : QSqlDatabase::addDatabase(u"QPSQL"_s, m_connectionName);
    if (!db.isValid())
        return failure(Unavailable, LocalTexts::noPostgresqlDriver());
    db.setHostName(m_location.host);
    db.setPort(m_location.port == 0 ? -1 : m_location.port);
    db.setUserName(m_location.user);
    db.setDatabaseName(m_location.database);
    db.setConnectOptions(m_location.connectOptions());
    if (!db.open())
        return failure(db.lastError());
    m_broken = false;
    for (const QString &setting : SessionSettings)
        QUILLET_TRY(execute(setting));
    return Status::ok();
}

Status Store::reconnectIfBroken()
{
    if (!m_broken)
        return Status::ok();
    m_statements.clear();
    QSqlDatabase::database(m_connectionName, false).close();
    return connectPostgresql();
}

Status Store::execute(const QString &sql)
{
    QSqlQuery q = query();
    if (!q.exec(sql))
        return failure(q.lastError());
    return Status::ok();
}

QVariant Store::time(qint64 msSinceEpoch) const
{
    if (onPostgresql())
        return QDateTime::fromMSecsSinceEpoch(msSinceEpoch, Qt::UTC);
    return msSinceEpoch;
}

qint64 Store::msSinceEpoch(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QDateTime>())
        return value.toDateTime().toMSecsSinceEpoch();
    return value.toLongLong();
}

QString Store::lockRow() const
{
    return onPostgresql() ? u" FOR UPDATE"_s : QString();
}

Status Store::lockRegistrations()
{
    if (!onPostgresql())
        return Status::ok();
    QSqlQuery *lock = nullptr;
    QUILLET_TRY(step(lock, u"SELECT pg_advisory_xact_lock(?)"_s, { RegistrationLock }));
    lock->finish();
    return Status::ok();
}

QSqlQuery Store::query() const
{
    QSqlQuery q(QSqlDatabase::database(m_connectionName, false));
    q.setForwardOnly(true);
    return q;
}

Status Store::checkValues(const QVariantList &values) const
{
    if (!onPostgresql())
        return Status::ok();
    for (const QVariant &value : values) {
        if (value.metaType() == QMetaType::fromType<QString>()
            && value.toString().contains(QChar(u'\0')))
            return failure(InvalidArgument, LocalTexts::nulInText());
    }
    return Status::ok();
}

Status Store::run(QSqlQuery &q, const QString &sql, const QVariantList &values)
{
    QUILLET_TRY(checkValues(values));
    QUILLET_TRY(reconnectIfBroken());
    if (!q.prepare(sql))
        return failure(q.lastError());
    for (const QVariant &value : values) {
        // A null QString would be bound as SQL NULL; a text is never NULL here.
        if (value.metaType() == QMetaType::fromType<QString>() && value.toString().isNull())
            q.addBindValue(QString(u""_s));
        else
            q.addBindValue(value);
    }
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
    for (int i = 0; i < values.size(); ++i) {
        const QVariant &value = values.at(i);
        if (value.metaType() == QMetaType::fromType<QString>() && value.toString().isNull())
            statement->bindValue(i, QString(u""_s));
        else
            statement->bindValue(i, value);
    }
    if (!statement->exec())
        return failure(statement->lastError());
    return Status::ok();
}

void Store::finishStatements()
{
    for (auto &[sql, statement] : m_statements)
        statement->finish();
}

Status Store::transaction(const std::function<Status(bool &keep)> &work)
{
    if (onPostgresql()) {
        QUILLET_TRY(reconnectIfBroken());
        QUILLET_TRY(execute(u"BEGIN"_s));
        bool keep = false;
        Status status = work(keep);
        finishStatements();
        if (status.isOk() && keep) {
            status = execute(u"COMMIT"_s);
            if (status.isOk())
                return status;
        }
        // A connection that broke took its transaction with it on the server.
        if (!m_broken)
            (void)execute(u"ROLLBACK"_s);
        return status;
    }
    QSqlQuery *control = nullptr;
    QUILLET_TRY(step(control, u"BEGIN IMMEDIATE"_s));
    bool keep = false;
    Status status = work(keep);
    finishStatements();
    if (status.isOk() && keep) {
        status = step(control, u"COMMIT"_s);
        if (status.isOk())
            return status;
    }
    // SQLite may already have rolled back after some errors; then there is nothing
    // left to undo and this statement's own error does not matter.
    (void)step(control, u"ROLLBACK"_s);
    return status;
}

Status Store::checkOrCreate()
{
    QSqlQuery q = query();
    QUILLET_TRY(run(q, u"PRAGMA application_id"_s));
    const qint64 applicationId = q.next() ? q.value(0).toLongLong() : 0;
    QUILLET_TRY(run(q, u"SELECT count(*) FROM sqlite_master"_s));
    const qint64 objects = q.next() ? q.value(0).toLongLong() : 0;
    q.finish();

    if (applicationId == 0 && objects == 0)
        return createSchema();
    if (applicationId != ApplicationId)
        return failure(Unavailable, LocalTexts::notAQuilletStore());

    QUILLET_TRY(run(q, u"PRAGMA quick_check"_s));
    const QString check = q.next() ? q.value(0).toString() : QString();
    q.finish();
    if (check != u"ok"_s)
        return failure(Unavailable, LocalTexts::corrupt(check));

    QUILLET_TRY(run(q, u"SELECT value FROM meta WHERE key = 'schema_version'"_s));
    const QString versionText = q.next() ? q.value(0).toString() : QString();
    q.finish();
    bool numeric = false;
    const int version = versionText.toInt(&numeric);
    if (!numeric || version < 1)
        return failure(Unavailable, LocalTexts::badSchemaVersion(versionText));
    if (version > SchemaVersion)
        return failure(Unavailable, LocalTexts::newerSchema(version, SchemaVersion));

    QUILLET_TRY(run(q, u"PRAGMA journal_mode"_s));
    const QString mode = q.next() ? q.value(0).toString() : QString();
    q.finish();
    if (mode.compare(u"wal"_s, Qt::CaseInsensitive) != 0)
        QUILLET_TRY(run(q, u"PRAGMA journal_mode = WAL"_s));
    if (version < SchemaVersion)
        return migrate(version);
    return Status::ok();
}

// An empty file, or a database without a single object in it: nothing to lose, so it
// becomes a new store. Another process may be doing the same at this moment; the check
// is repeated under the write lock and only one of them creates the schema.
Status Store::createSchema()
{
    QSqlQuery q = query();
    QUILLET_TRY(run(q, u"PRAGMA journal_mode = WAL"_s));
    q.finish();
    return transaction([&](bool &keep) -> Status {
        QSqlQuery t = query();
        QUILLET_TRY(run(t, u"SELECT count(*) FROM sqlite_master"_s));
        const qint64 objects = t.next() ? t.value(0).toLongLong() : 0;
        t.finish();
        if (objects != 0) {
            QUILLET_TRY(run(t, u"PRAGMA application_id"_s));
            const qint64 applicationId = t.next() ? t.value(0).toLongLong() : 0;
            t.finish();
            if (applicationId != ApplicationId)
                return failure(Unavailable, LocalTexts::notAQuilletStore());
            return Status::ok(); // made by the other process; nothing to keep
        }
        for (const char16_t *statement : SchemaV1)
            QUILLET_TRY(run(t, QString::fromUtf16(statement)));
        QUILLET_TRY(run(t, u"PRAGMA application_id = %1"_s.arg(ApplicationId)));
        QUILLET_TRY(run(t, u"INSERT INTO meta(key, value) VALUES ('schema_version', ?)"_s,
                        { QString::number(SchemaVersion) }));
        keep = true;
        return Status::ok();
    });
}

// The schema `quillet` holds the store. A database without it gets it, when this role
// may create it; one whose `quillet` schema is not a store is left alone.
Status Store::checkOrCreatePostgresql(bool initializing)
{
    QSqlQuery q = query();
    QUILLET_TRY(run(q, u"SELECT count(*) FROM pg_namespace WHERE nspname = ?"_s,
                    { PostgresqlSchema::Name }));
    const bool exists = q.next() && q.value(0).toLongLong() > 0;
    q.finish();
    if (!exists) {
        QUILLET_TRY(createPostgresqlSchema());
        return checkOrCreatePostgresql(initializing);
    }
    QUILLET_TRY(run(q,
                    u"SELECT count(*) FROM pg_tables WHERE schemaname = ? AND tablename = 'meta'"_s,
                    { PostgresqlSchema::Name }));
    const bool hasMeta = q.next() && q.value(0).toLongLong() > 0;
    q.finish();
    if (!hasMeta)
        return failure(Unavailable, LocalTexts::notAQuilletSchema());
    QUILLET_TRY(run(q, u"SELECT value FROM meta WHERE key = 'schema_version'"_s));
    const QString versionText = q.next() ? q.value(0).toString() : QString();
    q.finish();
    bool numeric = false;
    const int version = versionText.toInt(&numeric);
    if (!numeric || version < 1)
        return failure(Unavailable, LocalTexts::badSchemaVersion(versionText));
    if (version > SchemaVersion)
        return failure(Unavailable, LocalTexts::newerSchema(version, SchemaVersion));
    if (version < SchemaVersion)
        return migrate(version);
    Q_UNUSED(initializing);
    return Status::ok();
}

Status Store::createPostgresqlSchema()
{
    return transaction([&](bool &keep) -> Status {
        // Another process may be creating it at this moment: the first to hold the lock
        // creates it, the others find it made.
        QSqlQuery t = query();
        QUILLET_TRY(run(t, u"SELECT pg_advisory_xact_lock(?)"_s, { SchemaLock }));
        t.finish();
        QUILLET_TRY(run(t, u"SELECT count(*) FROM pg_namespace WHERE nspname = ?"_s,
                        { PostgresqlSchema::Name }));
        const bool exists = t.next() && t.value(0).toLongLong() > 0;
        t.finish();
        if (exists)
            return Status::ok();
        QUILLET_TRY(execute(u"CREATE SCHEMA quillet"_s));
        const QStringList statements = PostgresqlSchema::version1();
        for (const QString &statement : statements)
            QUILLET_TRY(execute(statement));
        QUILLET_TRY(run(t, u"INSERT INTO meta(key, value) VALUES ('schema_version', ?)"_s,
                        { QString::number(SchemaVersion) }));
        keep = true;
        return Status::ok();
    });
}

Status Store::grantRuntimeRole()
{
    return transaction([&](bool &keep) -> Status {
        QSqlQuery t = query();
        QUILLET_TRY(run(t, u"SELECT count(*) FROM pg_roles WHERE rolname = ?"_s,
                        { PostgresqlSchema::RuntimeRole }));
        const bool exists = t.next() && t.value(0).toLongLong() > 0;
        t.finish();
        if (!exists)
            QUILLET_TRY(execute(u"CREATE ROLE "_s + PostgresqlSchema::RuntimeRole + u" NOLOGIN"_s));
        const QStringList grants = PostgresqlSchema::grants(PostgresqlSchema::RuntimeRole);
        for (const QString &grant : grants)
            QUILLET_TRY(execute(grant));
        keep = true;
        return Status::ok();
    });
}

Status Store::migrate(int fromVersion)
{
    return transaction([&](bool &keep) -> Status {
        for (int version = fromVersion; version < SchemaVersion; ++version)
            QUILLET_TRY(migrateStep(version));
        QSqlQuery t = query();
        QUILLET_TRY(run(t, u"UPDATE meta SET value = ? WHERE key = 'schema_version'"_s,
                        { QString::number(SchemaVersion) }));
        keep = true;
        return Status::ok();
    });
}

// Moves a store from `fromVersion` to the next version. Version 1 is the first; a later
// version adds its step here and raises SchemaVersion.
Status Store::migrateStep(int fromVersion)
{
    switch (fromVersion) {
    default:
        return failure(Unavailable, LocalTexts::badSchemaVersion(QString::number(fromVersion)));
    }
}
