// Sends through the local gateway against bare SQLite insert transactions with the
// same settings on the same disk, side by side:
//
//   each round: for durable (synchronous=FULL) and CPU-only (synchronous=OFF, on both
//   sides): bare single-row inserts, then SendMessage through the component
//
// The durable figure is what a user waits for; the CPU-only figure leaves the disk's
// flushes out, so that the ratio shows the component's own work.
//
//   QUILLET_BENCH_SENDS   sends (and bare inserts) per pass, default 2000

#include "bench/kit/backlogfiller.h"
#include "bench/kit/benchio.h"
#include "gateway/local/localgateway.h"
#include "gateway/local/localoperator.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextStream>

using namespace Qt::StringLiterals;

namespace {

using BenchKit::out;
using BenchKit::setting;

bool check(bool ok, const QString &what)
{
    if (!ok)
        out() << "FAILED: " << what << Qt::endl;
    return ok;
}

// Bare SQLite: one single-row insert per BEGIN IMMEDIATE ... COMMIT.
class BareInserts {
public:
    explicit BareInserts(const QString &path)
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"bare"_s);
        db.setDatabaseName(path);
        m_ok = db.open();
        QSqlQuery q(db);
        for (const QString &sql :
             { u"PRAGMA journal_mode = WAL"_s, u"PRAGMA synchronous = FULL"_s,
               u"PRAGMA busy_timeout = 5000"_s, u"PRAGMA foreign_keys = ON"_s,
               u"CREATE TABLE messages (id INTEGER PRIMARY KEY, account INTEGER NOT NULL, "
               u"phone TEXT NOT NULL, text TEXT NOT NULL, at INTEGER NOT NULL)"_s })
            m_ok = m_ok && q.exec(sql);
    }
    bool setSynchronous(const QString &mode)
    {
        QSqlQuery q(QSqlDatabase::database(u"bare"_s, false));
        m_ok = m_ok && q.exec(u"PRAGMA synchronous = "_s + mode);
        return m_ok;
    }

    ~BareInserts()
    {
        QSqlDatabase::database(u"bare"_s, false).close();
        QSqlDatabase::removeDatabase(u"bare"_s);
    }

    bool run(int count)
    {
        QSqlDatabase db = QSqlDatabase::database(u"bare"_s, false);
        QSqlQuery begin(db), insert(db), commit(db);
        m_ok = m_ok && begin.prepare(u"BEGIN IMMEDIATE"_s) && commit.prepare(u"COMMIT"_s)
            && insert.prepare(
                u"INSERT INTO messages (account, phone, text, at) VALUES (?, ?, ?, ?)"_s);
        for (int i = 0; m_ok && i < count; ++i) {
            insert.bindValue(0, 1);
            insert.bindValue(1, u"13800138000"_s);
            insert.bindValue(2, u"VB测试短信发送!"_s);
            insert.bindValue(3, QDateTime::currentMSecsSinceEpoch());
            m_ok = begin.exec() && insert.exec() && commit.exec();
        }
        return m_ok;
    }

private:
    bool m_ok = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int sends = setting("QUILLET_BENCH_SENDS", 2000);
    const QString account = u"BEN-CHM-ARK-00001"_s;

    // On the disk of the build tree, not on a memory file system.
    QTemporaryDir dir(QDir::current().filePath(u"bench-store-XXXXXX"_s));
    if (!check(dir.isValid(), u"temporary folder"_s))
        return 1;
    out() << "store folder: " << dir.path() << Qt::endl;

    LocalGateway::Options options;
    options.hashCost = PasswordHasher::fastest(); // setup only; not what is measured
    std::unique_ptr<LocalGateway> gateway;
    Status status = LocalGateway::open(dir.filePath(u"gateway.sqlite3"_s), gateway, options);
    if (!check(status.isOk(), status.description()))
        return 1;
    RegisterParticulars p;
    p.accountNo = account;
    p.password = u"pw"_s;
    Bool16 outcome = 0;
    QList<LocalGateway::IssuedCard> cards;
    if (!check(gateway->Register(p, outcome).isOk() && outcome == True16, u"register"_s)
        || !check(
            LocalOperator(*gateway).issueCards(LocalGateway::MaxCardValueFen, 1, cards).isOk(),
            u"card"_s)
        || !check(
            gateway->Recharge(account, cards.first().number, cards.first().password, outcome).isOk()
                && outcome == True16,
            u"recharge"_s))
        return 1;

    BareInserts bare(dir.filePath(u"bare.sqlite3"_s));

    // Alternate rounds so both sides, in both modes, see the same conditions.
    struct Pass {
        const char *title;
        QString synchronous;
        double goal;
        qint64 bareNs = 0;
        qint64 sendNs = 0;
    };
    Pass passes[] = { { "durable (WAL, synchronous=FULL)", u"FULL"_s, 0.70 },
                      { "CPU-only (WAL, synchronous=OFF on both sides)", u"OFF"_s, 0.50 } };
    constexpr int Rounds = 8;
    const int n = sends / Rounds;
    QElapsedTimer timer;
    for (int round = 0; round < Rounds; ++round) {
        for (Pass &pass : passes) {
            if (!check(bare.setSynchronous(pass.synchronous)
                           && BacklogFiller::setGatewaySynchronous(pass.synchronous),
                       u"synchronous"_s))
                return 1;
            timer.start();
            if (!check(bare.run(n), u"bare inserts"_s))
                return 1;
            pass.bareNs += timer.nsecsElapsed();
            timer.start();
            for (int i = 0; i < n; ++i) {
                if (!check(gateway->SendMessage(account, u"13800138000"_s, u"VB测试短信发送!"_s,
                                                outcome)
                                   .isOk()
                               && outcome == True16,
                           u"send"_s))
                    return 1;
            }
            pass.sendNs += timer.nsecsElapsed();
        }
    }
    const int done = n * Rounds;
    out() << Qt::fixed;
    for (const Pass &pass : passes) {
        const double bareRate = done / (double(pass.bareNs) / 1e9);
        const double sendRate = done / (double(pass.sendNs) / 1e9);
        const double ratio = sendRate / bareRate;
        out().setRealNumberPrecision(1);
        out() << pass.title << ", " << done << " transactions each:" << Qt::endl;
        out() << "  bare SQLite single-row inserts: " << bareRate << " per second" << Qt::endl;
        out() << "  SendMessage through the component: " << sendRate << " per second" << Qt::endl;
        out().setRealNumberPrecision(2);
        out() << "  ratio send / bare, " << pass.synchronous << ": " << ratio << "x (goal at least "
              << pass.goal << "x) -> " << (ratio >= pass.goal ? "within goal" : "OVER GOAL")
              << Qt::endl;
    }
    return 0;
}
