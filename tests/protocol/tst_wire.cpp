// The wire's own reading of JSON texts, before QJsonDocument sees them: the keys of each
// object and the raw characters inside texts; what a listing's answer may hold; and each
// record as it travels and as it is read back.

#include "protocol/calls.h"
#include "protocol/wire.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <algorithm>
#include <climits>
#include <functional>

using namespace Qt::StringLiterals;
using Wire::JsonFault;

namespace {

// A record put into an answer: the answer's JSON, and whether reading it back gives the
// record again.
using RoundTrip = std::function<std::pair<QByteArray, bool>()>;

template<typename T, typename C = Wire::Codec<T>> RoundTrip roundTrip(const T &value)
{
    return [value] {
        QJsonObject answer;
        C::put(answer, "list"_L1, value);
        T back {};
        const bool read = C::take(answer, "list"_L1, back);
        return std::pair(QJsonDocument(answer).toJson(QJsonDocument::Compact),
                         read && back == value);
    };
}

template<typename T> Operator::Listing<T> listing(const T &entry)
{
    return { { entry }, u"c2"_s, 9 };
}

const qint64 At = 1716197400000; // 2024-05-20T09:30:00.000Z

// What an operation's prepare hook told it, one line per thing to hash.
class RecordingPreparer final : public Wire::Preparer {
public:
    QStringList told;
    void signOn(const QString &accountNo, const QString &password) override
    {
        told.append(u"signOn %1 %2"_s.arg(accountNo, password));
    }
    void newPassword(const QString &password) override
    {
        told.append(u"newPassword "_s + password);
    }
    void cardCheck(const QString &cardNo, const QString &cardPassword) override
    {
        told.append(u"cardCheck %1 %2"_s.arg(cardNo, cardPassword));
    }
    void cards(qint64 valueFen, int count) override
    {
        told.append(u"cards %1 %2"_s.arg(valueFen).arg(count));
    }
    void smppPassword() override { told.append(u"smppPassword"_s); }
};

bool namesAPassword(const QList<Wire::Field> &fields)
{
    return std::any_of(fields.cbegin(), fields.cend(), [](const Wire::Field &field) {
        return QString(field.name).contains(u"password"_s, Qt::CaseInsensitive)
            || (field.record && namesAPassword(*field.record));
    });
}

} // namespace

Q_DECLARE_METATYPE(RoundTrip)

