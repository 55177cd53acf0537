// Callbacks from a running service to a receiver in the test: each event delivered once
// it is answered 2xx, and tried again after an error, a hang past the timeout or a
// closed connection; a message's states in order; the signature as Python's hmac checks
// it; events due when the service is killed all delivered after its restart.

#include "gateway/local/localoperator.h"
#include "gateway/local/outbox.h"
#include "service/callbacksecrets.h"
#include "tests/gateway/local/storeprobe.h"
#include "tests/service/servicerig.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString Account = u"ABC-DEF-GHI-00001"_s;
const QString Phone = u"13800138000"_s;
constexpr int TimeoutMs = 500;
constexpr int WaitMs = 20'000;

// Answers each request as the next word of its plan says, then 200: a status, "hang"
// (no answer), or "close" (the connection closed unanswered).
class Receiver : public QTcpServer {
public:
    struct Request {
        QByteArray signature;
        QByteArray body;
        QString answer;
    };
    QStringList plan;
    QList<Request> requests;

    Receiver()
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection())
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
        });
    }

    QStringList delivered() const
    {
        QStringList ids;
        for (const Request &r : requests) {
            if (r.answer == u"200"_s)
                ids.append(QJsonDocument::fromJson(r.body).object().value(u"id"_s).toString());
        }
        return ids;
    }

private:
    void read(QTcpSocket *socket)
    {
        QByteArray &buffer = m_buffers[socket];
        buffer += socket->readAll();
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        Request request;
        qsizetype length = 0;
        for (const QByteArray &line : buffer.left(end).split('\n')) {
            const qsizetype colon = line.indexOf(':');
            const QByteArray name = line.left(colon).trimmed().toLower();
            const QByteArray value = line.mid(colon + 1).trimmed();
            if (name == "content-length")
                length = value.toLongLong();
            if (name == "quillet-signature")
                request.signature = value;
        }
        if (buffer.size() < end + 4 + length)
            return;
        request.body = buffer.mid(end + 4, length);
        m_buffers.remove(socket);
        request.answer = plan.isEmpty() ? u"200"_s : plan.takeFirst();
        requests.append(request);
        if (request.answer == u"close"_s) {
            socket->abort();
        } else if (request.answer != u"hang"_s) {
            socket->write("HTTP/1.1 " + request.answer.toLatin1()
                          + " X\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
        }
    }

    QHash<QTcpSocket *, QByteArray> m_buffers;
};

bool pythonVerifies(const QString &secret, const QByteArray &header, const QByteArray &body)
{
    QProcess python;
    python.start(u"python3"_s,
                 { u"-c"_s,
                   u"import hmac,hashlib,sys; s=sys.argv[1].encode(); "
                   u"f=dict(p.split('=',1) for p in sys.argv[2].split(',')); "
                   u"b=sys.stdin.buffer.read(); "
                   u"m=hmac.new(s, f['t'].encode()+b'.'+b, hashlib.sha256).hexdigest(); "
                   u"sys.exit(0 if hmac.compare_digest(m, f['v1']) else 1)"_s,
                   secret, QString::fromLatin1(header) });
    python.write(body);
    python.closeWriteChannel();
    return python.waitForFinished() && python.exitStatus() == QProcess::NormalExit
        && python.exitCode() == 0;
}

} // namespace

