// The store as the links' queue: one process's claim at a time until its lease runs
// out, answers written only by the claim's holder, receipts moving parts and messages
// on (whenever they come), and a rejection refunded once. What comes from the network:
// a resend known from a phone's second message, the parts of messages that never
// complete, ids the SMSC gives twice or not at all, a turn's deliveries written
// together yet failing one by one.

#include "gateway/local/linkqueue.h"
#include "gateway/local/localoperator.h"
#include "gateway/local/postgresqlschema.h"
#include "gateway/local/sqliteengine.h"
#include "tests/gateway/local/storeprobe.h"
#include "tests/gateway/local/teststore.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString Account = u"ABC-DEF-GHI-00001"_s;
const QString ServiceNumber = u"106900000001"_s;
constexpr qint64 Lease = 60'000;
constexpr qint64 Day = 24 * 3'600'000LL;
using Answer = LinkQueue::Answer;

// One delivery at a time, as a turn of the link with only it would write it.
Status deliverOne(LinkQueue &queue, const LinkQueue::Receipt &receipt)
{
    LinkQueue::Delivery delivery;
    delivery.receipt = receipt;
    return queue.deliver(u"main"_s, { delivery }, 3).value(0);
}

Status deliverOne(LinkQueue &queue, const LinkQueue::Arrival &arrival)
{
    LinkQueue::Delivery delivery;
    delivery.arrival = arrival;
    return queue.deliver(u"main"_s, { delivery }, 3).value(0);
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
        QVERIFY(first.record(u"main"_s, { answer }).status().isOk());
        const StoreProbe probe(m_store->url());
        QCOMPARE(probe.rows(u"SELECT state FROM mt"_s), QStringList { u"queued"_s });
        answer.smscIds = { u"b1"_s };
        QVERIFY(second.record(u"main"_s, { answer }).status().isOk());
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
                QVERIFY(deliverOne(queue,
                                   LinkQueue::Receipt { receipt.section(u':', 0, 0),
                                                        receipt.section(u':', 1), u"13800138000"_s,
                                                        u"106900000001"_s, u"id:x"_s })
                            .isOk());
        };
        if (receiptsFirst)
            receive();
        QVERIFY(queue.record(u"main"_s, { answer }).status().isOk());
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
    }
    void idsTheSmscGives()
    {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, states);
        QFETCH(QStringList, unmatched);
        const auto gateway = sent(u"hi"_s, u"13800138000,13900139000"_s);
        QVERIFY(gateway);
        LinkQueue queue(*gateway, u"a"_s);
        const QList<LinkQueue::Outgoing> taken = *queue.claim(u"main"_s, 10, Lease);
        QCOMPARE(taken.size(), 2);
        for (const QString &step : std::as_const(steps)) {
            if (step.startsWith(u"r:"_s)) {
                QVERIFY(
                    deliverOne(queue,
                               LinkQueue::Receipt { step.section(u':', 1, 1), step.section(u':', 2),
                                                    u"13800138000"_s, ServiceNumber, u"-"_s })
                        .isOk());
                continue;
            }
            Answer answer;
            answer.id = taken.at(step.section(u':', 0, 0).toInt() - 1).id;
            answer.kind = Answer::Kind::Submitted;
            answer.smscIds = { step.section(u':', 1) };
            QVERIFY(queue.record(u"main"_s, { answer }).status().isOk());
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
        LinkQueue queue(*gateway, u"a"_s);
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
        LinkQueue queue(*gateway, u"a"_s);
        for (const QString &step : std::as_const(steps)) {
            if (step.startsWith(u'+')) {
                m_now += step.mid(1).toLongLong();
                continue;
            }
            if (step == u"tidy"_s) {
                QVERIFY(!queue.tidy(u"main"_s, m_now - Day, m_now - 30 * Day, 1000).failed());
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
                 QStringList { u"6"_s });
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

    // A turn's deliveries go in one transaction, yet one the store refuses fails alone:
    // the others are written, and it is written once the SMSC sends it again.
    void oneRefusedInATurn()
    {
        const auto gateway = sent({}, {});
        QVERIFY(gateway);
        LinkQueue queue(*gateway, u"a"_s);
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
        receipt.receipt = LinkQueue::Receipt { u"zz"_s, u"delivered"_s, u"13800138000"_s,
                                               ServiceNumber, u"-"_s };
        const QList<Status> first = queue.deliver(
            u"main"_s, { delivery(u"one"_s), delivery(u"boom"_s), receipt, delivery(u"two"_s) }, 3);
        QCOMPARE(first.size(), 4);
        QCOMPARE(
            QList<bool>({ first[0].isOk(), first[1].isOk(), first[2].isOk(), first[3].isOk() }),
            QList<bool>({ true, false, true, true }));
        QCOMPARE(probe.rows(u"SELECT text FROM mo ORDER BY id"_s),
                 QStringList({ u"one"_s, u"two"_s }));
        QVERIFY(probe.exec(TestStore::onPostgresql() ? u"DROP TRIGGER refuse_boom ON mo"_s
                                                     : u"DROP TRIGGER refuse_boom"_s));
        const QList<Status> again = queue.deliver(u"main"_s, { delivery(u"boom"_s) }, 3);
        QVERIFY(again.value(0).isOk());
        QCOMPARE(probe.rows(u"SELECT text FROM mo ORDER BY id"_s),
                 QStringList({ u"one"_s, u"two"_s, u"boom"_s }));
        QCOMPARE(probe.count(u"SELECT count(*) FROM link_unmatched"_s), 1);
    }
};

QTEST_GUILESS_MAIN(TestLinkQueue)
#include "tst_linkqueue.moc"
