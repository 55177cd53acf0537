// The gateway across its operations: texts kept literally from end to end, listings
// in pages, what instances on one store see of each other, and a long random mix after
// which every balance is still its ledger's sum. Run in process and through the service
// (gatewaysuite.h).

#include "tests/gateway/local/gatewaysuite.h"
#include "tests/gateway/local/storeprobe.h"
#include "tests/gateway/local/teststore.h"
#include "gateway/operatorbackend.h"

#include <QRandomGenerator>
#include <QTest>

using namespace Qt::StringLiterals;

class TestGatewayLedger : public GatewaySuite {
    Q_OBJECT

private Q_SLOTS:
    // Texts that look like SQL or format strings are kept and handed back literally.
    void literalTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("quote and comment") << u"'); DROP TABLE accounts; --"_s;
        QTest::newRow("double quotes") << u"\"x\" OR 1=1"_s;
        QTest::newRow("format markers") << u"%1 %2 %s %n"_s;
        QTest::newRow("NUL inside") << QString(u"a\0b"_s);
        QTest::newRow("line breaks") << u"line 1\r\nline 2"_s;
        QTest::newRow("emoji") << u"😀 ok"_s;
        QTest::newRow("backslashes") << u"C:\\path\\"_s;
    }

    void literalTexts()
    {
        QFETCH(QString, text);
        QCOMPARE(registerAccount(Account), True16);
        QVERIFY(credit(Account, 100));

        Bool16 outcome = 0;
        if (TestStore::onPostgresql() && text.contains(QChar(u'\0'))) {
            // PostgreSQL keeps no U+0000: refused, said so, and nothing changed.
            const QStringList before = StoreProbe(storePath()).snapshot();
            const Status status = m_gateway->SetAutoReply(Account, text, outcome);
            QCOMPARE(status.code(), qint32(0x80070057u));
            QVERIFY2(
                status.description().endsWith(
                    u"文本中含有空字符（U+0000），PostgreSQL 存储无法保存它；操作未执行，数据未改变"_s),
                qPrintable(status.description()));
            QCOMPARE(m_gateway->SendMessage(Account, Phone, text, outcome).code(),
                     qint32(0x80070057u));
            QCOMPARE(StoreProbe(storePath()).snapshot(), before);
            return;
        }
        QVERIFY(m_gateway->SetAutoReply(Account, text, outcome).isOk());
        QCOMPARE(outcome, True16);
        QString reply;
        QVERIFY(m_gateway->GetAutoReply(Account, reply).isOk());
        QCOMPARE(reply, text);

        QVERIFY(m_gateway->SendMessage(Account, Phone, text, outcome).isOk());
        QCOMPARE(outcome, True16);
        QCOMPARE(handset(Phone).value(0), text);

        arrive(u"13900139000"_s, text);
        const Batch batch = receive(Account);
        QString got;
        QVERIFY(batch.table.at(0, 2, got).isOk());
        QCOMPARE(got, text);
    }

    // Listings come a page at a time, each page going on where the last one ended; the
    // first page counts the whole listing; a cursor no listing gave is refused.
    void listingsComeInPages()
    {
        QCOMPARE(registerAccount(Account), True16);
        QVERIFY(credit(Account, 100));
        for (const QString &text : { u"one"_s, u"two"_s, u"three"_s, u"four"_s, u"five"_s }) {
            Bool16 outcome = 0;
            QVERIFY(m_gateway->SendMessage(Account, u"13800138000"_s, text, outcome).isOk());
            QCOMPARE(outcome, True16);
        }
        QStringList pages;
        LocalGateway::Page page { QString(), 2 };
        for (int round = 0; round < 4; ++round) {
            LocalGateway::Listing<LocalGateway::HandsetMessage> listing;
            QVERIFY(m_operator->handsetMessages(u"13800138000"_s, page, listing).isOk());
            QStringList texts { QString::number(listing.total) };
            for (const auto &m : std::as_const(listing.entries))
                texts.append(m.text);
            pages.append(texts.join(u' '));
            if (listing.next.isEmpty())
                break;
            page.after = listing.next;
        }
        QCOMPARE(pages, (QStringList { u"5 one two"_s, u"-1 three four"_s, u"-1 five"_s }));

        LocalGateway::Listing<LocalGateway::AccountSummary> accounts;
        QVERIFY(m_operator->accounts(LocalGateway::Page { Account, 2 }, accounts).isOk());
        QCOMPARE(accounts.entries.size(), 0);
        QCOMPARE(accounts.next, QString());

        LocalGateway::Listing<LocalGateway::HandsetMessage> refused;
        const Status status = m_operator->handsetMessages(
            u"13800138000"_s, LocalGateway::Page { u"not a cursor"_s, 2 }, refused);
        QCOMPARE(status.code(), qint32(0x80070057u));
    }

    void persistsAcrossInstances()
    {
        QCOMPARE(registerAccount(Account), True16);
        QVERIFY(credit(Account, 1230));
        Bool16 outcome = 0;
        QVERIFY(m_gateway->SetForwarding(Account, u"13900139000"_s, outcome).isOk());
        QVERIFY(m_gateway->SetAutoReply(Account, u"稍后回复"_s, outcome).isOk());
        arrive(Phone, u"waiting"_s);
        m_gateway.reset();

        m_gateway = openGateway();
        QVERIFY(m_gateway);
        QCOMPARE(balance(Account), u"12.10"_s); // two charged copies of the arrival
        QString text;
        QVERIFY(m_gateway->GetForwarding(Account, text).isOk());
        QCOMPARE(text, u"13900139000"_s);
        QVERIFY(m_gateway->GetAutoReply(Account, text).isOk());
        QCOMPARE(text, u"稍后回复"_s);
        QCOMPARE(receive(Account).total, u"1"_s);
    }

    // Two instances (as two console windows) on one store see each other's changes.
    void instancesShareTheStore()
    {
        std::unique_ptr<GatewayClient> second = openGateway();
        QVERIFY(second);
        QCOMPARE(registerAccount(Account), True16);
        QVERIFY(credit(Account, 100));
        Bool16 outcome = 0;
        QVERIFY(second->SendMessage(Account, Phone, u"hi"_s, outcome).isOk());
        QCOMPARE(outcome, True16);
        QCOMPARE(balance(Account), u"0.90"_s);
    }

    // A long random mix of operations on a few accounts; cleanup() then checks that
    // every balance is its ledger's sum and no charge lacks its message.
    void randomMixKeepsTheLedger()
    {
        const QStringList accounts { Account, Other, u"ZZZ-999-AAA-77777"_s };
        for (const QString &a : accounts)
            QCOMPARE(registerAccount(a), True16);
        QRandomGenerator random(20240520);
        QList<LocalGateway::IssuedCard> cards = issueCards(300, 20);
        QCOMPARE(cards.size(), 20);
        Bool16 outcome = 0;
        for (int step = 0; step < 300; ++step) {
            const QString &a = accounts.at(random.bounded(accounts.size()));
            m_now = m_now.addSecs(random.bounded(120));
            switch (random.bounded(7)) {
            case 0:
                if (!cards.isEmpty()) {
                    const auto card = cards.takeAt(random.bounded(cards.size()));
                    QVERIFY(m_gateway->Recharge(a, card.number, card.password, outcome).isOk());
                }
                break;
            case 1:
                QVERIFY(m_gateway
                            ->SendMessage(a, u"13800138000,13900139000"_s,
                                          QString(random.bounded(1, 200), u'x'), outcome)
                            .isOk());
                break;
            case 2:
                QVERIFY(m_gateway
                            ->SendScheduledMessage(
                                a, Phone, u"定时"_s,
                                m_now.addSecs(random.bounded(600)).toString(u"yyyy/M/d H:mm:ss"_s),
                                outcome)
                            .isOk());
                break;
            case 3: {
                LocalGateway::MoReport report;
                QVERIFY(m_operator->receiveFromHandset(Phone, a, {}, u"hello"_s, report).isOk());
                break;
            }
            case 4:
                QVERIFY(m_gateway->SetForwarding(a, u"13600136000"_s, outcome).isOk());
                break;
            case 5:
                QVERIFY(m_gateway->SetAutoReply(a, u"自动回复"_s, outcome).isOk());
                break;
            case 6:
                (void)receive(a);
                break;
            }
        }
        StoreProbe probe(storePath());
        QVERIFY(probe.count(u"SELECT count(*) FROM ledger"_s) > 50);
        QCOMPARE(probe.ledgerMismatches(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestGatewayLedger)
#include "tst_localgateway_ledger.moc"
