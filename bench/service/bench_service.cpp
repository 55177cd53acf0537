// The gateway service's cost over calling the rules in process, on one store:
//   1. per-call latency, p50 and p99, of QueryBalance and of a durable SendMessage through
//      the remote component (one kept-alive connection) against LocalGateway directly;
//   2. aggregate durable sends of eight client processes through one service process,
//      through two service processes (four clients each), and from eight processes
//      calling LocalGateway on the same store;
//   3. durable sends from wrk, 32 kept-alive connections, each request with a key of its
//      own: one service with group commit off (group_commit_max=1) and on, side by side,
//      then (on PostgreSQL) two services on; with the CPU each service process, wrk and
//      the whole machine used (and the database's core, where it has one of its own),
//      the latency wrk saw, and the batch sizes the service reports on /metrics;
//   4. in the same run, an application's durable sends (POST /v1/messages) from wrk, 32
//      kept-alive connections, an application token per account, beside the console's
//      keyed send of round 3 with group commit on;
//   5. on PostgreSQL, SMPP links: messages queued for the link drained to the SMSC
//      simulator by one service process with its bind, then by two with a bind each,
//      claiming from the one queue (window 50): from the moment every bind is up to the
//      last answer written; before them, one service with a receipt for each message, to
//      the last receipt applied.
//
//   bench_service                an SQLite store in a temporary folder
//   bench_service --postgresql   a database on the cluster the PG* variables name (run
//                                inside pg_virtualenv), with fsync turned on first:
//                                pg_virtualenv starts clusters with it off; the database
//                                on a core of its own (QUILLET_BENCH_PIN=0: not)
//
//   QUILLET_BENCH_CALLS    calls per latency round, default 2000
//   QUILLET_BENCH_SECONDS  seconds per aggregate round, default 5
//   QUILLET_BENCH_WORKERS  worker threads of each service process, default 4 (the
//                          service's own default)
//   QUILLET_BENCH_CONNECTIONS  wrk's connections, default 32
//   QUILLET_BENCH_LINK_MESSAGES  messages per link round, default 30000
//
// The program starts quillet-gatewayd itself on 127.0.0.1 (ephemeral ports) and stops it.

#include "bench/kit/benchio.h"
#include "gateway/local/localgateway.h"
#include "gateway/local/localoperator.h"
#include "gateway/remote/remotegateway.h"
#include "tests/smsc/smscsimulator.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <numeric>
#include <vector>

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int Clients = 8;

