// Backlogs filled in bulk, as the benchmarks fill them, read back through the real local
// gateway: the receive calls report the exact total, batch and rows at several backlog
// sizes and fetch positions, and the handset listing finds its rows among many.

#include "bench/kit/backlogfiller.h"
#include "gateway/local/localgateway.h"
#include "gateway/local/localoperator.h"

#include <QTemporaryDir>
#include <QTest>

#include <ctime>

using namespace Qt::StringLiterals;

namespace {

const QString Account = u"BEN-CHM-ARK-00001"_s;
constexpr qint64 FirstSentMs = 1'765'000'000'000; // 2025-12-06 05:46:40 UTC

} // namespace

class TestBacklogFiller : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void receiveFromBacklog_data();
    void receiveFromBacklog();
    void handsetAmongMany();
    void synchronousOfGatewayConnections();
    void refusesNegativeCount();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<LocalGateway> m_gateway;
    QString m_path;
};

void TestBacklogFiller::initTestCase()
{
    // The receive listing shows local times.
    qputenv("TZ", "UTC");
    ::tzset();
}

void TestBacklogFiller::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_path = m_dir->filePath(u"gateway.sqlite3"_s);
    LocalGateway::Options options;
    options.hashCost = PasswordHasher::fastest();
    QVERIFY(LocalGateway::open(m_path, m_gateway, options).isOk());
    RegisterParticulars particulars;
    particulars.accountNo = Account;
    particulars.password = u"pw"_s;
    Bool16 outcome = 0;
    QVERIFY(m_gateway->Register(particulars, outcome).isOk());
    QCOMPARE(outcome, True16);
}

void TestBacklogFiller::cleanup()
{
    m_gateway.reset();
    m_dir.reset();
}

