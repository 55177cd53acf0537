// An application's token and its routes, as an application meets them: which tokens
// reach which routes, a send's bodies and what they cost, a repeat of its key, a
// message by id (and nobody else's), the account's listing, and a cancel in each state.
// One service for the whole suite, on SQLite and on PostgreSQL.

#include "tests/gateway/local/storeprobe.h"
#include "tests/service/servicerig.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString AccountNo = u"APP-DEF-GHI-00001"_s;
const QString OtherNo = u"APP-DEF-GHI-00002"_s;

QJsonObject json(const ServiceRig::Answer &answer)
{
    return QJsonDocument::fromJson(answer.body).object();
}

QString errorCode(const ServiceRig::Answer &answer)
{
    return json(answer).value(u"error"_s).toObject().value(u"code"_s).toString();
}

// "12.30" as 1230, and back.
qint64 fen(const QString &yuan)
{
    return qRound64(yuan.toDouble() * 100);
}

QString yuan(qint64 fen)
{
    return QString::asprintf("%lld.%02lld", fen / 100, fen % 100);
}

QString isoIn(qint64 seconds)
{
    return QDateTime::currentDateTimeUtc().addSecs(seconds).toString(Qt::ISODate);
}

} // namespace

class TestApplications : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ServiceRig> m_rig;
    QString m_console;
    QString m_operator;
    QString m_application;
    QString m_other; // another account's application

    // Registers the account and recharges it with a card of `fen`.
    void fund(const QString &accountNo, int fen)
    {
        const QByteArray account = "\"accountNo\":\"" + accountNo.toLatin1() + "\"";
        QCOMPARE(m_rig
                     ->post(u"/v1/console/register"_s, "{" + account + ",\"password\":\"pw\"}",
                            m_console)
                     .status,
                 200);
        const auto cards
            = m_rig->post(u"/v1/operator/issueCards"_s,
                          "{\"valueFen\":" + QByteArray::number(fen) + ",\"count\":1}", m_operator);
        const QJsonObject card = json(cards).value(u"cards"_s).toArray().at(0).toObject();
        const auto recharged = m_rig->post(
            u"/v1/console/recharge"_s,
            "{" + account + ",\"cardNo\":\"" + card.value(u"number"_s).toString().toLatin1()
                + "\",\"cardPassword\":\"" + card.value(u"password"_s).toString().toLatin1()
                + "\"}",
            m_console);
        QCOMPARE(json(recharged).value(u"outcome"_s).toInt(), -1);
    }

    QString balance(const QString &token)
    {
        return json(m_rig->request("GET", u"/v1/account"_s, {}, token))
            .value(u"balance"_s)
            .toString();
    }

    // Sends `body` and gives the first message's id (empty when it was refused).
    QString sendOne(const QByteArray &body, const QString &token)
    {
        const auto answer = m_rig->post(u"/v1/messages"_s, body, token);
        return json(answer)
            .value(u"messages"_s)
            .toArray()
            .at(0)
            .toObject()
            .value(u"id"_s)
            .toString();
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_rig = std::make_unique<ServiceRig>();
        m_console = m_rig->issue(u"console"_s, u"desk"_s);
        m_operator = m_rig->issue(u"operator"_s, u"ops"_s);
        QString why;
        QVERIFY2(m_rig->start(why), qPrintable(why));
        fund(AccountNo, 20000);
        fund(OtherNo, 1000);
        m_application = m_rig->issue(u"application"_s, u"shop"_s, AccountNo);
        m_other = m_rig->issue(u"application"_s, u"other-shop"_s, OtherNo);
        QVERIFY(m_application.startsWith(u"qgt_"_s));
        QVERIFY(m_other.startsWith(u"qgt_"_s));
    }
    void cleanupTestCase() { m_rig.reset(); }

    // An application token is issued for an account that exists, and only with one; the
    // list shows its account.
    void issuingApplicationTokens_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        const QStringList issue { u"token"_s, u"issue"_s, u"--name"_s, u"t"_s };
        QTest::newRow("application without an account")
            << issue + QStringList { u"--role"_s, u"application"_s } << 2;
        QTest::newRow("console with an account")
            << issue + QStringList { u"--role"_s, u"console"_s, u"--account"_s, AccountNo } << 2;
        QTest::newRow("an account number that cannot be one")
            << issue + QStringList { u"--role"_s, u"application"_s, u"--account"_s, u"x\ty"_s }
            << 2;
        QTest::newRow("an account nobody registered") << issue
                + QStringList { u"--role"_s, u"application"_s, u"--account"_s,
                                u"NOB-ODY-HER-00000"_s }
                                                      << 1;
    }
    void issuingApplicationTokens()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QByteArray out;
        QCOMPARE(m_rig->run(arguments, &out), exitCode);
        QCOMPARE(out, QByteArray());
        QVERIFY(m_rig->run({ u"token"_s, u"list"_s }, &out) == 0);
        QVERIFY2(out.contains(QByteArray("shop\tapplication\t" + AccountNo.toLatin1() + '\t')),
                 out.constData());
        QVERIFY2(out.contains("desk\tconsole\t-\t"), out.constData());
        QVERIFY2(!out.contains("\nt\t"), out.constData());
    }

    // Each role reaches its own routes only.
    void rolesReachTheirRoutes_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("role");
        QTest::addColumn<int>("status");
        const QList<std::pair<QByteArray, QString>> routes {
            { "GET", u"/v1/account"_s },    { "GET", u"/v1/messages"_s },
            { "GET", u"/v1/messages/1"_s }, { "DELETE", u"/v1/messages/1"_s },
            { "POST", u"/v1/messages"_s },
        };
        for (const auto &[method, path] : routes) {
            for (const QString &role : { u"console"_s, u"operator"_s }) {
                QTest::addRow("%s %s, %s token", method.constData(), qPrintable(path),
                              qPrintable(role))
                    << method << path << role << 403;
            }
        }
        QTest::newRow("console call, application token")
            << QByteArray("POST") << u"/v1/console/queryBalance"_s << u"application"_s << 403;
        QTest::newRow("operator call, application token")
            << QByteArray("POST") << u"/v1/operator/accounts"_s << u"application"_s << 403;
        QTest::newRow("metrics, application token")
            << QByteArray("GET") << u"/metrics"_s << u"application"_s << 403;
        QTest::newRow("account, application token")
            << QByteArray("GET") << u"/v1/account"_s << u"application"_s << 200;
        QTest::newRow("account, no token")
            << QByteArray("GET") << u"/v1/account"_s << QString() << 401;
        QTest::newRow("a method the path does not take")
            << QByteArray("PUT") << u"/v1/messages"_s << u"application"_s << 405;
        QTest::newRow("an id that is not a number")
            << QByteArray("GET") << u"/v1/messages/abc"_s << u"application"_s << 404;
        QTest::newRow("an id with a leading zero")
            << QByteArray("GET") << u"/v1/messages/01"_s << u"application"_s << 404;
    }
    void rolesReachTheirRoutes()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QString, role);
        QFETCH(int, status);
        const QString token = role == u"console"_s ? m_console
            : role == u"operator"_s                ? m_operator
            : role == u"application"_s             ? m_application
                                                   : QString();
        const QByteArray body = method == "POST" ? "{}" : "";
        QCOMPARE(m_rig->request(method, path, body, token).status, status);
    }

    void account()
    {
        const QJsonObject answer = json(m_rig->request("GET", u"/v1/account"_s, {}, m_other));
        QCOMPARE(answer.value(u"accountNo"_s).toString(), OtherNo);
        QCOMPARE(answer.value(u"balance"_s).toString(), u"10.00"_s);
        QVERIFY(!answer.value(u"serviceNumber"_s).toString().isEmpty());
    }

    // A send's body: what it is answered and what it costs.
    void sends_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("code"); // of a refusal
        QTest::addColumn<QStringList>("states"); // of the messages made, in order
        QTest::addColumn<int>("parts");
        QTest::addColumn<QString>("spent");

        const auto phones = [](int count) -> QByteArray {
            QByteArray list;
            for (int i = 0; i < count; ++i)
                list += (i ? ",\"" : "\"") + QByteArray::number(13800000000LL + i) + '"';
            return '[' + list + ']';
        };
        const QStringList none;
        const QString no;
        QTest::newRow("one phone as a text")
            << QByteArray("{\"to\":\"13800138000\",\"text\":\"hi\"}") << 202 << no
            << QStringList { u"delivered"_s } << 1 << u"0.10"_s;
        QTest::newRow("two phones")
            << QByteArray("{\"to\":[\"13800138000\",\"+8613800138001\"],\"text\":\"hi\"}") << 202
            << no << QStringList { u"delivered"_s, u"delivered"_s } << 1 << u"0.20"_s;
        QTest::newRow("a phone twice goes once")
            << QByteArray("{\"to\":[\"13800138000\",\"13800138000\"],\"text\":\"hi\"}") << 202 << no
            << QStringList { u"delivered"_s } << 1 << u"0.10"_s;
        QTest::newRow("161 characters are two segments")
            << QByteArray("{\"to\":\"13800138000\",\"text\":\"" + QByteArray(161, 'a') + "\"}")
            << 202 << no << QStringList { u"delivered"_s } << 2 << u"0.20"_s;
        QTest::newRow("scheduled an hour ahead")
            << QByteArray("{\"to\":\"13800138000\",\"text\":\"later\",\"sendAt\":\""
                          + isoIn(3600).toLatin1() + "\"}")
            << 202 << no << QStringList { u"scheduled"_s } << 1 << u"0.10"_s;
        QTest::newRow("with a reference and a validity") << QByteArray(
            "{\"to\":\"13800138000\",\"text\":\"hi\",\"reference\":\"order-17\",\"validity\":600}")
                                                         << 202 << no
                                                         << QStringList { u"delivered"_s } << 1
                                                         << u"0.10"_s;
        QTest::newRow("1000 phones")
            << QByteArray("{\"to\":" + phones(1000) + ",\"text\":\"hi\"}") << 202 << no
            << QStringList(1000, u"delivered"_s) << 1 << u"100.00"_s;
        QTest::newRow("more than the balance covers")
            << QByteArray("{\"to\":" + phones(1000) + ",\"text\":\"" + QByteArray(161, 'a') + "\"}")
            << 402 << u"insufficient_balance"_s << none << 0 << u"0.00"_s;
        QTest::newRow("1001 phones") << QByteArray("{\"to\":" + phones(1001) + ",\"text\":\"hi\"}")
                                     << 400 << u"invalid_field"_s << none << 0 << u"0.00"_s;
        QTest::newRow("no phones") << QByteArray("{\"to\":[],\"text\":\"hi\"}") << 400
                                   << u"invalid_field"_s << none << 0 << u"0.00"_s;
        QTest::newRow("no to") << QByteArray("{\"text\":\"hi\"}") << 400 << u"invalid_field"_s
                               << none << 0 << u"0.00"_s;
        QTest::newRow("a phone that is not one")
            << QByteArray("{\"to\":[\"13800138000\",\"12ab\"],\"text\":\"hi\"}") << 400
            << u"invalid_field"_s << none << 0 << u"0.00"_s;
        QTest::newRow("to as a number") << QByteArray("{\"to\":13800138000,\"text\":\"hi\"}") << 400
                                        << u"invalid_field"_s << none << 0 << u"0.00"_s;
        QTest::newRow("no text") << QByteArray("{\"to\":\"13800138000\"}") << 400
                                 << u"invalid_field"_s << none << 0 << u"0.00"_s;
        QTest::newRow("sendAt two years ahead")
            << QByteArray("{\"to\":\"13800138000\",\"text\":\"hi\",\"sendAt\":\""
                          + isoIn(2 * 366 * 86400).toLatin1() + "\"}")
            << 400 << u"invalid_field"_s << none << 0 << u"0.00"_s;
        QTest::newRow("sendAt not a time")
            << QByteArray("{\"to\":\"13800138000\",\"text\":\"hi\",\"sendAt\":\"soon\"}") << 400
            << u"invalid_field"_s << none << 0 << u"0.00"_s;
        QTest::newRow("validity of 0 seconds")
            << QByteArray("{\"to\":\"13800138000\",\"text\":\"hi\",\"validity\":0}") << 400
            << u"invalid_field"_s << none << 0 << u"0.00"_s;
        QTest::newRow("validity not whole")
            << QByteArray("{\"to\":\"13800138000\",\"text\":\"hi\",\"validity\":1.5}") << 400
            << u"invalid_field"_s << none << 0 << u"0.00"_s;
        QTest::newRow("reference of 65 characters")
            << QByteArray("{\"to\":\"13800138000\",\"text\":\"hi\",\"reference\":\""
                          + QByteArray(65, 'r') + "\"}")
            << 400 << u"invalid_field"_s << none << 0 << u"0.00"_s;
        QTest::newRow("reference with a control character")
            << QByteArray("{\"to\":\"13800138000\",\"text\":\"hi\",\"reference\":\"a\\u0007b\"}")
            << 400 << u"invalid_field"_s << none << 0 << u"0.00"_s;
        QTest::newRow("an unknown field")
            << QByteArray("{\"to\":\"13800138000\",\"text\":\"hi\",\"priority\":1}") << 400
            << u"invalid_field"_s << none << 0 << u"0.00"_s;
    }
    void sends()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, code);
        QFETCH(QStringList, states);
        QFETCH(int, parts);
        QFETCH(QString, spent);
        const qint64 before = fen(balance(m_application));
        const auto answer = m_rig->post(u"/v1/messages"_s, body, m_application);
        QVERIFY2(answer.status == status, answer.body.constData());
        QCOMPARE(errorCode(answer), code);
        const qint64 after = fen(balance(m_application));
        QCOMPARE(yuan(before - after), spent);
        const QJsonArray messages = json(answer).value(u"messages"_s).toArray();
        QStringList answered;
        for (const QJsonValue message : messages)
            answered.append(message.toObject().value(u"state"_s).toString());
        QCOMPARE(answered, states);
        if (messages.isEmpty())
            return;
        QCOMPARE(json(answer).value(u"balance"_s).toString(), yuan(after));
        // Each as the message itself reads.
        const QJsonObject first = messages.at(0).toObject();
        QCOMPARE(first.value(u"parts"_s).toInt(), parts);
        const QJsonObject read = json(m_rig->request(
            "GET", u"/v1/messages/"_s + first.value(u"id"_s).toString(), {}, m_application));
        QCOMPARE(read.value(u"id"_s), first.value(u"id"_s));
        QCOMPARE(read.value(u"to"_s), first.value(u"to"_s));
        QCOMPARE(read.value(u"state"_s), first.value(u"state"_s));
        QCOMPARE(read.value(u"price"_s), first.value(u"price"_s));
        QCOMPARE(read.value(u"refunded"_s).toString(), u"0.00"_s);
        if (body.contains("order-17")) {
            QCOMPARE(read.value(u"reference"_s).toString(), u"order-17"_s);
            const QDateTime sendAt
                = QDateTime::fromString(read.value(u"sendAt"_s).toString(), Qt::ISODateWithMs);
            const QDateTime validUntil
                = QDateTime::fromString(read.value(u"validUntil"_s).toString(), Qt::ISODateWithMs);
            QCOMPARE(sendAt.secsTo(validUntil), 600);
        }
    }

    // A repeat of the key answers the same ids and charges nothing more; the same key on
    // another body is refused.
    void repeatedKey()
    {
        const QByteArray key = "Idempotency-Key: app-repeat-key-0001\r\n";
        const QByteArray body = "{\"to\":[\"13900000001\",\"13900000002\"],\"text\":\"once\"}";
        const auto first = m_rig->post(u"/v1/messages"_s, body, m_application, key);
        QCOMPARE(first.status, 202);
        const QString afterFirst = balance(m_application);
        const auto again = m_rig->post(u"/v1/messages"_s, body, m_application, key);
        QCOMPARE(again.status, 202);
        QCOMPARE(again.body, first.body);
        QCOMPARE(balance(m_application), afterFirst);
        const auto other = m_rig->post(u"/v1/messages"_s, "{\"to\":\"13900000003\",\"text\":\"x\"}",
                                       m_application, key);
        QCOMPARE(other.status, 422);
    }

    // Another account's message, and one that does not exist, are the same 404, to read
    // and to cancel.
    void othersSeeNothing()
    {
        const QString id = sendOne("{\"to\":\"13800138000\",\"text\":\"mine\"}", m_application);
        QVERIFY(!id.isEmpty());
        const QString path = u"/v1/messages/"_s + id;
        const auto theirs = m_rig->request("GET", path, {}, m_other);
        const auto unknown = m_rig->request("GET", u"/v1/messages/999999999"_s, {}, m_other);
        QCOMPARE(theirs.status, 404);
        QCOMPARE(theirs.body, unknown.body);
        QCOMPARE(m_rig->request("DELETE", path, {}, m_other).status, 404);
        QCOMPARE(m_rig->request("GET", path, {}, m_application).status, 200);
        const QJsonArray listed = json(m_rig->request("GET", u"/v1/messages"_s, {}, m_other))
                                      .value(u"messages"_s)
                                      .toArray();
        for (const QJsonValue message : listed)
            QVERIFY(message.toObject().value(u"id"_s).toString() != id);
    }

    // The account's messages page by page, the console's sends among them, narrowed by
    // state.
    void listing()
    {
        m_rig->emptyStore();
        fund(AccountNo, 1000);
        QCOMPARE(m_rig
                     ->post(u"/v1/console/sendMessage"_s,
                            "{\"accountNo\":\"" + AccountNo.toLatin1()
                                + "\",\"phoneNo\":\"13700000000\",\"text\":\"from the desk\"}",
                            m_console)
                     .status,
                 200);
        for (int i = 0; i < 2; ++i)
            QVERIFY(!sendOne("{\"to\":\"13800138000\",\"text\":\"api\"}", m_application).isEmpty());
        QVERIFY(!sendOne("{\"to\":\"13800138000\",\"text\":\"later\",\"sendAt\":\""
                             + isoIn(3600).toLatin1() + "\"}",
                         m_application)
                     .isEmpty());
        QStringList texts;
        QString after;
        int pages = 0;
        do {
            const QJsonObject page = json(
                m_rig->request("GET", u"/v1/messages?limit=3&after="_s + after, {}, m_application));
            for (const QJsonValue message : page.value(u"messages"_s).toArray())
                texts.append(message.toObject().value(u"text"_s).toString());
            if (pages == 0)
                QCOMPARE(page.value(u"total"_s).toInt(), 4);
            after = page.value(u"next"_s).toString();
            ++pages;
        } while (!after.isEmpty() && pages < 5);
        QCOMPARE(pages, 2);
        QCOMPARE(texts, (QStringList { u"from the desk"_s, u"api"_s, u"api"_s, u"later"_s }));
        const QJsonArray scheduled
            = json(m_rig->request("GET", u"/v1/messages?state=scheduled"_s, {}, m_application))
                  .value(u"messages"_s)
                  .toArray();
        QCOMPARE(scheduled.size(), 1);
        QCOMPARE(m_rig->request("GET", u"/v1/messages?state=lost"_s, {}, m_application).status,
                 400);
        QCOMPARE(m_rig->request("GET", u"/v1/messages?limit=0"_s, {}, m_application).status, 400);
        QCOMPARE(m_rig->request("GET", u"/v1/messages?after=x"_s, {}, m_application).status, 400);
        QCOMPARE(m_rig->request("GET", u"/v1/messages?colour=red"_s, {}, m_application).status,
                 400);
    }
};

QTEST_GUILESS_MAIN(TestApplications)
#include "tst_applications.moc"
