// Durable SendMessage on PostgreSQL against bare single-row commits on the same cluster,
// from 1 and from 8 client processes; and the same sends on SQLite for comparison.
//
//   coordinator ── fsync on, a database, funded accounts, a bare table
//        └─ for each (kind, clients): N worker processes of this program, each
//           "ready" ── "go" on standard input ── COUNT operations ── "done"
//           aggregate = N * COUNT / (time from the first "go" to the last "done")
//
//   QUILLET_BENCH_SENDS   operations per client, default 2000
//
// Runs inside pg_virtualenv (its PG* variables name the cluster), which starts clusters
// with fsync off; the benchmark turns it on and checks, or its figures mean nothing.

#include "bench/kit/benchio.h"
#include "gateway/local/localgateway.h"
#include "gateway/local/localoperator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

const QString Database = u"quillet_bench"_s;
const QString Phone = u"13800138000"_s;
const QString Text = u"VB测试短信发送!"_s;
constexpr int MaxClients = 8;

using BenchKit::out;

int perClient()
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue("QUILLET_BENCH_SENDS", &ok);
    return ok && value > 0 ? value : 2000;
}

QString accountOf(int client)
{
    return u"BEN-CHM-ARK-%1"_s.arg(client, 5, 10, QChar(u'0'));
}

QString pgUrl()
{
    return u"postgresql://%1@%2:%3/%4?sslmode=disable"_s.arg(
        qEnvironmentVariable("PGUSER"), qEnvironmentVariable("PGHOST", u"localhost"_s),
        qEnvironmentVariable("PGPORT", u"5432"_s), Database);
}

bool adminExec(const QString &database, const QString &sql, QString *value = nullptr)
{
    const QString name = u"bench-admin-"_s + database;
    if (!QSqlDatabase::contains(name)) {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QPSQL"_s, name);
        db.setDatabaseName(database);
        db.setConnectOptions(u"sslmode=disable"_s);
    }
    QSqlDatabase db = QSqlDatabase::database(name, false);
    if (!db.isOpen() && !db.open()) {
        out() << "FAILED: " << db.lastError().text() << Qt::endl;
        return false;
    }
    QSqlQuery q(db);
    if (!q.exec(sql)) {
        out() << "FAILED: " << sql << ": " << q.lastError().text() << Qt::endl;
        return false;
    }
    if (value)
        *value = q.next() ? q.value(0).toString() : QString();
    return true;
}

bool openGateway(const QString &store, std::unique_ptr<LocalGateway> &gateway)
{
    StoreLocation location;
    Status status = StoreLocation::parse(store, location);
    LocalGateway::Options options;
    options.hashCost = PasswordHasher::fastest();
    if (status.isOk())
        status = LocalGateway::open(location, gateway, options);
    if (status.failed())
        out() << "FAILED: " << status.description() << Qt::endl;
    return status.isOk();
}

// Every account registered and funded for every send it will make.
bool fund(const QString &store)
{
    std::unique_ptr<LocalGateway> gateway;
    if (!openGateway(store, gateway))
        return false;
    for (int client = 0; client < MaxClients; ++client) {
        RegisterParticulars p;
        p.accountNo = accountOf(client);
        p.password = u"pw"_s;
        Bool16 outcome = 0;
        if (gateway->Register(p, outcome).failed() || outcome != True16)
            return false;
        const qint64 needed = qint64(perClient()) * LocalGateway::FenPerSegment;
        for (qint64 funded = 0; funded < needed; funded += LocalGateway::MaxCardValueFen) {
            QList<LocalGateway::IssuedCard> cards;
            if (LocalOperator(*gateway).issueCards(LocalGateway::MaxCardValueFen, 1, cards).failed()
                || gateway->Recharge(p.accountNo, cards[0].number, cards[0].password, outcome)
                       .failed()
                || outcome != True16)
                return false;
        }
    }
    return true;
}

// A worker: "send STORE CLIENT" or "bare CLIENT".
int work(const QStringList &args)
{
    QTextStream in(stdin);
    const int count = perClient();
    if (args.value(2) == u"send"_s) {
        std::unique_ptr<LocalGateway> gateway;
        if (!openGateway(args.value(3), gateway))
            return 1;
        const QString account = accountOf(args.value(4).toInt());
        out() << "ready" << Qt::endl;
        in.readLine();
        for (int i = 0; i < count; ++i) {
            Bool16 outcome = 0;
            const Status status = gateway->SendMessage(account, Phone, Text, outcome);
            if (status.failed() || outcome != True16) {
                out() << "FAILED: " << status.description() << Qt::endl;
                return 1;
            }
        }
    } else {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QPSQL"_s, u"bare"_s);
        db.setDatabaseName(Database);
        db.setConnectOptions(u"sslmode=disable"_s);
        if (!db.open())
            return 1;
        QSqlQuery insert(db);
        if (!insert.prepare(u"INSERT INTO bare.messages (account, phone, text, at) "
                            u"VALUES (?, ?, ?, ?)"_s))
            return 1;
        out() << "ready" << Qt::endl;
        in.readLine();
        for (int i = 0; i < count; ++i) {
            insert.bindValue(0, args.value(3).toInt());
            insert.bindValue(1, Phone);
            insert.bindValue(2, Text);
            insert.bindValue(3, QDateTime::currentDateTimeUtc());
            if (!insert.exec()) {
                out() << "FAILED: " << insert.lastError().text() << Qt::endl;
                return 1;
            }
        }
    }
    out() << "done" << Qt::endl;
    return 0;
}

