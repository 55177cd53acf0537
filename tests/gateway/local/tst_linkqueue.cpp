// The store as the links' queue: one process's claim at a time until its lease runs
// out, answers written only by the claim's holder, receipts moving parts and messages
// on (whenever they come), and a rejection refunded once. What comes from the network:
// a resend known from a phone's second message, the parts of messages that never
// complete, ids the SMSC gives twice or not at all, a turn's deliveries written
// together yet failing one by one.

#include "gateway/local/applicationapi.h"
#include "gateway/local/linkqueue.h"
#include "gateway/local/localoperator.h"
#include "gateway/local/postgresqlschema.h"
#include "gateway/local/sqliteengine.h"
#include "tests/gateway/local/storeprobe.h"
#include "tests/gateway/local/teststore.h"

#include <QHash>
#include <QScopeGuard>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString Account = u"ABC-DEF-GHI-00001"_s;
const QString ServiceNumber = u"106900000001"_s;
constexpr qint64 Lease = 60'000;
constexpr qint64 Day = 24 * 3'600'000LL;
using Answer = LinkQueue::Answer;
using ReceiptState = LinkQueue::ReceiptState;

// A receipt's state as the rows below write it.
ReceiptState stateNamed(const QString &word)
{
    static const QHash<QString, ReceiptState> states {
        { u"delivered"_s, ReceiptState::Delivered },
        { u"undeliverable"_s, ReceiptState::Undeliverable },
        { u"expired"_s, ReceiptState::Expired },
        { u"rejected"_s, ReceiptState::Rejected },
    };
    return states.value(word, ReceiptState::OnItsWay);
}

// One delivery at a time, as a turn of the link with only it would write it.
Status deliverOne(LinkQueue &queue, const LinkQueue::Receipt &receipt)
{
    LinkQueue::Delivery delivery;
    delivery.receipt = receipt;
    return queue.deliver(u"main"_s, { delivery }, 3, {}).value(0).status;
}

Status deliverOne(LinkQueue &queue, const LinkQueue::Arrival &arrival)
{
    LinkQueue::Delivery delivery;
    delivery.arrival = arrival;
    return queue.deliver(u"main"_s, { delivery }, 3, {}).value(0).status;
}

// An arrival of `text` from a phone to the account; the digest stands for what the
// network sent.
LinkQueue::Arrival arrival(const QString &text, const QString &smscId = {})
{
    LinkQueue::Arrival a;
    a.source = u"13800138000"_s;
    a.destination = ServiceNumber;
    a.text = text;
    a.digest = text.toUtf8();
    a.smscId = smscId;
    return a;
}

} // namespace

