// quillet-gatewayd as a client meets it: requests it must refuse without changing
// anything, tokens and roles, the bounds on connections, idempotent retries, the log,
// and stopping on SIGTERM. Run once on SQLite and once on PostgreSQL (see servicerig.h);
// what has nothing to do with the store runs on SQLite only.

#include "tests/gateway/local/storeprobe.h"
#include "tests/service/servicerig.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSslCipher>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QByteArray Account = "\"accountNo\":\"ABC-DEF-GHI-00001\"";

QJsonObject json(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object();
}

QString errorCode(const ServiceRig::Answer &answer)
{
    return json(answer.body).value(u"error"_s).toObject().value(u"code"_s).toString();
}

struct Streamed {
    qint64 sent = 0;
    QByteArray answer;
};

// Sends `head` and then `body` bytes of filler for as long as the service takes them,
// then reads its answer. A plain socket: QTcpSocket drops what it had read when a write
// fails, and a write fails once the service has closed.
Streamed stream(quint16 port, const QByteArray &head, qint64 body)
{
    Streamed streamed;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return streamed;
    const timeval timeout { 10, 0 };
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0
        && ::send(fd, head.constData(), size_t(head.size()), MSG_NOSIGNAL) == head.size()) {
        const QByteArray chunk(256 * 1024, ' ');
        while (streamed.sent < body) {
            const ssize_t n
                = ::send(fd, chunk.constData(),
                         size_t(qMin<qint64>(chunk.size(), body - streamed.sent)), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            streamed.sent += n;
        }
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            streamed.answer.append(buffer, n);
    }
    ::close(fd);
    return streamed;
}

// The processor time a process has used so far, in milliseconds, from /proc; -1 when unknown.
qint64 cpuMs(qint64 pid)
{
    QFile stat(u"/proc/%1/stat"_s.arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // The fields after the command name (which may hold spaces), from the 3rd on.
    const QList<QByteArray> fields = stat.readAll().split(')').last().trimmed().split(' ');
    if (fields.size() < 13)
        return -1;
    const qint64 ticks = fields.at(11).toLongLong() + fields.at(12).toLongLong();
    return ticks * 1000 / ::sysconf(_SC_CLK_TCK);
}

// Skips a test that does not touch the store in the PostgreSQL run.
#define SKIP_ON_POSTGRESQL()                                                                       \
    do {                                                                                           \
        if (TestStore::onPostgresql())                                                             \
            QSKIP("nothing of the store: run on SQLite only");                                     \
    } while (false)

} // namespace

class TestGatewayd : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ServiceRig> m_rig;
    QString m_console;
    QString m_operator;
    // The test function whose data rows share m_rig; empty when it serves one row only.
    QByteArray m_sharedBy;

    void startRig(const QHash<QString, QString> &settings = {}, int descriptorLimit = 0)
    {
        m_rig = std::make_unique<ServiceRig>();
        m_rig->limitDescriptors(descriptorLimit);
        m_rig->set(u"request_timeout_ms"_s, u"1500"_s);
        m_rig->set(u"idle_timeout_ms"_s, u"1500"_s);
        for (auto it = settings.cbegin(); it != settings.cend(); ++it)
            m_rig->set(it.key(), it.value());
        m_console = m_rig->issue(u"console"_s, u"desk"_s);
        m_operator = m_rig->issue(u"operator"_s, u"ops"_s);
        QVERIFY(m_console.startsWith(u"qgt_"_s));
        QVERIFY(m_operator.startsWith(u"qgt_"_s));
        QString why;
        QVERIFY2(m_rig->start(why), qPrintable(why));
    }

    // For rows that need a service but not a fresh one: true when an earlier row of this
    // test function left its service running for this one. Otherwise the caller starts
    // the service, and the next rows share it.
    bool sharesRig()
    {
        const QByteArray function = QTest::currentTestFunction();
        if (m_sharedBy == function && m_rig && m_rig->running())
            return true;
        m_sharedBy = function;
        return false;
    }

    // Registers Account and recharges it with a card of `fen`.
    void fund(int fen, const QByteArray &account = Account)
    {
        QCOMPARE(m_rig
                     ->post(u"/v1/console/register"_s, "{" + account + ",\"password\":\"pw\"}",
                            m_console)
                     .status,
                 200);
        const auto cards
            = m_rig->post(u"/v1/operator/issueCards"_s,
                          "{\"valueFen\":" + QByteArray::number(fen) + ",\"count\":1}", m_operator);
        const QJsonObject card = json(cards.body).value(u"cards"_s).toArray().at(0).toObject();
        const auto recharged = m_rig->post(
            u"/v1/console/recharge"_s,
            "{" + account + ",\"cardNo\":\"" + card.value(u"number"_s).toString().toLatin1()
                + "\",\"cardPassword\":\"" + card.value(u"password"_s).toString().toLatin1()
                + "\"}",
            m_console);
        QCOMPARE(json(recharged.body).value(u"outcome"_s).toInt(), -1);
    }

    QString balanceOf(const QByteArray &account)
    {
        const auto balance
            = m_rig->post(u"/v1/console/queryBalance"_s, "{" + account + "}", m_console);
        return json(balance.body).value(u"balance"_s).toString();
    }

    // The messages the simulated handset 13800138000 has had.
    qsizetype handsetCount()
    {
        const auto received = m_rig->post(u"/v1/operator/handsetMessages"_s,
                                          "{\"phone\":\"13800138000\"}", m_operator);
        return json(received.body).value(u"messages"_s).toArray().size();
    }

    QJsonArray accounts()
    {
        const auto answer = m_rig->post(u"/v1/operator/accounts"_s, "{}", m_operator);
        return json(answer.body).value(u"accounts"_s).toArray();
    }