bool waitForLine(QProcess &process, const QByteArray &line)
{
    while (!process.canReadLine()) {
        if (!process.waitForReadyRead(600000))
            return false;
    }
    const QByteArray got = process.readLine().trimmed();
    if (got != line)
        out() << "worker said: " << got << Qt::endl;
    return got == line;
}

// Operations per second from `clients` workers together; 0 on a failure.
double measure(const QStringList &workerArguments, int clients)
{
    std::vector<std::unique_ptr<QProcess>> workers;
    for (int client = 0; client < clients; ++client) {
        workers.push_back(std::make_unique<QProcess>());
        workers.back()->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList arguments = { u"worker"_s };
        arguments << workerArguments << QString::number(client);
        workers.back()->start(QCoreApplication::applicationFilePath(), arguments);
    }
    for (auto &worker : workers) {
        if (!waitForLine(*worker, "ready"))
            return 0;
    }
    QElapsedTimer timer;
    timer.start();
    for (auto &worker : workers)
        worker->write("go\n");
    bool ok = true;
    for (auto &worker : workers)
        ok = waitForLine(*worker, "done") && ok;
    const qint64 elapsed = timer.nsecsElapsed();
    for (auto &worker : workers)
        worker->waitForFinished(60000);
    return ok ? double(clients) * perClient() * 1e9 / double(elapsed) : 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.value(1) == u"worker"_s)
        return work(args);

    // The cluster as a durable server would run it.
    // The server reads its settings again a moment after the reload is asked for.
    QString fsync;
    bool asked = adminExec(QString(), u"ALTER SYSTEM SET fsync = on"_s)
        && adminExec(QString(), u"SELECT pg_reload_conf()"_s);
    for (int look = 0; asked && fsync != u"on"_s && look < 50; ++look) {
        if (look > 0)
            QThread::msleep(100);
        asked = adminExec(QString(), u"SHOW fsync"_s, &fsync);
    }
    if (!asked || fsync != u"on"_s) {
        out() << "FAILED: fsync could not be turned on (" << fsync << ")" << Qt::endl;
        return 1;
    }
    QString synchronousCommit;
    adminExec(QString(), u"SHOW synchronous_commit"_s, &synchronousCommit);
    if (!adminExec(QString(), u"CREATE DATABASE "_s + Database)
        || !adminExec(Database, u"CREATE SCHEMA bare"_s)
        || !adminExec(Database,
                      u"CREATE TABLE bare.messages (id bigint GENERATED ALWAYS AS IDENTITY "
                      u"PRIMARY KEY, account bigint NOT NULL, phone text NOT NULL, "
                      u"text text NOT NULL, at timestamptz NOT NULL)"_s))
        return 1;
    QTemporaryDir dir;
    const QString sqlite = dir.filePath(u"gateway.sqlite3"_s);
    if (!fund(pgUrl()) || !fund(sqlite))
        return 1;

    out() << "PostgreSQL store benchmark: fsync=" << fsync
          << ", synchronous_commit=" << synchronousCommit << ", " << perClient()
          << " operations per client" << Qt::endl;
    out() << "what                                     clients   ops/s (aggregate)" << Qt::endl;
    double bare[MaxClients + 1] = {};
    double sends[MaxClients + 1] = {};
    double sqliteSends[MaxClients + 1] = {};
    for (int clients : { 1, MaxClients }) {
        bare[clients] = measure({ u"bare"_s }, clients);
        sends[clients] = measure({ u"send"_s, pgUrl() }, clients);
        sqliteSends[clients] = measure({ u"send"_s, sqlite }, clients);
        if (bare[clients] == 0 || sends[clients] == 0 || sqliteSends[clients] == 0)
            return 1;
        const auto row = [&](const char *what, double rate) {
            out() << QString::fromLatin1(what).leftJustified(42)
                  << QString::number(clients).rightJustified(7)
                  << QString::number(rate, 'f', 0).rightJustified(12) << Qt::endl;
        };
        row("bare single-row commits, PostgreSQL", bare[clients]);
        row("durable SendMessage, PostgreSQL", sends[clients]);
        row("durable SendMessage, SQLite", sqliteSends[clients]);
        out() << "  SendMessage on PostgreSQL / bare commits at " << clients
              << " client(s): " << QString::number(sends[clients] / bare[clients], 'f', 2)
              << "x (goal >= 0.70)" << Qt::endl;
    }
    out() << "8 PostgreSQL clients against SQLite's single writer (best of 1 and 8 clients): "
          << QString::number(sends[MaxClients] / std::max(sqliteSends[1], sqliteSends[MaxClients]),
                             'f', 2)
          << "x" << Qt::endl;
    return 0;
}
