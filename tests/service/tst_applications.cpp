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
        // Far above what these tests ask; rateLimited() lowers it.
        m_rig->set(u"application_rate_limit"_s, u"100000"_s);
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

    // Tokens issued through the operator's route: an application's for an account there
    // is, which then reaches its account's routes, and nothing else.
    void tokensIssuedRemotely_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("outcome");
        const auto issue = [](const QByteArray &name, const QByteArray &role,
                              const QString &account) -> QByteArray {
            return "{\"name\":\"" + name + "\",\"role\":\"" + role + "\",\"accountNo\":\""
                + account.toLatin1() + "\"}";
        };
        QTest::newRow("an application's")
            << issue("remote-shop", "application", AccountNo) << u"done"_s;
        QTest::newRow("an operator's")
            << issue("remote-ops", "operator", AccountNo) << u"roleNotAllowed"_s;
        QTest::newRow("a console's")
            << issue("remote-desk", "console", QString()) << u"roleNotAllowed"_s;
        QTest::newRow("an account nobody registered")
            << issue("remote-nobody", "application", u"NOB-ODY-HER-00000"_s) << u"noSuchAccount"_s;
        QTest::newRow("a name another active token has")
            << issue("shop", "application", AccountNo) << u"nameTaken"_s;
        QTest::newRow("a name with a control character")
            << issue("remote\\u001bshop", "application", AccountNo) << u"badName"_s;
        QTest::newRow("an empty name") << issue("", "application", AccountNo) << u"badName"_s;
    }
    void tokensIssuedRemotely()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, outcome);
        const auto before = m_rig->post(u"/v1/operator/tokens"_s, "{}", m_operator);
        const auto answer = m_rig->post(u"/v1/operator/issueToken"_s, body, m_operator);
        QCOMPARE(answer.status, 200);
        QCOMPARE(json(answer).value(u"outcome"_s).toString(), outcome);
        const QString token = json(answer).value(u"token"_s).toString();
        const qint64 added = json(m_rig->post(u"/v1/operator/tokens"_s, "{}", m_operator))
                                 .value(u"total"_s)
                                 .toInteger()
            - json(before).value(u"total"_s).toInteger();
        if (outcome != u"done"_s) {
            QCOMPARE(token, QString());
            QCOMPARE(added, 0);
            return;
        }
        QCOMPARE(added, 1);
        const auto account = m_rig->request("GET", u"/v1/account"_s, {}, token);
        QCOMPARE(account.status, 200);
        QCOMPARE(json(account).value(u"accountNo"_s).toString(), AccountNo);
        QCOMPARE(m_rig->post(u"/v1/operator/accounts"_s, "{}", token).status, 403);
    }

    // A repeat of the key answers the same token, which was issued once; the key with
    // another request is refused.
    void tokenIssuedOncePerKey()
    {
        const QByteArray key = "Idempotency-Key: token-repeat-key-0001\r\n";
        const QByteArray body = "{\"name\":\"repeat-shop\",\"role\":\"application\","
                                "\"accountNo\":\""
            + AccountNo.toLatin1() + "\"}";
        const auto first = m_rig->post(u"/v1/operator/issueToken"_s, body, m_operator, key);
        QCOMPARE(json(first).value(u"outcome"_s).toString(), u"done"_s);
        const auto again = m_rig->post(u"/v1/operator/issueToken"_s, body, m_operator, key);
        QCOMPARE(again.status, 200);
        QCOMPARE(again.body, first.body);
        const auto other = m_rig->post(u"/v1/operator/issueToken"_s,
                                       "{\"name\":\"other\",\"role\":\"application\","
                                       "\"accountNo\":\""
                                           + AccountNo.toLatin1() + "\"}",
                                       m_operator, key);
        QCOMPARE(other.status, 422);
        // A fresh key for the same request is another token: that name is taken now.
        const auto fresh = m_rig->post(u"/v1/operator/issueToken"_s, body, m_operator);
        QCOMPARE(json(fresh).value(u"outcome"_s).toString(), u"nameTaken"_s);
    }

    // Only an application's token is revoked from afar; the others stay active.
    void tokensRevokedRemotely_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("role"); // of the token issued to be revoked; none: none
        QTest::addColumn<QString>("outcome");
        QTest::newRow("an application's") << u"gone-shop"_s << u"application"_s << u"done"_s;
        QTest::newRow("an operator's") << u"other-ops"_s << u"operator"_s << u"roleNotAllowed"_s;
        QTest::newRow("a console's") << u"other-desk"_s << u"console"_s << u"roleNotAllowed"_s;
        QTest::newRow("no such token") << u"nobody"_s << QString() << u"noSuchToken"_s;
    }
    void tokensRevokedRemotely()
    {
        QFETCH(QString, name);
        QFETCH(QString, role);
        QFETCH(QString, outcome);
        const QString token = role.isEmpty()
            ? QString()
            : m_rig->issue(role, name, role == u"application"_s ? AccountNo : QString());
        const QByteArray probe = role == u"application"_s ? "GET" : "POST";
        const QString path = role == u"application"_s ? u"/v1/account"_s
            : role == u"operator"_s                   ? u"/v1/operator/accounts"_s
                                                      : u"/v1/console/queryBalance"_s;
        const auto answer = m_rig->post(u"/v1/operator/revokeToken"_s,
                                        "{\"name\":\"" + name.toUtf8() + "\"}", m_operator);
        QCOMPARE(answer.status, 200);
        QCOMPARE(json(answer).value(u"outcome"_s).toString(), outcome);
        if (!token.isEmpty()) {
            const QByteArray body = probe == "POST" ? "{}" : "";
            QCOMPARE(m_rig->request(probe, path, body, token).status,
                     outcome == u"done"_s ? 401 : 200);
        }
    }

    // The listing a page at a time: every token once, the total on the first page only.
    void tokensListedInPages()
    {
        const QJsonObject whole = json(m_rig->post(u"/v1/operator/tokens"_s, "{}", m_operator));
        QStringList expected;
        for (const QJsonValue entry : whole.value(u"tokens"_s).toArray())
            expected.append(entry.toObject().value(u"name"_s).toString());
        QVERIFY(expected.size() >= 4);
        QCOMPARE(whole.value(u"total"_s).toInteger(), expected.size());
        QCOMPARE(whole.value(u"next"_s).toString(), QString());
        QStringList paged;
        QString after;
        for (int page = 0; page <= expected.size(); ++page) {
            const QJsonObject answer = json(
                m_rig->post(u"/v1/operator/tokens"_s,
                            "{\"limit\":3,\"after\":\"" + after.toLatin1() + "\"}", m_operator));
            const QJsonArray entries = answer.value(u"tokens"_s).toArray();
            QVERIFY(entries.size() <= 3);
            QCOMPARE(answer.contains(u"total"_s), page == 0);
            for (const QJsonValue entry : entries)
                paged.append(entry.toObject().value(u"name"_s).toString());
            after = answer.value(u"next"_s).toString();
            if (after.isEmpty())
                break;
        }
        QCOMPARE(paged, expected);
        const auto bad = m_rig->post(u"/v1/operator/tokens"_s, "{\"after\":\"x\"}", m_operator);
        QVERIFY(json(bad).value(u"status"_s).toObject().value(u"code"_s).toInt() < 0);
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
        QTest::newRow("issuing a token, application token")
            << QByteArray("POST") << u"/v1/operator/issueToken"_s << u"application"_s << 403;
        QTest::newRow("issuing a token, console token")
            << QByteArray("POST") << u"/v1/operator/issueToken"_s << u"console"_s << 403;
        QTest::newRow("revoking a token, console token")
            << QByteArray("POST") << u"/v1/operator/revokeToken"_s << u"console"_s << 403;
        QTest::newRow("listing the tokens, application token")
            << QByteArray("POST") << u"/v1/operator/tokens"_s << u"application"_s << 403;
        QTest::newRow("listing the tokens, operator token")
            << QByteArray("POST") << u"/v1/operator/tokens"_s << u"operator"_s << 200;
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

    // A cancel in each state a message may be in when it comes: only one no SMSC has
    // taken is cancelled, refunded once.
    void cancel_data()
    {
        QTest::addColumn<QString>("setUp"); // on a scheduled message, as the store's owner
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("state"); // after the cancel
        QTest::addColumn<QString>("refunded");
        QTest::newRow("scheduled") << QString() << 200 << u"cancelled"_s << u"0.10"_s;
        const QString queue = u"UPDATE mt SET state = 'queued', link = 'smsc', "
                              u"next_try_at = due_at"_s;
        QTest::newRow("queued, held by no link") << queue << 200 << u"cancelled"_s << u"0.10"_s;
        QTest::newRow("queued, held by a link")
            << queue + u", claimed_by = 'p1', claimed_until = %later%"_s << 409 << u"queued"_s
            << u"0.00"_s;
        QTest::newRow("queued, held by a link whose lease ran out")
            << queue + u", claimed_by = 'p1', claimed_until = %earlier%"_s << 409 << u"queued"_s
            << u"0.00"_s;
        QTest::newRow("submitted") << u"UPDATE mt SET state = 'queued', link = 'smsc'; "
                                      u"UPDATE mt SET state = 'submitted'"_s
                                   << 409 << u"submitted"_s << u"0.00"_s;
        QTest::newRow("delivered")
            << u"UPDATE mt SET state = 'delivered'"_s << 409 << u"delivered"_s << u"0.00"_s;
    }
    void cancel()
    {
        QFETCH(QString, setUp);
        QFETCH(int, status);
        QFETCH(QString, state);
        QFETCH(QString, refunded);
        const QString id = sendOne("{\"to\":\"13800138000\",\"text\":\"later\",\"sendAt\":\""
                                       + isoIn(3600).toLatin1() + "\"}",
                                   m_application);
        QVERIFY(!id.isEmpty());
        StoreProbe owner(m_rig->ownerUrl());
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        setUp.replace(u"%later%"_s, owner.timeFromMs(QString::number(now + 600000)));
        setUp.replace(u"%earlier%"_s, owner.timeFromMs(QString::number(now - 600000)));
        for (const QString &statement : setUp.split(u"; "_s, Qt::SkipEmptyParts))
            QVERIFY(owner.exec(statement + u" WHERE id = "_s + id));
        const QString before = balance(m_application);
        const QString path = u"/v1/messages/"_s + id;
        const auto answer = m_rig->request("DELETE", path, {}, m_application);
        QVERIFY2(answer.status == status, answer.body.constData());
        if (status == 409) {
            QCOMPARE(errorCode(answer), u"not_cancellable"_s);
            QCOMPARE(json(answer).value(u"error"_s).toObject().value(u"state"_s).toString(), state);
        }
        const QJsonObject read = json(m_rig->request("GET", path, {}, m_application));
        QCOMPARE(read.value(u"state"_s).toString(), state);
        QCOMPARE(read.value(u"refunded"_s).toString(), refunded);
        QCOMPARE(fen(balance(m_application)) - fen(before), fen(refunded));
        // A second cancel (another key) finds it cancelled: no second refund.
        const auto again = m_rig->request("DELETE", path, {}, m_application);
        QCOMPARE(again.status, 409);
        QCOMPARE(fen(balance(m_application)) - fen(before), fen(refunded));
        QCOMPARE(owner.count(u"SELECT count(*) FROM ledger WHERE reason = 'refund' AND "
                             u"reference = 'mt:"_s
                             + id + u"'"_s),
                 qint64(refunded == u"0.00"_s ? 0 : 1));
    }

    // Arrivals are taken oldest first, each by one taker: a repeat of the key answers the
    // same batch, the next key the rest, and the console finds none left.
    void arrivals()
    {
        for (const char *text : { "one", "two", "three" }) {
            QCOMPARE(m_rig
                         ->post(u"/v1/operator/receiveFromHandset"_s,
                                "{\"from\":\"13800138000\",\"to\":\"" + AccountNo.toLatin1()
                                    + "\",\"extension\":\"\",\"text\":\"" + text + "\"}",
                                m_operator)
                         .status,
                     200);
        }
        const auto texts = [](const ServiceRig::Answer &answer) {
            QStringList list;
            for (const QJsonValue arrival : json(answer).value(u"arrivals"_s).toArray())
                list.append(arrival.toObject().value(u"text"_s).toString());
            return list;
        };
        const QByteArray key = "Idempotency-Key: app-arrivals-key-01\r\n";
        const auto first = m_rig->post(u"/v1/arrivals/next"_s, "{\"limit\":2}", m_application, key);
        QCOMPARE(texts(first), (QStringList { u"one"_s, u"two"_s }));
        const QJsonObject arrival = json(first).value(u"arrivals"_s).toArray().at(0).toObject();
        QCOMPARE(arrival.value(u"from"_s).toString(), u"13800138000"_s);
        QVERIFY(arrival.value(u"receivedAt"_s).toString().endsWith(u'Z'));
        QCOMPARE(m_rig->post(u"/v1/arrivals/next"_s, "{\"limit\":2}", m_application, key).body,
                 first.body);
        QCOMPARE(texts(m_rig->post(u"/v1/arrivals/next"_s, "{}", m_application)),
                 QStringList { u"three"_s });
        QCOMPARE(texts(m_rig->post(u"/v1/arrivals/next"_s, "{}", m_application)), QStringList());
        const auto console
            = m_rig->post(u"/v1/console/receiveMessages"_s,
                          "{\"accountNo\":\"" + AccountNo.toLatin1() + "\"}", m_console);
        QCOMPARE(json(console).value(u"total"_s).toString(), u"0"_s);
        QCOMPARE(m_rig->post(u"/v1/arrivals/next"_s, "{\"limit\":101}", m_application).status, 400);
    }

    // Past its requests a second a token is answered 429 with Retry-After; another
    // token goes on, and failures are not what is counted.
    void rateLimited()
    {
        m_rig->set(u"application_rate_limit"_s, u"3"_s);
        QVERIFY(!m_rig->reload().isEmpty());
        QList<int> statuses;
        QByteArray headers;
        for (int i = 0; i < 6; ++i) {
            const auto answer = m_rig->request("GET", u"/v1/account"_s, {}, m_application);
            statuses.append(answer.status);
            if (answer.status == 429)
                headers = answer.headers;
        }
        QCOMPARE(statuses.mid(0, 3), (QList<int> { 200, 200, 200 }));
        QVERIFY2(statuses.contains(429), qPrintable(QString::number(statuses.count(429))));
        QVERIFY2(headers.contains("Retry-After: 1"), headers.constData());
        QCOMPARE(m_rig->request("GET", u"/v1/account"_s, {}, m_other).status, 200);
        m_rig->set(u"application_rate_limit"_s, u"100000"_s);
        QVERIFY(!m_rig->reload().isEmpty());
        QTest::qWait(1000);
        QCOMPARE(m_rig->request("GET", u"/v1/account"_s, {}, m_application).status, 200);
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
