// The gateway's sending: messages sent now (recipients, segments, charges) and
// scheduled ones, which go out once due in whatever operation comes next. Run in process
// and through the service (gatewaysuite.h); the cases that move the clock to a due time
// run in process only.

#include "tests/gateway/local/gatewaysuite.h"
#include "tests/gateway/local/storeprobe.h"
#include "tests/gateway/local/testgateway.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestGatewaySending : public GatewaySuite {
    Q_OBJECT

private Q_SLOTS:
    void send_data()
    {
        QTest::addColumn<QString>("phones");
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("startFen");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("balanceAfter");
        QTest::addColumn<QStringList>("receivers");

        const QStringList one { Phone };
        const QString han(u'中');
        QTest::newRow("one phone")
            << Phone << u"VB测试短信发送!"_s << qint64(100) << true << u"0.90"_s << one;
        QTest::newRow("two segments")
            << Phone << han.repeated(71) << qint64(100) << true << u"0.80"_s << one;
        QTest::newRow("three phones")
            << u"13800138000,13900139000, +8613700137000"_s << u"hi"_s << qint64(100) << true
            << u"0.70"_s << QStringList { Phone, u"13900139000"_s, u"+8613700137000"_s };
        QTest::newRow("full-width comma")
            << u"13800138000，13900139000"_s << u"hi"_s << qint64(100) << true << u"0.80"_s
            << QStringList { Phone, u"13900139000"_s };
        QTest::newRow("repeated phone sent once")
            << u"13800138000,13800138000"_s << u"hi"_s << qint64(100) << true << u"0.90"_s << one;
        QTest::newRow("balance exactly covers")
            << u"13800138000,13900139000"_s << u"hi"_s << qint64(20) << true << u"0.00"_s
            << QStringList { Phone, u"13900139000"_s };
        QTest::newRow("balance one fen short") << u"13800138000,13900139000"_s << u"hi"_s
                                               << qint64(19) << false << u"0.19"_s << QStringList();
        QTest::newRow("no balance")
            << Phone << u"hi"_s << qint64(0) << false << u"0.00"_s << QStringList();
        QTest::newRow("empty text")
            << Phone << QString() << qint64(100) << false << u"1.00"_s << QStringList();
        QTest::newRow("blank text is a text")
            << Phone << u" "_s << qint64(100) << true << u"0.90"_s << one;
        QTest::newRow("text over 255 segments")
            << Phone << han.repeated(67 * 255 + 1) << qint64(100000) << false << u"1000.00"_s
            << QStringList();
        QTest::newRow("unpaired surrogate") << Phone << QString(QChar(0xD83D)) << qint64(100)
                                            << false << u"1.00"_s << QStringList();
        QTest::newRow("empty phone")
            << QString() << u"hi"_s << qint64(100) << false << u"1.00"_s << QStringList();
        QTest::newRow("two digits")
            << u"12"_s << u"hi"_s << qint64(100) << false << u"1.00"_s << QStringList();
        QTest::newRow("21 digits")
            << QString(21, u'1') << u"hi"_s << qint64(100) << false << u"1.00"_s << QStringList();
        QTest::newRow("dashed landline")
            << u"010-12345678"_s << u"hi"_s << qint64(100) << false << u"1.00"_s << QStringList();
        QTest::newRow("trailing comma")
            << u"13800138000,"_s << u"hi"_s << qint64(100) << false << u"1.00"_s << QStringList();
        QTest::newRow("one bad among good") << u"13800138000,abc"_s << u"hi"_s << qint64(100)
                                            << false << u"1.00"_s << QStringList();
        QTest::newRow("101 recipients") << QStringList(101, Phone).join(u',') << u"hi"_s
                                        << qint64(100000) << false << u"1000.00"_s << QStringList();
    }

    void send()
    {
        QFETCH(QString, phones);
        QFETCH(QString, text);
        QFETCH(qint64, startFen);
        QFETCH(bool, accepted);
        QFETCH(QString, balanceAfter);
        QFETCH(QStringList, receivers);

        QCOMPARE(registerAccount(Account), True16);
        if (startFen > 0)
            QVERIFY(credit(Account, startFen));
        const QStringList before = StoreProbe(storePath()).snapshot();

        Bool16 outcome = 1;
        const Status status = m_gateway->SendMessage(Account, phones, text, outcome);
        if (badRequestThroughService(text)) {
            QVERIFY(status.failed());
            QCOMPARE(StoreProbe(storePath()).snapshot(), before);
            return;
        }
        QVERIFY(status.isOk());
        QCOMPARE(outcome, accepted ? True16 : False16);
        QCOMPARE(balance(Account), balanceAfter);
        for (const QString &phone : std::as_const(receivers))
            QCOMPARE(handset(phone), QStringList { text });
        if (!accepted)
            QCOMPARE(StoreProbe(storePath()).snapshot(), before);
    }

    void scheduled_data()
    {
        QTest::addColumn<QString>("sendTime");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<int>("dueInSeconds"); // from 2024-05-20 09:30:00 local time

        QTest::newRow("console format, ten minutes ahead") << u"2024/5/20 9:40:00"_s << true << 600;
        QTest::newRow("console format, padded") << u"2024/05/20 09:40:00"_s << true << 600;
        QTest::newRow("ISO 8601 local") << u"2024-05-20T09:40:00"_s << true << 600;
        QTest::newRow("59 seconds in the past") << u"2024/5/20 9:29:01"_s << true << -59;
        QTest::newRow("61 seconds in the past") << u"2024/5/20 9:28:59"_s << false << 0;
        QTest::newRow("exactly one year ahead") << u"2025/5/20 9:30:00"_s << true << 365 * 86400;
        QTest::newRow("a year and a second ahead") << u"2025/5/20 9:30:01"_s << false << 0;
        QTest::newRow("30 February") << u"2024/2/30 9:40:00"_s << false << 0;
        QTest::newRow("hour 24") << u"2024/5/20 24:00:00"_s << false << 0;
        QTest::newRow("no seconds") << u"2024/5/20 9:40"_s << false << 0;
        QTest::newRow("words") << u"tomorrow"_s << false << 0;
        QTest::newRow("empty") << QString() << false << 0;
    }

    void scheduled()
    {
        if (TestGateway::remote())
            QSKIP("the due times needs the test's clock; the service reads the machine's");
        QFETCH(QString, sendTime);
        QFETCH(bool, accepted);
        QFETCH(int, dueInSeconds);

        QCOMPARE(registerAccount(Account), True16);
        QVERIFY(credit(Account, 100));
        const QStringList before = StoreProbe(storePath()).snapshot();

        Bool16 outcome = 1;
        QVERIFY(
            m_gateway
                ->SendScheduledMessage(Account, Phone, u"使用SDK发送定时短信"_s, sendTime, outcome)
                .isOk());
        QCOMPARE(outcome, accepted ? True16 : False16);
        // Charged when submitted.
        QCOMPARE(balance(Account), accepted ? u"0.90"_s : u"1.00"_s);
        if (!accepted) {
            QCOMPARE(StoreProbe(storePath()).snapshot(), before);
            return;
        }
        if (dueInSeconds > 0) {
            QCOMPARE(handset(Phone), QStringList());
            m_now = m_now.addSecs(dueInSeconds - 1);
            QCOMPARE(handset(Phone), QStringList());
            m_now = m_now.addSecs(1);
        }
        QCOMPARE(handset(Phone), QStringList { u"使用SDK发送定时短信"_s });
    }

    void scheduledIsoWithOffset()
    {
        if (TestGateway::remote())
            QSKIP("the due time needs the test's clock; the service reads the machine's");
        QCOMPARE(registerAccount(Account), True16);
        QVERIFY(credit(Account, 100));
        const QString due = m_now.addSecs(300).toUTC().toString(Qt::ISODate);
        QVERIFY(due.endsWith(u'Z'));
        Bool16 outcome = 0;
        QVERIFY(m_gateway->SendScheduledMessage(Account, Phone, u"hi"_s, due, outcome).isOk());
        QCOMPARE(outcome, True16);
        m_now = m_now.addSecs(299);
        QCOMPARE(handset(Phone), QStringList());
        m_now = m_now.addSecs(1);
        QCOMPARE(handset(Phone), QStringList { u"hi"_s });
    }

    // Due messages go out in any operation, in any instance, whatever its outcome; a
    // send also when the store refuses it, or when it never reaches the store.
    void scheduledDeliveredByAnyOperation_data()
    {
        QTest::addColumn<Operation>("operation");
        QTest::addColumn<int>("otherFen"); // the other account's balance; -1: none
        for (const auto &[name, call] : operations())
            QTest::newRow(name) << call << -1;
        const auto sendTo = [](const QString &phone) -> Operation {
            return [phone](GatewayClient &g, const QString &a, Answer &r) {
                return g.SendMessage(a, phone, u"now"_s, r.outcome);
            };
        };
        QTest::newRow("SendMessage, sent") << sendTo(Phone) << 100;
        QTest::newRow("SendMessage, two recipients, sent")
            << sendTo(u"13800138000,13900139000"_s) << 100;
        QTest::newRow("SendMessage, balance short") << sendTo(Phone) << 0;
        QTest::newRow("SendMessage, malformed recipient") << sendTo(u"12"_s) << 100;
    }

    void scheduledDeliveredByAnyOperation()
    {
        if (TestGateway::remote())
            QSKIP("the due time needs the test's clock; the service reads the machine's");
        QFETCH(Operation, operation);
        QFETCH(int, otherFen);
        QCOMPARE(registerAccount(Account), True16);
        QVERIFY(credit(Account, 100));
        if (otherFen >= 0)
            QCOMPARE(registerAccount(Other), True16);
        if (otherFen > 0)
            QVERIFY(credit(Other, otherFen));
        Bool16 outcome = 0;
        QVERIFY(
            m_gateway
                ->SendScheduledMessage(Account, Phone, u"later"_s, u"2024/5/20 9:40:00"_s, outcome)
                .isOk());
        QCOMPARE(outcome, True16);
        StoreProbe probe(storePath());
        const QString delivered
            = u"SELECT count(*) FROM mt WHERE text = 'later' AND state = 'delivered'"_s;
        m_now = m_now.addSecs(600);
        QCOMPARE(probe.count(delivered), 0);

        std::unique_ptr<GatewayClient> other = openGateway();
        QVERIFY(other);
        Answer answer;
        QVERIFY(operation(*other, Other, answer).isOk());
        QCOMPARE(probe.count(delivered), 1);
        QCOMPARE(probe.count(
                     u"SELECT count(*) FROM mt WHERE text = 'later' AND delivered_at = due_at"_s),
                 1);
    }
};

QTEST_GUILESS_MAIN(TestGatewaySending)
#include "tst_localgateway_sending.moc"
