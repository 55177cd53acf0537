// Durable sends through the local gateway against bare SQLite insert transactions with
// the same settings on the same disk, side by side; then receiving 10,000 waiting
// messages through the component.
//
//   QUILLET_BENCH_SENDS   sends (and bare inserts) per run, default 2000
//   QUILLET_BENCH_WAITING waiting messages to receive, default 10000

#include "localgateway.h"

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
    const int waiting = setting("QUILLET_BENCH_WAITING", 10000);
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
        || !check(gateway->issueCards(LocalGateway::MaxCardValueFen, 1, cards).isOk(), u"card"_s)
        || !check(
            gateway->Recharge(account, cards.first().number, cards.first().password, outcome).isOk()
                && outcome == True16,
            u"recharge"_s))
        return 1;

    BareInserts bare(dir.filePath(u"bare.sqlite3"_s));

    // Alternate rounds so both see the same disk conditions.
    constexpr int Rounds = 4;
    qint64 bareNs = 0;
    qint64 sendNs = 0;
    QElapsedTimer timer;
    for (int round = 0; round < Rounds; ++round) {
        const int n = sends / Rounds;
        timer.start();
        if (!check(bare.run(n), u"bare inserts"_s))
            return 1;
        bareNs += timer.nsecsElapsed();
        timer.start();
        for (int i = 0; i < n; ++i) {
            if (!check(
                    gateway->SendMessage(account, u"13800138000"_s, u"VB测试短信发送!"_s, outcome)
                            .isOk()
                        && outcome == True16,
                    u"send"_s))
                return 1;
        }
        sendNs += timer.nsecsElapsed();
    }
    const int done = (sends / Rounds) * Rounds;
    const double bareRate = done / (double(bareNs) / 1e9);
    const double sendRate = done / (double(sendNs) / 1e9);
    out() << Qt::fixed;
    out().setRealNumberPrecision(1);
    out() << "durable transactions, " << done << " each (WAL, synchronous=FULL):" << Qt::endl;
    out() << "  bare SQLite single-row inserts: " << bareRate << " per second" << Qt::endl;
    out() << "  SendMessage through the component: " << sendRate << " per second" << Qt::endl;
    out().setRealNumberPrecision(2);
    out() << "  ratio send / bare: " << sendRate / bareRate << "x (goal at least 0.70x)"
          << Qt::endl;
    out() << "  goal of 400 sends per second: " << (sendRate >= 400 ? "met" : "NOT met")
          << Qt::endl;

    // Receiving: `waiting` messages from handsets, then fetched batch by batch.
    timer.start();
    for (int i = 0; i < waiting; ++i) {
        LocalGateway::MoReport report;
        if (!check(gateway->receiveFromHandset(u"13900139000"_s, account, {}, u"回复 %1"_s.arg(i),
                                               report)
                           .isOk()
                       && report.outcome == LocalGateway::MoOutcome::Arrived,
                   u"arrival"_s))
            return 1;
    }
    const double arrivalSeconds = double(timer.nsecsElapsed()) / 1e9;
    timer.start();
    int calls = 0;
    qint64 received = 0;
    for (;;) {
        Variant total, current, messages;
        ++calls;
        if (!check(gateway->ReceiveMessages(account, total, current, messages, outcome).isOk()
                       && outcome == True16,
                   u"receive"_s))
            return 1;
        QString totalText, currentText;
        (void)total.toText(totalText);
        (void)current.toText(currentText);
        received += currentText.toLongLong();
        if (currentText.toLongLong() >= totalText.toLongLong())
            break;
    }
    const double receiveSeconds = double(timer.nsecsElapsed()) / 1e9;
    out().setRealNumberPrecision(1);
    out() << "receiving " << waiting << " waiting messages:" << Qt::endl;
    out() << "  arrivals (each its own transaction): " << waiting / arrivalSeconds << " per second"
          << Qt::endl;
    out().setRealNumberPrecision(3);
    out() << "  ReceiveMessages: " << received << " messages in " << calls << " calls, "
          << receiveSeconds << " s (" << receiveSeconds * 1000 / calls << " ms per batch of 10)"
          << Qt::endl;
    return check(received == waiting, u"every waiting message received"_s) ? 0 : 1;
}
