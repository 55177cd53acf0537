// Several processes on one store at once, and processes killed in the middle of their
// work: a card is spent once, and a crash leaves nothing half done.

#include "localgateway.h"
#include "storeprobe.h"
#include "teststore.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using namespace Qt::StringLiterals;

namespace {

const QString Helper = QStringLiteral(QUILLET_STORE_HELPER);

bool waitForReady(QProcess &process)
{
    while (!process.canReadLine()) {
        if (!process.waitForReadyRead(30000))
            return false;
    }
    return process.readLine().trimmed() == "ready";
}

} // namespace

class TestStoreConcurrency : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TestStore> m_store;
    std::unique_ptr<LocalGateway> m_gateway;

    // The store's URL (an SQLite file, or a PostgreSQL database in the PostgreSQL run).
    QString storePath() const { return m_store->url(); }

    bool registerAccount(const QString &accountNo)
    {
        RegisterParticulars p;
        p.accountNo = accountNo;
        p.password = u"pw"_s;
        Bool16 outcome = 0;
        return m_gateway->Register(p, outcome).isOk() && outcome == True16;
    }

private Q_SLOTS:
    void init()
    {
        m_store = std::make_unique<TestStore>();
        QVERIFY(m_store->isValid());
        LocalGateway::Options options;
        options.hashCost = PasswordHasher::fastest();
        QVERIFY(LocalGateway::open(m_store->location(), m_gateway, options).isOk());
    }

    void cleanup()
    {
        m_gateway.reset();
        m_store.reset();
    }

    // Eight processes, each for its own account, race to spend one card; ten times.
    void racingForOneCard()
    {
        constexpr int Racers = 8;
        for (int trial = 0; trial < 10; ++trial) {
            QList<LocalGateway::IssuedCard> cards;
            QVERIFY(m_gateway->issueCards(100, 1, cards).isOk());
            const LocalGateway::IssuedCard card = cards.value(0);
            QStringList accounts;
            for (int r = 0; r < Racers; ++r) {
                accounts.append(
                    u"RAC-%1-XYZ-%2"_s.arg(trial, 3, 10, QChar(u'0')).arg(r, 5, 10, QChar(u'0')));
                QVERIFY(registerAccount(accounts.last()));
            }

            std::vector<std::unique_ptr<QProcess>> racers;
            for (const QString &account : std::as_const(accounts)) {
                racers.push_back(std::make_unique<QProcess>());
                racers.back()->start(
                    Helper, { u"race"_s, storePath(), account, card.number, card.password });
            }
            for (auto &racer : racers)
                QVERIFY(waitForReady(*racer));
            for (auto &racer : racers)
                racer->write("go\n");

            QStringList outcomes;
            for (auto &racer : racers) {
                QVERIFY(racer->waitForFinished(60000));
                QCOMPARE(racer->exitStatus(), QProcess::NormalExit);
                QVERIFY2(racer->exitCode() == 0, racer->readAllStandardError().constData());
                outcomes.append(QString::fromUtf8(racer->readAllStandardOutput()).trimmed());
            }
            QCOMPARE(outcomes.count(u"-1"_s), 1);
            QCOMPARE(outcomes.count(u"0"_s), Racers - 1);

            StoreProbe probe(storePath());
            QCOMPARE(probe.count(u"SELECT count(*) FROM ledger WHERE reference = 'card:"_s
                                 + card.number + u"'"_s),
                     1);
            QCOMPARE(probe.count(u"SELECT SUM(balance) FROM accounts WHERE number LIKE 'RAC-"_s
                                 + QString::number(trial).rightJustified(3, u'0') + u"-%'"_s),
                     100);
        }
    }

    // A process killed at a random moment of a loop of sends leaves a sound store in
    // which every charge has its message and the balance is the ledger's sum.
    void killedWhileSending()
    {
        const QString account = u"KIL-000-XYZ-00001"_s;
        QVERIFY(registerAccount(account));
        QList<LocalGateway::IssuedCard> cards;
        QVERIFY(m_gateway->issueCards(LocalGateway::MaxCardValueFen, 1, cards).isOk());
        Bool16 outcome = 0;
        QVERIFY(m_gateway->Recharge(account, cards.first().number, cards.first().password, outcome)
                    .isOk());
        QCOMPARE(outcome, True16);
        m_gateway.reset();

        qint64 previousMessages = 0;
        for (int cycle = 0; cycle < 20; ++cycle) {
            QProcess sender;
            sender.start(Helper, { u"send-loop"_s, storePath(), account });
            QVERIFY(waitForReady(sender));
            QThread::msleep(QRandomGenerator::global()->bounded(20, 150));
            QCOMPARE(sender.state(), QProcess::Running);
            sender.kill(); // SIGKILL
            QVERIFY(sender.waitForFinished(30000));

            std::unique_ptr<LocalGateway> reopened;
            const Status status = LocalGateway::open(m_store->location(), reopened);
            QVERIFY2(status.isOk(), qPrintable(status.description()));
            reopened.reset();
            StoreProbe probe(storePath());
            QCOMPARE(probe.quickCheck(), u"ok"_s);
            QCOMPARE(probe.ledgerMismatches(), QStringList());
            QCOMPARE(probe.unmatchedCharges(), QStringList());
            const qint64 messages = probe.count(u"SELECT count(*) FROM mt"_s);
            QVERIFY(messages >= previousMessages);
            previousMessages = messages;
        }
        QVERIFY(previousMessages > 0);
    }
};

QTEST_GUILESS_MAIN(TestStoreConcurrency)
#include "tst_storeconcurrency.moc"
