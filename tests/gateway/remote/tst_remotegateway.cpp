// The remote gateway component against a real quillet-gatewayd started by the test,
// and against small fake services for the failures a network brings.

#include "gateway/gatewayloader.h"
#include "gateway/remote/remotegateway.h"
#include "tests/service/servicerig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <atomic>

using namespace Qt::StringLiterals;

namespace {

const QString Account = u"ABC-DEF-GHI-00001"_s;

// A service that misbehaves on purpose, in the test's own event loop.
class FakeService : public QTcpServer {
public:
    enum class Behaviour {
        Silent,
        CloseFirst,
        Garbage,
        RepeatedKey,
        // A balance of 1.00: the connection kept open; closed right after, unannounced;
        // announced closed but kept open; followed a moment later by a second answer of
        // 2.00 that nobody asked for.
        Answer,
        AnswerThenClose,
        AnswerSaysClose,
        AnswerTwice,
    };

    explicit FakeService(Behaviour behaviour)
        : m_behaviour(behaviour)
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                ++connections;
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onRead(socket); });
            }
        });
    }

    QList<QByteArray> keys;
    int requests = 0;
    int connections = 0;

private:
    void onRead(QTcpSocket *socket)
    {
        QByteArray &buffer = m_buffers[socket];
        buffer += socket->readAll();
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        ++requests;
        for (const QByteArray &line : buffer.left(end).split('\n')) {
            if (line.toLower().startsWith("idempotency-key:"))
                keys.append(line.mid(16).trimmed());
        }
        buffer.clear();
        switch (m_behaviour) {
        case Behaviour::Silent:
            return;
        case Behaviour::CloseFirst:
            if (requests == 1) {
                socket->abort();
                return;
            }
            socket->write(
                "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
                "51\r\n\r\n{\"status\":{\"code\":0,\"description\":\"\"},\"outcome\":-1}");
            return;
        case Behaviour::Garbage:
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
            return;
        case Behaviour::RepeatedKey:
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
                          "66\r\n\r\n{\"status\":{\"code\":0,\"description\":\"\"},"
                          "\"balance\":\"1\",\"balance\":\"2\"}");
            return;
        case Behaviour::Answer:
        case Behaviour::AnswerThenClose:
        case Behaviour::AnswerSaysClose:
        case Behaviour::AnswerTwice: {
            const auto answer = [this](const QByteArray &balance) -> QByteArray {
                const QByteArray body = "{\"status\":{\"code\":0,\"description\":\"\"},"
                                        "\"balance\":\""
                    + balance + "\"}";
                return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                    + QByteArray(m_behaviour == Behaviour::AnswerSaysClose ? "Connection: close\r\n"
                                                                           : "")
                    + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
            };
            socket->write(answer("1.00"));
            if (m_behaviour == Behaviour::AnswerThenClose)
                socket->disconnectFromHost();
            if (m_behaviour == Behaviour::AnswerTwice)
                QTimer::singleShot(20, socket,
                                   [socket, again = answer("2.00")] { socket->write(again); });
            return;
        }
        }
    }

    Behaviour m_behaviour;
    QHash<QTcpSocket *, QByteArray> m_buffers;
};

// A service whose answer never ends, framed one of three ways. It runs on a thread of its
// own, so it sends as fast as the connection takes (as another process would), keeps a MiB
// on its way, and counts what the connection took.
class EndlessService : public QTcpServer {
public:
    enum class Framing { Chunked, Unframed, DeclaredHuge };

    explicit EndlessService(Framing framing)
        : m_framing(framing)
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                // Little waits on this side of the connection, so what it took is what the
                // other side read or holds.
                socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 64 * 1024);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onRead(socket); });
                connect(socket, &QTcpSocket::bytesWritten, this, [this, socket](qint64 bytes) {
                    taken += bytes;
                    feed(socket);
                });
            }
        });
    }

    std::atomic<qint64> taken = 0;

