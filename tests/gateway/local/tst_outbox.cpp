// The outbox: an event is written by the store in the transaction of the change it
// reports, whatever path made the change; an arrival for a callback goes to it alone;
// one process's claim at a time, settled only by its holder; a later state of a message
// waits for the earlier one; failed events come again at their time, or die and are
// replayed; an SMPP receipt waits for a receiver as long as it is kept, then dies.

#include "gateway/local/applicationapi.h"
#include "gateway/local/linkqueue.h"
#include "gateway/local/localoperator.h"
#include "gateway/local/outbox.h"
#include "tests/gateway/local/storeprobe.h"
#include "tests/gateway/local/teststore.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString Account = u"ABC-DEF-GHI-00001"_s;
const QString Phone = u"13800138000"_s;
constexpr qint64 Lease = 60'000;

Outbox::Callback callbackFor(bool onState, bool onArrival)
{
    return { u"https://app.example/hook"_s, onState, onArrival, QByteArray("sealed\0secret", 13) };
}

} // namespace

class TestOutbox : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TestStore> m_store;
    qint64 m_now = 1'700'000'000'000;
    bool m_linked = false;

    std::unique_ptr<LocalGateway> open()
    {
        LocalGateway::Options options;
        options.hashCost = PasswordHasher::fastest();
        options.clock = [this] { return QDateTime::fromMSecsSinceEpoch(m_now, Qt::UTC); };
        if (m_linked)
            options.route = [](const QString &) { return u"main"_s; };
        std::unique_ptr<LocalGateway> gateway;
        if (LocalGateway::open(m_store->location(), gateway, options).failed())
            return {};
        return gateway;
    }

    // A funded, signed-on account on a new store, its messages routed to a link or not.
    std::unique_ptr<LocalGateway> account(bool linked)
    {
        m_linked = linked;
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
        if (LocalOperator(*gateway).issueCards(1000, 1, cards).failed()
            || gateway->Register(p, registered).failed()
            || gateway->Recharge(Account, cards[0].number, cards[0].password, recharged).failed()
            || recharged != True16)
            return {};
        return gateway;
    }

    QStringList events() const
    {
        return StoreProbe(m_store->url())
            .rows(u"SELECT type, subject_id, coalesce(state, ''), delivery FROM outbox "
                  u"ORDER BY id"_s);
    }