using BenchKit::out;
using BenchKit::setting;
using BenchKit::spin;

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
    while (timer.elapsed() < qint64(seconds) * 1000) {
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

const QString BenchDatabase = u"quillet_bench_service"_s;

// fsync on, and a database of its own; the store's URL, empty on failure.
QString preparePostgresql()
{
    const QString database = BenchDatabase;
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

// The database server on a core of its own (the last), and this bench with all it starts
// (services, clients, wrk) on the others: the service's figures are then not CPU it shares
// with the database. Pins the server's processes now; the backends it forks later inherit
// it. Says what it did.
QString pinDatabase(int &databaseCore)
{
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    if (qEnvironmentVariable("QUILLET_BENCH_PIN") == u"0"_s)
        return u"not pinned (QUILLET_BENCH_PIN=0)"_s;
    if (cores < 2)
        return u"not pinned: one core"_s;
    QString directory;
    if (!psql({ u"-c"_s, u"SHOW data_directory"_s }, &directory))
        return u"not pinned: no data directory"_s;
    QFile pidFile(directory + u"/postmaster.pid"_s);
    const qint64 postmaster
        = pidFile.open(QIODevice::ReadOnly) ? pidFile.readLine().trimmed().toLongLong() : 0;
    if (postmaster <= 0)
        return u"not pinned: the server's process is not this machine's"_s;
    cpu_set_t database;
    CPU_ZERO(&database);
    CPU_SET(int(cores - 1), &database);
    cpu_set_t rest;
    CPU_ZERO(&rest);
    for (int core = 0; core < cores - 1; ++core)
        CPU_SET(core, &rest);
    QList<qint64> pids { postmaster };
    for (const QString &entry : QDir(u"/proc"_s).entryList(QDir::Dirs)) {
        QFile stat(u"/proc/"_s + entry + u"/stat"_s);
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid ...": the name may hold spaces and parentheses.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1).toLongLong() == postmaster)
            pids.append(entry.toLongLong());
    }
    for (const qint64 pid : std::as_const(pids)) {
        // A backend that ended meanwhile needs no core.
        if (sched_setaffinity(pid_t(pid), sizeof database, &database) != 0 && errno != ESRCH)
            return u"not pinned: the server's processes refused (run as their owner or root)"_s;
    }
    if (sched_setaffinity(0, sizeof rest, &rest) != 0)
        return u"not pinned: this process refused"_s;
    databaseCore = int(cores - 1);
    return u"the database's %1 processes on core %2, the rest on cores 0-%3"_s.arg(pids.size())
        .arg(cores - 1)
        .arg(cores - 2);
}

// A service process on `store`, logging into a file of its own so that no pipe fills up.
class Service {
public:
    Service(const QString &store, const QString &logFile, const QStringList &settings = {})
        : m_logFile(logFile)
    {
        const QString config = logFile + u".conf"_s;
        QFile file(config);
        if (file.open(QIODevice::WriteOnly))
            file.write(settings.join(u'\n').toUtf8() + '\n');
        file.close();
        m_process.setStandardErrorFile(logFile);
        m_process.start(QStringLiteral(QUILLET_GATEWAYD),
                        { u"--config"_s, config, u"--store"_s, store, u"--port"_s, u"0"_s,
                          u"--workers"_s, QString::number(setting("QUILLET_BENCH_WORKERS", 4)) });
        static const QRegularExpression listening(u"port (\\d+)"_s);
        for (int i = 0; i < 200 && m_url.isEmpty(); ++i) {
            QThread::msleep(50);
            QFile log(logFile);
            if (log.open(QIODevice::ReadOnly)) {
                const auto m = listening.match(QString::fromUtf8(log.readAll()));
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
    // What it logged so far.
    QString logged() const
    {
        QFile file(m_logFile);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    // User and system CPU the process used so far, in seconds.
    double cpuSeconds() const
    {
        QFile stat(u"/proc/%1/stat"_s.arg(m_process.processId()));
        if (!stat.open(QIODevice::ReadOnly))
            return 0;
        const QByteArray line = stat.readAll();
        // Fields after the command name, which ends with the last ')'.
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        return double(fields.value(11).toLongLong() + fields.value(12).toLongLong())
            / double(sysconf(_SC_CLK_TCK));
    }

    // The most memory the process has held at once (VmHWM), in MiB.
    double peakMiB() const
    {
        QFile status(u"/proc/%1/status"_s.arg(m_process.processId()));
        if (!status.open(QIODevice::ReadOnly))
            return 0;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                return double(line.mid(6).trimmed().split(' ').value(0).toLongLong()) / 1024;
        }
        return 0;
    }

private:
    QProcess m_process;
    QString m_logFile;
    QString m_url;
};

// A GET with the bearer `token`; the body, empty on failure.
QByteArray fetch(const QString &url, const QString &token)
{
    QNetworkAccessManager manager;
    QNetworkRequest request { QUrl(url) };
    request.setRawHeader("Authorization", "Bearer " + token.toLatin1());
    QNetworkReply *reply = manager.get(request);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    reply->deleteLater();
    return reply->error() == QNetworkReply::NoError ? reply->readAll() : QByteArray();
}

// A sample's value in a scrape: the first line that starts with `series`.
double sample(const QByteArray &scrape, const QByteArray &series)
{
    for (const QByteArray &line : scrape.split('\n')) {
        if (line.startsWith(series) && line.mid(series.size()).startsWith(' '))
            return line.mid(series.size() + 1).toDouble();
    }
    return 0;
}

struct LinkRound {
    double perSecond = 0;
    double serviceCores = 0;
};

// `messages` queued for the link "main" by `from` (sends of 50 phones each), then drained
// by `services` service processes, each bound to the simulator with a window of 50: the
// messages a second from the moment every bind is up until none is left queued (with
// `receipts`, a receipt for each at once: until none is left waiting for it), and the
// cores the services used meanwhile. Zero on failure, with the reason printed.
LinkRound linkRound(const QString &store, const QString &folder, SmscSimulator &smsc,
                    const QString &from, int services, int messages, bool receipts = false)
{
    const auto failed = [](const QString &why) {
        out() << "  FAILED: " << why << Qt::endl;
        return LinkRound {};
    };
    {
        StoreLocation location;
        LocalGateway::Options options;
        options.route = [](const QString &) { return u"main"_s; };
        std::unique_ptr<LocalGateway> gateway;
        if (StoreLocation::parse(store, location).failed()
            || LocalGateway::open(location, gateway, options).failed())
            return failed(u"cannot open the store"_s);
        for (int sent = 0; sent < messages; sent += 50) {
            QStringList phones;
            for (int i = sent; i < std::min(messages, sent + 50); ++i)
                phones.append(u"1380%1"_s.arg(i, 7, 10, QChar(u'0')));
            Bool16 outcome = 0;
            if (gateway->SendMessage(from, phones.join(u','), u"bench"_s, outcome).failed()
                || outcome != True16)
                return failed(u"cannot queue the messages"_s);
        }
    }
    QSqlDatabase db = QSqlDatabase::database(u"queue"_s);
    QSqlQuery query(db);
    // Messages that have not gone (or, with receipts, have not come back): all of them, or
    // whether one is. Read from the partial indexes of queued and submitted messages; the
    // round with receipts comes first, when no other message waits for one.
    const QString states = receipts ? u"'queued', 'submitted'"_s : u"'queued'"_s;
    const auto waiting = [&](bool all) {
        return query.exec(u"SELECT count(*) FROM (SELECT 1 FROM quillet.mt WHERE state IN (%1) "
                          u"%2) AS waiting"_s.arg(states, all ? QString() : u"LIMIT 1"_s))
                && query.next()
            ? query.value(0).toInt()
            : -1;
    };
    const QString password = folder + u"/smsc.password"_s;
    QFile secret(password);
    if (!secret.open(QIODevice::WriteOnly) || secret.write("secret1\n") < 0
        || !secret.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return failed(u"cannot write the password file"_s);
    secret.close();
    const QStringList link { u"[smsc.main]"_s,
                             u"host=127.0.0.1"_s,
                             u"port=%1"_s.arg(smsc.port()),
                             u"system_id=quillet"_s,
                             u"password_file="_s + password,
                             u"window=50"_s,
                             u"rate=100000"_s };
    if (!smsc.command(receipts ? u"receipts 0"_s : u"receipts off"_s))
        return failed(u"the simulator took no command"_s);
    std::vector<std::unique_ptr<Service>> running;
    for (int i = 0; i < services; ++i) {
        running.push_back(std::make_unique<Service>(
            store, folder + u"/link-%1-%2.log"_s.arg(services).arg(i), link));
        if (running.back()->url().isEmpty())
            return failed(u"the service did not start: "_s + running.back()->logged().trimmed());
    }
    smsc.clear();
    if (!spin(
            [&] {
                return std::ranges::all_of(running, [](const auto &service) {
                    return service->logged().contains(u"link main: bound as"_s);
                });
            },
            10'000))
        return failed(u"a link did not bind"_s);
    QElapsedTimer timer;
    timer.start();
    const int left = waiting(true);
    const auto servicesCpu = [&] {
        return std::accumulate(
            running.begin(), running.end(), 0.0,
            [](double sum, const auto &service) { return sum + service->cpuSeconds(); });
    };
    const double cpuBefore = servicesCpu();
    // Looked at every 10 ms, and only whether one is left: counting the table as it
    // drains would take the database's time from the links.
    QElapsedTimer looked;
    looked.start();
    const bool drained = spin(
        [&] {
            smsc.clear();
            if (looked.elapsed() < 10)
                return false;
            looked.restart();
            return waiting(false) == 0;
        },
        120'000);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    const double cpu = servicesCpu() - cpuBefore;
    if (!drained || left < 0)
        return failed(u"the queue did not drain"_s);
    return LinkRound { left / seconds, cpu / seconds };
}

// wrk's script: durable sends spread over the accounts, each with a key of its own, and
// a last line with what the round saw.
constexpr auto WrkScript = R"(
local thread_count = 0
local threads = {}
function setup(thread)
  thread_count = thread_count + 1
  thread:set("id", thread_count)
  table.insert(threads, thread)
end
-- Each of the two threads (wrk -t2) sends for its half of the accounts, in turn, so
-- that an account is seldom in two requests at once.
function init(args)
  run, token, accounts, first = args[1], args[2], tonumber(args[3]), tonumber(args[4])
  share = math.floor(accounts / 2)
  counter = 0
  failed = 0
end
function request()
  counter = counter + 1
  local account = first + (id - 1) * share + counter % share
  local body = '{"accountNo":"BEN-CHS-ERV-' .. string.format("%05d", account)
    .. '","phoneNo":"13800138000","text":"bench"}'
  return wrk.format("POST", "/v1/console/sendMessage", {
    ["Content-Type"] = "application/json",
    ["Authorization"] = "Bearer " .. token,
    ["Idempotency-Key"] = string.format("bench-%s-%d-%09d", run, id, counter) }, body)
end
function response(status, headers, body)
  if status ~= 200 or not string.find(body, '"outcome":-1', 1, true) then
    failed = failed + 1
  end
end
function done(summary, latency, requests)
  local failures = 0
  for _, thread in ipairs(threads) do failures = failures + thread:get("failed") end
  io.write(string.format("RESULT %d %d %.3f %.3f %.3f\n", summary.requests,
    failures + summary.errors.connect + summary.errors.read + summary.errors.write
      + summary.errors.timeout, summary.duration / 1e6,
    latency:percentile(50) / 1e3, latency:percentile(99) / 1e3))
end
)";

// The same for an application: POST /v1/messages with the token of the account (one
// token per account, in account order, comma-separated), answered 202.
constexpr auto ApiScript = R"(
local thread_count = 0
local threads = {}
function setup(thread)
  thread_count = thread_count + 1
  thread:set("id", thread_count)
  table.insert(threads, thread)
end
function init(args)
  run, accounts, first = args[1], tonumber(args[3]), tonumber(args[4])
  tokens = {}
  for token in string.gmatch(args[2], "[^,]+") do table.insert(tokens, token) end
  share = math.floor(accounts / 2)
  counter = 0
  failed = 0
end
function request()
  counter = counter + 1
  local account = first + (id - 1) * share + counter % share
  return wrk.format("POST", "/v1/messages", {
    ["Content-Type"] = "application/json",
    ["Authorization"] = "Bearer " .. tokens[account],
    ["Idempotency-Key"] = string.format("bench-api-%s-%d-%09d", run, id, counter) },
    '{"to":"13800138000","text":"bench"}')
end
function response(status, headers, body)
  if status ~= 202 then failed = failed + 1 end
end
function done(summary, latency, requests)
  local failures = 0
  for _, thread in ipairs(threads) do failures = failures + thread:get("failed") end
  io.write(string.format("RESULT %d %d %.3f %.3f %.3f\n", summary.requests,
    failures + summary.errors.connect + summary.errors.read + summary.errors.write
      + summary.errors.timeout, summary.duration / 1e6,
    latency:percentile(50) / 1e3, latency:percentile(99) / 1e3))
end
)";

struct WrkRound {
    double perSecond = 0;
    qint64 failed = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    double cpuSeconds = 0;
    qint64 requests = 0;
};

// One wrk process against `url` for `seconds`; false when it did not run.
bool startWrk(QProcess &wrk, const QString &script, const QString &url, int connections,
              int seconds, const QString &run, const QString &token, int firstAccount)
{
    wrk.start(u"wrk"_s,
              { u"-t2"_s, u"-c%1"_s.arg(connections), u"-d%1s"_s.arg(seconds), u"-s"_s, script, url,
                u"--"_s, run, token, QString::number(connections), QString::number(firstAccount) });
    return wrk.waitForStarted();
}

bool readWrk(QProcess &wrk, int seconds, WrkRound &round)
{
    if (!wrk.waitForFinished(seconds * 1000 + 60'000) || wrk.exitCode() != 0)
        return false;
    const QString output = QString::fromUtf8(wrk.readAllStandardOutput());
    static const QRegularExpression result(u"RESULT (\\d+) (\\d+) ([\\d.]+) ([\\d.]+) ([\\d.]+)"_s);
    const auto m = result.match(output);
    if (!m.hasMatch())
        return false;
    round.requests += m.captured(1).toLongLong();
    round.failed += m.captured(2).toLongLong();
    round.perSecond += m.captured(1).toDouble() / m.captured(3).toDouble();
    round.p50Ms = qMax(round.p50Ms, m.captured(4).toDouble());
    round.p99Ms = qMax(round.p99Ms, m.captured(5).toDouble());
    return true;
}

// CPU every process of the machine used so far (the database server's too), in seconds.
// Or only `core`'s.
double machineCpuSeconds(int core = -1)
{
    QFile stat(u"/proc/stat"_s);
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    // cpu  user nice system idle iowait irq softirq steal, then a line for each core
    const QByteArray name = "cpu" + (core < 0 ? QByteArray() : QByteArray::number(core));
    QList<QByteArray> fields;
    // Read line by line: a file of /proc has no size to tell its end by.
    for (QByteArray line = stat.readLine(); !line.isEmpty() && fields.value(0) != name;
         line = stat.readLine())
        fields = line.simplified().split(' ');
    if (fields.value(0) != name)
        return 0;
    qint64 busy = 0;
    for (int i : { 1, 2, 3, 6, 7, 8 })
        busy += fields.value(i).toLongLong();
    return double(busy) / double(sysconf(_SC_CLK_TCK));
}

double childCpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_CHILDREN, &usage);
    const auto seconds
        = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.value(1) == u"--client"_s)
        return runClient(args);

    const int calls = setting("QUILLET_BENCH_CALLS", 2000);
    // As many accounts as wrk has connections: a desktop holds one connection.
    const int connections = setting("QUILLET_BENCH_CONNECTIONS", 32);
    const int accounts = qMax(Clients, connections);
    const int seconds = setting("QUILLET_BENCH_SECONDS", 5);
    QTemporaryDir dir;
    const bool postgresql = args.value(1) == u"--postgresql"_s;
    int databaseCore = -1; // the core the database has to itself, if any
    const QString store = postgresql ? preparePostgresql() : dir.filePath(u"gateway.sqlite3"_s);
    if (store.isEmpty())
        return 1;
    const QString program = QStringLiteral(QUILLET_GATEWAYD);
    out() << "Store: " << (postgresql ? "PostgreSQL" : "SQLite") << Qt::endl;
    if (postgresql)
        out() << "Cores: " << pinDatabase(databaseCore) << Qt::endl;

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
                .issueCards(LocalGateway::MaxCardValueFen, accounts + 1, cards)
                .failed())
            return 1;
        for (int i = 0; i <= accounts; ++i) {
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
    const QString &url = first.url();

    bool ok = true;
    const auto remote = client(u"remote"_s, url, token);
    // The token acts on the accounts it signed on itself.
    for (int i = 0; i <= accounts && remote; ++i) {
        RegisterParticulars p;
        p.accountNo = account(i);
        p.password = u"pw"_s;
        Bool16 signedOn = 0;
        ok = remote->Register(p, signedOn).isOk() && signedOn == True16 && ok;
    }
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

    const QString script = dir.filePath(u"sends.lua"_s);
    const QString apiScript = dir.filePath(u"api-sends.lua"_s);
    {
        QFile file(script);
        ok = file.open(QIODevice::WriteOnly) && file.write(WrkScript) > 0 && ok;
        QFile api(apiScript);
        ok = api.open(QIODevice::WriteOnly) && api.write(ApiScript) > 0 && ok;
    }
    // An application token per account, the first for account 1.
    QStringList applicationTokens;
    for (int i = 1; i <= connections; ++i) {
        QProcess issueApplication;
        issueApplication.start(program,
                               { u"--config"_s, u"/dev/null"_s, u"--store"_s, store, u"token"_s,
                                 u"issue"_s, u"--role"_s, u"application"_s, u"--account"_s,
                                 account(i), u"--name"_s, u"bench-app-%1"_s.arg(i) });
        issueApplication.waitForFinished();
        applicationTokens.append(
            QString::fromLatin1(issueApplication.readAllStandardOutput().trimmed()));
        ok = applicationTokens.constLast().startsWith(u"qgt_"_s) && ok;
    }
    QProcess issueOperator;
    issueOperator.start(program,
                        { u"--config"_s, u"/dev/null"_s, u"--store"_s, store, u"token"_s,
                          u"issue"_s, u"--role"_s, u"operator"_s, u"--name"_s,
                          u"bench-metrics"_s });
    issueOperator.waitForFinished();
    const QString operatorToken
        = QString::fromLatin1(issueOperator.readAllStandardOutput().trimmed());
    out() << "Durable sends from wrk, " << connections << " kept-alive connections, " << seconds
          << " s a round (goals: on >= 2x off; >= 4000/s on SQLite, >= 3000/s on PostgreSQL;"
          << " service CPU <= 0.25 ms a send; p99 <= 25 ms; peak memory < 50 MiB)" << Qt::endl;
    out() << "  round                          sends/s  p50 ms  p99 ms  service ms/send"
             "  service cores  wrk cores  all cores  database's core  mean batch  peak MiB"
          << Qt::endl;
    int round = 0;
    const auto wrkRound = [&](const char *label, int services, int batchMost,
                              const QString &roundScript, const QString &roundToken) {
        std::vector<std::unique_ptr<Service>> running;
        running.reserve(size_t(services));
        for (int i = 0; i < services; ++i) {
            running.push_back(std::make_unique<Service>(
                store, dir.filePath(u"wrk-%1-%2.log"_s.arg(round).arg(i)),
                QStringList { u"max_connections_per_peer=1024"_s, u"max_connections=1024"_s,
                              u"group_commit_max=%1"_s.arg(batchMost),
                              u"application_rate_limit=1000000"_s }));
            ok = !running.back()->url().isEmpty() && ok;
        }
        if (!ok)
            return WrkRound {};
        std::vector<double> cpuBefore;
        cpuBefore.reserve(running.size());
        for (const auto &service : running)
            cpuBefore.push_back(service->cpuSeconds());
        const double wrkBefore = childCpuSeconds();
        const double machineBefore = machineCpuSeconds();
        const double databaseBefore = machineCpuSeconds(databaseCore);
        std::vector<std::unique_ptr<QProcess>> generators;
        generators.reserve(size_t(services));
        for (int i = 0; i < services; ++i) {
            generators.push_back(std::make_unique<QProcess>());
            ok = startWrk(*generators.back(), roundScript, running.at(size_t(i))->url(),
                          connections / services, seconds, u"%1-%2"_s.arg(round).arg(i), roundToken,
                          1 + i * connections / services)
                && ok;
        }
        WrkRound result;
        for (const auto &generator : generators) {
            if (!readWrk(*generator, seconds, result)) {
                out() << "  wrk failed: " << generator->readAllStandardError() << Qt::endl;
                ok = false;
            }
        }
        result.cpuSeconds = childCpuSeconds() - wrkBefore;
        const double machineCores = (machineCpuSeconds() - machineBefore) / seconds;
        const double databaseShare = (machineCpuSeconds(databaseCore) - databaseBefore) / seconds;
        double serviceCpu = 0;
        double peak = 0;
        double batches = 0;
        double batched = 0;
        for (size_t i = 0; i < running.size(); ++i) {
            serviceCpu += running[i]->cpuSeconds() - cpuBefore[i];
            peak = std::max(peak, running[i]->peakMiB());
            const QByteArray scrape = fetch(running[i]->url() + u"/metrics"_s, operatorToken);
            batches += sample(scrape, "quillet_gatewayd_commit_batch_size_count");
            batched += sample(scrape, "quillet_gatewayd_commit_batch_size_sum");
        }
        ++round;
        const double perSend = result.requests > 0 ? serviceCpu * 1e3 / double(result.requests) : 0;
        out() << "  " << qSetFieldWidth(31) << Qt::left << label << qSetFieldWidth(7) << Qt::right
              << qRound(result.perSecond) << qSetFieldWidth(8)
              << QString::number(result.p50Ms, 'f', 2) << QString::number(result.p99Ms, 'f', 2)
              << qSetFieldWidth(17) << QString::number(perSend, 'f', 3) << qSetFieldWidth(15)
              << QString::number(serviceCpu / seconds, 'f', 2) << qSetFieldWidth(11)
              << QString::number(result.cpuSeconds / seconds, 'f', 2)
              << QString::number(machineCores, 'f', 2) << qSetFieldWidth(17)
              << (databaseCore >= 0 ? QString::number(databaseShare, 'f', 2) : u"-"_s)
              << qSetFieldWidth(12)
              << (batches > 0 ? QString::number(batched / batches, 'f', 1) : u"-"_s)
              << qSetFieldWidth(10) << qRound(peak) << qSetFieldWidth(0) << Qt::endl;
        if (result.failed > 0) {
            out() << "  FAILED: " << result.failed << " sends were not answered as sent"
                  << Qt::endl;
            ok = false;
        }
        return result;
    };
    const WrkRound off = wrkRound("one service, group commit off", 1, 1, script, token);
    const WrkRound on = wrkRound("one service, group commit on", 1, 64, script, token);
    const WrkRound api = wrkRound("application, POST /v1/messages", 1, 64, apiScript,
                                  applicationTokens.join(u','));
    out() << "  ratio application / console    "
          << QString::number(api.perSecond / on.perSecond, 'f', 2)
          << " (goal >= 1; >= 4000/s on SQLite)" << Qt::endl;
    out() << "  ratio on / off                 "
          << QString::number(on.perSecond / off.perSecond, 'f', 2) << " (goal >= 2)" << Qt::endl;
    // SQLite has one writer at a time for every process: a second process only waits.
    if (postgresql) {
        const WrkRound two = wrkRound("two services, group commit on", 2, 64, script, token);
        out() << "  ratio two services / one       "
              << QString::number(two.perSecond / on.perSecond, 'f', 2) << " (goal > 1)" << Qt::endl;

        const int linkMessages = setting("QUILLET_BENCH_LINK_MESSAGES", 30'000);
        out() << "SMPP links, " << linkMessages
              << " queued messages drained to the simulator, a bind of window 50 each" << Qt::endl;
        SmscSimulator smsc;
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QPSQL"_s, u"queue"_s);
        db.setHostName(qEnvironmentVariable("PGHOST", u"localhost"_s));
        db.setPort(qEnvironmentVariable("PGPORT", u"5432"_s).toInt());
        db.setUserName(qEnvironmentVariable("PGUSER"));
        db.setPassword(qEnvironmentVariable("PGPASSWORD"));
        db.setDatabaseName(BenchDatabase);
        if (!smsc.start() || !db.open()) {
            out() << "  FAILED: no simulator or no database" << Qt::endl;
            ok = false;
        } else {
            // The simulator sends every receipt to the bind that came last: one service.
            const LinkRound receipted
                = linkRound(store, dir.path(), smsc, account(3), 1, linkMessages, true);
            const LinkRound one = linkRound(store, dir.path(), smsc, account(1), 1, linkMessages);
            const LinkRound both = linkRound(store, dir.path(), smsc, account(2), 2, linkMessages);
            const auto linkRow = [](const char *label, const LinkRound &r) {
                out() << "  " << qSetFieldWidth(31) << Qt::left << label << qSetFieldWidth(7)
                      << Qt::right << qRound(r.perSecond) << qSetFieldWidth(0)
                      << " messages/s, service cores " << QString::number(r.serviceCores, 'f', 2)
                      << Qt::endl;
            };
            linkRow("one service, one bind", one);
            linkRow("two services, a bind each", both);
            out() << "  ratio two services / one       "
                  << QString::number(one.perSecond > 0 ? both.perSecond / one.perSecond : 0, 'f', 2)
                  << " (goal > 1)" << Qt::endl;
            linkRow("one service, a receipt for each", receipted);
            ok = one.perSecond > 0 && both.perSecond > 0 && receipted.perSecond > 0 && ok;
        }
    }

    if (!ok)
        out() << "FAILED: a call failed" << Qt::endl;
    return ok ? 0 : 1;
}