class TestCallbacks : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ServiceRig> m_rig;
    std::unique_ptr<Receiver> m_receiver;
    std::unique_ptr<LocalGateway> m_gateway;
    QString m_secret;

    bool startService()
    {
        QString why;
        if (m_rig->start(why))
            return true;
        qWarning("%s", qPrintable(why));
        return false;
    }

    // Every event of the store delivered, and the receiver's 2xx answers as many.
    bool allDelivered(int events)
    {
        StoreProbe probe(m_rig->ownerUrl());
        return probe.count(u"SELECT count(*) FROM outbox WHERE delivery = 'delivered'"_s) == events
            && m_receiver->delivered().size() == events;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_receiver = std::make_unique<Receiver>();
        QVERIFY(m_receiver->isListening());
        m_rig = std::make_unique<ServiceRig>();
        m_rig->set(u"callback_allow_hosts"_s, u"127.0.0.1"_s);
        m_rig->set(u"callback_timeout_ms"_s, QString::number(TimeoutMs));
        QVERIFY(startService());

        StoreLocation location;
        QVERIFY(StoreLocation::parse(m_rig->ownerUrl(), location).isOk());
        LocalGateway::Options options;
        options.hashCost = PasswordHasher::fastest();
        QVERIFY(LocalGateway::open(location, m_gateway, options).isOk());
        QList<LocalGateway::IssuedCard> cards;
        RegisterParticulars p;
        p.accountNo = Account;
        p.password = u"pw"_s;
        Bool16 registered = 0;
        Bool16 recharged = 0;
        QVERIFY(LocalOperator(*m_gateway).issueCards(100'000, 1, cards).isOk());
        QVERIFY(m_gateway->Register(p, registered).isOk());
        QVERIFY(m_gateway->Recharge(Account, cards[0].number, cards[0].password, recharged).isOk());
        // The secret as the service seals it, with the key the service made.
        SecretSeal seal;
        QVERIFY(SecretSeal::load(m_rig->dir() + u"/callback.key"_s, seal).isOk());
        m_secret = CallbackSecrets::newSecret();
        Outbox outbox(*m_gateway, u"test"_s);
        const QString url = u"http://127.0.0.1:%1/hook"_s.arg(m_receiver->serverPort());
        QVERIFY(*outbox.setCallback(Account, { url, true, true, seal.seal(m_secret) }));
    }

    void init()
    {
        QVERIFY(StoreProbe(m_rig->ownerUrl()).exec(u"DELETE FROM outbox"_s));
        m_receiver->requests.clear();
    }

    void cleanupTestCase()
    {
        m_gateway.reset();
        m_rig.reset();
    }

    // A message handed to its handset and a phone's message, each delivered once its
    // receiver answers 2xx, after what the plan makes of the first tries.
    void deliveredAfterFailures_data()
    {
        QTest::addColumn<QStringList>("plan");
        QTest::addColumn<int>("requests");
        QTest::addColumn<int>("attempts"); // as the store counts them
        QTest::newRow("200 at once") << QStringList() << 2 << 2;
        QTest::newRow("500 then 200") << QStringList { u"500"_s, u"500"_s } << 4 << 4;
        QTest::newRow("a redirect is not followed") << QStringList { u"302"_s } << 3 << 3;
        QTest::newRow("hangs past the timeout") << QStringList { u"hang"_s } << 3 << 3;
        // Qt's HTTP client sends a request once more by itself on a connection closed
        // before any answer: one attempt, two requests.
        QTest::newRow("closes without an answer") << QStringList { u"close"_s } << 3 << 2;
    }
    void deliveredAfterFailures()
    {
        QFETCH(QStringList, plan);
        QFETCH(int, requests);
        QFETCH(int, attempts);
        m_receiver->plan = plan;
        Bool16 sent = 0;
        QVERIFY(m_gateway->SendMessage(Account, Phone, u"hi"_s, sent).isOk());
        LocalOperator::MoReport report;
        QVERIFY(LocalOperator(*m_gateway)
                    .receiveFromHandset(Phone, Account, {}, u"yes"_s, report)
                    .isOk());
        QTRY_VERIFY_WITH_TIMEOUT(allDelivered(2), WaitMs);
        QCOMPARE(m_receiver->requests.size(), requests);
        QStringList types;
        for (const Receiver::Request &r : std::as_const(m_receiver->requests)) {
            QVERIFY(pythonVerifies(m_secret, r.signature, r.body));
            const QJsonObject event = QJsonDocument::fromJson(r.body).object();
            if (r.answer == u"200"_s)
                types.append(event.value(u"type"_s).toString());
        }
        types.sort();
        QCOMPARE(types, (QStringList { u"arrival"_s, u"message.state"_s }));
        StoreProbe probe(m_rig->ownerUrl());
        QCOMPARE(probe.count(u"SELECT sum(attempts) FROM outbox"_s), attempts);
    }

    // What an event says: the message at the state it reached, the arrival as it came.
    void eventBodies()
    {
        Bool16 sent = 0;
        QVERIFY(m_gateway->SendMessage(Account, Phone, u"hi"_s, sent).isOk());
        QTRY_VERIFY_WITH_TIMEOUT(allDelivered(1), WaitMs);
        const QJsonObject event
            = QJsonDocument::fromJson(m_receiver->requests.value(0).body).object();
        QCOMPARE(event.value(u"type"_s).toString(), u"message.state"_s);
        QVERIFY(event.value(u"time"_s).toString().endsWith(u'Z'));
        const QJsonObject data = event.value(u"data"_s).toObject();
        QCOMPARE(data.value(u"to"_s).toString(), Phone);
        QCOMPARE(data.value(u"state"_s).toString(), u"delivered"_s);
        QCOMPARE(data.value(u"price"_s).toString(), u"0.10"_s);
        QCOMPARE(data.value(u"text"_s).toString(), u"hi"_s);
    }

    // Killed with events due and a receiver that fails them: after the restart every
    // one is delivered, none lost.
    void killedWithEventsDue()
    {
        m_receiver->plan = QStringList(1000, u"500"_s);
        Bool16 sent = 0;
        for (int i = 0; i < 5; ++i)
            QVERIFY(m_gateway->SendMessage(Account, Phone, u"m%1"_s.arg(i), sent).isOk());
        QTRY_VERIFY_WITH_TIMEOUT(m_receiver->requests.size() >= 5, WaitMs);
        m_rig->kill();
        m_receiver->plan.clear();
        // Claims of the dead process run out before anyone sends them again.
        QVERIFY(StoreProbe(m_rig->ownerUrl())
                    .exec(u"UPDATE outbox SET claimed_until = NULL, next_try_at = NULL"_s));
        QVERIFY(startService());
        QTRY_VERIFY_WITH_TIMEOUT(allDelivered(5), WaitMs);
    }
};

QTEST_GUILESS_MAIN(TestCallbacks)
#include "tst_callbacks.moc"