class TestLinkQueue : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TestStore> m_store;
    qint64 m_now = 1'700'000'000'000;
    // Messages leave by the link `main`; without it they go to simulated handsets.
    bool m_linked = true;

    LocalGateway::Clock clock()
    {
        return [this] { return QDateTime::fromMSecsSinceEpoch(m_now, Qt::UTC); };
    }

    std::unique_ptr<LocalGateway> open()
    {
        LocalGateway::Options options;
        options.hashCost = PasswordHasher::fastest();
        options.clock = clock();
        options.route = [this](const QString &) { return m_linked ? u"main"_s : QString(); };
        std::unique_ptr<LocalGateway> gateway;
        if (LocalGateway::open(m_store->location(), gateway, options).failed())
            return {};
        return gateway;
    }

    // A funded account that has sent `text` to `phones` (none: nothing sent).
    std::unique_ptr<LocalGateway> sent(const QString &text,
                                       const QString &phones = u"13800138000"_s)
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
            || gateway->Recharge(Account, cards[0].number, cards[0].password, recharged).failed())
            return {};
        if (!phones.isEmpty()
            && (gateway->SendMessage(Account, phones, text, sent).failed() || sent != True16))
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
        LinkQueue first(*a, u"a"_s, clock());
        LinkQueue second(*b, u"b"_s, clock());
        QCOMPARE(first.claim(u"main"_s, 10, Lease, {})->size(), 1);
        QCOMPARE(second.claim(u"main"_s, 10, Lease, {})->size(), 0);
        QCOMPARE(first.claim(u"other"_s, 10, Lease, {})->size(), 0);
        m_now += Lease;
        const QList<LinkQueue::Outgoing> taken = *second.claim(u"main"_s, 10, Lease, {});
        QCOMPARE(taken.size(), 1);
        QCOMPARE(taken.at(0).source, u"106900000001"_s);
        Answer answer;
        answer.id = taken.at(0).id;
        answer.kind = Answer::Kind::Submitted;
        answer.smscIds = { u"late"_s };
        QVERIFY(first.record(u"main"_s, { answer }, {}).status().isOk());
        const StoreProbe probe(m_store->url());
        QCOMPARE(probe.rows(u"SELECT state FROM mt"_s), QStringList { u"queued"_s });
        answer.smscIds = { u"b1"_s };
        QVERIFY(second.record(u"main"_s, { answer }, {}).status().isOk());
        QCOMPARE(probe.rows(u"SELECT state || ' ' || coalesce(claimed_by, '-') FROM mt"_s),
                 QStringList { u"submitted -"_s });
        QCOMPARE(probe.rows(u"SELECT smsc_id FROM mt_parts"_s), QStringList { u"b1"_s });
        QCOMPARE(first.claim(u"main"_s, 10, Lease, {})->size(), 0);
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
        LinkQueue queue(*gateway, u"a"_s, clock());
        const QList<LinkQueue::Outgoing> taken = *queue.claim(u"main"_s, 10, Lease, {});
        QCOMPARE(taken.size(), 1);
        Answer answer;
        answer.id = taken.at(0).id;
        answer.kind = accepted ? Answer::Kind::Submitted : Answer::Kind::Rejected;
        answer.smscIds
            = text.size() > 160 ? QStringList { u"p1"_s, u"p2"_s } : QStringList { u"p1"_s };
        const auto receive = [&] {
            for (const QString &receipt : std::as_const(receipts))
                QVERIFY(deliverOne(queue,
                                   LinkQueue::Receipt { receipt.section(u':', 0, 0),
                                                        stateNamed(receipt.section(u':', 1)),
                                                        u"13800138000"_s,
                                                        u"106900000001"_s,
                                                        u"id:x"_s,
                                                        {} })
                            .isOk());
        };
        if (receiptsFirst)
            receive();
        QVERIFY(queue.record(u"main"_s, { answer }, {}).status().isOk());
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

    // What the SMSC gave each part as its id, and its receipts, in order: "1:x" records
    // message 1 submitted with the id x, "r:x:delivered" is a receipt. An id two
    // messages waiting for receipts share finds them in turn; no id finds nothing; both
    // stay in sight, and a taken message is never refunded.
    void idsTheSmscGives_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("states");
        QTest::addColumn<QStringList>("unmatched"); // kind|smsc_id|state
        QTest::newRow("an id given to two waiting messages: each finds its receipt")
            << QStringList { u"1:x"_s, u"2:x"_s, u"r:x:delivered"_s, u"r:x:expired"_s }
            << QStringList { u"delivered"_s, u"expired"_s }
            << QStringList { u"answer|x|part 1 taken with the message id of message 1"_s };
        QTest::newRow("an id given again after its message was delivered")
            << QStringList { u"1:x"_s, u"r:x:delivered"_s, u"2:x"_s, u"r:x:delivered"_s }
            << QStringList { u"delivered"_s, u"delivered"_s } << QStringList();
        QTest::newRow("no id: submitted, in sight, matched by nothing")
            << QStringList { u"1:"_s, u"2:y"_s, u"r::delivered"_s, u"r:y:delivered"_s }
            << QStringList { u"submitted"_s, u"delivered"_s }
            << QStringList { u"answer||part 1 taken without a message id"_s,
                             u"receipt||delivered"_s };
        // Answers joined by '+' are written together, as a turn of the link writes them.
        QTest::newRow("a turn's answers with one id twice: the later still finds the earlier")
            << QStringList { u"1:x+2:x"_s, u"r:x:delivered"_s, u"r:x:expired"_s }
            << QStringList { u"delivered"_s, u"expired"_s }
            << QStringList { u"answer|x|part 1 taken with the message id of message 1"_s };
        QTest::newRow("a turn's answers find the receipt that came before them")
            << QStringList { u"r:y:delivered"_s, u"1:x+2:y"_s }
            << QStringList { u"submitted"_s, u"delivered"_s } << QStringList();
        QTest::newRow("a turn's receipts together")
            << QStringList { u"1:x+2:y"_s, u"r:x:delivered+r:y:delivered"_s }
            << QStringList { u"delivered"_s, u"delivered"_s } << QStringList();
        QTest::newRow("a turn's receipts, one not delivered")
            << QStringList { u"1:x+2:y"_s, u"r:x:delivered+r:y:expired"_s }
            << QStringList { u"delivered"_s, u"expired"_s } << QStringList();
        QTest::newRow("a turn's receipts, one of another state before one of its part")
            << QStringList { u"1:x+2:y"_s, u"r:x:expired+r:x:delivered+r:y:delivered"_s }
            << QStringList { u"expired"_s, u"delivered"_s } << QStringList();
        QTest::newRow("a turn's receipts, one without an id: matched by nothing")
            << QStringList { u"1:+2:y"_s, u"r::delivered+r:y:delivered"_s }
            << QStringList { u"submitted"_s, u"delivered"_s }
            << QStringList { u"answer||part 1 taken without a message id"_s,
                             u"receipt||delivered"_s };
        QTest::newRow("a turn's receipts, one found by none")
            << QStringList { u"1:x+2:y"_s, u"r:x:delivered+r:z:delivered"_s }
            << QStringList { u"delivered"_s, u"submitted"_s }
            << QStringList { u"receipt|z|delivered"_s };
        QTest::newRow("a turn's receipts of one id given twice: the oldest waiting first")
            << QStringList { u"1:x"_s, u"2:x"_s, u"r:x:delivered+r:x:delivered"_s }
            << QStringList { u"delivered"_s, u"delivered"_s }
            << QStringList { u"answer|x|part 1 taken with the message id of message 1"_s };
        QTest::newRow("a turn that answers one message twice: the first answer stands")
            << QStringList { u"1:x+1:y"_s, u"r:x:delivered"_s }
            << QStringList { u"delivered"_s, u"queued"_s } << QStringList();
        QTest::newRow("a turn's answers, one without an id")
            << QStringList { u"1:+2:y"_s, u"r:y:delivered"_s }
            << QStringList { u"submitted"_s, u"delivered"_s }
            << QStringList { u"answer||part 1 taken without a message id"_s };
    }
    void idsTheSmscGives()
    {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, states);
        QFETCH(QStringList, unmatched);
        const auto gateway = sent(u"hi"_s, u"13800138000,13900139000"_s);
        QVERIFY(gateway);
        LinkQueue queue(*gateway, u"a"_s, clock());
        const QList<LinkQueue::Outgoing> taken = *queue.claim(u"main"_s, 10, Lease, {});
        QCOMPARE(taken.size(), 2);
        for (const QString &step : std::as_const(steps)) {
            if (step.startsWith(u"r:"_s)) {
                QList<LinkQueue::Delivery> turn;
                for (const QString &each : step.split(u'+')) {
                    turn.append(LinkQueue::Delivery {});
                    turn.last().receipt = LinkQueue::Receipt { each.section(u':', 1, 1),
                                                               stateNamed(each.section(u':', 2)),
                                                               u"13800138000"_s,
                                                               ServiceNumber,
                                                               u"-"_s,
                                                               {} };
                }
                for (const LinkQueue::Stored &stored : queue.deliver(u"main"_s, turn, 3, {}))
                    QVERIFY(stored.status.isOk());
                continue;
            }
            QList<Answer> turn;
            for (const QString &each : step.split(u'+')) {
                Answer answer;
                answer.id = taken.at(each.section(u':', 0, 0).toInt() - 1).id;
                answer.kind = Answer::Kind::Submitted;
                answer.smscIds = { each.section(u':', 1) };
                turn.append(answer);
            }
            QVERIFY(queue.record(u"main"_s, turn, {}).status().isOk());
        }
        const StoreProbe probe(m_store->url());
        QCOMPARE(probe.rows(u"SELECT state FROM mt ORDER BY id"_s), states);
        QCOMPARE(probe.rows(u"SELECT kind || '|' || smsc_id || '|' || state FROM link_unmatched "
                            u"ORDER BY id"_s),
                 unmatched);
        QCOMPARE(probe.count(u"SELECT count(*) FROM ledger WHERE reason = 'refund'"_s), 0);
    }

    // Two messages of one text from one phone are two arrivals; what the SMSC sends again
    // is one: the same id of its own with the same content within five minutes, or, when
    // it gives none, the content of an arrival whose answer a dropped session left in
    // doubt, once, for a minute. Steps: "a:TEXT" arrives (without an id), "7:TEXT" with
    // the SMSC's id 7, "doubt:TEXT", "+MS" moves the clock.
    void repeats_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("arrived");
        QTest::newRow("one text twice without an id: two messages")
            << QStringList { u"a:yes"_s, u"a:yes"_s } << QStringList { u"yes"_s, u"yes"_s };
        QTest::newRow("an id and its content twice: once")
            << QStringList { u"7:yes"_s, u"7:yes"_s } << QStringList { u"yes"_s };
        QTest::newRow("two ids, one text: twice")
            << QStringList { u"7:yes"_s, u"8:yes"_s } << QStringList { u"yes"_s, u"yes"_s };
        QTest::newRow("an id again after five minutes: twice")
            << QStringList { u"7:yes"_s, u"+300001"_s, u"7:yes"_s }
            << QStringList { u"yes"_s, u"yes"_s };
        QTest::newRow("in doubt and sent again: once")
            << QStringList { u"a:yes"_s, u"doubt:yes"_s, u"a:yes"_s } << QStringList { u"yes"_s };
        QTest::newRow("in doubt, sent again, then the phone's second: twice")
            << QStringList { u"a:yes"_s, u"doubt:yes"_s, u"a:yes"_s, u"a:yes"_s }
            << QStringList { u"yes"_s, u"yes"_s };
        QTest::newRow("a doubt lasts its minute only")
            << QStringList { u"a:yes"_s, u"doubt:yes"_s, u"+60001"_s, u"a:yes"_s }
            << QStringList { u"yes"_s, u"yes"_s };
        QTest::newRow("a doubt of another text")
            << QStringList { u"a:yes"_s, u"doubt:no"_s, u"a:yes"_s }
            << QStringList { u"yes"_s, u"yes"_s };
    }
    void repeats()
    {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, arrived);
        const auto gateway = sent({}, {});
        QVERIFY(gateway);
        LinkQueue queue(*gateway, u"a"_s, clock());
        for (const QString &step : std::as_const(steps)) {
            const QString word = step.section(u':', 0, 0);
            const QString text = step.section(u':', 1);
            if (step.startsWith(u'+'))
                m_now += step.mid(1).toLongLong();
            else if (word == u"doubt"_s)
                QVERIFY(queue.doubt(u"main"_s, { text.toUtf8() }, 60'000).isOk());
            else
                QVERIFY(deliverOne(queue, arrival(text, word == u"a"_s ? QString() : word)).isOk());
        }
        const StoreProbe probe(m_store->url());
        QCOMPARE(probe.rows(u"SELECT text FROM mo ORDER BY id"_s), arrived);
    }

    // The parts of a message wait for the rest a day at most, and at most three from one
    // sender (as the tests' deliverOne() says); then they go to the operator's unmatched
    // entries with their texts, which
    // are kept 30 days. Steps: "REF/TOTAL/PART:TEXT" a part from the phone, "*..." the
    // same from another phone, "x:TEXT" an arrival for no account, "+MS", "tidy".
    void partsAndRetention_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("waiting");
        QTest::addColumn<QStringList>("unmatched"); // kind|state|text
        QTest::addColumn<QStringList>("arrived");
        const QString never = u"part|part %1/%2 of reference %3, never completed|%4"_s;
        QTest::newRow("both parts: one message")
            << QStringList { u"1/2/2:cd"_s, u"1/2/1:ab"_s } << QStringList() << QStringList()
            << QStringList { u"abcd"_s };
        QTest::newRow("the same part twice: joined once")
            << QStringList { u"1/2/1:ab"_s, u"1/2/1:ab"_s, u"1/2/2:cd"_s } << QStringList()
            << QStringList() << QStringList { u"abcd"_s };
        QTest::newRow("a day's wait and a little less")
            << QStringList { u"1/2/1:ab"_s, u"+86399999"_s, u"tidy"_s } << QStringList { u"ab"_s }
            << QStringList() << QStringList();
        QTest::newRow("a day's wait, then to the operator")
            << QStringList { u"1/2/1:ab"_s, u"+86400001"_s, u"tidy"_s, u"1/2/2:cd"_s }
            << QStringList { u"cd"_s } << QStringList { never.arg(1).arg(2).arg(1).arg(u"ab"_s) }
            << QStringList();
        QTest::newRow("a fourth part from one sender: the oldest message goes")
            << QStringList { u"1/3/1:a"_s, u"+1"_s,       u"2/3/1:b"_s, u"+1"_s,     u"2/3/2:c"_s,
                             u"+1"_s,      u"*3/3/1:e"_s, u"+1"_s,      u"4/3/1:d"_s }
            << QStringList { u"b"_s, u"c"_s, u"d"_s, u"e"_s }
            << QStringList { never.arg(1).arg(3).arg(1).arg(u"a"_s) } << QStringList();
        QTest::newRow("a part number again once its message arrived: a new message")
            << QStringList { u"1/2/1:old"_s, u"1/2/2:er"_s, u"1/2/1:new"_s }
            << QStringList { u"new"_s } << QStringList() << QStringList { u"older"_s };
        QTest::newRow("a part number again, the earlier message incomplete")
            << QStringList { u"1/3/1:old"_s, u"1/3/1:new"_s, u"1/3/2:-"_s, u"1/3/3:!"_s }
            << QStringList() << QStringList { never.arg(1).arg(3).arg(1).arg(u"old"_s) }
            << QStringList { u"new-!"_s };
        QTest::newRow("an unmatched entry kept 30 days")
            << QStringList { u"x:hello"_s, u"+2591999999"_s, u"tidy"_s } << QStringList()
            << QStringList { u"arrival||hello"_s } << QStringList();
        QTest::newRow("an unmatched entry gone after 30 days")
            << QStringList { u"x:hello"_s, u"+2592000001"_s, u"tidy"_s } << QStringList()
            << QStringList() << QStringList();
    }
    void partsAndRetention()
    {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, waiting);
        QFETCH(QStringList, unmatched);
        QFETCH(QStringList, arrived);
        const auto gateway = sent({}, {});
        QVERIFY(gateway);
        LinkQueue queue(*gateway, u"a"_s, clock());
        for (const QString &step : std::as_const(steps)) {
            if (step.startsWith(u'+')) {
                m_now += step.mid(1).toLongLong();
                continue;
            }
            if (step == u"tidy"_s) {
                QVERIFY(
                    !queue.tidy(u"main"_s, { m_now - Day, m_now - 30 * Day, m_now - 2 * Day, 1000 })
                         .failed());
                continue;
            }
            LinkQueue::Arrival part = arrival(step.section(u':', 1));
            const QString word = step.section(u':', 0, 0);
            if (word == u"x"_s) {
                part.destination = u"42"_s;
            } else {
                if (step.startsWith(u'*'))
                    part.source = u"13900139000"_s;
                const QStringList numbers = word.mid(step.startsWith(u'*') ? 1 : 0).split(u'/');
                part.reference = quint16(numbers.at(0).toUInt());
                part.total = numbers.at(1).toInt();
                part.part = numbers.at(2).toInt();
            }
            QVERIFY(deliverOne(queue, part).isOk());
        }
        const StoreProbe probe(m_store->url());
        QCOMPARE(probe.rows(u"SELECT text FROM arrival_parts ORDER BY text"_s), waiting);
        QCOMPARE(probe.rows(u"SELECT kind || '|' || state || '|' || text FROM link_unmatched "
                            u"ORDER BY id"_s),
                 unmatched);
        QCOMPARE(probe.rows(u"SELECT text FROM mo ORDER BY id"_s), arrived);
    }

    // A store of version 3 keeps what its links kept (the unmatched entries with their
    // ids, the waiting parts, a message's parts with their SMSC ids, still bound to their
    // message) and takes the entries of the new kinds and the messages' new states.
    void migratesFromVersion3()
    {
        m_store = std::make_unique<TestStore>();
        QStringList schema;
        if (TestStore::onPostgresql()) {
            schema = QStringList { u"DROP SCHEMA IF EXISTS quillet CASCADE"_s,
                                   u"CREATE SCHEMA quillet"_s }
                + PostgresqlSchema::version1() + PostgresqlSchema::migration(1)
                + PostgresqlSchema::migration(2);
        } else {
            schema = SqliteEngine::schemaOfVersion(3);
        }
        {
            const StoreProbe probe(m_store->url());
            for (const QString &statement : std::as_const(schema))
                QVERIFY2(probe.exec(statement), qPrintable(statement));
            const QString at = probe.timeFromMs(u"5"_s);
            QVERIFY(probe.exec(u"INSERT INTO meta VALUES ('schema_version', '3')"_s));
            QVERIFY(probe.exec(u"INSERT INTO link_unmatched (link, kind, source, destination, "
                               u"smsc_id, state, text, at) VALUES ('main', 'receipt', '138', "
                               u"'1069', 'x', 'delivered', 'id:x', %1)"_s.arg(at)));
            QVERIFY(probe.exec(u"INSERT INTO arrival_parts VALUES ('main', '138', '1069', 7, 2, "
                               u"1, 'half', %1)"_s.arg(at)));
            QVERIFY(probe.exec(u"INSERT INTO arrivals_seen VALUES ('main', 'abc', %1)"_s.arg(at)));
            QVERIFY(probe.exec(u"INSERT INTO accounts (id, number, password_hash, province, city, "
                               u"trade, company, contact_name, telephone, mobile, email, fax, "
                               u"address, postcode, service_number, signed_on, created_at) "
                               u"VALUES (1, 'A', 'x', '', '', '', '', '', '', '', '', '', '', '', "
                               u"'1069', 1, %1)"_s.arg(at)));
            QVERIFY(probe.exec(
                u"INSERT INTO mt (account_id, phone, text, segments, cost, "
                u"origin, submitted_at, due_at, state, link) SELECT id, '138', "
                u"'hi', 1, 10, 'send', %1, %1, 'submitted', 'main' FROM accounts"_s.arg(at)));
            QVERIFY(
                probe.exec(u"INSERT INTO mt_parts SELECT id, 1, 'ff01', 'submitted' FROM mt"_s));
        }
        QVERIFY(open());
        const StoreProbe probe(m_store->url());
        QCOMPARE(probe.rows(u"SELECT value FROM meta WHERE key = 'schema_version'"_s),
                 QStringList { u"8"_s });
        QCOMPARE(probe.rows(u"SELECT m.text || '|' || p.smsc_id FROM mt m JOIN mt_parts p "
                            u"ON p.mt_id = m.id"_s),
                 QStringList { u"hi|ff01"_s });
        if (!TestStore::onPostgresql())
            QVERIFY(probe.exec(u"PRAGMA foreign_keys = ON"_s));
        QVERIFY(!probe.exec(u"INSERT INTO mt_parts VALUES (99, 1, 'x', 'submitted')"_s));
        QVERIFY(probe.exec(u"UPDATE mt SET state = 'unknown'"_s));
        QVERIFY(!probe.exec(u"UPDATE mt SET state = 'submitted'"_s));
        QCOMPARE(probe.rows(u"SELECT kind || '|' || smsc_id || '|' || text FROM link_unmatched"_s),
                 QStringList { u"receipt|x|id:x"_s });
        QCOMPARE(probe.rows(u"SELECT text FROM arrival_parts"_s), QStringList { u"half"_s });
        const QString entry = u"INSERT INTO link_unmatched (link, kind, source, destination, "
                              u"smsc_id, state, text, at) VALUES ('main', '%1', '', '', '', '', "
                              u"'', %2)"_s;
        QVERIFY(probe.exec(entry.arg(u"part"_s, probe.timeFromMs(u"6"_s))));
        QVERIFY(probe.exec(entry.arg(u"answer"_s, probe.timeFromMs(u"6"_s))));
        QVERIFY(!probe.exec(entry.arg(u"other"_s, probe.timeFromMs(u"6"_s))));
    }

    // Every way a message ends, and the time its view gives for it (doneAt): the time of
    // the statement that moved it there, on the gateway's clock (which stands still here
    // at each step). A simulated handset has a message at its due time.
    void doneAtOfEachEnd_data()
    {
        QTest::addColumn<QString>("end");
        QTest::addColumn<QString>("state");
        QTest::addColumn<qint64>("doneAtMs");
        QTest::newRow("delivered by receipt")
            << u"receipt:delivered"_s << u"delivered"_s << qint64(1'700'000'005'000);
        QTest::newRow("undeliverable by receipt")
            << u"receipt:undeliverable"_s << u"undeliverable"_s << qint64(1'700'000'005'000);
        QTest::newRow("rejected by the SMSC's answer")
            << u"rejected"_s << u"rejected"_s << qint64(1'700'000'005'000);
        QTest::newRow("expired while queued")
            << u"expired"_s << u"expired"_s << qint64(1'700'000'005'000);
        QTest::newRow("cancelled") << u"cancelled"_s << u"cancelled"_s << qint64(1'700'000'005'000);
        QTest::newRow("unknown: no final receipt")
            << u"unknown"_s << u"unknown"_s << qint64(1'700'000'005'000);
        QTest::newRow("delivered to a simulated handset when due")
            << u"handset"_s << u"delivered"_s << qint64(1'700'000'120'000);
    }
    void doneAtOfEachEnd()
    {
        QFETCH(QString, end);
        QFETCH(QString, state);
        QFETCH(qint64, doneAtMs);
        m_now = 1'700'000'000'000;
        m_linked = end != u"handset"_s;
        const auto linkedAgain = qScopeGuard([this] { m_linked = true; });
        const auto gateway = sent(u"hi"_s, end == u"handset"_s ? QString() : u"13800138000"_s);
        QVERIFY(gateway);
        ApplicationApi api(*gateway);
        qint64 id = 1;
        if (end == u"handset"_s) {
            ApplicationApi::Send send;
            send.to = QStringList { u"13800138000"_s };
            send.text = u"hi"_s;
            send.sendAtMs = 1'700'000'120'000;
            const Result<ApplicationApi::Sent> made = api.send(Account, send);
            QVERIFY(!made.failed() && made->messages.size() == 1);
            id = made->messages.at(0).id;
            QVERIFY(!made->messages.at(0).doneAtMs);
        }
        LinkQueue queue(*gateway, u"a"_s, clock());
        const bool claimed
            = end.startsWith(u"receipt"_s) || end == u"rejected"_s || end == u"unknown"_s;
        if (claimed) {
            m_now += 1'000;
            const QList<LinkQueue::Outgoing> taken = *queue.claim(u"main"_s, 10, Lease, {});
            QCOMPARE(taken.size(), 1);
            id = taken.at(0).id;
        }
        if (end.startsWith(u"receipt"_s) || end == u"unknown"_s) {
            m_now += 1'000;
            Answer submitted;
            submitted.id = id;
            submitted.kind = Answer::Kind::Submitted;
            submitted.smscIds = { u"p1"_s };
            QVERIFY(queue.record(u"main"_s, { submitted }, {}).status().isOk());
        }
        m_now = 1'700'000'005'000;
        if (end.startsWith(u"receipt"_s)) {
            QVERIFY(deliverOne(queue,
                               LinkQueue::Receipt { u"p1"_s,
                                                    stateNamed(end.section(u':', 1)),
                                                    u"13800138000"_s,
                                                    ServiceNumber,
                                                    u"id:p1"_s,
                                                    {} })
                        .isOk());
        } else if (end == u"rejected"_s) {
            Answer rejected;
            rejected.id = id;
            rejected.kind = Answer::Kind::Rejected;
            rejected.reason = u"no"_s;
            QVERIFY(queue.record(u"main"_s, { rejected }, {}).status().isOk());
        } else if (end == u"expired"_s) {
            QVERIFY(!queue.tidy(u"main"_s, { 0, 0, 0, 10, 4'000 }).failed());
        } else if (end == u"cancelled"_s) {
            QVERIFY(!api.cancel(Account, id).failed());
        } else if (end == u"unknown"_s) {
            QVERIFY(!queue.tidy(u"main"_s, { 0, 0, m_now, 10 }).failed());
        }
        m_now += 200'000;
        const Result<std::optional<MessageView>> view = api.message(Account, id);
        QVERIFY(!view.failed() && *view);
        QCOMPARE((*view)->state, state);
        QCOMPARE((*view)->doneAtMs.value_or(-1), doneAtMs);
    }

    // A store of version 7: delivered messages take their delivered_at as the time they
    // were done, other final ones none, and messages not final none; the new fields keep
    // to their rules (a done time only when final; a part's place whole, within its
    // count, and one segment).
    void migratesFromVersion7()
    {
        m_store = std::make_unique<TestStore>();
        QStringList schema;
        if (TestStore::onPostgresql()) {
            schema = QStringList { u"DROP SCHEMA IF EXISTS quillet CASCADE"_s,
                                   u"CREATE SCHEMA quillet"_s }
                + PostgresqlSchema::version1();
            for (int from = 1; from < 7; ++from)
                schema += PostgresqlSchema::migration(from);
        } else {
            schema = SqliteEngine::schemaOfVersion(7);
        }
        {
            const StoreProbe probe(m_store->url());
            for (const QString &statement : std::as_const(schema))
                QVERIFY2(probe.exec(statement), qPrintable(statement));
            const QString at = probe.timeFromMs(u"5000"_s);
            QVERIFY(probe.exec(u"INSERT INTO meta VALUES ('schema_version', '7')"_s));
            QVERIFY(probe.exec(u"INSERT INTO accounts (id, number, password_hash, province, city, "
                               u"trade, company, contact_name, telephone, mobile, email, fax, "
                               u"address, postcode, service_number, signed_on, created_at) "
                               u"VALUES (1, '"_s
                               + Account
                               + u"', 'x', '', '', '', '', '', '', '', '', '', '', '', '"_s
                               + ServiceNumber + u"', 1, %1)"_s.arg(at)));
            // Ids 1, 2, 3 in this order.
            const QString message = u"INSERT INTO mt (account_id, phone, text, segments, cost, "
                                    u"origin, submitted_at, due_at, state, delivered_at) VALUES "
                                    u"(1, '138', 'hi%1', 1, 0, 'api', %2, %2, '%3', %4)"_s;
            QVERIFY(
                probe.exec(message.arg(u"1"_s, at, u"delivered"_s, probe.timeFromMs(u"7000"_s))));
            QVERIFY(probe.exec(message.arg(u"2"_s, at, u"expired"_s, u"NULL"_s)));
            QVERIFY(probe.exec(message.arg(u"3"_s, at, u"queued"_s, u"NULL"_s)));
        }
        const auto gateway = open();
        QVERIFY(gateway);
        const StoreProbe probe(m_store->url());
        QCOMPARE(probe.rows(u"SELECT value FROM meta WHERE key = 'schema_version'"_s),
                 QStringList { u"8"_s });
        ApplicationApi api(*gateway);
        QStringList done;
        for (qint64 id = 1; id <= 3; ++id) {
            const std::optional<MessageView> view = *api.message(Account, id);
            QVERIFY(view);
            done.append(view->doneAtMs ? QString::number(*view->doneAtMs) : u"none"_s);
        }
        QCOMPARE(done, (QStringList { u"7000"_s, u"none"_s, u"none"_s }));
        QVERIFY(!probe.exec(u"UPDATE mt SET done_at = due_at WHERE id = 3"_s));
        const QString part = u"UPDATE mt SET concat_ref = %1, concat_ref_bits = %2, "
                             u"concat_total = %3, concat_seq = %4, segments = %5 WHERE id = 3"_s;
        QVERIFY(!probe.exec(part.arg(u"7"_s, u"8"_s, u"3"_s, u"4"_s, u"1"_s)));
        QVERIFY(!probe.exec(part.arg(u"7"_s, u"8"_s, u"3"_s, u"0"_s, u"1"_s)));
        QVERIFY(!probe.exec(part.arg(u"300"_s, u"8"_s, u"3"_s, u"1"_s, u"1"_s)));
        QVERIFY(!probe.exec(part.arg(u"7"_s, u"8"_s, u"3"_s, u"1"_s, u"2"_s)));
        QVERIFY(!probe.exec(part.arg(u"7"_s, u"NULL"_s, u"3"_s, u"1"_s, u"1"_s)));
        QVERIFY(probe.exec(part.arg(u"300"_s, u"16"_s, u"3"_s, u"3"_s, u"1"_s)));
    }

    // Each process keeps one row per link for the operator's `links`, written over as the
    // link goes, and takes its rows away as it ends.
    void linkStates()
    {
        const auto gateway = sent({}, {});
        QVERIFY(gateway);
        LinkQueue a(*gateway, u"a"_s, clock());
        LinkQueue b(*gateway, u"b"_s, clock());
        QVERIFY(a.writeState({ u"main"_s, u"connecting"_s, {}, 0, 0, 0, u"refused"_s, {} }).isOk());
        QVERIFY(
            a.writeState({ u"main"_s, u"bound"_s, m_now, 3, 7, 2, {}, { u"x"_s, u"y"_s } }).isOk());
        QVERIFY(a.writeState({ u"other"_s, u"waiting"_s, {}, 0, 0, 0, u"gone"_s, {} }).isOk());
        QVERIFY(b.writeState({ u"main"_s, u"bound"_s, m_now, 0, 1, 0, {}, {} }).isOk());
        const StoreProbe probe(m_store->url());
        const QString rows = u"SELECT link || ' ' || process || ' ' || state || ' ' || "
                             u"outstanding || ' ' || sent || ' ' || received || ' ' || "
                             u"last_error || ' ' || (since IS NOT NULL) || ' ' || standing_in "
                             u"FROM link_status "
                             u"ORDER BY link, process"_s;
        const QString yes = TestStore::onPostgresql() ? u"true"_s : u"1"_s;
        const QString no = TestStore::onPostgresql() ? u"false"_s : u"0"_s;
        QCOMPARE(probe.rows(rows),
                 (QStringList { u"main a bound 3 7 2  "_s + yes + u" x,y"_s,
                                u"main b bound 0 1 0  "_s + yes + u' ',
                                u"other a waiting 0 0 0 gone "_s + no + u' ' }));
        QVERIFY(a.forgetStates().isOk());
        QCOMPARE(probe.rows(rows), QStringList { u"main b bound 0 1 0  "_s + yes + u' ' });
    }

    // Receipts that say delivered go together beside arrivals, which go one by one; each
    // outcome in its place.
    void receiptsBesideArrivals()
    {
        const auto gateway = sent(u"hi"_s, u"13800138000,13900139000"_s);
        QVERIFY(gateway);
        LinkQueue queue(*gateway, u"a"_s, clock());
        const QList<LinkQueue::Outgoing> taken = *queue.claim(u"main"_s, 10, Lease, {});
        QCOMPARE(taken.size(), 2);
        QList<Answer> answers;
        QList<LinkQueue::Delivery> turn;
        for (const LinkQueue::Outgoing &message : taken) {
            answers.append(Answer {
                message.id, Answer::Kind::Submitted, { u"id-%1"_s.arg(message.id) }, 0, {} });
            turn.append(LinkQueue::Delivery {});
            turn.last().receipt = LinkQueue::Receipt { answers.last().smscIds.first(),
                                                       ReceiptState::Delivered,
                                                       u"13800138000"_s,
                                                       ServiceNumber,
                                                       u"-"_s,
                                                       {} };
        }
        QVERIFY(queue.record(u"main"_s, answers, {}).status().isOk());
        turn.insert(1, LinkQueue::Delivery {});
        turn[1].arrival = arrival(u"hello"_s);
        const QList<LinkQueue::Stored> stored = queue.deliver(u"main"_s, turn, 3, {});
        QCOMPARE(stored.size(), 3);
        QCOMPARE(QList<bool>({ stored[0].status.isOk() && stored[0].matchedBy.has_value(),
                               stored[1].status.isOk() && !stored[1].matchedBy.has_value(),
                               stored[2].status.isOk() && stored[2].matchedBy.has_value() }),
                 QList<bool>({ true, true, true }));
        const StoreProbe probe(m_store->url());
        QCOMPARE(probe.rows(u"SELECT state FROM mt ORDER BY id"_s),
                 QStringList({ u"delivered"_s, u"delivered"_s }));
        QCOMPARE(probe.rows(u"SELECT text FROM mo"_s), QStringList({ u"hello"_s }));
    }

    // A turn's answers past what one statement takes (a window may be 1,000) are written
    // in groups, every one of them.
    void aLongTurnInGroups()
    {
        const auto gateway = sent({}, {});
        QVERIFY(gateway);
        QList<LocalGateway::IssuedCard> cards;
        Bool16 recharged = 0;
        QVERIFY(LocalOperator(*gateway).issueCards(LocalGateway::MaxCardValueFen, 1, cards).isOk());
        QVERIFY(gateway->Recharge(Account, cards[0].number, cards[0].password, recharged).isOk());
        constexpr int Messages = 1'100;
        for (int first = 0; first < Messages; first += 50) {
            QStringList phones;
            for (int i = first; i < first + 50; ++i)
                phones.append(u"1380%1"_s.arg(i, 7, 10, QChar(u'0')));
            Bool16 sent = 0;
            QVERIFY(gateway->SendMessage(Account, phones.join(u','), u"hi"_s, sent).isOk());
        }
        LinkQueue queue(*gateway, u"a"_s, clock());
        const QList<LinkQueue::Outgoing> taken = *queue.claim(u"main"_s, Messages, Lease, {});
        QCOMPARE(taken.size(), Messages);
        QList<Answer> turn;
        for (const LinkQueue::Outgoing &message : taken) {
            turn.append(Answer {});
            turn.last().id = message.id;
            turn.last().kind = Answer::Kind::Submitted;
            turn.last().smscIds = { u"id-%1"_s.arg(message.id) };
        }
        QVERIFY(queue.record(u"main"_s, turn, {}).status().isOk());
        const StoreProbe probe(m_store->url());
        QCOMPARE(probe.count(u"SELECT count(*) FROM mt WHERE state = 'submitted'"_s), Messages);
        QCOMPARE(probe.count(u"SELECT count(*) FROM mt_parts"_s), Messages);
    }

    // A turn's deliveries go in one transaction, yet one the store refuses fails alone:
    // the others are written, and it is written once the SMSC sends it again.
    void oneRefusedInATurn()
    {
        const auto gateway = sent({}, {});
        QVERIFY(gateway);
        LinkQueue queue(*gateway, u"a"_s, clock());
        const StoreProbe probe(m_store->url());
        const QString refuse = TestStore::onPostgresql()
            ? u"CREATE TRIGGER refuse_boom BEFORE INSERT ON mo FOR EACH ROW WHEN "
              u"(NEW.text = 'boom') EXECUTE FUNCTION refuse('the disk is full')"_s
            : u"CREATE TRIGGER refuse_boom BEFORE INSERT ON mo WHEN NEW.text = 'boom' "
              u"BEGIN SELECT RAISE(ABORT, 'the disk is full'); END"_s;
        QVERIFY(probe.exec(refuse));
        const auto delivery = [](const QString &text) {
            LinkQueue::Delivery d;
            d.arrival = arrival(text);
            return d;
        };
        LinkQueue::Delivery receipt;
        receipt.receipt = LinkQueue::Receipt { u"zz"_s,          ReceiptState::Delivered,
                                               u"13800138000"_s, ServiceNumber,
                                               u"-"_s,           {} };
        const QList<LinkQueue::Stored> first = queue.deliver(
            u"main"_s, { delivery(u"one"_s), delivery(u"boom"_s), receipt, delivery(u"two"_s) }, 3,
            {});
        QCOMPARE(first.size(), 4);
        QCOMPARE(QList<bool>({ first[0].status.isOk(), first[1].status.isOk(),
                               first[2].status.isOk(), first[3].status.isOk() }),
                 QList<bool>({ true, false, true, true }));
        QCOMPARE(probe.rows(u"SELECT text FROM mo ORDER BY id"_s),
                 QStringList({ u"one"_s, u"two"_s }));
        QVERIFY(probe.exec(TestStore::onPostgresql() ? u"DROP TRIGGER refuse_boom ON mo"_s
                                                     : u"DROP TRIGGER refuse_boom"_s));
        const QList<LinkQueue::Stored> again
            = queue.deliver(u"main"_s, { delivery(u"boom"_s) }, 3, {});
        QVERIFY(again.value(0).status.isOk());
        QCOMPARE(probe.rows(u"SELECT text FROM mo ORDER BY id"_s),
                 QStringList({ u"one"_s, u"two"_s, u"boom"_s }));
        QCOMPARE(probe.count(u"SELECT count(*) FROM link_unmatched"_s), 1);
    }

    // A receipt finds its message whatever form the SMSC wrote its id in, unless the
    // link pins one; the form that matched comes back. Ids: the answer's, then the
    // receipt's receipted_message_id and the id in its text ("-": none).
    void receiptIdForms_data()
    {
        QTest::addColumn<int>("rule"); // LinkStore::ReceiptIds
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("tlvId");
        QTest::addColumn<QString>("textId");
        QTest::addColumn<bool>("receiptFirst");
        QTest::addColumn<QString>("matched"); // the form, or the message's state when none
        const int automatic = int(LinkQueue::ReceiptIds::Auto);
        const int exact = int(LinkQueue::ReceiptIds::Exact);
        const int toHex = int(LinkQueue::ReceiptIds::DecimalToHex);
        QTest::newRow("as given") << automatic << u"4BDEA437"_s << u"4BDEA437"_s << u"-"_s << false
                                  << u"exact"_s;
        QTest::newRow("lower case")
            << automatic << u"4BDEA437"_s << u"4bdea437"_s << u"-"_s << false << u"case_or_zeros"_s;
        QTest::newRow("leading zeros dropped") << automatic << u"004BDEA437"_s << u"4bdea437"_s
                                               << u"-"_s << false << u"case_or_zeros"_s;
        QTest::newRow("a hex answer, a decimal receipt")
            << automatic << u"4BDEA437"_s << u"-"_s << u"1272882231"_s << false
            << u"decimal_to_hex"_s;
        QTest::newRow("a decimal answer, a hex receipt")
            << automatic << u"1272882231"_s << u"4bdea437"_s << u"-"_s << false
            << u"hex_to_decimal"_s;
        QTest::newRow("the text's id where the TLV's finds nothing")
            << automatic << u"4BDEA437"_s << u"ffff"_s << u"1272882231"_s << false
            << u"decimal_to_hex"_s;
        QTest::newRow("a decimal receipt before its hex answer")
            << automatic << u"4BDEA437"_s << u"1272882231"_s << u"-"_s << true << u"delivered"_s;
        QTest::newRow("an id of zeros, as given only")
            << automatic << u"000"_s << u"0"_s << u"-"_s << false << u"submitted"_s;
        QTest::newRow("exact: another case matches nothing")
            << exact << u"4BDEA437"_s << u"4bdea437"_s << u"-"_s << false << u"submitted"_s;
        QTest::newRow("exact, before its answer: another case matches nothing")
            << exact << u"4BDEA437"_s << u"4bdea437"_s << u"-"_s << true << u"submitted"_s;
        QTest::newRow("decimal-to-hex pinned")
            << toHex << u"4BDEA437"_s << u"1272882231"_s << u"-"_s << false << u"decimal_to_hex"_s;
        QTest::newRow("decimal-to-hex pinned: a hex receipt matches nothing")
            << toHex << u"1272882231"_s << u"4bdea437"_s << u"-"_s << false << u"submitted"_s;
    }
    void receiptIdForms()
    {
        QFETCH(int, rule);
        QFETCH(QString, answer);
        QFETCH(QString, tlvId);
        QFETCH(QString, textId);
        QFETCH(bool, receiptFirst);
        QFETCH(QString, matched);
        const auto gateway = sent(u"hi"_s);
        QVERIFY(gateway);
        LinkQueue queue(*gateway, u"a"_s, clock());
        const LinkQueue::ReceiptRules rules { LinkQueue::ReceiptIds(rule), false };
        const QList<LinkQueue::Outgoing> taken = *queue.claim(u"main"_s, 10, Lease, {});
        QCOMPARE(taken.size(), 1);
        Answer submitted;
        submitted.id = taken.at(0).id;
        submitted.kind = Answer::Kind::Submitted;
        submitted.smscIds = { answer };
        LinkQueue::Delivery delivery;
        delivery.receipt = LinkQueue::Receipt { tlvId == u"-"_s ? textId : tlvId,
                                                ReceiptState::Delivered,
                                                u"13800138000"_s,
                                                ServiceNumber,
                                                u"-"_s,
                                                tlvId == u"-"_s ? QString() : textId };
        if (delivery.receipt->textId == u"-"_s)
            delivery.receipt->textId.clear();
        QList<LinkQueue::Stored> stored;
        if (receiptFirst)
            stored = queue.deliver(u"main"_s, { delivery }, 3, rules);
        QVERIFY(queue.record(u"main"_s, { submitted }, rules).status().isOk());
        if (!receiptFirst)
            stored = queue.deliver(u"main"_s, { delivery }, 3, rules);
        QVERIFY(stored.value(0).status.isOk());
        const StoreProbe probe(m_store->url());
        const QString state = probe.rows(u"SELECT state FROM mt"_s).value(0);
        QCOMPARE(stored.value(0).matchedBy ? LinkQueue::nameOf(*stored.value(0).matchedBy) : state,
                 matched);
        QCOMPARE(state, matched == u"submitted"_s ? u"submitted"_s : u"delivered"_s);
    }

    // What a claim takes beside its own link's messages that are due: those of a link it
    // stands in for (which become its own), and nothing past its validity, which tidy()
    // expires and refunds. A validity of -1: none; `age` is how long ago it was due.
    void claimRules_data()
    {
        QTest::addColumn<QString>("claimant");
        QTest::addColumn<QStringList>("standingIn");
        QTest::addColumn<qint64>("validFor"); // from now, ms; -1: none
        QTest::addColumn<qint64>("linkValidity");
        QTest::addColumn<qint64>("age");
        QTest::addColumn<QString>("outcome"); // claimed | link | state | refunds | valid until
        const QStringList none;
        QTest::newRow("its own") << u"main"_s << none << qint64(-1) << qint64(0) << qint64(0)
                                 << u"1 main queued 0 0"_s;
        QTest::newRow("another link's: not")
            << u"spare"_s << none << qint64(-1) << qint64(0) << qint64(0) << u"0 main queued 0 -"_s;
        QTest::newRow("standing in: taken, and its link now")
            << u"spare"_s << QStringList { u"main"_s } << qint64(-1) << qint64(0) << qint64(0)
            << u"1 spare queued 0 0"_s;
        QTest::newRow("within its validity, sent with it")
            << u"main"_s << none << qint64(5'000) << qint64(0) << qint64(0)
            << u"1 main queued 0 5000"_s;
        QTest::newRow("past its validity: expired, refunded")
            << u"main"_s << none << qint64(0) << qint64(0) << qint64(0) << u"0 main expired 1 -"_s;
        QTest::newRow("the link's validity from its due time")
            << u"main"_s << none << qint64(-1) << qint64(60'000) << qint64(60'000)
            << u"0 main expired 1 -"_s;
        QTest::newRow("within the link's validity")
            << u"main"_s << none << qint64(-1) << qint64(60'000) << qint64(59'999)
            << u"1 main queued 0 1"_s;
        QTest::newRow("its own validity before the link's")
            << u"main"_s << none << qint64(5'000) << qint64(60'000) << qint64(60'000)
            << u"1 main queued 0 5000"_s;
    }
    void claimRules()
    {
        QFETCH(QString, claimant);
        QFETCH(QStringList, standingIn);
        QFETCH(qint64, validFor);
        QFETCH(qint64, linkValidity);
        QFETCH(qint64, age);
        QFETCH(QString, outcome);
        const auto gateway = sent(u"hi"_s);
        QVERIFY(gateway);
        const StoreProbe probe(m_store->url());
        m_now += age;
        if (validFor >= 0)
            QVERIFY(probe.exec(u"UPDATE mt SET valid_until = %1"_s.arg(
                probe.timeFromMs(QString::number(m_now + validFor)))));
        LinkQueue queue(*gateway, u"a"_s, clock());
        const QList<LinkQueue::Outgoing> taken
            = *queue.claim(claimant, 10, Lease, { linkValidity, standingIn });
        QVERIFY(!queue.tidy(u"main"_s, { 0, 0, 0, 10, linkValidity }).failed());
        const QString validUntil = taken.isEmpty()
            ? u"-"_s
            : QString::number(taken.at(0).validUntilMs ? taken.at(0).validUntilMs - m_now : 0);
        QCOMPARE(u"%1 %2 %3 "_s.arg(taken.size())
                         .arg(probe.rows(u"SELECT link || ' ' || state FROM mt"_s).value(0))
                         .arg(probe.count(u"SELECT count(*) FROM ledger WHERE reason = 'refund'"_s))
                     + validUntil,
                 outcome);
    }

    // A message of two parts with one receipt, for its second part: delivered when the
    // link takes any part's receipt for the message's, else still waiting; a message
    // whose final receipt never came ends unknown two days after the SMSC took it, and
    // a late receipt settles it still.
    void oneReceiptForParts_data()
    {
        QTest::addColumn<bool>("anyPart");
        QTest::addColumn<QStringList>("states"); // after the receipt, two days on, and late
        QTest::newRow("all parts")
            << false << QStringList { u"submitted"_s, u"unknown"_s, u"delivered"_s };
        QTest::newRow("any part") << true
                                  << QStringList { u"delivered"_s, u"delivered"_s, u"delivered"_s };
    }
    void oneReceiptForParts()
    {
        QFETCH(bool, anyPart);
        QFETCH(QStringList, states);
        const auto gateway = sent(QString(200, u'a'));
        QVERIFY(gateway);
        LinkQueue queue(*gateway, u"a"_s, clock());
        const LinkQueue::ReceiptRules rules { LinkQueue::ReceiptIds::Auto, anyPart };
        const QList<LinkQueue::Outgoing> taken = *queue.claim(u"main"_s, 10, Lease, {});
        QCOMPARE(taken.size(), 1);
        Answer submitted;
        submitted.id = taken.at(0).id;
        submitted.kind = Answer::Kind::Submitted;
        submitted.smscIds = { u"p1"_s, u"p2"_s };
        QVERIFY(queue.record(u"main"_s, { submitted }, rules).status().isOk());
        const StoreProbe probe(m_store->url());
        const auto receipt = [&](const QString &id) {
            LinkQueue::Delivery delivery;
            delivery.receipt = LinkQueue::Receipt {
                id, ReceiptState::Delivered, u"13800138000"_s, ServiceNumber, u"-"_s, {}
            };
            return queue.deliver(u"main"_s, { delivery }, 3, rules).value(0).status.isOk();
        };
        QStringList seen;
        QVERIFY(receipt(u"p2"_s));
        seen.append(probe.rows(u"SELECT state FROM mt"_s).value(0));
        m_now += 2 * Day - 1;
        QCOMPARE(*queue.tidy(u"main"_s, { 0, 0, m_now - 2 * Day, 10 }), 0);
        m_now += 2;
        QVERIFY(!queue.tidy(u"main"_s, { 0, 0, m_now - 2 * Day, 10 }).failed());
        seen.append(probe.rows(u"SELECT state FROM mt"_s).value(0));
        QVERIFY(receipt(u"p1"_s));
        seen.append(probe.rows(u"SELECT state FROM mt"_s).value(0));
        QCOMPARE(seen, states);
        QCOMPARE(probe.count(u"SELECT count(*) FROM ledger WHERE reason = 'refund'"_s), 0);
    }
};

QTEST_GUILESS_MAIN(TestLinkQueue)
#include "tst_linkqueue.moc"