private:
    void onRead(QTcpSocket *socket)
    {
        m_request += socket->readAll();
        if (m_answering || !m_request.contains("\r\n\r\n"))
            return;
        m_answering = true;
        QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n";
        switch (m_framing) {
        case Framing::Chunked:
            head += "Transfer-Encoding: chunked\r\n";
            break;
        case Framing::Unframed:
            head += "Connection: close\r\n";
            break;
        case Framing::DeclaredHuge:
            head += "Content-Length: 100000000000\r\n";
            break;
        }
        socket->write(head + "\r\n");
        feed(socket);
    }
    void feed(QTcpSocket *socket)
    {
        static const QByteArray piece(64 * 1024, ' ');
        static const QByteArray chunk
            = QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
        while (socket->state() == QAbstractSocket::ConnectedState
               && socket->bytesToWrite() < 1024 * 1024)
            socket->write(m_framing == Framing::Chunked ? chunk : piece);
    }

    Framing m_framing;
    QByteArray m_request;
    bool m_answering = false;
};

// Starts this process's peak resident memory again from what it holds now.
bool resetPeak()
{
    QFile clear(u"/proc/self/clear_refs"_s);
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

// Passes every connection through to the service, but cuts the first two as the
// service's answer arrives: the call is made and committed, its answer lost, and lost
// again when the request is sent once more.
class LosingProxy : public QTcpServer {
public:
    explicit LosingProxy(quint16 service)
        : m_service(service)
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *client = nextPendingConnection())
                pass(client);
        });
    }

    int connections = 0;

private:
    void pass(QTcpSocket *client)
    {
        const bool lose = ++connections <= 2;
        auto *upstream = new QTcpSocket(client);
        upstream->connectToHost(QHostAddress::LocalHost, m_service);
        connect(client, &QTcpSocket::readyRead, upstream,
                [client, upstream] { upstream->write(client->readAll()); });
        connect(upstream, &QTcpSocket::readyRead, client, [client, upstream, lose] {
            const QByteArray answer = upstream->readAll();
            if (lose)
                client->abort();
            else
                client->write(answer);
        });
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    }

    quint16 m_service;
};

RemoteGateway::Settings settingsFor(quint16 port, const QString &token = {})
{
    RemoteGateway::Settings settings;
    settings.url = QUrl(u"http://127.0.0.1:%1"_s.arg(port));
    settings.token = token;
    settings.callTimeoutMs = 3000;
    return settings;
}

std::unique_ptr<RemoteGateway> make(const RemoteGateway::Settings &settings)
{
    std::unique_ptr<RemoteGateway> gateway;
    const Status status = RemoteGateway::create(settings, gateway);
    if (status.failed())
        qWarning("%s", qPrintable(status.description()));
    return gateway;
}

} // namespace

class TestRemoteGateway : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ServiceRig> m_rig;
    QString m_console;
    QString m_operator;

    bool startService()
    {
        m_rig = std::make_unique<ServiceRig>();
        m_console = m_rig->issue(u"console"_s, u"desk"_s);
        m_operator = m_rig->issue(u"operator"_s, u"ops"_s);
        QString why;
        if (!m_rig->start(why)) {
            qWarning("%s", qPrintable(why));
            return false;
        }
        return true;
    }

    QJsonObject operatorCall(QLatin1StringView operation, const QJsonObject &arguments)
    {
        auto ops = make(settingsFor(m_rig->port(), m_operator));
        QJsonObject answer;
        const Wire::Operation *found = Wire::find(operation);
        const Status status = found ? ops->send(*found, arguments, answer)
                                    : Status::failure(Status::NoInterface, operation);
        if (status.failed())
            qWarning("%s", qPrintable(status.description()));
        return answer;
    }