void TestBacklogFiller::receiveFromBacklog_data()
{
    QTest::addColumn<qint64>("waiting");
    QTest::addColumn<qint64>("toppedUp"); // added after the first fill, numbered on
    QTest::addColumn<QString>("rowExtension");
    QTest::addColumn<QString>("netExtension"); // empty: ReceiveMessages
    QTest::addColumn<int>("callsBefore");
    QTest::addColumn<QString>("total");
    QTest::addColumn<QString>("current");
    QTest::addColumn<QStringList>("firstRow");
    QTest::addColumn<QStringList>("lastRow");

    const QStringList none;
    QTest::newRow("nothing waiting")
        << 0LL << 0LL << QString() << QString() << 0 << u"0"_s << u"0"_s << none << none;
    QTest::newRow("one waiting") << 1LL << 0LL << QString() << QString() << 0 << u"1"_s << u"1"_s
                                 << QStringList { u"106900000001"_s, u"13900000001"_s, u"回复 1"_s,
                                                  u"2025-12-06 05:46:41"_s }
                                 << QStringList { u"106900000001"_s, u"13900000001"_s, u"回复 1"_s,
                                                  u"2025-12-06 05:46:41"_s };
    QTest::newRow("ten waiting, one full batch")
        << 10LL << 0LL << QString() << QString() << 0 << u"10"_s << u"10"_s
        << QStringList { u"106900000001"_s, u"13900000001"_s, u"回复 1"_s,
                         u"2025-12-06 05:46:41"_s }
        << QStringList { u"106900000001"_s, u"13900000010"_s, u"回复 10"_s,
                         u"2025-12-06 05:46:50"_s };
    QTest::newRow("eleven waiting, a batch of ten")
        << 11LL << 0LL << QString() << QString() << 0 << u"11"_s << u"10"_s
        << QStringList { u"106900000001"_s, u"13900000001"_s, u"回复 1"_s,
                         u"2025-12-06 05:46:41"_s }
        << QStringList { u"106900000001"_s, u"13900000010"_s, u"回复 10"_s,
                         u"2025-12-06 05:46:50"_s };
    QTest::newRow("1,000 waiting after three calls")
        << 1000LL << 0LL << QString() << QString() << 3 << u"970"_s << u"10"_s
        << QStringList { u"106900000001"_s, u"13900000031"_s, u"回复 31"_s,
                         u"2025-12-06 05:47:11"_s }
        << QStringList { u"106900000001"_s, u"13900000040"_s, u"回复 40"_s,
                         u"2025-12-06 05:47:20"_s };
    QTest::newRow("10,000 waiting")
        << 10'000LL << 0LL << QString() << QString() << 0 << u"10000"_s << u"10"_s
        << QStringList { u"106900000001"_s, u"13900000001"_s, u"回复 1"_s,
                         u"2025-12-06 05:46:41"_s }
        << QStringList { u"106900000001"_s, u"13900000010"_s, u"回复 10"_s,
                         u"2025-12-06 05:46:50"_s };
    QTest::newRow("100,000 waiting after one call")
        << 100'000LL << 0LL << QString() << QString() << 1 << u"99990"_s << u"10"_s
        << QStringList { u"106900000001"_s, u"13900000011"_s, u"回复 11"_s,
                         u"2025-12-06 05:46:51"_s }
        << QStringList { u"106900000001"_s, u"13900000020"_s, u"回复 20"_s,
                         u"2025-12-06 05:47:00"_s };
    QTest::newRow("topped up after a batch, the backlog keeps its size")
        << 10LL << 10LL << QString() << QString() << 1 << u"10"_s << u"10"_s
        << QStringList { u"106900000001"_s, u"13900000011"_s, u"回复 11"_s,
                         u"2025-12-06 05:46:51"_s }
        << QStringList { u"106900000001"_s, u"13900000020"_s, u"回复 20"_s,
                         u"2025-12-06 05:47:00"_s };
    QTest::newRow("extension on every row, received without one")
        << 25LL << 0LL << u"8"_s << QString() << 2 << u"5"_s << u"5"_s
        << QStringList { u"1069000000018"_s, u"13900000021"_s, u"回复 21"_s,
                         u"2025-12-06 05:47:01"_s }
        << QStringList { u"1069000000018"_s, u"13900000025"_s, u"回复 25"_s,
                         u"2025-12-06 05:47:05"_s };
    QTest::newRow("net, the rows' extension")
        << 25LL << 0LL << u"8"_s << u"8"_s << 0 << u"25"_s << u"10"_s
        << QStringList { u"1069000000018"_s, u"13900000001"_s, u"回复 1"_s,
                         u"2025-12-06 05:46:41"_s }
        << QStringList { u"1069000000018"_s, u"13900000010"_s, u"回复 10"_s,
                         u"2025-12-06 05:46:50"_s };
    QTest::newRow("net, another extension sees nothing")
        << 25LL << 0LL << u"8"_s << u"9"_s << 0 << u"0"_s << u"0"_s << none << none;
}

