// Callbacks from a running service to a receiver in the test: the callback set by an
// PUT of an application (URLs refused by where they go), each event delivered once
// it is answered 2xx, and tried again after an error, a hang past the timeout or a
// closed connection; a message's states in order; the signature as Python's hmac checks
// it; events due when the service is killed all delivered after its restart.

#include "gateway/local/localoperator.h"
#include "service/callbackdispatcher.h"
#include "service/callbacksecrets.h"
#include "tests/gateway/local/storeprobe.h"
#include "tests/gateway/local/teststore.h"
#include "tests/service/servicerig.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString Account = u"ABC-DEF-GHI-00001"_s;
const QString Phone = u"13800138000"_s;
constexpr int TimeoutMs = 500;
constexpr int PerUrl = 2;
constexpr int WaitMs = 20'000;

// Answers each request as the next word of its plan says, then 200: a status (a 3xx one
// pointing elsewhere on this receiver), "hang" (no answer), "close" (the connection
// closed unanswered), or "endless" (a 200 whose body never ends).
class Receiver : public QTcpServer {
public:
    struct Request {
        QByteArray signature;
        QByteArray body;
        QString answer;
    };
    QStringList plan;
    QList<Request> requests;
    // Requests left unanswered whose connection is still open, now and at most.
    int hanging = 0;
    int mostHanging = 0;

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
            if (r.answer == u"200"_s || r.answer == u"endless"_s)
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
        } else if (request.answer == u"endless"_s) {
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: 1000000000\r\n\r\n");
            socket->write(QByteArray(1024 * 1024, 'x'));
        } else if (request.answer == u"hang"_s) {
            mostHanging = std::max(mostHanging, ++hanging);
            connect(socket, &QTcpSocket::disconnected, this, [this] { --hanging; });
        } else {
            socket->write("HTTP/1.1 " + request.answer.toLatin1()
                          + " X\r\nLocation: /moved\r\nContent-Length: 0\r\nConnection: "
                            "close\r\n\r\n");
            socket->disconnectFromHost();
        }
    }

    QHash<QTcpSocket *, QByteArray> m_buffers;
};

