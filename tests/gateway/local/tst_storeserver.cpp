// The store on a PostgreSQL server, in what only a server has: a server that stops in
// the middle of the work, stores it must leave alone, the roles of `init`, and
// servers that are not there. Runs inside pg_virtualenv only.

#include "gateway/local/localgateway.h"
#include "gateway/local/localoperator.h"
#include "tests/gateway/local/storeprobe.h"
#include "tests/gateway/local/teststore.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>
#include <QThread>

using namespace Qt::StringLiterals;

namespace {

const QString Helper = QStringLiteral(QUILLET_STORE_HELPER);
const QString Account = u"SRV-000-XYZ-00001"_s;

// pg_virtualenv names its cluster "regress" and tells pg_ctlcluster where it is.
bool cluster(const QString &action)
{
    QProcess control;
    QStringList arguments = { qEnvironmentVariable("PGVERSION"), u"regress"_s, action };
    if (action == u"stop"_s)
        arguments << u"-m"_s << u"immediate"_s;
    control.start(u"pg_ctlcluster"_s, arguments);
    return control.waitForFinished(60000) && control.exitStatus() == QProcess::NormalExit
        && control.exitCode() == 0;
}

bool waitForReady(QProcess &process)
{
    while (!process.canReadLine()) {
        if (!process.waitForReadyRead(30000))
            return false;
    }
    return process.readLine().trimmed() == "ready";
}

} // namespace