void TestBacklogFiller::receiveFromBacklog()
{
    QFETCH(qint64, waiting);
    QFETCH(qint64, toppedUp);
    QFETCH(QString, rowExtension);
    QFETCH(QString, netExtension);
    QFETCH(int, callsBefore);
    QFETCH(QString, total);
    QFETCH(QString, current);
    QFETCH(QStringList, firstRow);
    QFETCH(QStringList, lastRow);

    // GIVEN a backlog filled in bulk
    BacklogFiller filler(m_path);
    QVERIFY2(filler.isOpen(), qPrintable(filler.error()));
    QVERIFY2(filler.addWaiting(Account, 0, waiting, rowExtension, FirstSentMs),
             qPrintable(filler.error()));

    const auto receive = [&](Variant &totalSlot, Variant &currentSlot, Variant &messages) {
        Bool16 outcome = 0;
        const Status status = netExtension.isEmpty()
            ? m_gateway->ReceiveMessages(Account, totalSlot, currentSlot, messages, outcome)
            : m_gateway->ReceiveMessagesNet(Account, totalSlot, currentSlot, messages, netExtension,
                                            outcome);
        return status.isOk() && outcome == True16;
    };
    for (int call = 0; call < callsBefore; ++call) {
        Variant t, c, m;
        QVERIFY(receive(t, c, m));
        if (call == 0 && toppedUp > 0)
            QVERIFY2(filler.addWaiting(Account, waiting, toppedUp, rowExtension, FirstSentMs),
                     qPrintable(filler.error()));
    }

    // WHEN the account receives
    Variant totalSlot, currentSlot, messages;
    QVERIFY(receive(totalSlot, currentSlot, messages));

    // THEN the counts and the batch are exactly those of the backlog
    QString totalText, currentText;
    QVERIFY(totalSlot.toText(totalText).isOk());
    QVERIFY(currentSlot.toText(currentText).isOk());
    QCOMPARE(totalText, total);
    QCOMPARE(currentText, current);
    TextTable table;
    QVERIFY(messages.toTable(table).isOk());
    QCOMPARE(table.rows(), current.toLongLong());
    if (firstRow.isEmpty())
        return;
    QCOMPARE(table.columns(), 4);
    const auto row = [&table](qsizetype r) {
        QStringList fields;
        QString field;
        for (qsizetype c = 0; c < 4; ++c) {
            (void)table.at(r, c, field);
            fields << field;
        }
        return fields;
    };
    QCOMPARE(row(0), firstRow);
    QCOMPARE(row(table.rows() - 1), lastRow);
}

void TestBacklogFiller::handsetAmongMany()
{
    // GIVEN 25 delivered messages over ten phones
    {
        BacklogFiller filler(m_path);
        QVERIFY2(filler.addDelivered(Account, 25, 10, FirstSentMs), qPrintable(filler.error()));
    }

    // WHEN the operator lists one phone
    QList<LocalGateway::HandsetMessage> messages;
    QVERIFY(LocalOperator(*m_gateway).handsetMessages(u"13800000003"_s, messages).isOk());

    // THEN it has exactly its three, oldest first, from the account's service number
    QCOMPARE(messages.size(), 3);
    QCOMPARE(messages.at(0).text, u"通知 3"_s);
    QCOMPARE(messages.at(1).text, u"通知 13"_s);
    QCOMPARE(messages.at(2).text, u"通知 23"_s);
    QCOMPARE(messages.at(0).from, u"106900000001"_s);
    QCOMPARE(messages.at(2).deliveredAt.toMSecsSinceEpoch(), FirstSentMs + 23);
}

void TestBacklogFiller::synchronousOfGatewayConnections()
{
    // GIVEN the gateway's own connection, WHEN flushes are turned off and on again,
    // THEN it answers; with no gateway open there is nothing to set
    QVERIFY(BacklogFiller::setGatewaySynchronous(u"OFF"_s));
    QVERIFY(BacklogFiller::setGatewaySynchronous(u"FULL"_s));
    m_gateway.reset();
    QVERIFY(!BacklogFiller::setGatewaySynchronous(u"OFF"_s));
}

void TestBacklogFiller::refusesNegativeCount()
{
    // GIVEN a filler, WHEN asked for a negative number of rows, THEN it refuses and adds none
    BacklogFiller filler(m_path);
    QVERIFY(!filler.addWaiting(Account, 0, -5, QString(), FirstSentMs));
    QVERIFY(!filler.addDelivered(Account, -5, 10, FirstSentMs));
    QCOMPARE(filler.error(), u"a negative count of rows"_s);
    QList<LocalGateway::AccountSummary> list;
    QVERIFY(LocalOperator(*m_gateway).accounts(list).isOk());
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.first().waiting, 0);
}

QTEST_GUILESS_MAIN(TestBacklogFiller)
#include "tst_backlogfiller.moc"
