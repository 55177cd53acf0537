// What a token may do through quillet-gatewayd, and what the store keeps of it: a console
// token acts only on the accounts it signed on itself; no password, card password, token
// or Idempotency-Key rests in the store; failures are limited, valid calls never; and a
// crowd of slow password hashes holds up no other call. Run once on SQLite and once on
// PostgreSQL (see servicerig.h).

#include "tests/gateway/local/storeprobe.h"
#include "tests/service/servicerig.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <atomic>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

const QByteArray Owned = "ABC-DEF-GHI-00001";
const QByteArray Refused = "{\"outcome\":0,\"status\":{\"code\":0,\"description\":\"\"}}";
const QByteArray Welcome = "{\"outcome\":-1,\"status\":{\"code\":0,\"description\":\"\"}}";

QJsonObject json(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object();
}

QByteArray account(const QByteArray &number, const QByteArray &more = {})
{
    const QByteArray rest = more.isEmpty() ? QByteArray() : QByteArray("," + more);
    return "{\"accountNo\":\"" + number + '"' + rest + '}';
}

QByteArray keyed(const QByteArray &key)
{
    return "Idempotency-Key: " + key + "\r\n";
}

} // namespace

class TestTokens : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ServiceRig> m_rig;
    QString m_desk;
    QString m_other;
    QString m_operator;
    QString m_otherOperator;

    void startRig(const QHash<QString, QString> &settings = {})
    {
        m_rig = std::make_unique<ServiceRig>();
        for (auto it = settings.cbegin(); it != settings.cend(); ++it)
            m_rig->set(it.key(), it.value());
        m_desk = m_rig->issue(u"console"_s, u"desk"_s);
        m_other = m_rig->issue(u"console"_s, u"other desk"_s);
        m_operator = m_rig->issue(u"operator"_s, u"ops"_s);
        m_otherOperator = m_rig->issue(u"operator"_s, u"other ops"_s);
        QString why;
        QVERIFY2(m_rig->start(why), qPrintable(why));
    }

    QByteArray call(const QString &operation, const QByteArray &body, const QString &token,
                    const QByteArray &extra = {})
    {
        const QString role = token == m_operator ? u"operator"_s : u"console"_s;
        return m_rig->post(u"/v1/%1/%2"_s.arg(role, operation), body, token, extra).body;
    }

    // A card's number and password, as issued.
    QPair<QByteArray, QByteArray> card(int fen, const QByteArray &extra = {})
    {
        const QByteArray issued
            = call(u"issueCards"_s, "{\"valueFen\":" + QByteArray::number(fen) + ",\"count\":1}",
                   m_operator, extra);
        const QJsonObject c = json(issued).value(u"cards"_s).toArray().at(0).toObject();
        return { c.value(u"number"_s).toString().toLatin1(),
                 c.value(u"password"_s).toString().toLatin1() };
    }

    QJsonObject listed(const QByteArray &number)
    {
        const QJsonArray all
            = json(call(u"accounts"_s, "{}", m_operator)).value(u"accounts"_s).toArray();
        for (const QJsonValue &a : all) {
            if (a.toObject().value(u"number"_s).toString().toLatin1() == number)
                return a.toObject();
        }
        return {};
    }