class TestStoreServer : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TestStore> m_store;

    std::unique_ptr<LocalGateway> open(const StoreLocation &location, Status &status)
    {
        LocalGateway::Options options;
        options.hashCost = PasswordHasher::fastest();
        std::unique_ptr<LocalGateway> gateway;
        status = LocalGateway::open(location, gateway, options);
        return gateway;
    }

    std::unique_ptr<LocalGateway> open()
    {
        Status status;
        auto gateway = open(m_store->location(), status);
        if (status.failed())
            qWarning() << status.description();
        return gateway;
    }

    static bool fund(LocalGateway &gateway, const QString &accountNo, qint64 fen)
    {
        RegisterParticulars p;
        p.accountNo = accountNo;
        p.password = u"pw"_s;
        Bool16 outcome = 0;
        if (gateway.Register(p, outcome).failed() || outcome != True16)
            return false;
        QList<LocalGateway::IssuedCard> cards;
        if (LocalOperator(gateway).issueCards(fen, 1, cards).failed() || cards.size() != 1)
            return false;
        return gateway.Recharge(accountNo, cards[0].number, cards[0].password, outcome).isOk()
            && outcome == True16;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!TestStore::onPostgresql())
            QSKIP("needs the PostgreSQL cluster that pg_virtualenv starts");
    }

    void init()
    {
        m_store = std::make_unique<TestStore>();
        QVERIFY(m_store->isValid());
    }

    void cleanup()
    {
        // Whatever a test did to the server, it runs again for the next one (starting
        // one that runs fails, and does nothing).
        (void)cluster(u"start"_s);
        m_store.reset();
    }

    // The server stops (as in a crash) while a process sends in a loop: that process
    // gets a failure Status and ends, nothing hangs, the gateway that was open reports
    // the lost connection and reconnects by itself once the server is back, and the
    // store holds no half-done send.
    void serverStopsMidRun()
    {
        std::unique_ptr<LocalGateway> gateway = open();
        QVERIFY(gateway);
        QVERIFY(fund(*gateway, Account, LocalGateway::MaxCardValueFen));

        QProcess sender;
        sender.start(Helper, { u"send-loop"_s, m_store->url(), Account });
        QVERIFY(waitForReady(sender));
        QThread::msleep(300);
        QVERIFY(cluster(u"stop"_s));
        QVERIFY(sender.waitForFinished(60000));
        QCOMPARE(sender.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sender.exitCode(), 1);
        const QString said = QString::fromUtf8(sender.readAllStandardError());
        QVERIFY2(said.contains(u"无法连接数据库服务器，或连接已中断"_s), qPrintable(said));

        Bool16 outcome = 1;
        QElapsedTimer waited;
        waited.start();
        const Status down = gateway->SendMessage(Account, u"13800138000"_s, u"x"_s, outcome);
        QCOMPARE(down.code(), Store::Unavailable);
        QVERIFY2(down.description().contains(u"无法连接数据库服务器，或连接已中断"_s),
                 qPrintable(down.description()));
        QCOMPARE(outcome, Bool16(1)); // no outcome written

        QVERIFY(cluster(u"start"_s));
        StoreProbe probe(m_store->url());
        QVERIFY(probe.isOpen());
        QCOMPARE(probe.ledgerMismatches(), QStringList());
        QCOMPARE(probe.unmatchedCharges(), QStringList());
        const qint64 messages = probe.count(u"SELECT count(*) FROM mt"_s);
        QVERIFY(messages > 0);

        QVERIFY(gateway->SendMessage(Account, u"13800138000"_s, u"again"_s, outcome).isOk());
        QCOMPARE(outcome, True16);
        QCOMPARE(probe.count(u"SELECT count(*) FROM mt"_s), messages + 1);
        QCOMPARE(probe.ledgerMismatches(), QStringList());
    }

    // Stores this code must not touch: opening fails with the reason, and every row
    // stays as it was.
    void leftAlone_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("reason");

        QTest::newRow("schema of a newer version")
            << u"UPDATE quillet.meta SET value = '99' WHERE key = 'schema_version'"_s
            << u"存储的结构版本为 99，高于本程序支持的版本 8，请使用更新版本的程序；文件未作任何改动"_s;
        QTest::newRow("schema version that is not a number")
            << u"UPDATE quillet.meta SET value = 'two' WHERE key = 'schema_version'"_s
            << u"存储的结构版本记录无效（two）；文件未作任何改动"_s;
        QTest::newRow("a schema named quillet that is not a store")
            << u"DROP SCHEMA quillet CASCADE; CREATE SCHEMA quillet; "
               u"CREATE TABLE quillet.notes (body text); INSERT INTO quillet.notes VALUES ('x')"_s
            << u"数据库中已有名为 quillet 的模式，但它不是 Quillet 短信网关的存储；未作任何改动"_s;
    }

    void leftAlone()
    {
        QFETCH(QString, damage);
        QFETCH(QString, reason);
        {
            std::unique_ptr<LocalGateway> gateway = open();
            QVERIFY(gateway);
            QVERIFY(fund(*gateway, Account, 500));
        }
        for (const QString &statement : damage.split(u"; "_s))
            QVERIFY(m_store->administerStore(statement));
        const QString dump = u"SELECT string_agg(t::text, ',' ORDER BY t::text) FROM "
                             u"(SELECT table_name || ':' || (xpath('/row/c/text()', "
                             u"query_to_xml('SELECT count(*) AS c FROM quillet.' || table_name, "
                             u"false, true, '')))[1]::text AS t FROM information_schema.tables "
                             u"WHERE table_schema = 'quillet') s"_s;
        StoreProbe probe(m_store->url());
        const QString tablesBefore = probe.rows(dump).join(u'|');
        const QStringList metaBefore = probe.rows(u"SELECT * FROM quillet.meta"_s);

        Status status;
        const auto gateway = open(m_store->location(), status);
        QVERIFY(!gateway);
        QCOMPARE(status.code(), Store::Unavailable);
        QCOMPARE(status.description(),
                 u"本地短信网关的数据库 "_s + m_store->location().describe() + u" 无法使用："_s
                     + reason);
        QCOMPARE(probe.rows(dump).join(u'|'), tablesBefore);
        QCOMPARE(probe.rows(u"SELECT * FROM quillet.meta"_s), metaBefore);
    }

    // `init` as the schema's owner, then the gateway as a login role in the runtime
    // role: every operation works, and nothing else is allowed.
    void runtimeRole_data()
    {
        QTest::addColumn<QString>("role"); // "runtime" or "owner"
        QTest::addColumn<QString>("statement");
        QTest::addColumn<QString>("refusal");

        QTest::newRow("runtime sets a balance")
            << u"runtime"_s << u"UPDATE quillet.accounts SET balance = 99999"_s
            << u"permission denied"_s;
        QTest::newRow("runtime changes a ledger row")
            << u"runtime"_s << u"UPDATE quillet.ledger SET amount = 99999"_s
            << u"permission denied"_s;
        QTest::newRow("runtime deletes the ledger")
            << u"runtime"_s << u"DELETE FROM quillet.ledger"_s << u"permission denied"_s;
        QTest::newRow("runtime creates a table")
            << u"runtime"_s << u"CREATE TABLE quillet.x (a int)"_s << u"permission denied"_s;
        QTest::newRow("runtime drops a trigger")
            << u"runtime"_s << u"DROP TRIGGER ledger_applies ON quillet.ledger"_s
            << u"must be owner"_s;
        QTest::newRow("runtime writes a waiting counter")
            << u"runtime"_s << u"UPDATE quillet.waiting_counts SET waiting = 5"_s
            << u"permission denied"_s;
        QTest::newRow("owner sets a balance")
            << u"owner"_s << u"UPDATE quillet.accounts SET balance = 99999"_s
            << u"a balance changes only through the ledger"_s;
        QTest::newRow("owner opens an account with money")
            << u"owner"_s
            << u"INSERT INTO quillet.accounts (id, number, password_hash, province, city, trade, "
               u"company, contact_name, telephone, mobile, email, fax, address, postcode, "
               u"service_number, balance, signed_on, created_at) VALUES (77, 'X', 'h', '', '', "
               u"'', '', '', '', '', '', '', '', '', '77', 500, 1, now())"_s
            << u"an account starts with a balance of 0"_s;
        QTest::newRow("owner deletes the ledger")
            << u"owner"_s << u"DELETE FROM quillet.ledger"_s << u"ledger rows are never deleted"_s;
        QTest::newRow("owner spends a card twice")
            << u"owner"_s << u"UPDATE quillet.cards SET spent_by = spent_by"_s
            << u"card already spent"_s;
    }

    void runtimeRole()
    {
        QFETCH(QString, role);
        QFETCH(QString, statement);
        QFETCH(QString, refusal);

        // GIVEN a store made by `init`, and a login role in the gateway's role
        QVERIFY(Store::initialize(m_store->location()).isOk());
        const QString password = qEnvironmentVariable("PGPASSWORD");
        static const bool made = TestStore::administer(
            u"CREATE ROLE quillet_alice LOGIN PASSWORD '%1' IN ROLE quillet_gateway"_s.arg(
                password));
        QVERIFY(made);
        QVERIFY(TestStore::administer(
            u"GRANT CONNECT ON DATABASE %1 TO quillet_alice"_s.arg(m_store->database())));
        StoreLocation alice = m_store->location();
        alice.user = u"quillet_alice"_s;

        // WHEN the gateway runs as that role, THEN every kind of work goes through
        {
            Status status;
            const auto gateway = open(alice, status);
            QVERIFY2(gateway, qPrintable(status.description()));
            QVERIFY(fund(*gateway, Account, 1000));
            Bool16 outcome = 0;
            QVERIFY(gateway->SendMessage(Account, u"13800138000"_s, u"hi"_s, outcome).isOk());
            QCOMPARE(outcome, True16);
            LocalGateway::MoReport report;
            QVERIFY(LocalOperator(*gateway)
                        .receiveFromHandset(u"13900139000"_s, Account, u"7"_s, u"yo"_s, report)
                        .isOk());
            QCOMPARE(report.outcome, LocalGateway::MoOutcome::Arrived);
            Variant total, current, messages;
            QVERIFY(gateway->ReceiveMessages(Account, total, current, messages, outcome).isOk());
            QCOMPARE(outcome, True16);
            QVERIFY(gateway->SetForwarding(Account, u"13700137000"_s, outcome).isOk());
            QCOMPARE(outcome, True16);
            QVERIFY(gateway->Deregister(Account, outcome).isOk());
            QCOMPARE(outcome, True16);
        }

        // AND the statement is refused, with the reason
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QPSQL"_s, u"role-check"_s);
        db.setDatabaseName(m_store->database());
        db.setUserName(role == u"runtime"_s ? u"quillet_alice"_s : QString());
        db.setConnectOptions(u"sslmode=disable"_s);
        QVERIFY2(db.open(), qPrintable(db.lastError().text()));
        {
            QSqlQuery q(db);
            QVERIFY(!q.exec(statement));
            QVERIFY2(q.lastError().databaseText().contains(refusal),
                     qPrintable(q.lastError().databaseText()));
        }
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(u"role-check"_s);
        StoreProbe probe(m_store->url());
        QCOMPARE(probe.ledgerMismatches(), QStringList());
        QCOMPARE(probe.count(u"SELECT balance FROM accounts"_s), 990);
    }

    // A server that is not there: a failure Status that says so, in about the connect
    // timeout, never a hang.
    void noServer()
    {
        StoreLocation nowhere = m_store->location();
        nowhere.port = qEnvironmentVariableIntValue("PGPORT") + 1;
        nowhere.connectTimeout = 2;
        Status status;
        const auto gateway = open(nowhere, status);
        QVERIFY(!gateway);
        QCOMPARE(status.code(), Store::Unavailable);
        QVERIFY2(status.description().startsWith(u"本地短信网关的数据库 "_s + nowhere.describe()
                                                 + u" 无法使用：无法连接数据库服务器"_s),
                 qPrintable(status.description()));
    }
};

QTEST_GUILESS_MAIN(TestStoreServer)
#include "tst_storeserver.moc"