private Q_SLOTS:
    // Every path that ends a message writes its event, and only for a callback that takes
    // message states.
    void stateEvents_data()
    {
        QTest::addColumn<bool>("onState");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("expected");
        const QStringList delivered { u"message.state|1|delivered|pending"_s };
        QTest::newRow("handed to the handset at once") << true << u"handset"_s << delivered;
        QTest::newRow("receipt from the link") << true << u"receipt"_s << delivered;
        QTest::newRow("rejected by the link")
            << true << u"rejected"_s << QStringList { u"message.state|1|rejected|pending"_s };
        QTest::newRow("cancelled while queued")
            << true << u"cancel"_s << QStringList { u"message.state|1|cancelled|pending"_s };
        QTest::newRow("expired while queued")
            << true << u"expire"_s << QStringList { u"message.state|1|expired|pending"_s };
        QTest::newRow("callback for arrivals only") << false << u"handset"_s << QStringList();
        QTest::newRow("no callback") << false << u"none"_s << QStringList();
    }
    void stateEvents()
    {
        QFETCH(bool, onState);
        QFETCH(QString, path);
        QFETCH(QStringList, expected);
        const auto gateway = account(path != u"handset"_s && path != u"none"_s);
        QVERIFY(gateway);
        Outbox outbox(*gateway, u"a"_s);
        if (path != u"none"_s)
            QVERIFY(*outbox.setCallback(Account, callbackFor(onState, true)));
        Bool16 sent = 0;
        QVERIFY(!gateway->SendMessage(Account, Phone, u"hi"_s, sent).failed());
        QCOMPARE(sent, True16);
        LinkQueue queue(*gateway, u"a"_s);
        StoreProbe probe(m_store->url());
        if (path == u"receipt"_s || path == u"rejected"_s) {
            QCOMPARE(queue.claim(u"main"_s, 1, Lease, {})->size(), 1);
            LinkQueue::Answer answer;
            answer.id = 1;
            answer.kind = path == u"rejected"_s ? LinkQueue::Answer::Kind::Rejected
                                                : LinkQueue::Answer::Kind::Submitted;
            answer.smscIds = { u"smsc-1"_s };
            answer.reason = u"refused"_s;
            QVERIFY(!queue.record(u"main"_s, { answer }, {}).failed());
        }
        if (path == u"receipt"_s) {
            QCOMPARE(events(), QStringList()); // submitted is on the way, not an end
            LinkQueue::Delivery delivery;
            delivery.receipt = LinkQueue::Receipt { u"smsc-1"_s, LinkQueue::ReceiptState::Delivered,
                                                    Phone,       u"106900000001"_s,
                                                    {},          {} };
            QVERIFY(!queue.deliver(u"main"_s, { delivery }, 3, {}).value(0).status.failed());
        } else if (path == u"cancel"_s || path == u"expire"_s) {
            QVERIFY(probe.exec(u"UPDATE mt SET state = '%1' WHERE id = 1"_s.arg(
                path == u"cancel"_s ? u"cancelled"_s : u"expired"_s)));
        }
        QCOMPARE(events(), expected);
    }

    // An arrival for a callback that takes arrivals is the callback's alone: it is not
    // waiting for a receive call, and the waiting counters agree.
    void arrivalGoesToOneConsumer_data()
    {
        QTest::addColumn<bool>("onArrival");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QString>("waiting");
        QTest::newRow("callback takes arrivals")
            << true << QStringList { u"arrival|1||pending"_s } << u"0"_s;
        QTest::newRow("callback for states only") << false << QStringList() << u"1"_s;
    }
    void arrivalGoesToOneConsumer()
    {
        QFETCH(bool, onArrival);
        QFETCH(QStringList, expected);
        QFETCH(QString, waiting);
        const auto gateway = account(false);
        QVERIFY(gateway);
        Outbox outbox(*gateway, u"a"_s);
        QVERIFY(*outbox.setCallback(Account, callbackFor(true, onArrival)));
        LocalOperator::MoReport report;
        QVERIFY(!LocalOperator(*gateway)
                     .receiveFromHandset(Phone, Account, u"12"_s, u"yes"_s, report)
                     .failed());
        QCOMPARE(events(), expected);
        StoreProbe probe(m_store->url());
        QCOMPARE(probe.waitingMismatches(), QStringList());
        Variant total, current, messages;
        Bool16 outcome = 0;
        QVERIFY(!gateway->ReceiveMessages(Account, total, current, messages, outcome).failed());
        QString counted;
        QVERIFY(!total.toText(counted).failed());
        QCOMPARE(counted, waiting);
        if (onArrival) {
            const std::optional<Outbox::Arrival> arrived = *outbox.arrival(1);
            QVERIFY(arrived);
            QCOMPARE(arrived->from, Phone);
            QCOMPARE(arrived->to,
                     u"106900000001"
                     "12"_s);
            QCOMPARE(arrived->text, u"yes"_s);
            QCOMPARE(arrived->receivedAt, m_now);
        }
    }

    // Another process gets nothing while the claim holds, and the event once the lease
    // has run out; then only it may settle it.
    void oneClaimAtATime()
    {
        const auto a = account(false);
        QVERIFY(a);
        const auto b = open();
        Outbox first(*a, u"a"_s);
        Outbox second(*b, u"b"_s);
        QVERIFY(*first.setCallback(Account, callbackFor(true, true)));
        Bool16 sent = 0;
        QVERIFY(!a->SendMessage(Account, Phone, u"hi"_s, sent).failed());
        const QList<Outbox::Event> taken = *first.claim(10, Lease);
        QCOMPARE(taken.size(), 1);
        QCOMPARE(taken.at(0).url, u"https://app.example/hook"_s);
        QCOMPARE(taken.at(0).sealedSecret, QByteArray("sealed\0secret", 13));
        QCOMPARE(taken.at(0).accountNo, Account);
        QCOMPARE(second.claim(10, Lease)->size(), 0);
        m_now += Lease;
        QCOMPARE(second.claim(10, Lease)->size(), 1);
        QCOMPARE(*first.delivered(taken.at(0).id), false);
        QCOMPARE(*second.delivered(taken.at(0).id), true);
        QCOMPARE(*second.delivered(taken.at(0).id), false);
        QCOMPARE(events(), QStringList { u"message.state|1|delivered|delivered"_s });
        QCOMPARE(second.claim(10, Lease)->size(), 0);
    }

    // A later state of a message is not handed out while an earlier one is pending; a
    // failed one comes again at its time; a dead one lets the next go, and is replayed.
    void orderRetryAndReplay()
    {
        const auto gateway = account(true);
        QVERIFY(gateway);
        Outbox outbox(*gateway, u"a"_s);
        QVERIFY(*outbox.setCallback(Account, callbackFor(true, false)));
        Bool16 sent = 0;
        QVERIFY(
            !gateway->SendMessage(Account, u"13800138000,13900139000"_s, u"hi"_s, sent).failed());
        StoreProbe probe(m_store->url());
        QVERIFY(probe.exec(u"UPDATE mt SET state = 'submitted'"_s));
        QVERIFY(probe.exec(u"UPDATE mt SET state = 'unknown' WHERE id = 1"_s));
        QVERIFY(probe.exec(u"UPDATE mt SET state = 'delivered'"_s));
        QList<Outbox::Event> taken = *outbox.claim(10, Lease);
        QCOMPARE(taken.size(), 2); // message 1 unknown, message 2 delivered
        QCOMPARE(taken.at(0).state, u"unknown"_s);
        QCOMPARE(taken.at(1).subject, 2);
        QVERIFY(*outbox.failed(taken.at(0).id, u"HTTP 500"_s, m_now + 1000));
        QVERIFY(*outbox.delivered(taken.at(1).id));
        QCOMPARE(outbox.claim(10, Lease)->size(), 0); // not yet due; delivered waits
        m_now += 1000;
        taken = *outbox.claim(10, Lease);
        QCOMPARE(taken.size(), 1);
        QCOMPARE(taken.at(0).attempts, 1);
        QCOMPARE(taken.at(0).lastError, u"HTTP 500"_s);
        // Settled dead and the next claimed in one call: the later state is free to go.
        taken
            = *outbox.claim(10, Lease, { { taken.at(0).id, false, u"HTTP 500"_s, std::nullopt } });
        QCOMPARE(taken.size(), 1);
        QCOMPARE(taken.at(0).state, u"delivered"_s);
        QCOMPARE(taken.at(0).subject, 1);
        QCOMPARE(outbox.list(true, 0, 10)->size(), 1);
        QCOMPARE(*outbox.replay(taken.at(0).id), 0); // being sent now: left alone
        QCOMPARE(*outbox.replay(std::nullopt), 1);
        QCOMPARE(outbox.list(true, 0, 10)->size(), 0);
        QCOMPARE(*outbox.counts(),
                 (QMap<QString, qint64> {
                     { u"pending"_s, 2 }, { u"delivered"_s, 1 }, { u"dead"_s, 0 } }));
    }

    // A receipt an SMPP submit asked for waits for a receiver a day (receipts_kept_s
    // here), or as long as its message is valid when that is longer; past both, a sweep
    // ends it dead.
    void smppReceiptKept_data()
    {
        QTest::addColumn<qint64>("validitySeconds"); // 0: none
        QTest::addColumn<qint64>("laterHours");
        QTest::addColumn<QString>("delivery");
        QTest::newRow("within the day: pending") << qint64(0) << qint64(23) << u"pending"_s;
        QTest::newRow("past the day: dead") << qint64(0) << qint64(25) << u"dead"_s;
        QTest::newRow("valid for three days, two later: pending")
            << qint64(3 * 86'400) << qint64(48) << u"pending"_s;
        QTest::newRow("valid for three days, four later: dead")
            << qint64(3 * 86'400) << qint64(96) << u"dead"_s;
    }
    void smppReceiptKept()
    {
        QFETCH(qint64, validitySeconds);
        QFETCH(qint64, laterHours);
        QFETCH(QString, delivery);
        // The triggers write the store's own time: the gateway's clock starts there.
        m_now = QDateTime::currentMSecsSinceEpoch();
        auto gateway = account(false);
        QVERIFY(gateway);
        ApplicationApi::Send send;
        send.to = QStringList { Phone };
        send.text = u"hi"_s;
        send.smppReceipt = 1;
        if (validitySeconds > 0)
            send.validitySeconds = validitySeconds;
        const auto sent = ApplicationApi(*gateway).send(Account, send);
        QVERIFY(!sent.failed() && sent->refused == ApplicationApi::Sent::Refused::None);
        const qint64 id = sent->messages.constFirst().id;
        QCOMPARE(events(), QStringList { u"message.state|%1|delivered|pending"_s.arg(id) });
        m_now += laterHours * 3'600'000;
        Outbox outbox(*gateway, u"here"_s);
        QVERIFY(!outbox.claimSmpp({}, 0, Lease, 86'400'000, true).failed());
        QCOMPARE(events(),
                 QStringList { u"message.state|%1|delivered|%2"_s.arg(id).arg(delivery) });
    }

    // A receipt's done date is the time its message reached the state it reports, on the
    // gateway's clock; none when the message has moved on since (the event's own time
    // stands in then).
    void smppReceiptDoneAt_data()
    {
        QTest::addColumn<bool>("movedOn");
        QTest::addColumn<qint64>("doneAt"); // -1: none
        QTest::newRow("delivered at once: then") << false << qint64(1'700'000'000'000);
        QTest::newRow("moved on since: none") << true << qint64(-1);
    }
    void smppReceiptDoneAt()
    {
        QFETCH(bool, movedOn);
        QFETCH(qint64, doneAt);
        m_now = 1'700'000'000'000;
        auto gateway = account(false);
        QVERIFY(gateway);
        ApplicationApi::Send send;
        send.to = QStringList { Phone };
        send.text = u"hi"_s;
        send.smppReceipt = 1;
        QVERIFY(!ApplicationApi(*gateway).send(Account, send).failed());
        if (movedOn)
            QVERIFY(StoreProbe(m_store->url()).exec(u"UPDATE outbox SET state = 'unknown'"_s));
        m_now += 60'000;
        const auto claimed = Outbox(*gateway, u"here"_s).claimSmpp({ 1 }, 10, Lease, Lease, false);
        QVERIFY(!claimed.failed());
        QCOMPARE(claimed->size(), 1);
        QCOMPARE(claimed->at(0).doneAt.value_or(-1), doneAt);
    }
};

QTEST_GUILESS_MAIN(TestOutbox)
#include "tst_outbox.moc"