class TestWire : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void scanJson_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<JsonFault>("fault");

        const auto row = [](const char *name, const QByteArray &text, JsonFault fault) {
            QTest::newRow(name) << text << fault;
        };
        row("an object", "{\"a\":1,\"b\":\"x\",\"c\":[true,null]}", JsonFault::None);
        row("one key in sibling objects", "{\"a\":{\"a\":1},\"b\":{\"a\":2}}", JsonFault::None);
        row("one key in objects of an array", "[{\"a\":1},{\"a\":2}]", JsonFault::None);
        row("a key of a closed object again outside it", "{\"a\":{\"b\":1},\"b\":2}",
            JsonFault::None);
        row("a value spelt like its key", "{\"a\":\"a\",\"b\":\"a\"}", JsonFault::None);
        row("escaped quotes inside a key", "{\"a\\\"\":1,\"a\":2}", JsonFault::None);
        row("escaped control characters", "{\"a\":\"\\n\\t\\u0001\\u001f\"}", JsonFault::None);
        row("DEL and UTF-8 raw in a text", "{\"a\":\"\x7f\xe4\xbd\xa0\"}", JsonFault::None);
        row("a key twice", "{\"a\":1,\"a\":2}", JsonFault::DuplicateKey);
        row("a key twice, once escaped", "{\"a\":1,\"\\u0061\":2}", JsonFault::DuplicateKey);
        row("a key twice, escaped two ways", "{\"\\/\":1,\"/\":2}", JsonFault::DuplicateKey);
        row("a key twice, ending in an escaped backslash", "{\"a\\\\\":1,\"a\\\\\":2}",
            JsonFault::DuplicateKey);
        row("a key twice after a value with an escaped quote", "{\"a\":\"\\\"\",\"a\":1}",
            JsonFault::DuplicateKey);
        row("a key twice around a nested object", "{\"x\":{\"a\":1,\"b\":{\"c\":1},\"a\":2}}",
            JsonFault::DuplicateKey);
        row("a key twice around an array", "{\"a\":[1,{\"a\":2}],\"a\":3}",
            JsonFault::DuplicateKey);
        row("a key twice beyond the BMP, once escaped",
            "{\"\xf0\x9f\x98\x80\":1,\"\\ud83d\\ude00\":2}", JsonFault::DuplicateKey);
        row("a raw line feed in a value", "{\"a\":\"x\ny\"}", JsonFault::RawControl);
        row("a raw NUL in a key", QByteArray("{\"a\0\":1}", 8), JsonFault::RawControl);
        row("a raw unit separator", "[\"\x1f\"]", JsonFault::RawControl);
    }
    void scanJson()
    {
        QFETCH(QByteArray, text);
        QFETCH(JsonFault, fault);
        QCOMPARE(Wire::scanJson(text), fault);
    }

    // An outcome is read only as a whole number a Bool16 holds.
    void outcomeIsABool16_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<bool>("read");
        QTest::newRow("true") << QJsonValue(-1) << true;
        QTest::newRow("lowest") << QJsonValue(-32768) << true;
        QTest::newRow("beyond the highest") << QJsonValue(32768) << false;
        QTest::newRow("a fraction") << QJsonValue(0.5) << false;
        QTest::newRow("a text") << QJsonValue(u"-1"_s) << false;
    }
    void outcomeIsABool16()
    {
        QFETCH(QJsonValue, value);
        QFETCH(bool, read);
        Bool16 outcome = 7;
        QCOMPARE(Wire::Codec<Bool16>::take(QJsonObject { { u"outcome"_s, value } },
                                           QLatin1StringView("outcome"), outcome),
                 read);
    }

    // An integer field takes any whole number, as the API document's int64 says: one past
    // the calls' range reads as its nearest end, which the call refuses or (a page's limit)
    // takes as the largest page.
    void integerFieldsTakeAnyWholeNumber_data()
    {
        QTest::addColumn<QJsonValue>("limit");
        QTest::addColumn<QString>("refusal");
        QTest::addColumn<int>("read");
        QTest::newRow("2^53") << QJsonValue(9007199254740992.0) << QString() << INT_MAX;
        QTest::newRow("2^63") << QJsonValue(9223372036854775808.0) << QString() << INT_MAX;
        QTest::newRow("1e300") << QJsonValue(1e300) << QString() << INT_MAX;
        QTest::newRow("-1e300") << QJsonValue(-1e300) << QString() << INT_MIN;
        QTest::newRow("a page") << QJsonValue(50) << QString() << 50;
        QTest::newRow("a fraction")
            << QJsonValue(0.5) << u"field \"limit\" must be an integer"_s << 0;
        QTest::newRow("a text") << QJsonValue(u"50"_s) << u"field \"limit\" must be an integer"_s
                                << 0;
    }
    void integerFieldsTakeAnyWholeNumber()
    {
        QFETCH(QJsonValue, limit);
        QFETCH(QString, refusal);
        QFETCH(int, read);
        const QJsonObject request { { u"phone"_s, u"13800138000"_s }, { u"limit"_s, limit } };
        QCOMPARE(Wire::validate(*Wire::find("handsetMessages"_L1), request), refusal);
        Operator::Page page;
        (void)Wire::Codec<Operator::Page>::take(request, "page"_L1, page);
        QCOMPARE(page.limit, read);
    }

    // Every record with a value in every field: the JSON it travels as, and read back whole.
    void recordsRoundTrip_data()
    {
        QTest::addColumn<RoundTrip>("trip");
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("registration's particulars")
            << roundTrip(RegisterParticulars { u"ABC-DEF-GHI-00001"_s, u"pw"_s, u"p"_s, u"c"_s,
                                               u"t"_s, u"co"_s, u"n"_s, u"tel"_s, u"m"_s, u"e"_s,
                                               u"f"_s, u"a"_s, u"pc"_s })
            << QByteArray("{\"accountNo\":\"ABC-DEF-GHI-00001\",\"address\":\"a\",\"city\":\"c\","
                          "\"company\":\"co\",\"contactName\":\"n\",\"email\":\"e\",\"fax\":\"f\","
                          "\"mobile\":\"m\",\"password\":\"pw\",\"postcode\":\"pc\","
                          "\"province\":\"p\",\"telephone\":\"tel\",\"trade\":\"t\"}");
        QTest::newRow("arrival's report")
            << roundTrip(Operator::MoReport { Operator::MoOutcome::Arrived, u"ABC-DEF-GHI-00001"_s,
                                              u"1069000101"_s, Operator::ReplyState::NotSentBalance,
                                              u"13800138000"_s, Operator::ReplyState::Delivered })
            << QByteArray("{\"accountNo\":\"ABC-DEF-GHI-00001\",\"autoReplied\":\"delivered\","
                          "\"forwarded\":\"notSentBalance\",\"forwardingPhone\":\"13800138000\","
                          "\"outcome\":\"arrived\",\"serviceNumber\":\"1069000101\"}");
        QTest::newRow("handset message")
            << roundTrip(listing(Operator::HandsetMessage {
                   u"10690001"_s, u"hi"_s, QDateTime::fromMSecsSinceEpoch(At, Qt::UTC) }))
            << QByteArray("{\"list\":[{\"deliveredAt\":\"2024-05-20T09:30:00.000Z\",\"from\":"
                          "\"10690001\",\"text\":\"hi\"}],\"next\":\"c2\",\"total\":9}");
        QTest::newRow("account")
            << roundTrip(listing(Operator::AccountSummary { u"ABC-DEF-GHI-00001"_s, u"10690001"_s,
                                                            u"13900139000"_s, 1230, true,
                                                            u"13800138000"_s, u"away"_s, 4 }))
            << QByteArray("{\"list\":[{\"autoReply\":\"away\",\"balanceFen\":1230,"
                          "\"forwardingPhone\":\"13800138000\",\"mobile\":\"13900139000\","
                          "\"number\":\"ABC-DEF-GHI-00001\",\"serviceNumber\":\"10690001\","
                          "\"signedOn\":true,\"waiting\":4}],\"next\":\"c2\",\"total\":9}");
        QTest::newRow("message")
            << roundTrip(listing(Operator::MessageSummary { 7,
                                                            u"ABC-DEF-GHI-00001"_s,
                                                            u"13800138000"_s,
                                                            u"hi"_s,
                                                            u"undeliverable"_s,
                                                            u"smsc-a"_s,
                                                            { u"a1"_s, u"a2"_s },
                                                            3,
                                                            u"busy"_s,
                                                            At }))
            << QByteArray("{\"list\":[{\"accountNo\":\"ABC-DEF-GHI-00001\",\"id\":7,\"link\":"
                          "\"smsc-a\",\"phone\":\"13800138000\",\"reason\":\"busy\",\"smscIds\":"
                          "[\"a1\",\"a2\"],\"state\":\"undeliverable\",\"submittedAt\":"
                          "\"2024-05-20T09:30:00.000Z\",\"text\":\"hi\",\"tries\":3}],\"next\":"
                          "\"c2\",\"total\":9}");
        QTest::newRow("link, bound")
            << roundTrip(
                   listing(Operator::LinkSummary { u"smsc-a"_s, u"host:42"_s, u"bound"_s, At, 2, 10,
                                                   5, u"none"_s, At + 1, u"smsc-b,smsc-c"_s }))
            << QByteArray("{\"list\":[{\"boundSince\":\"2024-05-20T09:30:00.000Z\",\"lastError\":"
                          "\"none\",\"link\":\"smsc-a\",\"outstanding\":2,\"process\":\"host:42\","
                          "\"received\":5,\"sent\":10,\"standingIn\":\"smsc-b,smsc-c\","
                          "\"state\":\"bound\",\"updatedAt\":\"2024-05-20T09:30:00.001Z\"}],"
                          "\"next\":\"c2\",\"total\":9}");
        QTest::newRow("link, not bound")
            << roundTrip(listing(Operator::LinkSummary { u"smsc-a"_s,
                                                         u"host:42"_s,
                                                         u"waiting"_s,
                                                         std::nullopt,
                                                         0,
                                                         0,
                                                         0,
                                                         u"refused"_s,
                                                         At,
                                                         {} }))
            << QByteArray("{\"list\":[{\"lastError\":\"refused\",\"link\":\"smsc-a\","
                          "\"outstanding\":0,\"process\":\"host:42\",\"received\":0,\"sent\":0,"
                          "\"standingIn\":\"\",\"state\":\"waiting\",\"updatedAt\":\"2024-05-20T09:"
                          "30:00.000Z\"}],"
                          "\"next\":\"c2\",\"total\":9}");
        QTest::newRow("unmatched entry")
            << roundTrip(listing(Operator::UnmatchedEntry {
                   3, At, u"smsc-a"_s, u"receipt"_s, u"13800138000"_s, u"10690001"_s, u"ff01"_s,
                   u"delivered"_s, u"id:ff01"_s }))
            << QByteArray("{\"list\":[{\"at\":\"2024-05-20T09:30:00.000Z\",\"destination\":"
                          "\"10690001\",\"id\":3,\"kind\":\"receipt\",\"link\":\"smsc-a\","
                          "\"smscId\":\"ff01\",\"source\":\"13800138000\",\"state\":"
                          "\"delivered\",\"text\":\"id:ff01\"}],\"next\":\"c2\",\"total\":9}");
        QTest::newRow("issued cards")
            << roundTrip<QList<Operator::IssuedCard>, Wire::Codec<Operator::CardPublisher>>(
                   { { u"1234567890123456"_s, u"000011112222"_s, 1000 } })
            << QByteArray("{\"list\":[{\"number\":\"1234567890123456\",\"password\":"
                          "\"000011112222\",\"valueFen\":1000}]}");
    }
    void recordsRoundTrip()
    {
        QFETCH(RoundTrip, trip);
        QFETCH(QByteArray, json);
        const auto [made, readBack] = trip();
        QCOMPARE(made, json);
        QVERIFY(readBack);
    }

    // A listing's answer is read only when it holds at most one page: a longer one is a
    // malformed answer, however well formed each entry.
    void listingHoldsOnePage_data()
    {
        QTest::addColumn<int>("entries");
        QTest::addColumn<bool>("read");
        QTest::newRow("a full page") << 200 << true;
        QTest::newRow("one more than a page") << 201 << false;
    }
    void listingHoldsOnePage()
    {
        QFETCH(int, entries);
        QFETCH(bool, read);
        QJsonArray messages;
        for (int i = 0; i < entries; ++i) {
            messages.append(QJsonObject { { u"from"_s, u"10690001"_s },
                                          { u"text"_s, u"hi"_s },
                                          { u"deliveredAt"_s, u"2024-05-20T09:30:00.000Z"_s } });
        }
        const QJsonObject answer { { u"messages"_s, messages }, { u"next"_s, QString() } };
        Operator::Listing<Operator::HandsetMessage> listing;
        QCOMPARE(Wire::Codec<Operator::Listing<Operator::HandsetMessage>>::take(
                     answer, QLatin1StringView("messages"), listing),
                 read);
    }

    // A message's SMSC ids are read only as texts, at most one per part a message can
    // have; its state only as one of the states there are.
    void messageEntryIsChecked_data()
    {
        QTest::addColumn<int>("ids");
        QTest::addColumn<QJsonValue>("id");
        QTest::addColumn<QString>("state");
        QTest::addColumn<bool>("read");
        QTest::newRow("255 parts") << 255 << QJsonValue(u"a1"_s) << u"submitted"_s << true;
        QTest::newRow("256 parts") << 256 << QJsonValue(u"a1"_s) << u"submitted"_s << false;
        QTest::newRow("an id as a number") << 1 << QJsonValue(1) << u"submitted"_s << false;
        QTest::newRow("a state there is not") << 1 << QJsonValue(u"a1"_s) << u"sent"_s << false;
    }
    void messageEntryIsChecked()
    {
        QFETCH(int, ids);
        QFETCH(QJsonValue, id);
        QFETCH(QString, state);
        QFETCH(bool, read);
        QJsonArray smscIds;
        for (int i = 0; i < ids; ++i)
            smscIds.append(id);
        const QJsonObject message { { u"id"_s, 7 },
                                    { u"accountNo"_s, u"ABC-123-XYZ-00001"_s },
                                    { u"phone"_s, u"13800138000"_s },
                                    { u"text"_s, u"hi"_s },
                                    { u"state"_s, state },
                                    { u"link"_s, u"smsc-a"_s },
                                    { u"smscIds"_s, smscIds },
                                    { u"tries"_s, 1 },
                                    { u"reason"_s, QString() },
                                    { u"submittedAt"_s, u"2024-05-20T09:30:00.000Z"_s } };
        const QJsonObject answer { { u"messages"_s, QJsonArray { message } },
                                   { u"next"_s, QString() } };
        Operator::Listing<Operator::MessageSummary> listing;
        QCOMPARE(Wire::Codec<Operator::Listing<Operator::MessageSummary>>::take(
                     answer, QLatin1StringView("messages"), listing),
                 read);
        if (read) {
            QCOMPARE(listing.entries.size(), 1);
            QCOMPARE(listing.entries.at(0).smscIds.size(), ids);
            QCOMPARE(listing.entries.at(0).state, u"submitted"_s);
            QCOMPARE(listing.entries.at(0).submittedAtMs, 1716197400000);
        }
    }

    // A password's hash takes a fraction of a second of CPU: a call with a password among
    // its fields (or its answer's records) is served in the slow lane, its hashes made
    // before the write lock, and never where reads and quick writes wait behind it.
    void everyPasswordCallHashesAhead()
    {
        for (const Wire::Operation &operation : Wire::operations()) {
            if (namesAPassword(operation.fields) || namesAPassword(operation.answer))
                QVERIFY2(operation.hashes(), qPrintable(QString(operation.name)));
        }
    }

    // Each hook reads what its call will hash from the request as the call does; a number
    // past its range reads as its nearest end, as the call reads it.
    void prepareHooksTellWhatTheCallHashes_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QJsonObject>("request");
        QTest::addColumn<QString>("told");
        QTest::newRow("register") << u"register"_s
                                  << QJsonObject { { u"accountNo"_s, u"ABC-DEF-GHI-12345"_s },
                                                   { u"password"_s, u"pw"_s },
                                                   { u"city"_s, u"Xi'an"_s },
                                                   { u"outcome"_s, 0 } }
                                  << u"signOn ABC-DEF-GHI-12345 pw"_s;
        QTest::newRow("recharge") << u"recharge"_s
                                  << QJsonObject { { u"accountNo"_s, u"ABC-DEF-GHI-12345"_s },
                                                   { u"cardNo"_s, u"1234567890123456"_s },
                                                   { u"cardPassword"_s, u"654321"_s } }
                                  << u"cardCheck 1234567890123456 654321"_s;
        QTest::newRow("changePassword") << u"changePassword"_s
                                        << QJsonObject { { u"accountNo"_s, u"ABC-DEF-GHI-12345"_s },
                                                         { u"newPassword"_s, u"new"_s } }
                                        << u"newPassword new"_s;
        QTest::newRow("issueCards")
            << u"issueCards"_s << QJsonObject { { u"valueFen"_s, 1000 }, { u"count"_s, 3 } }
            << u"cards 1000 3"_s;
        QTest::newRow("issueCards past every range")
            << u"issueCards"_s << QJsonObject { { u"valueFen"_s, 1e300 }, { u"count"_s, 1e20 } }
            << u"cards 9223372036854775807 2147483647"_s;
        QTest::newRow("setSmppCredentials")
            << u"setSmppCredentials"_s
            << QJsonObject { { u"accountNo"_s, u"ABC-DEF-GHI-12345"_s }, { u"systemId"_s, u"s"_s } }
            << u"smppPassword"_s;
    }
    void prepareHooksTellWhatTheCallHashes()
    {
        QFETCH(QString, operation);
        QFETCH(QJsonObject, request);
        QFETCH(QString, told);
        const QByteArray name = operation.toLatin1();
        const Wire::Operation *found = Wire::find(QLatin1StringView(name));
        QVERIFY(found && found->prepare);
        RecordingPreparer preparer;
        found->prepare(preparer, *found, request);
        QCOMPARE(preparer.told, QStringList { told });
    }
};

QTEST_GUILESS_MAIN(TestWire)
#include "tst_wire.moc"