private Q_SLOTS:
    void cleanup() { m_rig.reset(); }

    // A console's session through the service: the same answers the local component
    // gives, slots written as the local component writes them.
    void consoleSession()
    {
        QVERIFY(startService());
        auto gateway = make(settingsFor(m_rig->port(), m_console));
        QVERIFY(gateway);

        RegisterParticulars p;
        p.accountNo = Account;
        p.password = u"pw"_s;
        p.mobile = u"13800138000"_s;
        Bool16 outcome = 7;
        QVERIFY(gateway->Register(p, outcome).isOk());
        QCOMPARE(outcome, True16);
        QString balance = u"untouched"_s;
        QVERIFY(gateway->QueryBalance(Account, balance).isOk());
        QCOMPARE(balance, u"0.00"_s);

        const QJsonObject cards
            = operatorCall("issueCards"_L1, { { u"valueFen"_s, 1000 }, { u"count"_s, 1 } });
        const QJsonObject card = cards.value(u"cards"_s).toArray().at(0).toObject();
        QVERIFY(gateway
                    ->Recharge(Account, card.value(u"number"_s).toString(),
                               card.value(u"password"_s).toString(), outcome)
                    .isOk());
        QCOMPARE(outcome, True16);
        QVERIFY(gateway->SendMessage(Account, u"13900139000"_s, u"你好"_s, outcome).isOk());
        QCOMPARE(outcome, True16);
        QVERIFY(gateway->QueryBalance(Account, balance).isOk());
        QCOMPARE(balance, u"9.90"_s);

        QVERIFY(gateway->SetForwarding(Account, u"13700137000"_s, outcome).isOk());
        QCOMPARE(outcome, True16);
        QString phone;
        QVERIFY(gateway->GetForwarding(Account, phone).isOk());
        QCOMPARE(phone, u"13700137000"_s);
        QVERIFY(gateway->CancelForwarding(Account, outcome).isOk());
        QCOMPARE(outcome, True16);
        QVERIFY(gateway->CancelForwarding(Account, outcome).isOk());
        QCOMPARE(outcome, False16);

        operatorCall("receiveFromHandset"_L1,
                     { { u"from"_s, u"13900139000"_s },
                       { u"to"_s, Account },
                       { u"extension"_s, u""_s },
                       { u"text"_s, u"回复"_s } });
        Variant total;
        Variant current;
        Variant messages;
        QVERIFY(gateway->ReceiveMessages(Account, total, current, messages, outcome).isOk());
        QCOMPARE(outcome, True16);
        QCOMPARE(total, Variant(u"1"_s));
        QCOMPARE(current, Variant(u"1"_s));
        TextTable table;
        QVERIFY(messages.toTable(table).isOk());
        QCOMPARE(table.rows(), 1);
        QCOMPARE(table.columns(), 4);
        QString cell;
        QVERIFY(table.at(0, 2, cell).isOk());
        QCOMPARE(cell, u"回复"_s);

        QVERIFY(gateway->Deregister(Account, outcome).isOk());
        QCOMPARE(outcome, True16);
        // Signed off: the balance is the empty text.
        QVERIFY(gateway->QueryBalance(Account, balance).isOk());
        QCOMPARE(balance, QString());
    }

    // Whatever the caller put in a receive slot comes back as it went when the gateway
    // leaves the slot alone (an account that is not signed on).
    void untouchedSlotsComeBack()
    {
        QVERIFY(startService());
        auto gateway = make(settingsFor(m_rig->port(), m_console));
        TextTable preset(1, 1);
        preset.set(0, 0, u"kept"_s);
        Variant total(u"t"_s);
        Variant current;
        Variant messages(preset);
        Bool16 outcome = -1;
        QVERIFY(gateway->ReceiveMessages(u"NOT-SIG-NED-00000"_s, total, current, messages, outcome)
                    .isOk());
        QCOMPARE(outcome, False16);
        QCOMPARE(messages, Variant(preset));
    }

    // Each way a call can fail is a failure Status that says what happened.
    void failuresSayWhatHappened_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<qint32>("code");
        QTest::addColumn<QString>("says");

        QTest::newRow("nothing listens")
            << u"closed port"_s << RemoteGateway::Refused << u"拒绝了连接"_s;
        QTest::newRow("service never answers")
            << u"silent"_s << RemoteGateway::Timeout << u"在 0.8 秒内没有答复"_s;
        QTest::newRow("answer is not JSON")
            << u"garbage"_s << RemoteGateway::Unavailable << u"无法读取"_s;
        QTest::newRow("answer repeats a key")
            << u"repeated key"_s << RemoteGateway::Unavailable << u"无法读取"_s;
        QTest::newRow("unknown token") << u"bad token"_s << RemoteGateway::AccessDenied
                                       << u"答复 401：令牌无效，需要有效的令牌"_s;
        QTest::newRow("operator token on a console call")
            << u"operator token"_s << RemoteGateway::AccessDenied << u"答复 403"_s;
    }
    void failuresSayWhatHappened()
    {
        QFETCH(QString, setup);
        QFETCH(qint32, code);
        QFETCH(QString, says);

        std::unique_ptr<FakeService> fake;
        RemoteGateway::Settings settings;
        if (setup == u"closed port"_s) {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            settings = settingsFor(probe.serverPort());
        } else if (setup == u"silent"_s || setup == u"garbage"_s || setup == u"repeated key"_s) {
            fake = std::make_unique<FakeService>(
                setup == u"silent"_s        ? FakeService::Behaviour::Silent
                    : setup == u"garbage"_s ? FakeService::Behaviour::Garbage
                                            : FakeService::Behaviour::RepeatedKey);
            settings = settingsFor(fake->serverPort());
        } else {
            QVERIFY(startService());
            settings = settingsFor(m_rig->port(),
                                   setup == u"bad token"_s ? u"qgt_nobody"_s : m_operator);
        }
        settings.callTimeoutMs = 800;
        auto gateway = make(settings);
        QString balance = u"before"_s;
        const Status status = gateway->QueryBalance(Account, balance);
        QCOMPARE(status.code(), code);
        QVERIFY2(status.description().contains(says), qPrintable(status.description()));
        QCOMPARE(balance, u"before"_s);
    }

    // An answer that never ends is refused at its header when it comes in chunks or with a
    // length over the size the wire allows, and cut once it passes that size when it comes
    // with no length: the call fails saying so, and neither this process nor the connection
    // took much more.
    void endlessAnswerIsCut_data()
    {
        QTest::addColumn<EndlessService::Framing>("framing");
        QTest::addColumn<QString>("says");
        // What the connection may take: the refusal comes at the header for the first two,
        // after the allowed size for the last (and the network's buffers, which grow as
        // they are read, hold more besides).
        QTest::addColumn<qint64>("most");
        const qint64 max = Wire::MaxAnswerBytes;
        QTest::newRow("chunked") << EndlessService::Framing::Chunked << u"分块发送了答复"_s << max;
        QTest::newRow("a length of 100 GB")
            << EndlessService::Framing::DeclaredHuge << u"超过了本组件接受的大小"_s << max;
        QTest::newRow("no length, closed at the end")
            << EndlessService::Framing::Unframed << u"超过了本组件接受的大小"_s << 8 * max;
    }
    void endlessAnswerIsCut()
    {
        QFETCH(EndlessService::Framing, framing);
        QFETCH(QString, says);
        QFETCH(qint64, most);
        QThread thread;
        auto *hostile = new EndlessService(framing);
        hostile->moveToThread(&thread);
        connect(&thread, &QThread::finished, hostile, &QObject::deleteLater);
        thread.start();
        const auto stop = qScopeGuard([&] {
            thread.quit();
            thread.wait();
        });
        quint16 port = 0;
        QMetaObject::invokeMethod(
            hostile,
            [&] {
                hostile->listen(QHostAddress::LocalHost, 0);
                port = hostile->serverPort();
            },
            Qt::BlockingQueuedConnection);
        RemoteGateway::Settings settings = settingsFor(port);
        // Long enough that the size, not the time, ends the call.
        settings.callTimeoutMs = 20'000;
        auto gateway = make(settings);
        const qint64 self = QCoreApplication::applicationPid();
        QVERIFY(resetPeak());
        const qint64 peakBefore = ServiceRig::peakKib(self);
        // This thread is busy for a moment during the call, as a window's can be: what
        // comes meanwhile must wait in the network, not in this process.
        QTimer::singleShot(20, this, [] { QThread::msleep(300); });
        QString balance = u"before"_s;
        const Status status = gateway->QueryBalance(Account, balance);
        const qint64 grownKib = ServiceRig::peakKib(self) - peakBefore;
        QCOMPARE(status.code(), RemoteGateway::Unavailable);
        QVERIFY2(status.description().contains(says), qPrintable(status.description()));
        QCOMPARE(balance, u"before"_s);
        const qint64 taken = hostile->taken;
        QVERIFY2(taken < most, QByteArray::number(taken).constData());
        // The answer as far as it was read, and a copy of it at most.
        QVERIFY2(grownKib * 1024 < (Sanitized ? 16 : 4) * Wire::MaxAnswerBytes,
                 QByteArray::number(grownKib).constData());
    }

    // A call that changes something, lost in transit, is sent again only with the same
    // key, so the service applies it once.
    void retriesOnlyWithTheSameKey_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::newRow("send message") << u"send"_s;
        QTest::newRow("cancel forwarding") << u"cancel"_s;
    }
    void retriesOnlyWithTheSameKey()
    {
        QFETCH(QString, operation);
        FakeService fake(FakeService::Behaviour::CloseFirst);
        auto gateway = make(settingsFor(fake.serverPort()));
        Bool16 outcome = 0;
        const Status status = operation == u"send"_s
            ? gateway->SendMessage(Account, u"13800138000"_s, u"x"_s, outcome)
            : gateway->CancelForwarding(Account, outcome);
        QVERIFY2(status.isOk(), qPrintable(status.description()));
        QCOMPARE(outcome, True16);
        QCOMPARE(fake.requests, 2);
        QCOMPARE(fake.keys.size(), 2);
        QCOMPARE(fake.keys.at(0).size(), 32);
        QCOMPARE(fake.keys.at(1), fake.keys.at(0));
    }

    // Calls share one connection while the service keeps it open; one the service closed
    // since the last answer (it closes idle ones) is replaced without the caller noticing,
    // and one whose answer said it closes, or that brought more than was asked, is not
    // used again.
    void callsShareAConnection_data()
    {
        QTest::addColumn<FakeService::Behaviour>("behaviour");
        // Between the calls, whether this side reads what came meanwhile.
        QTest::addColumn<bool>("pause");
        QTest::addColumn<int>("connections");
        QTest::newRow("kept open") << FakeService::Behaviour::Answer << false << 1;
        QTest::newRow("closed after each answer")
            << FakeService::Behaviour::AnswerThenClose << false << 2;
        QTest::newRow("answer says it closes")
            << FakeService::Behaviour::AnswerSaysClose << false << 2;
        QTest::newRow("an answer nobody asked for")
            << FakeService::Behaviour::AnswerTwice << true << 2;
    }
    void callsShareAConnection()
    {
        QFETCH(FakeService::Behaviour, behaviour);
        QFETCH(bool, pause);
        QFETCH(int, connections);
        FakeService fake(behaviour);
        auto gateway = make(settingsFor(fake.serverPort()));
        for (int i = 0; i < 2; ++i) {
            if (pause)
                QTest::qWait(200);
            QString balance;
            const Status status = gateway->QueryBalance(Account, balance);
            QVERIFY2(status.isOk(), qPrintable(status.description()));
            QCOMPARE(balance, u"1.00"_s);
        }
        QCOMPARE(fake.requests, 2);
        QCOMPARE(fake.connections, connections);
    }

    // The service committed a send whose answer was lost on the way, twice: the
    // component's own retry, with the same key, is answered from the service's record,
    // and the message goes out (and is charged) once.
    void lostAnswerIsNotAppliedTwice()
    {
        QVERIFY(startService());
        auto direct = make(settingsFor(m_rig->port(), m_console));
        RegisterParticulars p;
        p.accountNo = Account;
        p.password = u"pw"_s;
        Bool16 outcome = 0;
        QVERIFY(direct->Register(p, outcome).isOk());
        const QJsonObject card
            = operatorCall("issueCards"_L1, { { u"valueFen"_s, 1000 }, { u"count"_s, 1 } })
                  .value(u"cards"_s)
                  .toArray()
                  .at(0)
                  .toObject();
        QVERIFY(direct
                    ->Recharge(Account, card.value(u"number"_s).toString(),
                               card.value(u"password"_s).toString(), outcome)
                    .isOk());
        QCOMPARE(outcome, True16);

        LosingProxy proxy(m_rig->port());
        auto gateway = make(settingsFor(proxy.serverPort(), m_console));
        outcome = 0;
        const Status status = gateway->SendMessage(Account, u"13800138000"_s, u"once"_s, outcome);
        QVERIFY2(status.isOk(), qPrintable(status.description()));
        QCOMPARE(outcome, True16);
        QCOMPARE(proxy.connections, 3);
        QString balance;
        QVERIFY(direct->QueryBalance(Account, balance).isOk());
        QCOMPARE(balance, u"9.90"_s);
        QCOMPARE(operatorCall("handsetMessages"_L1, { { u"phone"_s, u"13800138000"_s } })
                     .value(u"total"_s)
                     .toInt(),
                 1);
    }

    // Deleting the gateway during a call (the window closing) ends the call with a
    // failure Status and touches nothing of the deleted object; a call made while one
    // runs is refused.
    void deletedOrReenteredDuringCall()
    {
        FakeService fake(FakeService::Behaviour::Silent);
        auto gateway = make(settingsFor(fake.serverPort()));
        Status nested;
        QString nestedBalance = u"n"_s;
        QTimer::singleShot(100, this,
                           [&] { nested = gateway->QueryBalance(Account, nestedBalance); });
        QTimer::singleShot(200, this, [&] { gateway.reset(); });
        RemoteGateway *raw = gateway.get();
        QString balance = u"b"_s;
        const Status status = raw->QueryBalance(Account, balance);
        QVERIFY(!gateway);
        QCOMPARE(status.code(), RemoteGateway::Unavailable);
        QVERIFY2(status.description().contains(u"调用期间网关已被关闭"_s),
                 qPrintable(status.description()));
        QCOMPARE(nested.code(), RemoteGateway::Busy);
        QCOMPARE(balance, u"b"_s);
        QCOMPARE(nestedBalance, u"n"_s);
    }

    // TLS from certificate and key files: a client that trusts the certificate gets
    // through; one that does not gets a failure Status naming TLS.
    void tls_data()
    {
        QTest::addColumn<bool>("trusted");
        QTest::newRow("CA file names the certificate") << true;
        QTest::newRow("system CAs only") << false;
    }
    void tls()
    {
        QFETCH(bool, trusted);
        m_rig = std::make_unique<ServiceRig>();
        QString why;
        QVERIFY2(m_rig->useTls(why), qPrintable(why));
        const QString cert = m_rig->certificateFile();
        m_console = m_rig->issue(u"console"_s, u"desk"_s);
        QVERIFY2(m_rig->start(why), qPrintable(why));
        QVERIFY(m_rig->log().contains("(TLS)"));

        RemoteGateway::Settings settings;
        settings.url = QUrl(u"https://127.0.0.1:%1"_s.arg(m_rig->port()));
        settings.token = m_console;
        if (trusted)
            settings.caFile = cert;
        auto gateway = make(settings);
        QString balance = u"before"_s;
        const Status status = gateway->QueryBalance(Account, balance);
        if (trusted) {
            QVERIFY2(status.isOk(), qPrintable(status.description()));
            QCOMPARE(balance, QString());
        } else {
            QCOMPARE(status.code(), RemoteGateway::TlsFailed);
            QVERIFY2(status.description().startsWith(u"与网关服务 "_s),
                     qPrintable(status.description()));
            QCOMPARE(balance, u"before"_s);
        }
    }

    // The console's loader, told by the user's components.conf to use this component
    // for the class id, makes a RemoteGateway from the user's remote.conf.
    void chosenThroughTheLoader()
    {
        QVERIFY(startService());
        QTemporaryDir config;
        QVERIFY(QDir().mkpath(config.filePath(u"quillet-gateway"_s)));
        QVERIFY(QDir().mkpath(config.filePath(u"quillet"_s)));
        QFile token(config.filePath(u"quillet-gateway/token"_s));
        QVERIFY(token.open(QIODevice::WriteOnly));
        token.write(m_console.toLatin1());
        token.close();
        token.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QFile remote(config.filePath(u"quillet-gateway/remote.conf"_s));
        QVERIFY(remote.open(QIODevice::WriteOnly));
        remote.write(
            (u"url="_s + m_rig->url() + u"\ntoken_file="_s + token.fileName() + u"\n"_s).toUtf8());
        remote.close();
        QFile choice(config.filePath(u"quillet/components.conf"_s));
        QVERIFY(choice.open(QIODevice::WriteOnly));
        choice.write(QString::fromUtf16(GatewayIds::SmsGatewayClassId).toLatin1() + "="
                     + QFileInfo(QStringLiteral(QUILLET_REMOTE_PLUGIN)).fileName().toUtf8() + "\n");
        choice.close();
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));

        const GatewayLoader loader({ QFileInfo(QStringLiteral(QUILLET_REMOTE_PLUGIN)).path() },
                                   choice.fileName());
        std::unique_ptr<GatewayClient> gateway;
        const Status made
            = loader.create(QString::fromUtf16(GatewayIds::SmsGatewayClassId), gateway);
        qunsetenv("XDG_CONFIG_HOME");
        QVERIFY2(made.isOk(), qPrintable(made.description()));
        RegisterParticulars p;
        p.accountNo = Account;
        p.password = u"pw"_s;
        Bool16 outcome = 0;
        QVERIFY(gateway->Register(p, outcome).isOk());
        QCOMPARE(outcome, True16);
        QVERIFY(m_rig->log().contains(" register 200 "));
    }

    // The component's own settings file.
    void settingsFile_data()
    {
        QTest::addColumn<QString>("content");
        QTest::addColumn<QString>("tokenMode");
        QTest::addColumn<QString>("says");

        QTest::newRow("no url") << u"call_timeout_ms=100\n"_s << u"0600"_s
                                << u"中没有网关服务的地址（url）"_s;
        QTest::newRow("not http") << u"url=ftp://127.0.0.1/\n"_s << u"0600"_s
                                  << u"不是 http 或 https 地址"_s;
        QTest::newRow("plain http to another host")
            << u"url=http://gateway.example.com:8440\n"_s << u"0600"_s << u"以明文"_s;
        QTest::newRow("token file readable by others")
            << u"url=http://127.0.0.1:1\n"_s << u"0644"_s << u"请将其权限设为 0600"_s;
        QTest::newRow("timeout not a number") << u"url=http://127.0.0.1:1\ncall_timeout_ms=soon\n"_s
                                              << u"0600"_s << u"call_timeout_ms"_s;
        QTest::newRow("unreadable CA file")
            << u"url=https://127.0.0.1:1\nca_file=/nonexistent/ca.pem\n"_s << u"0600"_s
            << u"CA 文件"_s;
        QTest::newRow("good") << u"url=http://127.0.0.1:1\n"_s << u"0600"_s << QString();
    }
    void settingsFile()
    {
        QFETCH(QString, content);
        QFETCH(QString, tokenMode);
        QFETCH(QString, says);
        QTemporaryDir dir;
        QFile token(dir.filePath(u"token"_s));
        QVERIFY(token.open(QIODevice::WriteOnly));
        token.write("qgt_x\n");
        token.close();
        token.setPermissions(tokenMode == u"0600"_s
                                 ? QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                 : QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                     | QFileDevice::ReadGroup | QFileDevice::ReadOther);
        QFile conf(dir.filePath(u"remote.conf"_s));
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write((content + u"token_file="_s + token.fileName() + u'\n').toUtf8());
        conf.close();

        RemoteGateway::Settings settings;
        Status status = RemoteGateway::readSettings(conf.fileName(), settings);
        std::unique_ptr<RemoteGateway> gateway;
        if (status.isOk())
            status = RemoteGateway::create(settings, gateway);
        if (says.isEmpty()) {
            QVERIFY2(status.isOk(), qPrintable(status.description()));
            QCOMPARE(settings.token, u"qgt_x"_s);
            QCOMPARE(settings.connectTimeoutMs, 5000);
            QCOMPARE(settings.callTimeoutMs, 10000);
            return;
        }
        QCOMPARE(status.code(), RemoteGateway::BadSettings);
        QVERIFY2(status.description().contains(says), qPrintable(status.description()));
    }
};

QTEST_GUILESS_MAIN(TestRemoteGateway)
#include "tst_remotegateway.moc"
