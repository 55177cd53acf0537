#include "tests/service/servicerig.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>
#include <sys/resource.h>

using namespace Qt::StringLiterals;

namespace {
constexpr int StartMs = 15'000;
}

ServiceRig::ServiceRig()
    : m_store(std::make_unique<TestStore>())
{
    // Passwords hashed at the least cost: tests of the rules need not wait on the cost
    // the service deploys with. A test of what hashing holds up sets it back.
    set(u"password_hash_cost"_s, u"minimum"_s);
    // A line per request in the log, which tests read; off is the service's default.
    set(u"request_log"_s, u"stderr"_s);
    // The key of callback secrets in the rig's own folder, not the user's.
    set(u"callback_key_file"_s, m_dir.filePath(u"callback.key"_s));
    if (!prepareStore())
        qWarning("the service's test store could not be made ready");
}

ServiceRig::ServiceRig(const ServiceRig &first)
    : m_ownerUrl(first.m_ownerUrl)
    , m_runtimeUrl(first.storePath())
{
    set(u"password_hash_cost"_s, u"minimum"_s);
    set(u"request_log"_s, u"stderr"_s);
    // Both open the secrets the other sealed.
    set(u"callback_key_file"_s, first.m_dir.filePath(u"callback.key"_s));
}

bool ServiceRig::prepareStore()
{
    if (!m_store->isValid())
        return false;
    m_ownerUrl = m_store->url();
    if (!TestStore::onPostgresql())
        return true;
    if (init() != 0)
        return false;
    // The password is the cluster's own, which libpq finds in PGPASSWORD.
    // A cluster shared by the run's tests has it already.
    static const bool login = TestStore::administer(
        u"DO $$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = '%1') THEN CREATE "
        u"ROLE %1 LOGIN PASSWORD '%2' IN ROLE quillet_gateway; END IF; END $$"_s.arg(
            RuntimeLogin, qEnvironmentVariable("PGPASSWORD")));
    StoreLocation runtime = m_store->location();
    m_runtimeUrl = u"postgresql://%1@%2:%3/%4?sslmode=disable"_s.arg(
        RuntimeLogin, runtime.host, QString::number(runtime.port), runtime.database);
    return login;
}

ServiceRig::~ServiceRig()
{
    kill();
}

QString ServiceRig::program()
{
    return QStringLiteral(QUILLET_GATEWAYD);
}