private Q_SLOTS:
    void init()
    {
        if (m_sharedBy != QTest::currentTestFunction()) {
            m_sharedBy.clear();
            m_rig.reset();
        }
    }
    void cleanup()
    {
        if (m_sharedBy.isEmpty())
            m_rig.reset();
    }
    void cleanupTestCase() { m_rig.reset(); }

    // GIVEN a running service WHEN a request is malformed THEN it gets a 4xx JSON error
    // and no account comes into being.
    void refusesBadRequests_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("headers");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("code");

        const QString reg = u"/v1/console/register"_s;
        const QByteArray ok = "{" + Account + ",\"password\":\"pw\"}";
        QTest::newRow("not JSON") << reg << QByteArray("{\"accountNo\":") << QByteArray() << 400
                                  << u"malformed_json"_s;
        QTest::newRow("an array, not an object")
            << reg << QByteArray("[1,2]") << QByteArray() << 400 << u"malformed_json"_s;
        QTest::newRow("invalid UTF-8") << reg << QByteArray("{\"accountNo\":\"\xff\xfe\"}")
                                       << QByteArray() << 400 << u"malformed_json"_s;
        QTest::newRow("a key twice")
            << reg << QByteArray("{" + Account + ",\"password\":\"pw\",\"password\":\"x\"}")
            << QByteArray() << 400 << u"malformed_json"_s;
        QTest::newRow("a raw control character in a text")
            << reg << QByteArray("{" + Account + ",\"password\":\"p\x01w\"}") << QByteArray() << 400
            << u"malformed_json"_s;
        QTest::newRow("number where a text belongs")
            << reg << QByteArray("{\"accountNo\":12345,\"password\":\"pw\"}") << QByteArray() << 400
            << u"invalid_field"_s;
        QTest::newRow("unknown field") << reg << QByteArray("{" + Account + ",\"pasword\":\"pw\"}")
                                       << QByteArray() << 400 << u"invalid_field"_s;
        QTest::newRow("unpaired high surrogate")
            << reg << QByteArray("{" + Account + ",\"password\":\"a\\ud800b\"}") << QByteArray()
            << 400 << u"invalid_field"_s;
        QTest::newRow("unpaired low surrogate")
            << reg << QByteArray("{" + Account + ",\"password\":\"\\udc00\"}") << QByteArray()
            << 400 << u"invalid_field"_s;
        QTest::newRow("outcome beyond 16 bits")
            << reg << QByteArray("{" + Account + ",\"password\":\"pw\",\"outcome\":40000}")
            << QByteArray() << 400 << u"invalid_field"_s;
        QTest::newRow("outcome not whole")
            << reg << QByteArray("{" + Account + ",\"password\":\"pw\",\"outcome\":-0.5}")
            << QByteArray() << 400 << u"invalid_field"_s;
        QTest::newRow("body over 64 KiB")
            << reg
            << QByteArray("{" + Account + ",\"password\":\"" + QByteArray(70'000, 'x') + "\"}")
            << QByteArray() << 413 << u"content_too_large"_s;
        QTest::newRow("not application/json")
            << reg << ok << QByteArray("Content-Type: text/plain\r\n") << 415
            << u"unsupported_media_type"_s;
        QTest::newRow("unknown operation")
            << u"/v1/console/dropTables"_s << ok << QByteArray() << 404 << u"not_found"_s;
        QTest::newRow("send without Idempotency-Key")
            << u"/v1/console/sendMessage"_s
            << QByteArray("{" + Account + ",\"phoneNo\":\"13800138000\",\"text\":\"x\"}")
            << QByteArray("X-No-Key: 1\r\n") << 400 << u"idempotency_key"_s;
        QTest::newRow("Idempotency-Key of 15 characters")
            << u"/v1/console/sendMessage"_s
            << QByteArray("{" + Account + ",\"phoneNo\":\"13800138000\",\"text\":\"x\"}")
            << QByteArray("Idempotency-Key: 123456789012345\r\n") << 400 << u"idempotency_key"_s;
        QTest::newRow("table whose cells do not fill it")
            << u"/v1/console/receiveMessages"_s
            << QByteArray("{" + Account
                          + ",\"messages\":{\"rows\":2,\"columns\":2,\"cells\":[\"a\"]}}")
            << QByteArray("Idempotency-Key: t1-0000000000000\r\n") << 400 << u"invalid_field"_s;
    }
    void refusesBadRequests()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, headers);
        QFETCH(int, status);
        QFETCH(QString, code);
        if (!sharesRig())
            startRig();

        QByteArray extra = headers;
        if (headers.startsWith("Content-Type:")) {
            // Replace the rig's JSON content type.
            const QByteArray request = "POST " + path.toUtf8()
                + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + headers
                + "Authorization: Bearer " + m_console.toLatin1()
                + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
            const auto answer = m_rig->raw(request, 10'000);
            QCOMPARE(answer.status, status);
            QCOMPARE(errorCode(answer), code);
        } else {
            const auto answer = m_rig->post(path, body, m_console, extra);
            QCOMPARE(answer.status, status);
            QCOMPARE(errorCode(answer), code);
        }
        QCOMPARE(accounts().size(), 0);
    }

    // Every call needs an active token of the call's role; the wrong role gets 403.
    void tokensAndRoles_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("which");
        QTest::addColumn<int>("status");

        QTest::newRow("console call, no token") << u"/v1/console/queryBalance"_s << u""_s << 401;
        QTest::newRow("console call, made-up token")
            << u"/v1/console/queryBalance"_s << u"qgt_AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"_s
            << 401;
        QTest::newRow("console call, console token")
            << u"/v1/console/queryBalance"_s << u"console"_s << 200;
        QTest::newRow("console call, operator token")
            << u"/v1/console/queryBalance"_s << u"operator"_s << 403;
        QTest::newRow("operator call, console token")
            << u"/v1/operator/accounts"_s << u"console"_s << 403;
        QTest::newRow("operator call, operator token")
            << u"/v1/operator/accounts"_s << u"operator"_s << 200;
        QTest::newRow("console call, revoked token")
            << u"/v1/console/queryBalance"_s << u"revoked"_s << 401;
    }
    void tokensAndRoles()
    {
        QFETCH(QString, path);
        QFETCH(QString, which);
        QFETCH(int, status);
        if (!sharesRig())
            startRig();
        QString token = which;
        if (which == u"console"_s)
            token = m_console;
        else if (which == u"operator"_s)
            token = m_operator;
        else if (which == u"revoked"_s) {
            token = m_rig->issue(u"console"_s, u"leaver"_s);
            QCOMPARE(m_rig->run({ u"token"_s, u"revoke"_s, u"--name"_s, u"leaver"_s }), 0);
        }
        QCOMPARE(m_rig->post(path, "{}", token).status, status);
    }

    // A token revoked after it has sent is refused its next send at once, whether the store
    // makes the send in one statement or the rules refuse it first; nothing more is sent.
    void revokedTokenSendsNoMore_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("a send") << QByteArray("hi");
        QTest::newRow("a send the rules refuse") << QByteArray();
    }
    void revokedTokenSendsNoMore()
    {
        QFETCH(QByteArray, text);
        startRig();
        fund(1000);
        const auto send = [&](const QByteArray &what) {
            return m_rig->post(u"/v1/console/sendMessage"_s,
                               "{" + Account + ",\"phoneNo\":\"13800138000\",\"text\":\"" + what
                                   + "\"}",
                               m_console);
        };
        QCOMPARE(send("first").status, 200);
        QCOMPARE(m_rig->run({ u"token"_s, u"revoke"_s, u"--name"_s, u"desk"_s }), 0);
        QCOMPARE(send(text).status, 401);
        QCOMPARE(handsetCount(), 1);
    }

    // The scheme of the Authorization header is read in any case, with any spaces or tabs
    // before the token.
    void bearerScheme_data()
    {
        QTest::addColumn<QByteArray>("scheme");
        QTest::addColumn<int>("status");
        QTest::newRow("Bearer") << QByteArray("Bearer ") << 200;
        QTest::newRow("bearer") << QByteArray("bearer ") << 200;
        QTest::newRow("BEARER") << QByteArray("BEARER ") << 200;
        QTest::newRow("bearer and three spaces") << QByteArray("bearer   ") << 200;
        QTest::newRow("Bearer and a tab") << QByteArray("Bearer\t") << 200;
        QTest::newRow("Basic") << QByteArray("Basic ") << 401;
        QTest::newRow("Bearer run into the token") << QByteArray("Bearer") << 401;
    }
    void bearerScheme()
    {
        SKIP_ON_POSTGRESQL();
        QFETCH(QByteArray, scheme);
        QFETCH(int, status);
        if (!sharesRig())
            startRig();
        QCOMPARE(m_rig
                     ->post(u"/v1/console/queryBalance"_s, "{}", QString(),
                            "Authorization: " + scheme + m_console.toLatin1() + "\r\n")
                     .status,
                 status);
    }

    // Only the hash of a token is kept in the store (and, on SQLite, nowhere in its files).
    void tokenKeptOnlyAsHash()
    {
        startRig();
        const QStringList rows
            = StoreProbe(m_rig->ownerUrl())
                  .rows(u"SELECT name, role, hash, revoked_at IS NULL FROM service_tokens "
                        u"ORDER BY id"_s);
        QCOMPARE(rows.size(), 2);
        QVERIFY(QRegularExpression(u"^desk\\|console\\|[0-9a-f]{64}\\|(1|true)$"_s)
                    .match(rows.at(0))
                    .hasMatch());
        QVERIFY(!rows.join(u' ').contains(m_console.mid(4)));
        if (TestStore::onPostgresql())
            return;
        QFile store(m_rig->storePath());
        QVERIFY(store.open(QIODevice::ReadOnly));
        const QByteArray bytes = store.readAll();
        QFile wal(m_rig->storePath() + u"-wal"_s);
        const QByteArray walBytes = wal.open(QIODevice::ReadOnly) ? wal.readAll() : QByteArray();
        QVERIFY(!bytes.contains(m_console.toLatin1()));
        QVERIFY(!walBytes.contains(m_console.toLatin1()));
    }

    // Past the limit of failed authentications a peer's failures get 429 and Retry-After
    // until the window passes; its valid tokens are served all along (one address may be
    // a whole office behind one router).
    void failedAuthenticationIsRateLimited()
    {
        startRig({ { u"auth_failure_limit"_s, u"3"_s }, { u"auth_window_ms"_s, u"1500"_s } });
        for (int i = 0; i < 3; ++i)
            QCOMPARE(m_rig->post(u"/v1/console/queryBalance"_s, "{}", u"qgt_wrong"_s).status, 401);
        const auto limited = m_rig->post(u"/v1/console/queryBalance"_s, "{}", u"qgt_wrong"_s);
        QCOMPARE(limited.status, 429);
        QVERIFY2(limited.headers.contains("\r\nRetry-After: 2\r\n"), limited.headers.constData());
        QCOMPARE(m_rig->post(u"/v1/console/queryBalance"_s, "{}", m_console).status, 200);
        QTest::qWait(1700);
        QCOMPARE(m_rig->post(u"/v1/console/queryBalance"_s, "{}", u"qgt_wrong"_s).status, 401);
    }

    // Each connection has a bounded life: what the server answers and whether it closes.
    void connectionBounds_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("waitMs");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("closed");

        const QByteArray body = "{}";
        const auto request = [&](const QByteArray &version, const QByteArray &extra) -> QByteArray {
            return "POST /v1/console/queryBalance " + version
                + "\r\nHost: x\r\nContent-Type: application/json\r\nAuthorization: Bearer "
                  "@TOKEN@\r\n"
                + extra + "Content-Length: 2\r\n\r\n" + body;
        };
        QTest::newRow("half a header is cut off")
            << QByteArray("POST /v1/console/queryBalance HTTP/1.1\r\nHost: x\r\n") << 4000 << 408
            << true;
        QTest::newRow("half a body is cut off")
            << QByteArray("POST /v1/console/queryBalance HTTP/1.1\r\nContent-Length: 10\r\n\r\n{}")
            << 4000 << 408 << true;
        QTest::newRow("HTTP/1.0 is closed after the answer")
            << request("HTTP/1.0", {}) << 4000 << 200 << true;
        QTest::newRow("Connection: close is closed after the answer")
            << request("HTTP/1.1", "Connection: close\r\n") << 4000 << 200 << true;
        QTest::newRow("keep-alive stays open for a while")
            << request("HTTP/1.1", {}) << 700 << 200 << false;
        QTest::newRow("keep-alive closes when idle")
            << request("HTTP/1.1", {}) << 4000 << 200 << true;
        QTest::newRow("pipelined requests are refused")
            << request("HTTP/1.1", {}) + request("HTTP/1.1", {}) << 4000 << 400 << true;
        QTest::newRow("chunked body is refused") << QByteArray(
            "POST /v1/console/queryBalance HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n")
                                                 << 4000 << 411 << true;
        // The header lines of request(): Host, Content-Type, Authorization, Content-Length.
        const auto lines = [](int count) {
            QByteArray extra;
            for (int i = 0; i < count; ++i)
                extra += "X-Line-" + QByteArray::number(i) + ": x\r\n";
            return extra;
        };
        QTest::newRow("64 header lines are served")
            << request("HTTP/1.1", lines(60)) << 4000 << 200 << true;
        QTest::newRow("65 header lines are too many")
            << request("HTTP/1.1", lines(61)) << 4000 << 431 << true;
        QTest::newRow("header too long")
            << QByteArray("POST /v1/console/queryBalance HTTP/1.1\r\nX: " + QByteArray(20'000, 'a'))
            << 4000 << 431 << true;
        QTest::newRow("HTTP/2 preface refused")
            << QByteArray("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n") << 4000 << 505 << true;
    }
    void connectionBounds()
    {
        SKIP_ON_POSTGRESQL();
        QFETCH(QByteArray, bytes);
        QFETCH(int, waitMs);
        QFETCH(int, status);
        QFETCH(bool, closed);
        if (!sharesRig())
            startRig();
        const auto answer = m_rig->raw(bytes.replace("@TOKEN@", m_console.toLatin1()), waitMs);
        QCOMPARE(answer.status, status);
        QCOMPARE(answer.closed, closed);
    }

    // Connections beyond the per-peer cap are answered 503 and closed; the held ones
    // are not disturbed.
    void connectionCapPerPeer()
    {
        SKIP_ON_POSTGRESQL();
        startRig(
            { { u"max_connections_per_peer"_s, u"3"_s }, { u"idle_timeout_ms"_s, u"8000"_s } });
        std::vector<std::unique_ptr<QTcpSocket>> held;
        for (int i = 0; i < 3; ++i) {
            held.push_back(std::make_unique<QTcpSocket>());
            held.back()->connectToHost(u"127.0.0.1"_s, m_rig->port());
            QVERIFY(held.back()->waitForConnected(5000));
        }
        QTest::qWait(300);
        const auto turned = m_rig->raw("POST /v1/console/queryBalance HTTP/1.1\r\n\r\n", 3000);
        QCOMPARE(turned.status, 503);
        QVERIFY(turned.closed);
        for (const auto &socket : held)
            QCOMPARE(socket->state(), QAbstractSocket::ConnectedState);
        held.clear();
        QTest::qWait(300);
        QCOMPARE(m_rig->post(u"/v1/console/queryBalance"_s, "{}", m_console).status, 200);
    }

    // A connection owes its first request within the request time, however long the idle
    // time; once answered, it may wait the idle time for the next.
    void silentConnections_data()
    {
        QTest::addColumn<bool>("asks");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("closed");
        QTest::newRow("silent from the start is cut at the request time") << false << 0 << true;
        QTest::newRow("answered keep-alive is held for the idle time") << true << 200 << false;
    }
    void silentConnections()
    {
        SKIP_ON_POSTGRESQL();
        QFETCH(bool, asks);
        QFETCH(int, status);
        QFETCH(bool, closed);
        if (!sharesRig())
            startRig(
                { { u"request_timeout_ms"_s, u"800"_s }, { u"idle_timeout_ms"_s, u"10000"_s } });
        const QByteArray request = "POST /v1/console/queryBalance HTTP/1.1\r\nHost: x\r\n"
                                   "Content-Type: application/json\r\nAuthorization: Bearer "
            + m_console.toLatin1() + "\r\nContent-Length: 2\r\n\r\n{}";
        const auto answer = m_rig->raw(asks ? request : QByteArray(), 3000);
        QCOMPARE(answer.status, status);
        QCOMPARE(answer.closed, closed);
    }

    // A header that declares a body over the limit is answered 413 at once: the service
    // neither reads nor keeps the body that follows.
    void declaredOversizeBodyIsNotRead()
    {
        SKIP_ON_POSTGRESQL();
        startRig({ { u"request_timeout_ms"_s, u"20000"_s } });
        const qint64 peakBefore = ServiceRig::peakKib(m_rig->pid());
        QVERIFY(peakBefore > 0);
        constexpr qint64 Declared = 50'000'000;
        const Streamed streamed = stream(m_rig->port(),
                                         "POST /v1/console/queryBalance HTTP/1.1\r\nHost: x\r\n"
                                         "Content-Type: application/json\r\nAuthorization: Bearer "
                                             + m_console.toLatin1() + "\r\nContent-Length: "
                                             + QByteArray::number(Declared) + "\r\n\r\n",
                                         Declared);
        // Socket buffers on the way hold a few MiB at most.
        QVERIFY2(streamed.sent < 8 * 1024 * 1024, QByteArray::number(streamed.sent).constData());
        const qint64 grown = ServiceRig::peakKib(m_rig->pid()) - peakBefore;
        QVERIFY2(grown < 8 * 1024, QByteArray::number(grown).constData());
        QVERIFY2(streamed.answer.startsWith("HTTP/1.1 413 "),
                 streamed.answer.left(200).constData());
    }

    // By default one address holds at most 16 connections, so a few addresses cannot fill
    // the service: the 17th from one address is turned away, another address is served.
    void defaultCapPerPeer()
    {
        SKIP_ON_POSTGRESQL();
        startRig({ { u"request_timeout_ms"_s, u"8000"_s } });
        std::vector<std::unique_ptr<QTcpSocket>> held;
        for (int i = 0; i < 17; ++i) {
            held.push_back(std::make_unique<QTcpSocket>());
            QVERIFY(held.back()->bind(QHostAddress(u"127.0.0.2"_s)));
            held.back()->connectToHost(u"127.0.0.1"_s, m_rig->port());
            QVERIFY(held.back()->waitForConnected(5000));
        }
        QTcpSocket &last = *held.back();
        QVERIFY(last.waitForReadyRead(3000));
        QVERIFY2(last.readAll().startsWith("HTTP/1.1 503 "), "the 17th is turned away");
        QCOMPARE(m_rig->post(u"/v1/console/queryBalance"_s, "{}", m_console).status, 200);
        held.pop_back();
        for (const auto &socket : held)
            QCOMPARE(socket->state(), QAbstractSocket::ConnectedState);
    }

    // Bytes that come while a request is with the service never replace its answer: the
    // cards it made are listed, and the connection closes after that answer.
    void bytesWhileAnsweringKeepTheAnswer_data()
    {
        QTest::addColumn<QByteArray>("more");
        QTest::newRow("a stray line") << QByteArray("\r\n");
        QTest::newRow("the next request")
            << QByteArray("POST /v1/operator/accounts HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}");
    }
    void bytesWhileAnsweringKeepTheAnswer()
    {
        SKIP_ON_POSTGRESQL();
        QFETCH(QByteArray, more);
        startRig({ { u"password_hash_cost"_s, u"interactive"_s } });
        QTcpSocket socket;
        socket.connectToHost(u"127.0.0.1"_s, m_rig->port());
        QVERIFY(socket.waitForConnected(5000));
        const QByteArray body = "{\"valueFen\":100,\"count\":8}";
        socket.write("POST /v1/operator/issueCards HTTP/1.1\r\nContent-Type: application/json\r\n"
                     "Idempotency-Key: while-1-00000000\r\nAuthorization: Bearer "
                     + m_operator.toLatin1() + "\r\nContent-Length: "
                     + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        QVERIFY(socket.waitForBytesWritten(5000));
        // Each card's password is hashed, which takes a while: the answer is not there yet.
        QVERIFY(!socket.waitForReadyRead(100));
        socket.write(more);
        QVERIFY(socket.waitForBytesWritten(5000));
        QByteArray received;
        QDeadlineTimer deadline(30'000);
        while (socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
            socket.waitForReadyRead(100);
            received += socket.readAll();
        }
        received += socket.readAll();
        QCOMPARE(socket.state(), QAbstractSocket::UnconnectedState);
        const qsizetype split = received.indexOf("\r\n\r\n");
        QVERIFY2(received.startsWith("HTTP/1.1 200 "), received.left(300).constData());
        QVERIFY(received.left(split).contains("\r\nConnection: close"));
        QCOMPARE(json(received.mid(split + 4)).value(u"cards"_s).toArray().size(), 8);
        QCOMPARE(StoreProbe(m_rig->ownerUrl()).count(u"SELECT count(*) FROM cards"_s), 8);
    }

    // Out of file descriptors, the service stops accepting and says so once, without
    // spinning; it accepts again when connections close. Over TLS the held connections
    // never finish their handshakes.
    void acceptsAgainWhenDescriptorsFreeUp_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::newRow("plain") << false;
        QTest::newRow("TLS") << true;
    }
    void acceptsAgainWhenDescriptorsFreeUp()
    {
        SKIP_ON_POSTGRESQL();
        if (Sanitized)
            QSKIP("the sanitizers' own checks need file descriptors (see servicerig.h)");
        QFETCH(bool, tls);
        m_rig = std::make_unique<ServiceRig>();
        m_rig->set(u"request_timeout_ms"_s, u"20000"_s);
        m_rig->set(u"max_connections_per_peer"_s, u"100"_s);
        // About 20 descriptors are the service's own; the rest go to connections.
        m_rig->limitDescriptors(48);
        QString why;
        if (tls && !m_rig->useTls(why))
            QSKIP(qPrintable(why));
        QVERIFY2(m_rig->start(why), qPrintable(why));
        std::vector<std::unique_ptr<QTcpSocket>> held;
        for (int i = 0; i < 48; ++i) {
            held.push_back(std::make_unique<QTcpSocket>());
            held.back()->connectToHost(u"127.0.0.1"_s, m_rig->port());
            QVERIFY(held.back()->waitForConnected(5000));
        }
        // Held while the service tries again, more than once, waiting in between: a busy
        // loop would take most of a processor.
        const qint64 cpuBefore = cpuMs(m_rig->pid());
        QTest::qWait(1500);
        const qint64 cpu = cpuMs(m_rig->pid()) - cpuBefore;
        QVERIFY2(cpuBefore >= 0 && cpu < 500, QByteArray::number(cpu).constData());
        held.clear();

        QSslSocket socket;
        socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        if (tls) {
            socket.connectToHostEncrypted(u"127.0.0.1"_s, m_rig->port());
            QVERIFY(socket.waitForEncrypted(10'000));
        } else {
            socket.connectToHost(u"127.0.0.1"_s, m_rig->port());
            QVERIFY(socket.waitForConnected(5000));
        }
        socket.write("POST /v1/console/queryBalance HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}");
        QVERIFY(socket.waitForReadyRead(10'000));
        QVERIFY(socket.readAll().startsWith("HTTP/1.1 "));
        const QByteArray log = m_rig->log();
        QVERIFY2(log.count("cannot accept connections (Too many open files)") == 1,
                 log.constData());
    }

    // A repeated key gets the first answer and is applied once; a key reused for another
    // request is refused.
    void idempotentRetry()
    {
        startRig();
        QCOMPARE(m_rig
                     ->post(u"/v1/console/register"_s, "{" + Account + ",\"password\":\"pw\"}",
                            m_console)
                     .status,
                 200);
        const auto cards
            = m_rig->post(u"/v1/operator/issueCards"_s, "{\"valueFen\":1000,\"count\":1}",
                          m_operator, "Idempotency-Key: cards-1-00000000\r\n");
        QCOMPARE(cards.status, 200);
        const QJsonObject card = json(cards.body).value(u"cards"_s).toArray().at(0).toObject();
        const QByteArray recharge = "{" + Account + ",\"cardNo\":\""
            + card.value(u"number"_s).toString().toLatin1() + "\",\"cardPassword\":\""
            + card.value(u"password"_s).toString().toLatin1() + "\"}";
        const QByteArray send = "{" + Account + ",\"phoneNo\":\"13800138000\",\"text\":\"hi\"}";
        QCOMPARE(json(m_rig
                          ->post(u"/v1/console/recharge"_s, recharge, m_console,
                                 "Idempotency-Key: r-1-000000000000\r\n")
                          .body)
                     .value(u"outcome"_s)
                     .toInt(),
                 -1);
        for (int i = 0; i < 3; ++i) {
            const auto sent = m_rig->post(u"/v1/console/sendMessage"_s, send, m_console,
                                          "Idempotency-Key: s-1-000000000000\r\n");
            QCOMPARE(sent.status, 200);
            QCOMPARE(json(sent.body).value(u"outcome"_s).toInt(), -1);
        }
        const auto again = m_rig->post(u"/v1/console/recharge"_s, recharge, m_console,
                                       "Idempotency-Key: r-1-000000000000\r\n");
        QCOMPARE(json(again.body).value(u"outcome"_s).toInt(), -1);
        const auto reused
            = m_rig->post(u"/v1/console/sendMessage"_s,
                          "{" + Account + ",\"phoneNo\":\"13800138000\",\"text\":\"other\"}",
                          m_console, "Idempotency-Key: s-1-000000000000\r\n");
        QCOMPARE(reused.status, 422);
        // 10.00 recharged once, one message of 0.10 sent once.
        QCOMPARE(balanceOf(Account), u"9.90"_s);
        QCOMPARE(handsetCount(), 1);
    }

    // Repeats of one key sent at the same moment on several connections (a client that
    // gave up waiting and sent again) are applied once and all get the same answer.
    void simultaneousRepeatsApplyOnce()
    {
        startRig({ { u"workers"_s, u"4"_s } });
        fund(1000);
        const QByteArray send = "{" + Account + ",\"phoneNo\":\"13800138000\",\"text\":\"hi\"}";
        std::vector<std::thread> clients;
        std::mutex mutex;
        QList<QByteArray> answers;
        for (int c = 0; c < 6; ++c) {
            clients.emplace_back([&] {
                const auto sent = m_rig->post(u"/v1/console/sendMessage"_s, send, m_console,
                                              "Idempotency-Key: same-1-000000000\r\n");
                std::lock_guard lock(mutex);
                answers.append(QByteArray::number(sent.status) + ' ' + sent.body);
            });
        }
        for (std::thread &client : clients)
            client.join();
        QCOMPARE(answers.size(), 6);
        for (const QByteArray &answer : std::as_const(answers))
            QCOMPARE(answer, answers.first());
        QVERIFY2(answers.first().startsWith("200 "), answers.first().constData());
        QCOMPARE(handsetCount(), 1);
    }

    // Sends of two accounts at once, more than their balances cover (PostgreSQL makes a
    // batch's sends in one statement): each account sends what it can pay for, and not
    // one message more.
    void simultaneousSendsSpendTheBalanceOnce()
    {
        startRig({ { u"workers"_s, u"4"_s } });
        const QByteArray other = "\"accountNo\":\"ABC-DEF-GHI-00002\"";
        std::atomic<int> sent = 0;
        for (int round = 0; round < 3; ++round) {
            fund(60);
            fund(60, other);
            // As many clients as the service takes from one address.
            std::vector<std::thread> clients;
            for (int c = 0; c < 16; ++c) {
                clients.emplace_back([&, c] {
                    const QByteArray send = "{" + (c % 2 ? other : Account)
                        + ",\"phoneNo\":\"13800138000\",\"text\":\"hi\"}";
                    const QByteArray key = "Idempotency-Key: many-" + QByteArray::number(round)
                        + QByteArray::number(c + 10) + "-0000000000\r\n";
                    const auto answer
                        = m_rig->post(u"/v1/console/sendMessage"_s, send, m_console, key);
                    if (json(answer.body).value(u"outcome"_s).toInt() == -1)
                        ++sent;
                });
            }
            for (std::thread &client : clients)
                client.join();
        }
        QCOMPARE(sent.load(), 36);
        QCOMPARE(balanceOf(Account), u"0.00"_s);
        QCOMPARE(balanceOf(other), u"0.00"_s);
        QCOMPARE(handsetCount(), 36);
    }

    // A remembered answer holds for 24 hours: a repeat within them is answered from the
    // record, a repeat after them is a new request (and its record replaces the old one).
    void keyExpiresAfterADay_data()
    {
        QTest::addColumn<int>("ageHours");
        QTest::addColumn<int>("messages");
        QTest::newRow("repeat after 23 hours is answered from the record") << 23 << 1;
        QTest::newRow("repeat after 25 hours is applied again") << 25 << 2;
    }
    void keyExpiresAfterADay()
    {
        QFETCH(int, ageHours);
        QFETCH(int, messages);
        startRig();
        fund(1000);
        const QByteArray send = "{" + Account + ",\"phoneNo\":\"13800138000\",\"text\":\"hi\"}";
        const auto sendOnce = [&] {
            const auto sent = m_rig->post(u"/v1/console/sendMessage"_s, send, m_console,
                                          "Idempotency-Key: day-1-0000000000\r\n");
            QCOMPARE(sent.status, 200);
            QCOMPARE(json(sent.body).value(u"outcome"_s).toInt(), -1);
        };
        sendOnce();
        StoreProbe probe(m_rig->ownerUrl());
        const qint64 then = QDateTime::currentMSecsSinceEpoch() - qint64(ageHours) * 3'600'000;
        QVERIFY(probe.exec(u"UPDATE service_requests SET created_at = %1"_s.arg(
            probe.timeFromMs(QString::number(then)))));
        sendOnce();
        QCOMPARE(handsetCount(), messages);
        QCOMPARE(probe.count(u"SELECT count(*) FROM service_requests "
                             u"WHERE operation = 'sendMessage'"_s),
                 1);
    }

    // kill -9 of the service while clients send: every key sent, resent to the next
    // service process on the same store, is applied exactly once, whether or not the
    // killed process had committed it.
    void killedMidRunRetriesApplyOnce()
    {
        startRig({ { u"workers"_s, u"4"_s } });
        QCOMPARE(m_rig
                     ->post(u"/v1/console/register"_s, "{" + Account + ",\"password\":\"pw\"}",
                            m_console)
                     .status,
                 200);
        const auto cards = m_rig->post(u"/v1/operator/issueCards"_s,
                                       "{\"valueFen\":1000000,\"count\":1}", m_operator);
        const QJsonObject card = json(cards.body).value(u"cards"_s).toArray().at(0).toObject();
        QCOMPARE(json(m_rig
                          ->post(u"/v1/console/recharge"_s,
                                 "{" + Account + ",\"cardNo\":\""
                                     + card.value(u"number"_s).toString().toLatin1()
                                     + "\",\"cardPassword\":\""
                                     + card.value(u"password"_s).toString().toLatin1() + "\"}",
                                 m_console)
                          .body)
                     .value(u"outcome"_s)
                     .toInt(),
                 -1);

        const QByteArray send = "{" + Account + ",\"phoneNo\":\"13800138000\",\"text\":\"k\"}";
        const quint16 port = m_rig->port();
        const QByteArray token = m_console.toLatin1();
        std::mutex mutex;
        QList<QByteArray> keys;
        std::vector<std::thread> clients;
        for (int c = 0; c < 4; ++c) {
            clients.emplace_back([&, c] {
                QTcpSocket socket;
                socket.connectToHost(u"127.0.0.1"_s, port);
                if (!socket.waitForConnected(5000))
                    return;
                // Bounded: the kill comes long before the last of these.
                for (int i = 0; i < 2000; ++i) {
                    const QByteArray key
                        = "killed-request-" + QByteArray::number(c) + '-' + QByteArray::number(i);
                    {
                        std::lock_guard lock(mutex);
                        keys.append(key);
                    }
                    socket.write("POST /v1/console/sendMessage HTTP/1.1\r\nContent-Type: "
                                 "application/json\r\nAuthorization: Bearer "
                                 + token + "\r\nIdempotency-Key: " + key + "\r\nContent-Length: "
                                 + QByteArray::number(send.size()) + "\r\n\r\n" + send);
                    QByteArray answer;
                    while (!answer.contains("\"status\"") || !answer.endsWith('}')) {
                        if (!socket.waitForReadyRead(5000))
                            return;
                        answer += socket.readAll();
                    }
                }
            });
        }
        QTest::qWait(600);
        ::kill(pid_t(m_rig->pid()), SIGKILL);
        for (std::thread &client : clients)
            client.join();
        m_rig->kill();
        QVERIFY(keys.size() > 4);
        qInfo("%lld keys sent before the kill", qint64(keys.size()));

        QString why;
        QVERIFY2(m_rig->start(why), qPrintable(why));
        for (const QByteArray &key : std::as_const(keys)) {
            const auto again = m_rig->post(u"/v1/console/sendMessage"_s, send, m_console,
                                           "Idempotency-Key: " + key + "\r\n");
            QCOMPARE(again.status, 200);
            QCOMPARE(json(again.body).value(u"outcome"_s).toInt(), -1);
        }
        const auto received = m_rig->post(u"/v1/operator/handsetMessages"_s,
                                          "{\"phone\":\"13800138000\"}", m_operator);
        QCOMPARE(json(received.body).value(u"total"_s).toInt(), keys.size());
        // 10,000.00 yuan recharged, 0.10 per message.
        const qint64 fen = 1'000'000 - 10 * keys.size();
        const auto balance
            = m_rig->post(u"/v1/console/queryBalance"_s, "{" + Account + "}", m_console);
        QCOMPARE(json(balance.body).value(u"balance"_s).toString(),
                 u"%1.%2"_s.arg(fen / 100).arg(fen % 100, 2, 10, QChar(u'0')));
    }

    // One line per request with time, peer, operation, status and duration; never a
    // token, password, card number or message text.
    void logLinesKeepSecretsOut()
    {
        startRig();
        m_rig->post(u"/v1/console/register"_s,
                    "{" + Account + ",\"password\":\"Secret-Password-1\"}", m_console);
        m_rig->post(u"/v1/console/sendMessage"_s,
                    "{" + Account + ",\"phoneNo\":\"13800138000\",\"text\":\"Private-Text-2\"}",
                    m_console, "Idempotency-Key: log-1-0000000000\r\n");
        m_rig->post(u"/v1/console/recharge"_s,
                    "{" + Account + ",\"cardNo\":\"4444333322221111\",\"cardPassword\":\"9\"}",
                    m_console, "Idempotency-Key: log-2-0000000000\r\n");
        m_rig->post(u"/v1/console/queryBalance"_s, "{}", u"qgt_Leaked-Token-3"_s);
        QCOMPARE(m_rig->terminate(), 0);
        const QByteArray log = m_rig->log();
        for (const QByteArray &secret :
             { QByteArray("Secret-Password-1"), QByteArray("Private-Text-2"),
               QByteArray("4444333322221111"), QByteArray("Leaked-Token-3"), m_console.toLatin1() })
            QVERIFY2(!log.contains(secret), secret.constData());
        const QRegularExpression line(
            u"^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z 127\\.0\\.0\\.1 sendMessage 200 \\d+\\.\\d\\dms$"_s,
            QRegularExpression::MultilineOption);
        QVERIFY2(line.match(QString::fromUtf8(log)).hasMatch(), log.constData());
        QVERIFY(log.contains(" queryBalance 401 "));
    }

    // SIGTERM lets the request in flight finish (a registration hashes its password
    // for a noticeable time), then the process ends with 0.
    void sigtermFinishesRequestsInFlight()
    {
        startRig({ { u"password_hash_cost"_s, u"interactive"_s } });
        QTcpSocket socket;
        socket.connectToHost(u"127.0.0.1"_s, m_rig->port());
        QVERIFY(socket.waitForConnected(5000));
        const QByteArray body = "{" + Account + ",\"password\":\"pw\"}";
        socket.write("POST /v1/console/register HTTP/1.1\r\nContent-Type: application/json\r\n"
                     "Idempotency-Key: term-1-000000000\r\n"
                     "Authorization: Bearer "
                     + m_console.toLatin1() + "\r\nContent-Length: "
                     + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        QVERIFY(socket.waitForBytesWritten(5000));
        QTest::qWait(50);
        QCOMPARE(m_rig->terminate(), 0);
        QByteArray answer;
        while (socket.waitForReadyRead(2000))
            answer += socket.readAll();
        answer += socket.readAll();
        QVERIFY2(answer.startsWith("HTTP/1.1 200 "), answer.constData());
        QVERIFY(answer.contains("\"outcome\":-1"));
    }

    // Over TLS the service offers only forward-secret suites with authenticated
    // encryption: TLS 1.3, and TLS 1.2 with ECDHE and AES-GCM or ChaCha20-Poly1305.
    void tlsSuites_data()
    {
        QTest::addColumn<QString>("suite"); // empty: the client's defaults
        QTest::addColumn<bool>("agreed");
        QTest::newRow("a client's defaults (TLS 1.3)") << QString() << true;
        QTest::newRow("TLS 1.2, ECDHE and AES-GCM") << u"ECDHE-RSA-AES128-GCM-SHA256"_s << true;
        QTest::newRow("TLS 1.2, ECDHE and ChaCha20-Poly1305")
            << u"ECDHE-RSA-CHACHA20-POLY1305"_s << true;
        QTest::newRow("TLS 1.2, RSA key exchange") << u"AES128-SHA"_s << false;
        QTest::newRow("TLS 1.2, RSA key exchange and AES-GCM") << u"AES128-GCM-SHA256"_s << false;
        QTest::newRow("TLS 1.2, ECDHE and CBC") << u"ECDHE-RSA-AES128-SHA256"_s << false;
    }
    void tlsSuites()
    {
        SKIP_ON_POSTGRESQL();
        QFETCH(QString, suite);
        QFETCH(bool, agreed);
        if (!sharesRig()) {
            m_rig = std::make_unique<ServiceRig>();
            QString why;
            if (!m_rig->useTls(why))
                QSKIP(qPrintable(why));
            QVERIFY2(m_rig->start(why), qPrintable(why));
        }
        QSslConfiguration client = QSslConfiguration::defaultConfiguration();
        client.setPeerVerifyMode(QSslSocket::VerifyNone);
        if (!suite.isEmpty()) {
            const QSslCipher cipher(suite);
            QVERIFY2(!cipher.isNull(), "this client knows the suite");
            client.setProtocol(QSsl::TlsV1_2);
            client.setCiphers({ cipher });
        }
        QSslSocket socket;
        socket.setSslConfiguration(client);
        socket.connectToHostEncrypted(u"127.0.0.1"_s, m_rig->port());
        QCOMPARE(socket.waitForEncrypted(10'000), agreed);
        if (agreed)
            QCOMPARE(socket.sessionProtocol(), suite.isEmpty() ? QSsl::TlsV1_3 : QSsl::TlsV1_2);
    }

    void refusesPublicAddressWithoutTls()
    {
        SKIP_ON_POSTGRESQL();
        ServiceRig rig;
        QByteArray err;
        QCOMPARE(rig.run({ u"--listen"_s, u"0.0.0.0"_s, u"--port"_s, u"0"_s }, nullptr, &err), 1);
        QVERIFY2(err.contains("without TLS"), err.constData());
    }

    // A PostgreSQL URL is a server to reach (here none answers), never an SQLite file name.
    void unreachableServerFailsClearly()
    {
        SKIP_ON_POSTGRESQL();
        QTemporaryDir dir;
        QProcess p;
        p.setWorkingDirectory(dir.path());
        p.start(ServiceRig::program(),
                { u"--config"_s, u"/dev/null"_s, u"--store"_s,
                  u"postgresql://q@127.0.0.1:1/q?connect_timeout=2"_s, u"token"_s, u"list"_s });
        QVERIFY(p.waitForFinished(30'000));
        QCOMPARE(p.exitCode(), 1);
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(err.contains("postgresql://q@127.0.0.1:1/q"), err.constData());
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList());
    }

    // A store that breaks under a running service is answered 503 without saying where
    // the store is; the log says it.
    void brokenStoreStaysInTheLog()
    {
        startRig();
        QVERIFY(StoreProbe(m_rig->ownerUrl()).exec(u"DROP TABLE service_requests"_s));
        const auto answer
            = m_rig->post(u"/v1/console/deregister"_s, "{" + Account + "}", m_console);
        QCOMPARE(answer.status, 503);
        QCOMPARE(errorCode(answer), u"store_unavailable"_s);
        const QByteArray where = TestStore::onPostgresql() ? "postgresql" : "gateway.sqlite3";
        QVERIFY2(!answer.body.contains(where), answer.body.constData());
        QVERIFY2(m_rig->log().contains(where), m_rig->log().constData());
    }

    // The service's tables: on PostgreSQL the runtime role cannot make them, so until
    // `init` has run as the owner the service says what to do (SQLite makes them); tables
    // of a newer version are refused and left alone, by `init` too.
    void serviceTablesVersion()
    {
        ServiceRig rig;
        QCOMPARE(rig.init(), 0);
        StoreProbe owner(rig.ownerUrl());
        QVERIFY(owner.exec(u"DROP TABLE service_requests"_s));
        QVERIFY(owner.exec(u"DROP TABLE service_signons"_s));
        QVERIFY(owner.exec(u"DROP TABLE service_token_accounts"_s));
        QVERIFY(owner.exec(u"DROP TABLE service_tokens"_s));
        QVERIFY(owner.exec(u"DELETE FROM meta WHERE key = 'service_schema_version'"_s));
        QByteArray err;
        if (TestStore::onPostgresql()) {
            QCOMPARE(rig.run({ u"token"_s, u"list"_s }, nullptr, &err), 1);
            QVERIFY2(err.contains("run 'quillet-gatewayd --store URL init' as the schema's owner"),
                     err.constData());
        }
        QCOMPARE(rig.init(), 0);
        QCOMPARE(rig.run({ u"token"_s, u"list"_s }), 0);

        QVERIFY(owner.exec(u"UPDATE meta SET value = '4' WHERE key = 'service_schema_version'"_s));
        QCOMPARE(rig.run({ u"token"_s, u"list"_s }, nullptr, &err), 1);
        QVERIFY2(err.contains("version 4, newer than this quillet-gatewayd knows (3)"),
                 err.constData());
        QCOMPARE(rig.init(), 1);
        QCOMPARE(owner.rows(u"SELECT value FROM meta WHERE key = 'service_schema_version'"_s),
                 QStringList { u"4"_s });
    }

    // Older service tables are brought to the current ones by `init`, with the tokens kept
    // and the answers remembered in plain text dropped: the same columns, keys and indexes
    // as new tables on each engine. In the setup, %key% and %time% are the engine's
    // numbered key and time column.
    void serviceTablesMigrate_data()
    {
        QTest::addColumn<QStringList>("older");
        QTest::addColumn<QStringList>("tokens");
        const QString tokens = uR"(CREATE TABLE service_tokens (id %key%,
            name TEXT NOT NULL, role TEXT NOT NULL CHECK (role IN ('console', 'operator')),
            hash TEXT NOT NULL UNIQUE, issued_at %time% NOT NULL, revoked_at %time%))"_s;
        const QString requests = uR"(CREATE TABLE service_requests (token_id BIGINT NOT NULL,
            idempotency_key TEXT NOT NULL, operation TEXT NOT NULL, fingerprint TEXT NOT NULL,
            answer TEXT NOT NULL, created_at %time% NOT NULL,
            PRIMARY KEY (token_id, idempotency_key)))"_s;
        const QString rows
            = u"INSERT INTO service_tokens (name, role, hash, issued_at) VALUES ('desk', "
              u"'console', 'a1', %now%), ('ops', 'operator', 'b2', %now%);"
              u"INSERT INTO service_requests VALUES (1, 'key-1', 'register', 'f', 'answer', "
              u"%now%)"_s;
        QTest::newRow("none") << QStringList() << QStringList();
        QTest::newRow("version 1")
            << QStringList { tokens,
                             u"CREATE UNIQUE INDEX service_tokens_active ON service_tokens "
                             u"(name) WHERE revoked_at IS NULL"_s,
                             requests,
                             u"CREATE INDEX service_requests_age ON service_requests "
                             u"(created_at)"_s,
                             u"INSERT INTO meta (key, value) VALUES ('service_schema_version', "
                             u"'1')"_s,
                             rows }
            << QStringList { u"desk|console"_s, u"ops|operator"_s };
        // Made before the tables had a version: no meta row, no index of active tokens.
        QTest::newRow("before versions")
            << QStringList { tokens, requests,
                             u"CREATE INDEX service_requests_age ON service_requests "
                             u"(created_at)"_s,
                             rows }
            << QStringList { u"desk|console"_s, u"ops|operator"_s };
    }
    void serviceTablesMigrate()
    {
        QFETCH(QStringList, older);
        QFETCH(QStringList, tokens);
        const bool postgresql = TestStore::onPostgresql();
        ServiceRig rig;
        QCOMPARE(rig.init(), 0);
        StoreProbe owner(rig.ownerUrl());
        for (const QString &table : { u"service_requests"_s, u"service_signons"_s,
                                      u"service_token_accounts"_s, u"service_tokens"_s })
            QVERIFY(owner.exec(u"DROP TABLE "_s + table));
        QVERIFY(owner.exec(u"DELETE FROM meta WHERE key = 'service_schema_version'"_s));
        for (QString statement : older) {
            statement.replace(u"%key%"_s,
                              postgresql ? u"bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY"_s
                                         : u"INTEGER PRIMARY KEY"_s);
            statement.replace(u"%time%"_s, postgresql ? u"timestamptz"_s : u"BIGINT"_s);
            statement.replace(u"%now%"_s, owner.timeFromMs(u"1000"_s));
            for (const QString &part : statement.split(u';'))
                QVERIFY2(owner.exec(part), qPrintable(part));
        }

        QCOMPARE(rig.init(), 0);
        QCOMPARE(owner.rows(u"SELECT value FROM meta WHERE key = 'service_schema_version'"_s),
                 QStringList { u"3"_s });
        QCOMPARE(owner.rows(u"SELECT name, role FROM service_tokens ORDER BY id"_s), tokens);
        QCOMPARE(owner.count(u"SELECT count(*) FROM service_requests"_s), 0);
        QCOMPARE(owner.rows(u"SELECT name FROM (SELECT "_s
                            + (postgresql ? u"indexname AS name FROM pg_indexes WHERE schemaname "
                                            u"= 'quillet' AND indexname NOT LIKE '%key'"_s
                                          : u"name FROM sqlite_master WHERE type = 'index' AND "
                                            u"name NOT LIKE 'sqlite_autoindex%'"_s)
                            + u") i WHERE name LIKE 'service%' ORDER BY name"_s),
                 (QStringList { u"service_requests_age"_s, u"service_tokens_active"_s }));
        if (postgresql) {
            // Column, type, NOT NULL, numbered by the engine.
            QCOMPARE(owner.rows(u"SELECT table_name || '.' || column_name, data_type, "
                                u"CASE is_nullable WHEN 'NO' THEN 1 ELSE 0 END, is_identity "
                                u"FROM information_schema.columns WHERE table_schema = 'quillet' "
                                u"AND table_name LIKE 'service%' "
                                u"ORDER BY table_name, ordinal_position"_s),
                     (QStringList {
                         u"service_requests.token_id|bigint|1|NO"_s,
                         u"service_requests.key_hash|text|1|NO"_s,
                         u"service_requests.operation|text|1|NO"_s,
                         u"service_requests.fingerprint|text|1|NO"_s,
                         u"service_requests.answer|text|1|NO"_s,
                         u"service_requests.created_at|timestamp with time zone|1|NO"_s,
                         u"service_signons.token_id|bigint|1|NO"_s,
                         u"service_signons.account_no|text|1|NO"_s,
                         u"service_signons.signed_on_at|timestamp with time zone|1|NO"_s,
                         u"service_token_accounts.token_id|bigint|1|NO"_s,
                         u"service_token_accounts.account_no|text|1|NO"_s,
                         u"service_tokens.id|bigint|1|YES"_s, u"service_tokens.name|text|1|NO"_s,
                         u"service_tokens.role|text|1|NO"_s, u"service_tokens.hash|text|1|NO"_s,
                         u"service_tokens.issued_at|timestamp with time zone|1|NO"_s,
                         u"service_tokens.revoked_at|timestamp with time zone|0|NO"_s }));
            QCOMPARE(owner.rows(u"SELECT conrelid::regclass || ' ' || pg_get_constraintdef(oid) "
                                u"FROM pg_constraint WHERE contype IN ('p', 'f') "
                                u"AND conrelid::regclass::text LIKE 'service%' ORDER BY 1"_s),
                     (QStringList {
                         u"service_requests FOREIGN KEY (token_id) REFERENCES service_tokens(id)"_s,
                         u"service_requests PRIMARY KEY (token_id, key_hash)"_s,
                         u"service_signons FOREIGN KEY (token_id) REFERENCES service_tokens(id)"_s,
                         u"service_signons PRIMARY KEY (account_no, token_id)"_s,
                         u"service_token_accounts FOREIGN KEY (token_id) REFERENCES "
                         u"service_tokens(id)"_s,
                         u"service_token_accounts PRIMARY KEY (token_id)"_s,
                         u"service_tokens PRIMARY KEY (id)"_s }));
        } else {
            // Column, declared type, NOT NULL, place in the primary key; and no references.
            QCOMPARE(owner.rows(u"SELECT m.name || '.' || p.name, p.type, p.\"notnull\", p.pk "
                                u"FROM sqlite_master m JOIN pragma_table_info(m.name) p "
                                u"WHERE m.type = 'table' AND m.name LIKE 'service%' "
                                u"ORDER BY m.name, p.cid"_s),
                     (QStringList {
                         u"service_requests.token_id|BIGINT|1|1"_s,
                         u"service_requests.key_hash|TEXT|1|2"_s,
                         u"service_requests.operation|TEXT|1|0"_s,
                         u"service_requests.fingerprint|TEXT|1|0"_s,
                         u"service_requests.answer|TEXT|1|0"_s,
                         u"service_requests.created_at|BIGINT|1|0"_s,
                         u"service_signons.token_id|BIGINT|1|2"_s,
                         u"service_signons.account_no|TEXT|1|1"_s,
                         u"service_signons.signed_on_at|BIGINT|1|0"_s,
                         u"service_token_accounts.token_id|BIGINT|1|1"_s,
                         u"service_token_accounts.account_no|TEXT|1|0"_s,
                         u"service_tokens.id|INTEGER|0|1"_s, u"service_tokens.name|TEXT|1|0"_s,
                         u"service_tokens.role|TEXT|1|0"_s, u"service_tokens.hash|TEXT|1|0"_s,
                         u"service_tokens.issued_at|BIGINT|1|0"_s,
                         u"service_tokens.revoked_at|BIGINT|0|0"_s }));
            QCOMPARE(owner.rows(u"SELECT m.name FROM sqlite_master m "
                                u"JOIN pragma_foreign_key_list(m.name) f "
                                u"WHERE m.name LIKE 'service%'"_s),
                     QStringList());
        }
    }

    void commandLineUsage_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("unknown option") << QStringList { u"--frobnicate"_s } << 2;
        QTest::newRow("token without action") << QStringList { u"token"_s } << 2;
        QTest::newRow("token issue with a bad role")
            << QStringList { u"token"_s, u"issue"_s, u"--role"_s, u"admin"_s, u"--name"_s, u"x"_s }
            << 2;
        QTest::newRow("token name with a control character")
            << QStringList { u"token"_s,   u"issue"_s,  u"--role"_s,
                             u"console"_s, u"--name"_s, u"a\tb"_s }
            << 2;
        QTest::newRow("revoking an unknown token")
            << QStringList { u"token"_s, u"revoke"_s, u"--name"_s, u"nobody"_s } << 1;
        QTest::newRow("TLS certificate without key")
            << QStringList { u"--tls-certificate"_s, u"/nonexistent.pem"_s } << 2;
        // The rig gives --config and --store itself: a second --config is a repeat, not
        // the last one winning.
        QTest::newRow("an option given twice")
            << QStringList { u"--config"_s, u"/dev/null"_s, u"token"_s, u"list"_s } << 2;
        // Given empty, not left out: the config file's port does not stand in for it.
        QTest::newRow("--port= with no value") << QStringList { u"--port="_s } << 2;
        QTest::newRow("no workers") << QStringList { u"--workers"_s, u"0"_s } << 2;
        QTest::newRow("values written with =")
            << QStringList { u"token"_s, u"issue"_s, u"--role=console"_s, u"--name=x"_s } << 0;
    }
    void commandLineUsage()
    {
        SKIP_ON_POSTGRESQL();
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        ServiceRig rig;
        QCOMPARE(rig.run(arguments), exitCode);
    }

    // A limit in the settings that is not a whole number in its range stops the start; a
    // key no setting has stops every command, tokens and init too.
    void badSettingsAreRefused_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("refusal");
        QTest::addColumn<int>("tokenList"); // the exit code of `token list`
        QTest::newRow("negative hashing slots")
            << u"hashing_slots"_s << u"-1"_s << u"hashing_slots takes 1 to 64"_s << 0;
        QTest::newRow("no connections")
            << u"max_connections"_s << u"0"_s << u"max_connections takes 1 to 1000000"_s << 0;
        QTest::newRow("a window of three years") << u"auth_window_ms"_s << u"99999999999"_s
                                                 << u"auth_window_ms takes 1 to 86400000"_s << 0;
        QTest::newRow("a word") << u"signon_failure_limit"_s << u"five"_s
                                << u"signon_failure_limit takes 1 to 1000000"_s << 0;
        QTest::newRow("a hash cost of no name")
            << u"password_hash_cost"_s << u"cheap"_s
            << u"password_hash_cost takes interactive or minimum"_s << 0;
        QTest::newRow("a key no setting has")
            << u"metrics-port"_s << u"9100"_s
            << u"unknown setting metrics-port at the top of the file; did you mean "
               u"metrics_port?"_s
            << 2;
    }
    void badSettingsAreRefused()
    {
        SKIP_ON_POSTGRESQL();
        QFETCH(QString, setting);
        QFETCH(QString, value);
        QFETCH(QString, refusal);
        QFETCH(int, tokenList);
        ServiceRig rig;
        rig.set(setting, value);
        QString why;
        QVERIFY(!rig.start(why));
        QVERIFY2(why.contains(refusal), qPrintable(why));
        QByteArray err;
        QCOMPARE(rig.run({ u"token"_s, u"list"_s }, nullptr, &err), tokenList);
        QVERIFY2(tokenList == 0 || err.contains(refusal.toUtf8()), err.constData());
    }
};

QTEST_GUILESS_MAIN(TestGatewayd)
#include "tst_gatewayd.moc"