private Q_SLOTS:
    // One service for the sign-on rows: Owned is signed on by the desk, funded, with
    // forwarding, an automatic reply and a waiting message.
    void initTestCase()
    {
        startRig();
        QCOMPARE(call(u"register"_s, account(Owned, "\"password\":\"owner-pw\""), m_desk), Welcome);
        const auto [number, password] = card(1000);
        QCOMPARE(call(u"recharge"_s,
                      account(Owned,
                              "\"cardNo\":\"" + number + "\",\"cardPassword\":\"" + password + '"'),
                      m_desk),
                 Welcome);
        QCOMPARE(call(u"setForwarding"_s, account(Owned, "\"phoneNo\":\"13800138000\""), m_desk),
                 Welcome);
        QCOMPARE(call(u"setAutoReply"_s, account(Owned, "\"reply\":\"away\""), m_desk), Welcome);
        call(u"receiveFromHandset"_s,
             "{\"from\":\"13900139000\",\"to\":\"" + Owned + "\",\"text\":\"hello\"}", m_operator);
        // A signed-off account of the other desk's, for what signed-off accounts get.
        QCOMPARE(call(u"register"_s, account("ABC-DEF-GHI-00002", "\"password\":\"pw\""), m_other),
                 Welcome);
        QCOMPARE(call(u"deregister"_s, account("ABC-DEF-GHI-00002"), m_other), Welcome);
    }

    // Another token, without the password, gets for each call on a signed-on account
    // exactly what a signed-off account gets, and changes nothing: not the balance, the
    // settings, the waiting messages, the card, the password, nor the recharge lock.
    void otherTokensGetTheSignedOffAnswer_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QByteArray>("fields");
        QTest::addColumn<QByteArray>("answer");
        const QByteArray status = "\"status\":{\"code\":0,\"description\":\"\"}";
        const QByteArray slots
            = "\"current\":\"9\",\"messages\":null,\"outcome\":0," + status + ",\"total\":\"9\"";
        QTest::newRow("balance") << u"queryBalance"_s << QByteArray()
                                 << "{\"balance\":\"\"," + status + '}';
        QTest::newRow("recharge with a card") << u"recharge"_s << QByteArray("CARD") << Refused;
        QTest::newRow("recharge with a wrong card")
            << u"recharge"_s
            << QByteArray("\"cardNo\":\"1234567890123456\",\"cardPassword\":\"000000000000\"")
            << Refused;
        QTest::newRow("send") << u"sendMessage"_s
                              << QByteArray("\"phoneNo\":\"13700137000\",\"text\":\"hi\"")
                              << Refused;
        QTest::newRow("send scheduled")
            << u"sendScheduledMessage"_s
            << QByteArray("\"phoneNo\":\"13700137000\",\"text\":\"hi\",\"sendTime\":\"2099/1/1 "
                          "0:00:00\"")
            << Refused;
        QTest::newRow("receive") << u"receiveMessages"_s
                                 << QByteArray("\"total\":\"9\",\"current\":\"9\"")
                                 << "{" + slots + '}';
        QTest::newRow("receive by extension")
            << u"receiveMessagesNet"_s << QByteArray("\"total\":\"9\",\"current\":\"9\"")
            << "{" + slots + '}';
        QTest::newRow("set forwarding")
            << u"setForwarding"_s << QByteArray("\"phoneNo\":\"13700137000\"") << Refused;
        QTest::newRow("cancel forwarding") << u"cancelForwarding"_s << QByteArray() << Refused;
        QTest::newRow("get forwarding") << u"getForwarding"_s << QByteArray("\"phoneNo\":\"x\"")
                                        << "{\"phoneNo\":\"\"," + status + '}';
        QTest::newRow("set reply")
            << u"setAutoReply"_s << QByteArray("\"reply\":\"mine\"") << Refused;
        QTest::newRow("cancel reply") << u"cancelAutoReply"_s << QByteArray() << Refused;
        QTest::newRow("get reply") << u"getAutoReply"_s << QByteArray("\"reply\":\"x\"")
                                   << "{\"reply\":\"\"," + status + '}';
        QTest::newRow("change password")
            << u"changePassword"_s << QByteArray("\"newPassword\":\"taken\"") << Refused;
        QTest::newRow("deregister") << u"deregister"_s << QByteArray() << Refused;
    }
    void otherTokensGetTheSignedOffAnswer()
    {
        QFETCH(QString, operation);
        QFETCH(QByteArray, fields);
        QFETCH(QByteArray, answer);
        if (fields == "CARD") {
            const auto [number, password] = card(500);
            fields = "\"cardNo\":\"" + number + "\",\"cardPassword\":\"" + password + '"';
        }
        StoreProbe probe(m_rig->ownerUrl());
        const QStringList before = probe.snapshot();
        QCOMPARE(call(operation, account(Owned, fields), m_other), answer);
        QCOMPARE(call(operation, account("ABC-DEF-GHI-00002", fields), m_other), answer);
        QCOMPARE(probe.snapshot(), before);
        QCOMPARE(probe.count(u"SELECT count(*) FROM recharge_failures"_s), 0);
        QCOMPARE(listed(Owned).value(u"signedOn"_s).toBool(), true);
    }

    // Deregister ends the calling token's sign-on; the account stays signed on (for
    // forwarding and the automatic reply) while another token's holds. A new password
    // ends every other token's sign-on.
    void signOnsBelongToTheirToken()
    {
        const QByteArray shared = "ABC-DEF-GHI-00003";
        for (const QString &token : { m_desk, m_other })
            QCOMPARE(call(u"register"_s, account(shared, "\"password\":\"pw\""), token), Welcome);
        QCOMPARE(call(u"deregister"_s, account(shared), m_desk), Welcome);
        QCOMPARE(call(u"deregister"_s, account(shared), m_desk), Refused);
        QCOMPARE(json(call(u"queryBalance"_s, account(shared), m_other)).value(u"balance"_s),
                 u"0.00"_s);
        QCOMPARE(listed(shared).value(u"signedOn"_s).toBool(), true);
        QCOMPARE(call(u"deregister"_s, account(shared), m_other), Welcome);
        QCOMPARE(listed(shared).value(u"signedOn"_s).toBool(), false);

        for (const QString &token : { m_desk, m_other })
            QCOMPARE(call(u"register"_s, account(shared, "\"password\":\"pw\""), token), Welcome);
        QCOMPARE(call(u"changePassword"_s, account(shared, "\"newPassword\":\"pw2\""), m_desk),
                 Welcome);
        QCOMPARE(json(call(u"queryBalance"_s, account(shared), m_other)).value(u"balance"_s),
                 u""_s);
        QCOMPARE(json(call(u"queryBalance"_s, account(shared), m_desk)).value(u"balance"_s),
                 u"0.00"_s);
    }

    // Neither a password, a new password, a card's password, a token nor an
    // Idempotency-Key is anywhere in the store (its file or a dump of its database),
    // while a repeat of the key still gets the issued cards in full. The fingerprint is
    // keyed: one request under two keys leaves two different fingerprints.
    void secretsRestNowhere()
    {
        const QByteArray number = "ABC-DEF-GHI-00004";
        const QByteArray cardKey = "7f0c-cards-4e5b-a1d2-issued";
        QCOMPARE(call(u"register"_s, account(number, "\"password\":\"first-secret\""), m_desk,
                      keyed("4a1e-register-7c1b-first")),
                 Welcome);
        QCOMPARE(call(u"changePassword"_s, account(number, "\"newPassword\":\"second-secret\""),
                      m_desk, keyed("9b2d-change-40aa-second")),
                 Welcome);
        const auto [cardNo, cardPassword] = card(300, keyed(cardKey));
        QCOMPARE(
            call(u"recharge"_s,
                 account(number,
                         "\"cardNo\":\"" + cardNo + "\",\"cardPassword\":\"" + cardPassword + '"'),
                 m_desk, keyed("2c8e-recharge-51f0-card")),
            Welcome);
        const QByteArray replay
            = call(u"issueCards"_s, "{\"valueFen\":300,\"count\":1}", m_operator, keyed(cardKey));
        QVERIFY(replay.contains(QByteArray("\"password\":\"" + cardPassword + '"')));
        const QByteArray send = account(number, "\"phoneNo\":\"13700137000\",\"text\":\"twice\"");
        for (const QByteArray key : { "5d3a-send-one-00000", "5d3a-send-two-00000" })
            QCOMPARE(call(u"sendMessage"_s, send, m_desk, keyed(key)), Welcome);

        StoreProbe probe(m_rig->ownerUrl());
        QCOMPARE(probe.count(u"SELECT count(*) - count(DISTINCT fingerprint) FROM service_requests "
                             u"WHERE operation = 'sendMessage'"_s),
                 0);
        QByteArray stored;
        if (TestStore::onPostgresql()) {
            QProcess dump;
            dump.start(u"pg_dump"_s, { u"--data-only"_s, u"-d"_s, m_rig->ownerUrl() });
            QVERIFY(dump.waitForFinished(30'000));
            QCOMPARE(dump.exitCode(), 0);
            stored = dump.readAllStandardOutput();
            QVERIFY(stored.contains(number)); // the dump does hold the data
        } else {
            for (const QString &suffix : { u""_s, u"-wal"_s }) {
                QFile file(m_rig->storePath() + suffix);
                if (file.open(QIODevice::ReadOnly))
                    stored += file.readAll();
            }
        }
        for (const QByteArray &secret :
             { QByteArray("first-secret"), QByteArray("second-secret"), cardPassword, cardKey,
               QByteArray("4a1e-register-7c1b-first"), m_desk.toLatin1().mid(4),
               m_operator.toLatin1().mid(4) })
            QVERIFY2(!stored.contains(secret), secret.constData());
    }

    // An Idempotency-Key is its token's: another token sending the same key and body makes
    // a request of its own, and never reads the first token's answer (its card passwords).
    void keysBelongToTheirToken()
    {
        const QByteArray body = "{\"valueFen\":700,\"count\":1}";
        const QByteArray key = keyed("3e9f-cards-of-one-token");
        const QByteArray first = call(u"issueCards"_s, body, m_operator, key);
        const QByteArray second
            = m_rig->post(u"/v1/operator/issueCards"_s, body, m_otherOperator, key).body;
        QVERIFY2(first.contains("\"password\""), first.constData());
        QVERIFY2(second.contains("\"password\""), second.constData());
        QVERIFY(first != second);
        StoreProbe probe(m_rig->ownerUrl());
        QCOMPARE(probe.count(u"SELECT count(*) FROM cards WHERE value = 700"_s), 2);
    }

    // Failed sign-ons are limited per token and account, and per token: past either, the
    // token's sign-ons get 429 with Retry-After (before any hash is made), while other
    // tokens and other calls go on.
    void failedSignOnsAreLimited()
    {
        startRig(
            { { u"signon_failure_limit"_s, u"3"_s }, { u"signon_token_failure_limit"_s, u"5"_s } });
        const QByteArray first = "ABC-DEF-GHI-00005";
        QCOMPARE(call(u"register"_s, account(first, "\"password\":\"pw\""), m_desk), Welcome);
        const auto wrong = [&](const QByteArray &number) {
            return m_rig->post(u"/v1/console/register"_s, account(number, "\"password\":\"wrong\""),
                               m_desk);
        };
        for (int i = 0; i < 3; ++i)
            QCOMPARE(wrong(first).body, Refused);
        const auto limited = wrong(first);
        QCOMPARE(limited.status, 429);
        QVERIFY2(limited.headers.contains("\r\nRetry-After: 60\r\n"), limited.headers.constData());
        QCOMPARE(
            m_rig->post(u"/v1/console/register"_s, account(first, "\"password\":\"pw\""), m_desk)
                .status,
            429);
        QCOMPARE(call(u"register"_s, account(first, "\"password\":\"pw\""), m_other), Welcome);
        QCOMPARE(json(call(u"queryBalance"_s, account(first), m_desk)).value(u"balance"_s),
                 u"0.00"_s);
        // Two more failures on other accounts reach the token's limit of five.
        QCOMPARE(call(u"register"_s, account("ABC-DEF-GHI-00006", "\"password\":\"\""), m_desk),
                 Refused);
        QCOMPARE(call(u"register"_s, account("ABC-DEF-GHI-00007", "\"password\":\"\""), m_desk),
                 Refused);
        QCOMPARE(wrong("ABC-DEF-GHI-00008").status, 429);
    }

    // Slow hashes run outside the write lock and on two threads at most: a send and a
    // balance sent while twenty cards are being made are answered before the cards, and
    // a balance sent behind twelve sign-ons is answered before most of them.
    void hashingHoldsUpNobody()
    {
        startRig({ { u"workers"_s, u"4"_s },
                   { u"hashing_slots"_s, u"2"_s },
                   { u"password_hash_cost"_s, u"interactive"_s } });
        const QByteArray number = "ABC-DEF-GHI-00009";
        QCOMPARE(call(u"register"_s, account(number, "\"password\":\"pw\""), m_desk), Welcome);
        const auto [cardNo, cardPassword] = card(1000);
        QCOMPARE(
            call(u"recharge"_s,
                 account(number,
                         "\"cardNo\":\"" + cardNo + "\",\"cardPassword\":\"" + cardPassword + '"'),
                 m_desk),
            Welcome);

        std::atomic<int> done = 0;
        int cardsDone = 0;
        std::thread cards([&] {
            const auto issued = m_rig->post(u"/v1/operator/issueCards"_s,
                                            "{\"valueFen\":100,\"count\":20}", m_operator);
            QCOMPARE(json(issued.body).value(u"cards"_s).toArray().size(), 20);
            cardsDone = ++done;
        });
        QTest::qWait(150); // the cards are being made before the quick calls go in
        QCOMPARE(call(u"sendMessage"_s,
                      account(number, "\"phoneNo\":\"13700137000\",\"text\":\"x\""), m_desk),
                 Welcome);
        QCOMPARE(json(call(u"queryBalance"_s, account(number), m_desk)).value(u"balance"_s),
                 u"9.90"_s);
        const int quickDone = ++done;
        cards.join();
        QCOMPARE(quickDone, 1);
        QCOMPARE(cardsDone, 2);

        std::atomic<int> signOns = 0;
        std::vector<std::thread> crowd;
        for (int i = 0; i < 12; ++i) {
            crowd.emplace_back([&, i] {
                m_rig->post(
                    u"/v1/console/register"_s,
                    account("ABC-DEF-GHI-100" + QByteArray::number(10 + i), "\"password\":\"pw\""),
                    m_desk);
                ++signOns;
            });
        }
        QTest::qWait(150); // every sign-on is in before the balance
        QCOMPARE(json(call(u"queryBalance"_s, account(number), m_desk)).value(u"balance"_s),
                 u"9.90"_s);
        const int before = signOns;
        for (std::thread &t : crowd)
            t.join();
        QVERIFY2(before < 6,
                 qPrintable(u"%1 of 12 sign-ons answered before the balance"_s.arg(before)));
    }
};

QTEST_GUILESS_MAIN(TestTokens)
#include "tst_tokens.moc"