qint64 ServiceRig::peakKib(qint64 pid)
{
    QFile status(u"/proc/%1/status"_s.arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

qint64 ServiceRig::pid() const
{
    return m_process ? m_process->processId() : 0;
}

QString ServiceRig::storePath() const
{
    return m_runtimeUrl.isEmpty() ? m_ownerUrl : m_runtimeUrl;
}

QString ServiceRig::url() const
{
    return u"http://127.0.0.1:%1"_s.arg(m_port);
}

bool ServiceRig::running() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

int ServiceRig::init()
{
    return runOn(ownerUrl(), { u"init"_s }, nullptr, nullptr);
}

bool ServiceRig::emptyStore()
{
    if (TestStore::onPostgresql()) {
        // As the cluster's administrator, triggers off so that the ledger can go too; rows
        // deleted rather than tables truncated, which is ten times quicker on tables this
        // small, and the identities start again at 1 but the tokens'.
        return m_store->administerStore(
            u"DO $$ DECLARE t text; BEGIN SET LOCAL session_replication_role = replica; "
            u"FOR t IN SELECT tablename FROM pg_tables WHERE schemaname = 'quillet' AND "
            u"tablename NOT IN ('meta', 'service_tokens', 'service_token_accounts') LOOP EXECUTE "
            u"'DELETE FROM quillet.' "
            u"|| quote_ident(t); END LOOP; FOR t IN SELECT sequencename FROM pg_sequences WHERE "
            u"schemaname = 'quillet' AND sequencename NOT LIKE 'service\\_tokens%' LOOP EXECUTE "
            u"'ALTER SEQUENCE quillet.' || quote_ident(t) || ' RESTART'; END LOOP; END $$"_s);
    }
    // SQLite: the triggers that keep the ledger go for the transaction and come back as
    // they were; row ids start again at 1 in the emptied tables.
    const QString name = u"service-rig-empty"_s;
    bool emptied = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, name);
        db.setDatabaseName(m_ownerUrl);
        db.setConnectOptions(u"QSQLITE_BUSY_TIMEOUT=10000"_s);
        QSqlQuery q(db);
        const auto run = [&q](const QString &sql) {
            if (q.exec(sql))
                return true;
            qWarning() << sql << q.lastError().text();
            return false;
        };
        QStringList tables;
        QStringList triggers; // their names
        QStringList remade; // the statements that made them
        emptied = db.open() && run(u"BEGIN IMMEDIATE"_s)
            && run(u"SELECT type = 'table', name, sql FROM sqlite_master WHERE type IN "
                   u"('table', 'trigger') AND name NOT IN ('meta', 'service_tokens', "
                   u"'service_token_accounts') AND name NOT LIKE 'sqlite_%'"_s);
        while (emptied && q.next()) {
            if (q.value(0).toBool()) {
                tables.append(q.value(1).toString());
            } else {
                triggers.append(q.value(1).toString());
                remade.append(q.value(2).toString());
            }
        }
        QStringList steps;
        for (const QString &trigger : std::as_const(triggers))
            steps.append(u"DROP TRIGGER "_s + trigger);
        for (const QString &table : std::as_const(tables))
            steps.append(u"DELETE FROM "_s + table);
        steps += remade;
        steps.append(u"COMMIT"_s);
        for (const QString &step : std::as_const(steps))
            emptied = emptied && run(step);
        q.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return emptied;
}

int ServiceRig::run(const QStringList &arguments, QByteArray *out, QByteArray *err)
{
    return runOn(storePath(), arguments, out, err);
}

int ServiceRig::runOn(const QString &store, const QStringList &arguments, QByteArray *out,
                      QByteArray *err)
{
    QProcess p;
    writeConfig();
    p.start(program(),
            QStringList { u"--config"_s, m_dir.filePath(u"gatewayd.conf"_s), u"--store"_s, store }
                + arguments);
    if (!p.waitForFinished(30'000)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (out)
        *out = p.readAllStandardOutput();
    if (err)
        *err = p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

QString ServiceRig::issue(const QString &role, const QString &name, const QString &account)
{
    QByteArray out;
    QStringList arguments { u"token"_s, u"issue"_s, u"--role"_s, role, u"--name"_s, name };
    if (!account.isEmpty())
        arguments += QStringList { u"--account"_s, account };
    if (run(arguments, &out) != 0)
        return {};
    return QString::fromLatin1(out.trimmed());
}

bool ServiceRig::writeConfig()
{
    QFile config(m_dir.filePath(u"gatewayd.conf"_s));
    if (!config.open(QIODevice::WriteOnly))
        return false;
    for (auto it = m_settings.cbegin(); it != m_settings.cend(); ++it)
        config.write((it.key() + u'=' + it.value() + u'\n').toUtf8());
    config.write(m_appended.toUtf8());
    return true;
}

// The service's standard error goes to a file, appended to by each start: a pipe that
// nobody reads while the test waits on something else would stop the service when full.
bool ServiceRig::start(QString &why, const QString &store)
{
    if (!writeConfig()) {
        why = u"cannot write the config file"_s;
        return false;
    }
    QFile config(m_dir.filePath(u"gatewayd.conf"_s));
    const qsizetype earlier = log().size();
    m_process = std::make_unique<QProcess>();
    m_process->setStandardOutputFile(QProcess::nullDevice());
    m_process->setStandardErrorFile(logFile(), QIODevice::Append);
    // The service ends with the test, however the test ends (a time-out aborts it, and
    // no destructor runs); with a descriptor limit when the test sets one.
    m_process->setChildProcessModifier([limit = rlim_t(m_descriptorLimit)] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (limit > 0) {
            const rlimit descriptors { limit, limit };
            ::setrlimit(RLIMIT_NOFILE, &descriptors);
        }
    });
    m_process->start(program(),
                     { u"--config"_s, config.fileName(), u"--store"_s,
                       store.isEmpty() ? storePath() : store, u"--listen"_s, u"127.0.0.1"_s,
                       u"--port"_s, u"0"_s });
    static const QRegularExpression listening(u"listening on \\S+ port (\\d+)"_s);
    QDeadlineTimer deadline(StartMs);
    while (!deadline.hasExpired() && m_process->state() != QProcess::NotRunning) {
        m_process->waitForFinished(50);
        const auto match = listening.match(QString::fromUtf8(log().mid(earlier)));
        if (match.hasMatch()) {
            m_port = match.captured(1).toUShort();
            return true;
        }
    }
    why = QString::fromUtf8(log().mid(earlier));
    return false;
}

QString ServiceRig::certificateFile() const
{
    return m_dir.filePath(u"cert.pem"_s);
}

bool ServiceRig::useTls(QString &why)
{
    const QString key = m_dir.filePath(u"key.pem"_s);
    QProcess openssl;
    openssl.setStandardOutputFile(QProcess::nullDevice());
    openssl.setStandardErrorFile(QProcess::nullDevice());
    openssl.start(u"openssl"_s,
                  { u"req"_s, u"-x509"_s, u"-newkey"_s, u"rsa:2048"_s, u"-nodes"_s, u"-days"_s,
                    u"2"_s, u"-subj"_s, u"/CN=127.0.0.1"_s, u"-addext"_s,
                    u"subjectAltName=IP:127.0.0.1"_s, u"-keyout"_s, key, u"-out"_s,
                    certificateFile() });
    if (!openssl.waitForStarted()) {
        why = u"openssl is not installed"_s;
        return false;
    }
    if (!openssl.waitForFinished(60'000) || openssl.exitCode() != 0) {
        why = u"openssl made no certificate"_s;
        return false;
    }
    set(u"tls_certificate"_s, certificateFile());
    set(u"tls_key"_s, key);
    return true;
}

QString ServiceRig::logFile() const
{
    return m_dir.filePath(u"gatewayd.log"_s);
}

QByteArray ServiceRig::log() const
{
    QFile file(logFile());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray ServiceRig::reload()
{
    if (!running() || !writeConfig())
        return {};
    const qsizetype earlier = log().size();
    ::kill(pid_t(m_process->processId()), SIGHUP);
    QDeadlineTimer deadline(StartMs);
    while (!deadline.hasExpired()) {
        if (log().mid(earlier).contains("quillet-gatewayd: reload")) {
            // What it adds to the same line of the journal (a setting left for a restart).
            QThread::msleep(100);
            return log().mid(earlier);
        }
        QThread::msleep(20);
    }
    return {};
}

int ServiceRig::terminate()
{
    if (!running())
        return -1;
    m_process->terminate();
    if (!m_process->waitForFinished(20'000))
        return -1;
    return m_process->exitStatus() == QProcess::NormalExit ? m_process->exitCode() : -1;
}

void ServiceRig::kill()
{
    if (!running())
        return;
    m_process->kill();
    m_process->waitForFinished(10'000);
}

ServiceRig::Answer ServiceRig::raw(const QByteArray &bytes, int waitMs, quint16 port)
{
    Answer answer;
    QTcpSocket socket;
    socket.connectToHost(u"127.0.0.1"_s, port ? port : m_port);
    if (!socket.waitForConnected(5'000))
        return answer;
    socket.write(bytes);
    socket.waitForBytesWritten(5'000);
    QByteArray received;
    QDeadlineTimer deadline(waitMs);
    while (!deadline.hasExpired()) {
        if (socket.state() != QAbstractSocket::ConnectedState) {
            answer.closed = true;
            break;
        }
        socket.waitForReadyRead(int(qMin<qint64>(50, qMax<qint64>(1, deadline.remainingTime()))));
        received += socket.readAll();
    }
    received += socket.readAll();
    const qsizetype split = received.indexOf("\r\n\r\n");
    if (received.startsWith("HTTP/1.") && split > 0) {
        answer.status = received.mid(9, 3).toInt();
        answer.headers = received.left(split);
        answer.body = received.mid(split + 4);
    }
    return answer;
}

ServiceRig::Answer ServiceRig::post(const QString &path, const QByteArray &body,
                                    const QString &token, const QByteArray &extraHeaders)
{
    return this->request("POST", path, body, token, extraHeaders);
}

ServiceRig::Answer ServiceRig::request(const QByteArray &method, const QString &path,
                                       const QByteArray &body, const QString &token,
                                       const QByteArray &extraHeaders)
{
    QByteArray request = method + ' ' + path.toUtf8() + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (method == "POST" || !body.isEmpty())
        request += "Content-Type: application/json\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\n";
    if (!token.isEmpty())
        request += "Authorization: Bearer " + token.toLatin1() + "\r\n";
    if (!extraHeaders.contains("Connection:"))
        request += "Connection: close\r\n";
    // Every call gets a key of its own unless the test names one (or asks for none).
    if (!extraHeaders.contains("Idempotency-Key:") && !extraHeaders.contains("X-No-Key:")) {
        static int keys = 0;
        request += "Idempotency-Key: rig-request-key-" + QByteArray::number(++keys) + "\r\n";
    }
    request += extraHeaders + "\r\n" + body;
    // Generous: a durable write waits on the disk, which a busy machine can hold up for seconds.
    return raw(request, 30'000);
}
