// The store as the links' queue: one process's claim at a time until its lease runs
// out, answers written only by the claim's holder, receipts moving parts and messages
// on (whenever they come), and a rejection refunded once.

#include "gateway/local/linkqueue.h"
#include "gateway/local/localoperator.h"
#include "tests/gateway/local/storeprobe.h"
#include "tests/gateway/local/teststore.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString Account = u"ABC-DEF-GHI-00001"_s;
constexpr qint64 Lease = 60'000;
using Answer = LinkQueue::Answer;

} // namespace

class TestLinkQueue : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TestStore> m_store;
    qint64 m_now = 1'700'000'000'000;

    std::unique_ptr<LocalGateway> open()
    {
        LocalGateway::Options options;
        options.hashCost = PasswordHasher::fastest();
        options.clock = [this] { return QDateTime::fromMSecsSinceEpoch(m_now, Qt::UTC); };
        options.route = [](const QString &) { return u"main"_s; };
        std::unique_ptr<LocalGateway> gateway;
        if (LocalGateway::open(m_store->location(), gateway, options).failed())
            return {};
        return gateway;
    }

    // A funded account that has sent `text` to one phone.
    std::unique_ptr<LocalGateway> sent(const QString &text)
    {
        m_store = std::make_unique<TestStore>();
        auto gateway = open();
        if (!gateway)
            return {};
        QList<LocalGateway::IssuedCard> cards;
        RegisterParticulars p;
        p.accountNo = Account;
        p.password = u"pw"_s;
        Bool16 registered = 0;
        Bool16 recharged = 0;
        Bool16 sent = 0;
        if (LocalOperator(*gateway).issueCards(1000, 1, cards).failed()
            || gateway->Register(p, registered).failed()
            || gateway->Recharge(Account, cards[0].number, cards[0].password, recharged).failed()
            || gateway->SendMessage(Account, u"13800138000"_s, text, sent).failed()
            || sent != True16)
            return {};
        return gateway;
    }