// Each request's signature checked by Python's hmac, all in one run: a line of the
// header and the body in base64 for each.
bool pythonVerifies(const QString &secret, const QList<Receiver::Request> &requests)
{
    QProcess python;
    python.start(u"python3"_s,
                 { u"-c"_s,
                   u"import base64,hmac,hashlib,sys\n"
                   u"s = sys.argv[1].encode()\n"
                   u"for line in sys.stdin:\n"
                   u"    header, body = line.split()\n"
                   u"    f = dict(p.split('=', 1) for p in header.split(','))\n"
                   u"    m = hmac.new(s, f['t'].encode() + b'.' + base64.b64decode(body),\n"
                   u"                 hashlib.sha256).hexdigest()\n"
                   u"    if not hmac.compare_digest(m, f['v1']):\n"
                   u"        sys.exit(1)\n"_s,
                   secret });
    for (const Receiver::Request &r : requests)
        python.write(r.signature + ' ' + r.body.toBase64() + '\n');
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

    QString m_application;

    QString putCallback(const QString &url, const QByteArray &key = {})
    {
        const QJsonObject body { { u"url"_s, url },
                                 { u"events"_s, QJsonArray { u"message.state"_s, u"arrival"_s } } };
        const ServiceRig::Answer answer = m_rig->request(
            "PUT", u"/v1/account/callback"_s, QJsonDocument(body).toJson(), m_application,
            key.isEmpty() ? QByteArray() : "Idempotency-Key: " + key + "\r\n");
        return QJsonDocument::fromJson(answer.body).object().value(u"secret"_s).toString();
    }

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
    static void configure(ServiceRig &rig)
    {
        rig.set(u"callback_allow_hosts"_s, u"127.0.0.1"_s);
        rig.set(u"callback_timeout_ms"_s, QString::number(TimeoutMs));
        rig.set(u"callback_in_flight_per_url"_s, QString::number(PerUrl));
        rig.set(u"callback_retry_ms"_s, u"100"_s);
    }

    void initTestCase()
    {
        m_receiver = std::make_unique<Receiver>();
        QVERIFY(m_receiver->isListening());
        m_rig = std::make_unique<ServiceRig>();
        configure(*m_rig);
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
        m_application = m_rig->issue(u"application"_s, u"app"_s, Account);
        QVERIFY(!m_application.isEmpty());
        m_secret = putCallback(u"http://127.0.0.1:%1/hook"_s.arg(m_receiver->serverPort()));
        QVERIFY(m_secret.startsWith(u"whsec_"_s));
    }

    void init()
    {
        QVERIFY(StoreProbe(m_rig->ownerUrl()).exec(u"DELETE FROM outbox"_s));
        m_receiver->requests.clear();
        m_receiver->mostHanging = 0;
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
        // Its status is all an answer is read for: one that goes on past 64 KiB is cut off
        // there, and its 200 counts.
        QTest::newRow("an answer without end") << QStringList { u"endless"_s } << 2 << 2;
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
        QVERIFY(pythonVerifies(m_secret, m_receiver->requests));
        for (const Receiver::Request &r : std::as_const(m_receiver->requests)) {
            const QJsonObject event = QJsonDocument::fromJson(r.body).object();
            if (r.answer == u"200"_s || r.answer == u"endless"_s)
                types.append(event.value(u"type"_s).toString());
        }
        types.sort();
        QCOMPARE(types, (QStringList { u"arrival"_s, u"message.state"_s }));
        StoreProbe probe(m_rig->ownerUrl());
        QCOMPARE(probe.count(u"SELECT sum(attempts) FROM outbox"_s), attempts);
    }

    // A failed event waits the first delay, doubling to ten minutes, and up to a quarter
    // more by its jitter.
    void retrySchedule_data()
    {
        QTest::addColumn<int>("attempts");
        QTest::addColumn<double>("jitter");
        QTest::addColumn<qint64>("delayMs");
        QTest::newRow("first") << 1 << 0.0 << qint64(1'000);
        QTest::newRow("third") << 3 << 0.0 << qint64(4'000);
        QTest::newRow("eleventh, at the most") << 11 << 0.0 << qint64(600'000);
        QTest::newRow("a thousandth, at the most") << 1000 << 0.0 << qint64(600'000);
        QTest::newRow("first, whole jitter") << 1 << 1.0 << qint64(1'250);
        QTest::newRow("jitter past 1 counts as 1") << 1 << 7.0 << qint64(1'250);
        QTest::newRow("the most, whole jitter") << 30 << 1.0 << qint64(750'000);
    }
    void retrySchedule()
    {
        QFETCH(int, attempts);
        QFETCH(double, jitter);
        QFETCH(qint64, delayMs);
        QCOMPARE(CallbackDispatcher::retryDelayMs(1'000, attempts, jitter), delayMs);
    }

    // Where a callback may not go, and bodies that are not a callback.
    void callbackRefused_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("code");
        const auto to = [](const char *url) -> QByteArray {
            return QByteArray("{\"url\":\"") + url + "\",\"events\":[\"arrival\"]}";
        };
        QTest::newRow("loopback v6") << to("https://[::1]/x") << 422 << u"callback_refused"_s;
        QTest::newRow("private") << to("https://10.0.0.1/x") << 422 << u"callback_refused"_s;
        QTest::newRow("link-local")
            << to("https://169.254.169.254/latest") << 422 << u"callback_refused"_s;
        QTest::newRow("unspecified") << to("https://0.0.0.0/x") << 422 << u"callback_refused"_s;
        QTest::newRow("http to a host not listed")
            << to("http://93.184.216.34/x") << 422 << u"callback_refused"_s;
        QTest::newRow("not a URL") << to("hook") << 422 << u"callback_refused"_s;
        QTest::newRow("an event there is not")
            << QByteArray("{\"url\":\"https://127.0.0.1/\",\"events\":[\"sent\"]}") << 400
            << u"invalid_field"_s;
        QTest::newRow("no event") << QByteArray("{\"url\":\"https://127.0.0.1/\",\"events\":[]}")
                                  << 400 << u"invalid_field"_s;
        QTest::newRow("an event twice")
            << QByteArray("{\"url\":\"https://127.0.0.1/\",\"events\":[\"arrival\",\"arrival\"]}")
            << 400 << u"invalid_field"_s;
        QTest::newRow("a field there is not")
            << QByteArray("{\"url\":\"https://127.0.0.1/\",\"events\":[\"arrival\"],\"x\":1}")
            << 400 << u"invalid_field"_s;
    }
    void callbackRefused()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, code);
        const ServiceRig::Answer answer
            = m_rig->request("PUT", u"/v1/account/callback"_s, body, m_application);
        QCOMPARE(answer.status, status);
        QCOMPARE(QJsonDocument::fromJson(answer.body)
                     .object()
                     .value(u"error"_s)
                     .toObject()
                     .value(u"code"_s)
                     .toString(),
                 code);
    }

    // Each PUT makes a new secret; a repeat of its key answers the same; DELETE ends it,
    // once. Then the callback is set again for the tests after.
    void secretsAndRemoval()
    {
        const QString url = u"http://127.0.0.1:%1/hook"_s.arg(m_receiver->serverPort());
        const QString first = putCallback(url, "callback-key-0001");
        QCOMPARE(putCallback(url, "callback-key-0001"), first);
        const QString second = putCallback(url);
        QVERIFY(second.startsWith(u"whsec_"_s));
        QVERIFY(second != first);
        QCOMPARE(m_rig->request("DELETE", u"/v1/account/callback"_s, {}, m_application).status,
                 200);
        QCOMPARE(m_rig->request("DELETE", u"/v1/account/callback"_s, {}, m_application).status,
                 404);
        const QString console = m_rig->issue(u"console"_s, u"desk"_s);
        QCOMPARE(m_rig->request("DELETE", u"/v1/account/callback"_s, {}, console).status, 403);
        m_secret = putCallback(url);
        QVERIFY(m_secret.startsWith(u"whsec_"_s));
        StoreProbe probe(m_rig->ownerUrl());
        QCOMPARE(probe.count(u"SELECT count(*) FROM callbacks"_s), 1);
    }

    // A receiver that answers nothing has no more requests open at once than the bound.
    void inFlightBoundPerUrl()
    {
        m_receiver->plan = QStringList(6, u"hang"_s);
        Bool16 sent = 0;
        for (int i = 0; i < 6; ++i)
            QVERIFY(m_gateway->SendMessage(Account, Phone, u"m%1"_s.arg(i), sent).isOk());
        QTRY_VERIFY_WITH_TIMEOUT(allDelivered(6), WaitMs);
        QCOMPARE(m_receiver->mostHanging, PerUrl);
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
        QVERIFY(data.value(u"doneAt"_s).toString().endsWith(u'Z'));
        // An event of a state the message has left since: that state, reached when the
        // event was written.
        StoreProbe probe(m_rig->ownerUrl());
        QVERIFY(probe.exec(u"INSERT INTO outbox (account_id, type, subject_id, state, at) "
                           u"SELECT account_id, type, subject_id, 'unknown', %1 FROM outbox"_s.arg(
                               probe.timeFromMs(u"1700000000000"_s))));
        QTRY_VERIFY_WITH_TIMEOUT(allDelivered(2), WaitMs);
        const QJsonObject earlier = QJsonDocument::fromJson(m_receiver->requests.value(1).body)
                                        .object()
                                        .value(u"data"_s)
                                        .toObject();
        QCOMPARE(earlier.value(u"state"_s).toString(), u"unknown"_s);
        QCOMPARE(earlier.value(u"doneAt"_s).toString(), u"2023-11-14T22:13:20.000Z"_s);
    }

    // An event still failing a day after it happened is given up, not tried again.
    void givenUpAfterADay()
    {
        m_receiver->plan = QStringList { u"500"_s, u"500"_s };
        Bool16 sent = 0;
        QVERIFY(m_gateway->SendMessage(Account, Phone, u"hi"_s, sent).isOk());
        StoreProbe probe(m_rig->ownerUrl());
        QTRY_VERIFY_WITH_TIMEOUT(
            probe.count(u"SELECT count(*) FROM outbox WHERE next_try_at IS NOT NULL"_s) == 1,
            WaitMs);
        QVERIFY(probe.exec(TestStore::onPostgresql()
                               ? u"UPDATE outbox SET at = at - interval '25 hours', next_try_at = "
                                 u"NULL"_s
                               : u"UPDATE outbox SET at = at - 90000000, next_try_at = NULL"_s));
        QTRY_VERIFY_WITH_TIMEOUT(
            probe.count(u"SELECT count(*) FROM outbox WHERE delivery = 'dead'"_s) == 1, WaitMs);
        QTest::qWait(2 * TimeoutMs);
        QCOMPARE(m_receiver->requests.size(), 2);
    }

    // Two services on one store, a receiver that fails every other request: every
    // event delivered, none by both processes (each is one claim's at a time).
    void twoProcesses()
    {
        if (!TestStore::onPostgresql())
            QSKIP("several processes share a PostgreSQL store only");
        ServiceRig second(*m_rig);
        configure(second);
        QString why;
        QVERIFY2(second.start(why), qPrintable(why));
        for (int i = 0; i < 40; ++i)
            m_receiver->plan.append(i % 2 == 0 ? u"500"_s : u"200"_s);
        Bool16 sent = 0;
        for (int i = 0; i < 40; ++i)
            QVERIFY(m_gateway->SendMessage(Account, Phone, u"m%1"_s.arg(i), sent).isOk());
        QTRY_VERIFY_WITH_TIMEOUT(allDelivered(40), WaitMs);
        const QStringList ids = m_receiver->delivered();
        QCOMPARE(QSet<QString>(ids.cbegin(), ids.cend()).size(), 40);
        QCOMPARE(second.terminate(), 0);
    }

    // Python's http.server as the application: it reads our request, checks the
    // signature with hmac, and answers 204.
    void pythonReceiver()
    {
        QProcess python;
        python.start(
            u"python3"_s,
            { u"-c"_s,
              u"import hashlib, hmac, http.server, sys\n"
              u"class Hook(http.server.BaseHTTPRequestHandler):\n"
              u"    def do_POST(self):\n"
              u"        body = self.rfile.read(int(self.headers['Content-Length']))\n"
              u"        f = dict(p.split('=', 1) for p in "
              u"self.headers['Quillet-Signature'].split(','))\n"
              u"        mac = hmac.new(secret, f['t'].encode() + b'.' + body, hashlib.sha256)\n"
              u"        good = hmac.compare_digest(mac.hexdigest(), f['v1'])\n"
              u"        self.send_response(204 if good else 401)\n"
              u"        self.end_headers()\n"
              u"        print(('signed ' if good else 'forged ') + self.path, flush=True)\n"
              u"    def log_message(self, *args):\n"
              u"        pass\n"
              u"server = http.server.HTTPServer(('127.0.0.1', 0), Hook)\n"
              u"print(server.server_port, flush=True)\n"
              u"secret = sys.stdin.readline().strip().encode()\n"
              u"server.serve_forever()\n"_s });
        QTRY_VERIFY_WITH_TIMEOUT(python.canReadLine(), WaitMs);
        const QByteArray port = python.readLine().trimmed();
        const QString secret
            = putCallback(u"http://127.0.0.1:%1/py"_s.arg(QString::fromLatin1(port)));
        python.write(secret.toUtf8() + '\n');
        Bool16 sent = 0;
        QVERIFY(m_gateway->SendMessage(Account, Phone, u"hi"_s, sent).isOk());
        QTRY_VERIFY_WITH_TIMEOUT(python.canReadLine(), WaitMs);
        QCOMPARE(python.readLine().trimmed(), QByteArray("signed /py"));
        StoreProbe probe(m_rig->ownerUrl());
        QTRY_COMPARE_WITH_TIMEOUT(
            probe.count(u"SELECT count(*) FROM outbox WHERE delivery = 'delivered'"_s), 1, WaitMs);
        python.kill();
        python.waitForFinished();
        m_secret = putCallback(u"http://127.0.0.1:%1/hook"_s.arg(m_receiver->serverPort()));
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
