// The gateway service's cost over calling the rules in process, on one store:
//   1. per-call latency, p50 and p99, of QueryBalance and of a durable SendMessage through
//      the remote component (one kept-alive connection) against LocalGateway directly;
//   2. aggregate durable sends of eight client processes through one service process,
//      through two service processes (four clients each), and from eight processes
//      calling LocalGateway on the same store.
//
//   bench_service                an SQLite store in a temporary folder
//   bench_service --postgresql   a database on the cluster the PG* variables name (run
//                                inside pg_virtualenv), with fsync turned on first:
//                                pg_virtualenv starts clusters with it off
//
//   QUILLET_BENCH_CALLS    calls per latency round, default 2000
//   QUILLET_BENCH_SECONDS  seconds per aggregate round, default 5
//   QUILLET_BENCH_WORKERS  worker threads of each service process, default 8
//
// The program starts quillet-gatewayd itself on 127.0.0.1 (ephemeral ports) and stops it.

#include "gateway/local/localgateway.h"
#include "gateway/local/localoperator.h"
#include "gateway/remote/remotegateway.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

constexpr int Clients = 8;

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

int setting(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

QString account(int i)
{
    return u"BEN-CHS-ERV-%1"_s.arg(i, 5, 10, QChar(u'0'));
}

struct Percentiles {
    double p50 = 0;
    double p99 = 0;
};

template<typename Call> Percentiles measure(int calls, const Call &call, bool &ok)
{
    std::vector<qint64> ns;
    ns.reserve(size_t(calls));
    for (int i = 0; i < calls + calls / 10; ++i) {
        QElapsedTimer timer;
        timer.start();
        ok = call() && ok;
        if (i >= calls / 10) // the first tenth warms up
            ns.push_back(timer.nsecsElapsed());
    }
    std::sort(ns.begin(), ns.end());
    return { double(ns[ns.size() / 2]) / 1e6, double(ns[ns.size() * 99 / 100]) / 1e6 };
}

std::unique_ptr<LocalGateway> openLocal(const QString &store)
{
    StoreLocation location;
    std::unique_ptr<LocalGateway> local;
    if (StoreLocation::parse(store, location).failed()
        || LocalGateway::open(location, local).failed())
        return {};
    return local;
}

std::unique_ptr<GatewayClient> client(const QString &mode, const QString &where,
                                      const QString &token)
{
    if (mode == u"local"_s)
        return openLocal(where);
    RemoteGateway::Settings settings;
    settings.url = QUrl(where);
    settings.token = token;
    std::unique_ptr<RemoteGateway> remote;
    if (RemoteGateway::create(settings, remote).failed())
        return {};
    return remote;
}

// One client process: durable sends for `seconds`; prints how many succeeded.
int runClient(const QStringList &args)
{
    const auto gateway = client(args.value(2), args.value(3), args.value(4));
    if (!gateway)
        return 1;
    const QString from = args.value(5);
    const int seconds = args.value(6).toInt();
    QElapsedTimer timer;
    timer.start();
    qint64 sent = 0;
    while (timer.elapsed() < seconds * 1000) {
        Bool16 outcome = 0;
        const Status status = gateway->SendMessage(from, u"13800138000"_s, u"bench"_s, outcome);
        if (status.failed() || outcome != True16) {
            // What was sent still counts; the parent reports why this client stopped.
            out() << sent << Qt::endl;
            QTextStream(stderr) << (status.failed() ? status.description() : u"refused"_s)
                                << Qt::endl;
            return 1;
        }
        ++sent;
    }
    out() << sent << Qt::endl;
    return 0;
}

// Client i works through where[i % where.size()].
double aggregate(const QString &mode, const QStringList &where, const QString &token, int seconds,
                 bool &ok)
{
    std::vector<std::unique_ptr<QProcess>> processes;
    for (int i = 0; i < Clients; ++i) {
        processes.push_back(std::make_unique<QProcess>());
        processes.back()->start(QCoreApplication::applicationFilePath(),
                                { u"--client"_s, mode, where.at(i % where.size()), token,
                                  account(i + 1), QString::number(seconds) });
    }
    qint64 total = 0;
    for (const auto &p : processes) {
        const bool finished = p->waitForFinished(seconds * 1000 + 60'000) && p->exitCode() == 0;
        if (!finished)
            out() << "  a " << mode
                  << " client stopped early: " << p->readAllStandardError().trimmed() << Qt::endl;
        ok = finished && ok;
        total += p->readAllStandardOutput().trimmed().toLongLong();
    }
    return double(total) / seconds;
}

// One run of psql on the cluster the PG* variables name; its output, trimmed.
bool psql(const QStringList &arguments, QString *output = nullptr)
{
    QProcess p;
    p.start(u"psql"_s, QStringList { u"-X"_s, u"-q"_s, u"-At"_s } + arguments);
    if (!p.waitForFinished(60'000) || p.exitCode() != 0) {
        out() << "FAILED: psql " << arguments.join(u' ') << ": "
              << QString::fromUtf8(p.readAllStandardError()) << Qt::endl;
        return false;
    }
    if (output)
        *output = QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    return true;
}

// fsync on, and a database of its own; the store's URL, empty on failure.
QString preparePostgresql()
{
    const QString database = u"quillet_bench_service"_s;
    QString fsync;
    if (!psql({ u"-c"_s, u"ALTER SYSTEM SET fsync = on"_s })
        || !psql({ u"-c"_s, u"SELECT pg_reload_conf()"_s })
        || !psql({ u"-c"_s, u"SHOW fsync"_s }, &fsync) || fsync != u"on"_s) {
        out() << "FAILED: fsync could not be turned on (" << fsync << ")" << Qt::endl;
        return {};
    }
    QString synchronousCommit;
    psql({ u"-c"_s, u"SHOW synchronous_commit"_s }, &synchronousCommit);
    if (!psql({ u"-c"_s, u"DROP DATABASE IF EXISTS "_s + database })
        || !psql({ u"-c"_s, u"CREATE DATABASE "_s + database }))
        return {};
    out() << "PostgreSQL: fsync=" << fsync << " synchronous_commit=" << synchronousCommit
          << Qt::endl;
    return u"postgresql://%1@%2:%3/%4?sslmode=disable"_s.arg(
        qEnvironmentVariable("PGUSER"), qEnvironmentVariable("PGHOST", u"localhost"_s),
        qEnvironmentVariable("PGPORT", u"5432"_s), database);
}

// A service process on `store`, logging into a file of its own so that no pipe fills up.
class Service {
public:
    Service(const QString &store, const QString &logFile)
    {
        m_process.setStandardErrorFile(logFile);
        m_process.start(QStringLiteral(QUILLET_GATEWAYD),
                        { u"--config"_s, u"/dev/null"_s, u"--store"_s, store, u"--port"_s, u"0"_s,
                          u"--workers"_s,
                          QString::number(setting("QUILLET_BENCH_WORKERS", Clients)) });
        static const QRegularExpression listening(u"port (\\d+)"_s);
        for (int i = 0; i < 200 && m_url.isEmpty(); ++i) {
            QThread::msleep(50);
            QFile file(logFile);
            if (file.open(QIODevice::ReadOnly)) {
                const auto m = listening.match(QString::fromUtf8(file.readAll()));
                if (m.hasMatch())
                    m_url = u"http://127.0.0.1:"_s + m.captured(1);
            }
        }
    }
    ~Service()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(30'000))
            m_process.kill();
    }
    // Empty when it did not start.
    const QString &url() const { return m_url; }

private:
    QProcess m_process;
    QString m_url;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.value(1) == u"--client"_s)
        return runClient(args);

    const int calls = setting("QUILLET_BENCH_CALLS", 2000);
    const int seconds = setting("QUILLET_BENCH_SECONDS", 5);
    QTemporaryDir dir;
    const bool postgresql = args.value(1) == u"--postgresql"_s;
    const QString store = postgresql ? preparePostgresql() : dir.filePath(u"gateway.sqlite3"_s);
    if (store.isEmpty())
        return 1;
    const QString program = QStringLiteral(QUILLET_GATEWAYD);
    out() << "Store: " << (postgresql ? "PostgreSQL" : "SQLite") << Qt::endl;

    QProcess init;
    init.start(program, { u"--config"_s, u"/dev/null"_s, u"--store"_s, store, u"init"_s });
    if (!init.waitForFinished(60'000) || init.exitCode() != 0) {
        out() << "FAILED: init: " << init.readAllStandardError() << Qt::endl;
        return 1;
    }
    // Accounts with money, made in process before the service starts.
    {
        const auto setup = openLocal(store);
        if (!setup)
            return 1;
        QList<LocalGateway::IssuedCard> cards;
        if (LocalOperator(*setup)
                .issueCards(LocalGateway::MaxCardValueFen, Clients + 1, cards)
                .failed())
            return 1;
        for (int i = 0; i <= Clients; ++i) {
            RegisterParticulars p;
            p.accountNo = account(i);
            p.password = u"pw"_s;
            Bool16 registered = 0;
            Bool16 recharged = 0;
            if (setup->Register(p, registered).failed()
                || setup->Recharge(p.accountNo, cards[i].number, cards[i].password, recharged)
                       .failed()
                || registered != True16 || recharged != True16)
                return 1;
        }
    }
    QProcess issue;
    issue.start(program,
                { u"--config"_s, u"/dev/null"_s, u"--store"_s, store, u"token"_s, u"issue"_s,
                  u"--role"_s, u"console"_s, u"--name"_s, u"bench"_s });
    issue.waitForFinished();
    const QString token = QString::fromLatin1(issue.readAllStandardOutput().trimmed());

    Service first(store, dir.filePath(u"service-1.log"_s));
    Service second(store, dir.filePath(u"service-2.log"_s));
    if (first.url().isEmpty() || second.url().isEmpty()) {
        out() << "FAILED: the service did not start" << Qt::endl;
        return 1;
    }
    const QString url = first.url();

    bool ok = true;
    const auto remote = client(u"remote"_s, url, token);
    const auto local = client(u"local"_s, store, {});
    const QString who = account(0);
    const auto balance = [&](GatewayClient &g) {
        QString text;
        return g.QueryBalance(who, text).isOk() && !text.isEmpty();
    };
    const auto send = [&](GatewayClient &g) {
        Bool16 outcome = 0;
        return g.SendMessage(who, u"13800138000"_s, u"bench"_s, outcome).isOk()
            && outcome == True16;
    };
    out() << "Per call, " << calls << " calls after " << calls / 10
          << " to warm up (ms; goal through the service: p50 <= 2, p99 <= 10)" << Qt::endl;
    const auto row = [&](const char *what, const Percentiles &r, const Percentiles &l) {
        out() << qSetFieldWidth(34) << Qt::left << what << qSetFieldWidth(0) << "service p50 "
              << QString::number(r.p50, 'f', 3) << "  p99 " << QString::number(r.p99, 'f', 3)
              << "   in process p50 " << QString::number(l.p50, 'f', 3) << "  p99 "
              << QString::number(l.p99, 'f', 3) << Qt::endl;
    };
    const Percentiles rb = measure(
        calls, [&] { return balance(*remote); }, ok);
    const Percentiles lb = measure(
        calls, [&] { return balance(*local); }, ok);
    row("QueryBalance", rb, lb);
    const Percentiles rs = measure(
        calls / 4, [&] { return send(*remote); }, ok);
    const Percentiles ls = measure(
        calls / 4, [&] { return send(*local); }, ok);
    row("SendMessage (durable)", rs, ls);

    out() << "Durable sends per second, " << Clients << " client processes, " << seconds
          << " s each (goal through the service: >= 1000/s)" << Qt::endl;
    const double viaService = aggregate(u"remote"_s, { url }, token, seconds, ok);
    const double viaTwo = aggregate(u"remote"_s, { url, second.url() }, token, seconds, ok);
    const double direct = aggregate(u"local"_s, { store }, {}, seconds, ok);
    out() << "  through one service process   " << qRound(viaService) << "/s" << Qt::endl;
    out() << "  through two service processes " << qRound(viaTwo) << "/s" << Qt::endl;
    out() << "  LocalGateway in each process   " << qRound(direct) << "/s" << Qt::endl;
    out() << "  ratio one service / direct     " << QString::number(viaService / direct, 'f', 2)
          << " (goal >= 0.70)" << Qt::endl;
    out() << "  ratio two services / direct    " << QString::number(viaTwo / direct, 'f', 2)
          << Qt::endl;
    if (!ok)
        out() << "FAILED: a call failed" << Qt::endl;
    return ok ? 0 : 1;
}
