// The gateway's money: recharge cards (issued, spent once, failed checks counted toward
// the lock-out) and the balance as the console shows it. Run in process and through the
// service (gatewaysuite.h); the lock-out window needs the test's clock and runs in
// process only.

#include "tests/gateway/local/gatewaysuite.h"
#include "tests/gateway/local/storeprobe.h"
#include "tests/gateway/local/testgateway.h"
#include "gateway/operatorbackend.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestGatewayMoney : public GatewaySuite {
    Q_OBJECT

private Q_SLOTS:
    // Only failed card checks count toward the lock-out.
    void rechargeAttemptsCounted_data()
    {
        QTest::addColumn<QStringList>("attempts");
        QTest::addColumn<QList<Bool16>>("outcomes");
        QTest::addColumn<qint64>("counted");
        QTest::addColumn<QString>("balanceAfter");
        const Bool16 T = True16, F = False16;
        QTest::newRow("six good cards")
            << QStringList(6, u"good"_s) << QList<Bool16>(6, T) << qint64(0) << u"6.00"_s;
        QTest::newRow("wrong, then good") << QStringList { u"wrong"_s, u"good"_s }
                                          << QList<Bool16> { F, T } << qint64(1) << u"1.00"_s;
        QTest::newRow("no card number") << QStringList { u"empty"_s, u"good"_s }
                                        << QList<Bool16> { F, T } << qint64(1) << u"1.00"_s;
        QTest::newRow("spent card") << QStringList { u"good"_s, u"again"_s }
                                    << QList<Bool16> { T, F } << qint64(1) << u"1.00"_s;
        QTest::newRow("five wrong lock the sixth out")
            << (QStringList(5, u"wrong"_s) << u"good"_s) << QList<Bool16> { F, F, F, F, F, F }
            << qint64(5) << u"0.00"_s;
    }

    void rechargeAttemptsCounted()
    {
        QFETCH(QStringList, attempts);
        QFETCH(QList<Bool16>, outcomes);
        QFETCH(qint64, counted);
        QFETCH(QString, balanceAfter);
        QCOMPARE(registerAccount(Account), True16);
        LocalGateway::IssuedCard last;
        QList<Bool16> seen;
        for (const QString &kind : std::as_const(attempts)) {
            const LocalGateway::IssuedCard card = kind == u"again"_s ? last : issueCard(100);
            const QString number = kind == u"empty"_s ? QString() : card.number;
            const QString password = kind == u"wrong"_s ? u"000000000000"_s : card.password;
            Bool16 outcome = 1;
            QVERIFY(m_gateway->Recharge(Account, number, password, outcome).isOk());
            seen.append(outcome);
            last = card;
        }
        QCOMPARE(seen, outcomes);
        QCOMPARE(StoreProbe(storePath()).count(u"SELECT count(*) FROM recharge_failures"_s),
                 counted);
        QCOMPARE(balance(Account), balanceAfter);
    }

    void balanceText_data()
    {
        QTest::addColumn<qint64>("fen");
        QTest::addColumn<QString>("text");
        QTest::newRow("nothing") << qint64(0) << u"0.00"_s;
        QTest::newRow("five fen") << qint64(5) << u"0.05"_s;
        QTest::newRow("ten fen") << qint64(10) << u"0.10"_s;
        QTest::newRow("twelve yuan thirty") << qint64(1230) << u"12.30"_s;
        QTest::newRow("ten thousand yuan") << qint64(1000000) << u"10000.00"_s;
    }

    void balanceText()
    {
        QFETCH(qint64, fen);
        QFETCH(QString, text);
        QCOMPARE(registerAccount(Account), True16);
        if (fen > 0)
            QVERIFY(credit(Account, fen));
        QCOMPARE(balance(Account), text);
    }

    void recharge_data()
    {
        QTest::addColumn<QString>("cardNo"); // "card" for the issued one
        QTest::addColumn<QString>("password"); // "password" for the right one
        QTest::addColumn<bool>("spentBefore");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("right card and password") << u"card"_s << u"password"_s << false << true;
        QTest::newRow("wrong password") << u"card"_s << u"000000000000"_s << false << false;
        QTest::newRow("empty password") << u"card"_s << QString() << false << false;
        QTest::newRow("unknown card") << u"1234567890123456"_s << u"password"_s << false << false;
        QTest::newRow("empty card number") << QString() << u"password"_s << false << false;
        QTest::newRow("oversize card number")
            << QString(65, u'1') << u"password"_s << false << false;
        QTest::newRow("card already spent") << u"card"_s << u"password"_s << true << false;
    }

    void recharge()
    {
        QFETCH(QString, cardNo);
        QFETCH(QString, password);
        QFETCH(bool, spentBefore);
        QFETCH(bool, accepted);

        QCOMPARE(registerAccount(Account), True16);
        QCOMPARE(registerAccount(Other), True16);
        const LocalGateway::IssuedCard card = issueCard(5000);
        QCOMPARE(card.number.size(), 16);
        QCOMPARE(card.password.size(), 12);
        if (spentBefore) {
            Bool16 first = 0;
            QVERIFY(m_gateway->Recharge(Other, card.number, card.password, first).isOk());
            QCOMPARE(first, True16);
        }
        const QStringList before = StoreProbe(storePath()).snapshot();

        Bool16 outcome = 1;
        QVERIFY(m_gateway
                    ->Recharge(Account, cardNo == u"card"_s ? card.number : cardNo,
                               password == u"password"_s ? card.password : password, outcome)
                    .isOk());
        QCOMPARE(outcome, accepted ? True16 : False16);
        QCOMPARE(balance(Account), accepted ? u"50.00"_s : u"0.00"_s);
        if (!accepted)
            QCOMPARE(StoreProbe(storePath()).snapshot(), before);
    }

    void rechargeLockOut()
    {
        if (TestGateway::remote())
            QSKIP("the lock-out window needs the test's clock; the service reads the machine's");
        QCOMPARE(registerAccount(Account), True16);
        const LocalGateway::IssuedCard card = issueCard(1000);
        const QDateTime start = m_now;
        Bool16 outcome = 1;

        // GIVEN five failed attempts within a few minutes
        for (int i = 0; i < 5; ++i) {
            m_now = start.addSecs(qint64(i) * 60);
            QVERIFY(m_gateway->Recharge(Account, card.number, u"wrong"_s, outcome).isOk());
            QCOMPARE(outcome, False16);
        }
        // THEN even the right password is refused until 15 minutes after the first,
        // and attempts while locked do not extend the lock
        for (qint64 offset : { 5 * 60, 10 * 60, 15 * 60 - 1 }) {
            m_now = start.addSecs(offset);
            QVERIFY(m_gateway->Recharge(Account, card.number, card.password, outcome).isOk());
            QCOMPARE(outcome, False16);
        }
        QCOMPARE(balance(Account), u"0.00"_s);
        m_now = start.addSecs(15 * 60 + 1);
        QVERIFY(m_gateway->Recharge(Account, card.number, card.password, outcome).isOk());
        QCOMPARE(outcome, True16);
        QCOMPARE(balance(Account), u"10.00"_s);

        // The lock is the account's own: another account recharges meanwhile.
        QCOMPARE(registerAccount(Other), True16);
        const LocalGateway::IssuedCard second = issueCard(200);
        QVERIFY(m_gateway->Recharge(Other, second.number, second.password, outcome).isOk());
        QCOMPARE(outcome, True16);
    }

    // Cards made by the local component exist only once their listing is published.
    // The service commits them before it answers, so its cards are stored whatever the
    // operator's listing does; it refuses a value or count out of range as a bad request.
    void issueCardsPublished_data()
    {
        QTest::addColumn<qint64>("valueFen");
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("published");
        QTest::addColumn<int>("offered");
        QTest::addColumn<qint64>("stored");
        QTest::addColumn<bool>("failsThroughService");
        QTest::addColumn<qint64>("storedThroughService");
        QTest::newRow("published")
            << qint64(500) << 3 << true << 3 << qint64(3) << false << qint64(3);
        QTest::newRow("listing could not be written")
            << qint64(500) << 3 << false << 3 << qint64(0) << false << qint64(3);
        QTest::newRow("value out of range")
            << qint64(0) << 3 << true << 0 << qint64(0) << true << qint64(0);
        QTest::newRow("count out of range")
            << qint64(500) << 101 << true << 0 << qint64(0) << true << qint64(0);
    }

    void issueCardsPublished()
    {
        QFETCH(qint64, valueFen);
        QFETCH(int, count);
        QFETCH(bool, published);
        QFETCH(int, offered);
        QFETCH(qint64, stored);
        QFETCH(bool, failsThroughService);
        QFETCH(qint64, storedThroughService);
        int seen = 0;
        const Status status = m_operator->issueCards(
            valueFen, count, [&](const QList<LocalGateway::IssuedCard> &cards) {
                seen = int(cards.size());
                for (const auto &card : cards) {
                    if (card.number.size() != 16 || card.password.size() != 12
                        || card.valueFen != valueFen)
                        seen = -1;
                }
                return published;
            });
        const bool remote = TestGateway::remote();
        QCOMPARE(status.failed(), remote && failsThroughService);
        QCOMPARE(seen, offered);
        QCOMPARE(StoreProbe(storePath()).count(u"SELECT count(*) FROM cards"_s),
                 remote ? storedThroughService : stored);
    }
};

QTEST_GUILESS_MAIN(TestGatewayMoney)
#include "tst_localgateway_money.moc"
