// Several processes on one store at once, and processes killed in the middle of their
// work: a card is spent once, and a crash leaves nothing half done.

#include "gateway/local/localgateway.h"
#include "gateway/local/localoperator.h"
#include "tests/gateway/local/storeprobe.h"
#include "tests/gateway/local/teststore.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>

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
    std::unique_ptr<LocalGateway> m_issuer; // hashes at the production cost

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
        m_issuer.reset();
        m_store.reset();
    }

    // Starts one helper per account, each to recharge with `cardNo` and `password` at
    // the same moment, and gives each one's outcome once all have finished.
    QStringList race(const QStringList &accounts, const QString &cardNo, const QString &password)
    {
        QList<QStringList> arguments;
        for (const QString &account : accounts)
            arguments.append({ u"race"_s, storePath(), account, cardNo, password });
        return race(arguments);
    }

    // The same with each helper's own arguments.
    QStringList race(const QList<QStringList> &arguments)
    {
        std::vector<std::unique_ptr<QProcess>> racers;
        for (const QStringList &racerArguments : arguments) {
            racers.push_back(std::make_unique<QProcess>());
            racers.back()->start(Helper, racerArguments);
        }
        QStringList outcomes;
        for (auto &racer : racers) {
            if (!waitForReady(*racer))
                outcomes.append(u"not ready"_s);
        }
        // Each "go" is written out now: a QProcess writes what is buffered for it only
        // while it is waited on, and waiting for the first racer to finish would start the
        // others one by one, after it.
        for (auto &racer : racers)
            racer->write("go\n");
        for (auto &racer : racers)
            racer->waitForBytesWritten(5000);
        for (auto &racer : racers) {
            if (!racer->waitForFinished(120000) || racer->exitStatus() != QProcess::NormalExit)
                outcomes.append(u"did not finish"_s);
            else if (racer->exitCode() != 0)
                outcomes.append(u"failed: "_s + QString::fromUtf8(racer->readAllStandardError()));
            else
                outcomes.append(QString::fromUtf8(racer->readAllStandardOutput()).trimmed());
        }
        return outcomes;
    }

    // A card made at the production cost, so that every racer's check of it takes long
    // enough for all of them to be checking at once.
    LocalGateway::IssuedCard productionCard(qint64 valueFen)
    {
        LocalGateway::Options options;
        options.hashCost = PasswordHasher::interactive();
        QList<LocalGateway::IssuedCard> cards;
        if (!m_issuer && LocalGateway::open(m_store->location(), m_issuer, options).failed())
            return {};
        if (LocalOperator(*m_issuer).issueCards(valueFen, 1, cards).failed())
            return {};
        return cards.value(0);
    }

    // Eight processes, each for its own account, race to spend one card: exactly one is
    // credited, and every other gets a clean refusal (outcome 0, no failure).
    void racingForOneCard()
    {
        constexpr int Racers = 8;
        for (int trial = 0; trial < 3; ++trial) {
            const LocalGateway::IssuedCard card = productionCard(100);
            QVERIFY(!card.number.isEmpty());
            QStringList accounts;
            for (int r = 0; r < Racers; ++r) {
                accounts.append(
                    u"RAC-%1-XYZ-%2"_s.arg(trial, 3, 10, QChar(u'0')).arg(r, 5, 10, QChar(u'0')));
                QVERIFY(registerAccount(accounts.last()));
            }

            QStringList expected(Racers - 1, u"0"_s);
            expected.prepend(u"-1"_s);
            QStringList outcomes = race(accounts, card.number, card.password);
            std::sort(outcomes.begin(), outcomes.end()); // "-1" sorts before "0"
            QCOMPARE(outcomes, expected);

            StoreProbe probe(storePath());
            QCOMPARE(probe.count(u"SELECT count(*) FROM ledger WHERE reference = 'card:"_s
                                 + card.number + u"'"_s),
                     1);
            QCOMPARE(probe.count(u"SELECT SUM(balance) FROM accounts WHERE number LIKE 'RAC-"_s
                                 + QString::number(trial).rightJustified(3, u'0') + u"-%'"_s),
                     100);
        }
    }

    // Twelve processes try a wrong card password on one account at once: five card
    // checks count, the other attempts are locked out before looking, and none fails.
    void parallelWrongRechargesLockOut()
    {
        const QString account = u"LCK-000-XYZ-00001"_s;
        QVERIFY(registerAccount(account));
        const LocalGateway::IssuedCard card = productionCard(100);
        QVERIFY(!card.number.isEmpty());

        const QStringList outcomes = race(QStringList(12, account), card.number, u"000000000000"_s);
        QCOMPARE(outcomes, QStringList(12, u"0"_s));
        StoreProbe probe(storePath());
        QCOMPARE(probe.count(u"SELECT count(*) FROM recharge_failures"_s), 5);
        QCOMPARE(probe.count(u"SELECT count(*) FROM cards WHERE spent_by IS NULL"_s), 1);
    }

    // Processes sending from one account at once share its balance: as many sends go
    // out as it covers, every other one gets a clean refusal, and nothing is overdrawn.
    void racingSendsShareOneBalance_data()
    {
        QTest::addColumn<int>("fen");
        QTest::addColumn<int>("racers");
        QTest::addColumn<int>("sendsEach");
        QTest::addColumn<int>("sent"); // each send costs 20 fen (two recipients)

        QTest::newRow("covers 50 of 80") << 1000 << 8 << 10 << 50;
        QTest::newRow("covers 1 of 18") << 39 << 6 << 3 << 1;
        QTest::newRow("covers none") << 19 << 4 << 3 << 0;
    }

    void racingSendsShareOneBalance()
    {
        QFETCH(int, fen);
        QFETCH(int, racers);
        QFETCH(int, sendsEach);
        QFETCH(int, sent);
        const QString account = u"SND-000-XYZ-00001"_s;
        QVERIFY(registerAccount(account));
        QList<LocalGateway::IssuedCard> cards;
        QVERIFY(LocalOperator(*m_gateway).issueCards(fen, 1, cards).isOk());
        Bool16 outcome = 0;
        QVERIFY(m_gateway->Recharge(account, cards.first().number, cards.first().password, outcome)
                    .isOk());
        QCOMPARE(outcome, True16);

        const QStringList outcomes = race(QList<QStringList>(
            racers, { u"send-race"_s, storePath(), account, QString::number(sendsEach) }));
        int accepted = 0;
        for (const QString &count : outcomes) {
            bool numeric = false;
            accepted += count.toInt(&numeric);
            QVERIFY2(numeric, qPrintable(count));
        }
        QCOMPARE(accepted, sent);

        StoreProbe probe(storePath());
        QCOMPARE(probe.count(u"SELECT count(*) FROM mt"_s), 2 * sent);
        QCOMPARE(probe.count(u"SELECT balance FROM accounts"_s), fen - 20 * sent);
        QCOMPARE(probe.ledgerMismatches(), QStringList());
        QCOMPARE(probe.unmatchedCharges(), QStringList());
    }

    // A send that has to wait for another transaction holding the account decides on
    // the balance that transaction leaves: here none, so a clean refusal.
    void sendWaitsForTheBalanceItShares()
    {
        const QString account = u"SND-000-XYZ-00002"_s;
        QVERIFY(registerAccount(account));
        QList<LocalGateway::IssuedCard> cards;
        QVERIFY(LocalOperator(*m_gateway).issueCards(20, 1, cards).isOk());
        Bool16 outcome = 0;
        QVERIFY(m_gateway->Recharge(account, cards.first().number, cards.first().password, outcome)
                    .isOk());
        QCOMPARE(outcome, True16);

        QProcess waiter;
        waiter.start(Helper, { u"send-race"_s, storePath(), account, u"1"_s });
        QVERIFY(waitForReady(waiter));
        const Result<Store::Decision> held
            = m_gateway->store().transaction([&]() -> Result<Store::Decision> {
                  Bool16 first = 0;
                  QUILLET_TRY(m_gateway->SendMessage(account, u"13800138000,13900139000"_s,
                                                     u"first"_s, first));
                  if (first != True16)
                      return Store::Decision::RollBack;
                  waiter.write("go\n");
                  waiter.waitForBytesWritten(5000);
                  QThread::msleep(300); // the waiter reaches the account meanwhile
                  return Store::Decision::Commit;
              });
        QVERIFY2(!held.failed(), qPrintable(held.status().description()));
        QCOMPARE(*held, Store::Decision::Commit);
        QVERIFY(waiter.waitForFinished(60000));
        QCOMPARE(QString::fromUtf8(waiter.readAllStandardError()), QString());
        QCOMPARE(QString::fromUtf8(waiter.readAllStandardOutput()).trimmed(), u"0"_s);

        StoreProbe probe(storePath());
        QCOMPARE(probe.count(u"SELECT count(*) FROM mt"_s), 2);
        QCOMPARE(probe.count(u"SELECT balance FROM accounts"_s), 0);
        QCOMPARE(probe.ledgerMismatches(), QStringList());
    }

    // A process killed at a random moment of a loop of sends leaves a sound store in
    // which every charge has its message and the balance is the ledger's sum.
    void killedWhileSending()
    {
        const QString account = u"KIL-000-XYZ-00001"_s;
        QVERIFY(registerAccount(account));
        QList<LocalGateway::IssuedCard> cards;
        QVERIFY(
            LocalOperator(*m_gateway).issueCards(LocalGateway::MaxCardValueFen, 1, cards).isOk());
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