private Q_SLOTS:
    // Another process gets nothing while the claim holds, and the message once its lease
    // has run out; then only it may write the answer.
    void oneClaimAtATime()
    {
        const auto a = sent(u"hi"_s);
        QVERIFY(a);
        const auto b = open();
        LinkQueue first(*a, u"a"_s);
        LinkQueue second(*b, u"b"_s);
        QCOMPARE(first.claim(u"main"_s, 10, Lease)->size(), 1);
        QCOMPARE(second.claim(u"main"_s, 10, Lease)->size(), 0);
        QCOMPARE(first.claim(u"other"_s, 10, Lease)->size(), 0);
        m_now += Lease;
        const QList<LinkQueue::Outgoing> taken = *second.claim(u"main"_s, 10, Lease);
        QCOMPARE(taken.size(), 1);
        QCOMPARE(taken.at(0).source, u"106900000001"_s);
        Answer answer;
        answer.id = taken.at(0).id;
        answer.kind = Answer::Kind::Submitted;
        answer.smscIds = { u"late"_s };
        QVERIFY(first.record(u"main"_s, { answer }).isOk());
        const StoreProbe probe(m_store->url());
        QCOMPARE(probe.rows(u"SELECT state FROM mt"_s), QStringList { u"queued"_s });
        answer.smscIds = { u"b1"_s };
        QVERIFY(second.record(u"main"_s, { answer }).isOk());
        QCOMPARE(probe.rows(u"SELECT state || ' ' || coalesce(claimed_by, '-') FROM mt"_s),
                 QStringList { u"submitted -"_s });
        QCOMPARE(probe.rows(u"SELECT smsc_id FROM mt_parts"_s), QStringList { u"b1"_s });
        QCOMPARE(first.claim(u"main"_s, 10, Lease)->size(), 0);
    }

    // Answers and receipts, in either order, to the message's state and refunds.
    void answersAndReceipts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QStringList>("receipts"); // "id:state"
        QTest::addColumn<bool>("receiptsFirst");
        QTest::addColumn<QString>("state");
        QTest::addColumn<int>("refunds");
        QTest::addColumn<int>("unmatched");
        const QString two = QString(200, u'a');
        QTest::newRow("delivered") << u"hi"_s << true << QStringList { u"p1:delivered"_s } << false
                                   << u"delivered"_s << 0 << 0;
        QTest::newRow("receipt before its answer")
            << u"hi"_s << true << QStringList { u"p1:delivered"_s } << true << u"delivered"_s << 0
            << 0;
        QTest::newRow("on the way")
            << u"hi"_s << true << QStringList { u"p1:"_s } << false << u"submitted"_s << 0 << 0;
        QTest::newRow("one part of two delivered")
            << two << true << QStringList { u"p1:delivered"_s } << false << u"submitted"_s << 0
            << 0;
        QTest::newRow("both parts delivered")
            << two << true << QStringList { u"p2:delivered"_s, u"p1:delivered"_s } << false
            << u"delivered"_s << 0 << 0;
        QTest::newRow("a part undeliverable")
            << two << true << QStringList { u"p1:delivered"_s, u"p2:undeliverable"_s } << false
            << u"undeliverable"_s << 0 << 0;
        QTest::newRow("rejected twice, refunded once")
            << u"hi"_s << true << QStringList { u"p1:rejected"_s, u"p1:rejected"_s } << false
            << u"rejected"_s << 1 << 0;
        QTest::newRow("refused by the SMSC: refunded")
            << u"hi"_s << false << QStringList() << false << u"rejected"_s << 1 << 0;
        QTest::newRow("a receipt for no message")
            << u"hi"_s << true << QStringList { u"zz:delivered"_s } << false << u"submitted"_s << 0
            << 1;
    }
    void answersAndReceipts()
    {
        QFETCH(QString, text);
        QFETCH(bool, accepted);
        QFETCH(QStringList, receipts);
        QFETCH(bool, receiptsFirst);
        QFETCH(QString, state);
        QFETCH(int, refunds);
        QFETCH(int, unmatched);
        const auto gateway = sent(text);
        QVERIFY(gateway);
        LinkQueue queue(*gateway, u"a"_s);
        const QList<LinkQueue::Outgoing> taken = *queue.claim(u"main"_s, 10, Lease);
        QCOMPARE(taken.size(), 1);
        Answer answer;
        answer.id = taken.at(0).id;
        answer.kind = accepted ? Answer::Kind::Submitted : Answer::Kind::Rejected;
        answer.smscIds
            = text.size() > 160 ? QStringList { u"p1"_s, u"p2"_s } : QStringList { u"p1"_s };
        const auto receive = [&] {
            for (const QString &receipt : std::as_const(receipts))
                QVERIFY(queue
                            .receipt(u"main"_s,
                                     { receipt.section(u':', 0, 0), receipt.section(u':', 1),
                                       u"13800138000"_s, u"106900000001"_s, u"id:x"_s })
                            .status()
                            .isOk());
        };
        if (receiptsFirst)
            receive();
        QVERIFY(queue.record(u"main"_s, { answer }).isOk());
        if (!receiptsFirst)
            receive();
        const StoreProbe probe(m_store->url());
        QCOMPARE(probe.rows(u"SELECT state FROM mt"_s), QStringList { state });
        QCOMPARE(probe.count(u"SELECT count(*) FROM ledger WHERE reason = 'refund'"_s), refunds);
        // The store itself refuses a second refund of the message.
        QVERIFY(refunds == 0
                || !probe.exec(u"INSERT INTO ledger (account_id, amount, reason, reference, at) "
                               u"SELECT account_id, amount, reason, reference, at FROM ledger "
                               u"WHERE reason = 'refund'"_s));
        QCOMPARE(probe.count(u"SELECT count(*) FROM link_unmatched"_s), unmatched);
        QCOMPARE(probe.ledgerMismatches(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestLinkQueue)
#include "tst_linkqueue.moc"
