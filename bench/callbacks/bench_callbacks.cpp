// Callbacks from quillet-gatewayd (one process, SQLite, every settled event on the disk)
// to a receiver on 127.0.0.1 that answers 204 at once on kept-alive connections:
//   1. events delivered a second: a backlog of phone messages for an account whose
//      callback takes arrivals, written before the service starts, all delivered;
//   2. the time from a change another process writes to the store (an arrival the
//      bench writes, with the service running) to its callback at the receiver, p50 and
//      p99: the service finds it at its next poll (every 250 ms), or sooner when the
//      callbacks are busy;
//   3. the time from an SMSC's receipt (the SMSC simulator, over the service's link) to
//      the message's callback saying delivered, p50 and p99, one message at a time.
//
//   QUILLET_BENCH_EVENTS   events in the backlog, default 20000
//   QUILLET_BENCH_CALLS    arrivals and receipts timed one at a time, default 300

#include "bench/kit/benchio.h"
#include "gateway/local/localgateway.h"
#include "gateway/local/localoperator.h"
#include "gateway/local/outbox.h"
#include "service/callbacksecrets.h"
#include "tests/smsc/smscsimulator.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

const QString Account = u"BEN-CHC-ALL-00001"_s;
using BenchKit::out;
using BenchKit::setting;
using BenchKit::spin;

// One clock for the bench, in nanoseconds.
QElapsedTimer benchClock;

// Answers every request 204 on the connection it came on, and notes when each event
// arrived after the change it reports, and when each callback saying a message was
// delivered came.
class Receiver : public QTcpServer {
public:
    qint64 received = 0;
    std::vector<qint64> lagMs;
    std::vector<qint64> deliveredNs;
    bool timing = false;

    Receiver()
    {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                auto buffer = std::make_shared<QByteArray>();
                connect(socket, &QTcpSocket::readyRead, this,
                        [this, socket, buffer] { read(socket, *buffer); });
            }
        });
    }

private:
    void read(QTcpSocket *socket, QByteArray &buffer)
    {
        buffer += socket->readAll();
        for (;;) {
            const qsizetype end = buffer.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            static const QRegularExpression length(u"(?i)content-length:\\s*(\\d+)"_s);
            const auto m = length.match(QString::fromLatin1(buffer.left(end)));
            const qsizetype size = m.hasMatch() ? m.captured(1).toLongLong() : 0;
            if (buffer.size() < end + 4 + size)
                return;
            if (timing) {
                const QJsonObject event
                    = QJsonDocument::fromJson(buffer.mid(end + 4, size)).object();
                if (event.value(u"type"_s).toString() == u"message.state"_s) {
                    if (event.value(u"data"_s).toObject().value(u"state"_s).toString()
                        == u"delivered"_s)
                        deliveredNs.push_back(benchClock.nsecsElapsed());
                    buffer.remove(0, end + 4 + size);
                    ++received;
                    socket->write("HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n");
                    continue;
                }
                const QDateTime at
                    = QDateTime::fromString(event.value(u"time"_s).toString(), Qt::ISODateWithMs);
                lagMs.push_back(QDateTime::currentMSecsSinceEpoch() - at.toMSecsSinceEpoch());
            }
            buffer.remove(0, end + 4 + size);
            ++received;
            socket->write("HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n");
        }
    }
};

template<typename T> T percentile(std::vector<T> values, double p)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchClock.start();
    const int events = setting("QUILLET_BENCH_EVENTS", 20'000);
    const int calls = setting("QUILLET_BENCH_CALLS", 300);
    QTemporaryDir dir;
    const QString store = dir.filePath(u"gateway.sqlite3"_s);
    const QString key = dir.filePath(u"callback.key"_s);
    Receiver receiver;
    // Receipts at once for every submit_sm; when each goes out is noted as it is heard.
    SmscSimulator smsc;
    std::vector<qint64> receiptNs;
    smsc.onEvent([&](const QString &line) {
        if (line.startsWith(u"receipt "_s))
            receiptNs.push_back(benchClock.nsecsElapsed());
    });
    const QString smscPassword = dir.filePath(u"smsc.password"_s);
    QFile secret(smscPassword);
    if (!smsc.start({ u"--receipts"_s, u"0"_s }) || !secret.open(QIODevice::WriteOnly)
        || secret.write("secret1\n") < 0
        || !secret.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        out() << "bench_callbacks: cannot start the SMSC simulator\n";
        return 1;
    }
    secret.close();

    StoreLocation location;
    LocalGateway::Options options;
    options.hashCost = PasswordHasher::fastest();
    // The bench's own sends are queued for the service's link.
    options.route = [](const QString &) { return u"main"_s; };
    std::unique_ptr<LocalGateway> gateway;
    SecretSeal seal;
    RegisterParticulars p;
    p.accountNo = Account;
    p.password = u"pw"_s;
    Bool16 registered = 0;
    Bool16 recharged = 0;
    QList<LocalGateway::IssuedCard> cards;
    if (StoreLocation::parse(u"sqlite:"_s + store, location).failed()
        || LocalGateway::open(location, gateway, options).failed()
        || gateway->Register(p, registered).failed() || SecretSeal::load(key, seal).failed()
        || LocalOperator(*gateway).issueCards(LocalGateway::MaxCardValueFen, 1, cards).failed()
        || gateway->Recharge(Account, cards[0].number, cards[0].password, recharged).failed()
        || recharged != True16) {
        out() << "bench_callbacks: cannot prepare the store\n";
        return 1;
    }
    Outbox outbox(*gateway, u"bench"_s);
    const QString url = u"http://127.0.0.1:%1/hook"_s.arg(receiver.serverPort());
    (void)outbox.setCallback(Account, { url, true, true, seal.seal(CallbackSecrets::newSecret()) });
    LocalOperator desk(*gateway);
    LocalOperator::MoBulkReport bulk;
    if (desk.receiveFromHandset(u"13800138000"_s, Account, {}, u"bench"_s, events, bulk).failed()) {
        out() << "bench_callbacks: cannot write the backlog\n";
        return 1;
    }

    QFile config(dir.filePath(u"gatewayd.conf"_s));
    (void)config.open(QIODevice::WriteOnly);
    config.write(u"password_hash_cost=minimum\ncallback_allow_hosts=127.0.0.1\n"
                 u"callback_key_file=%1\n[smsc.main]\nhost=127.0.0.1\nport=%2\n"
                 u"system_id=quillet\npassword_file=%3\n"_s.arg(key)
                     .arg(smsc.port())
                     .arg(smscPassword)
                     .toUtf8());
    config.close();
    QProcess service;
    const QString log = dir.filePath(u"service.log"_s);
    service.setStandardErrorFile(log);
    QElapsedTimer timer;
    timer.start();
    service.start(QStringLiteral(QUILLET_GATEWAYD),
                  { u"--config"_s, config.fileName(), u"--store"_s, u"sqlite:"_s + store,
                    u"--port"_s, u"0"_s });
    const bool all = spin([&] { return receiver.received >= events; }, 600'000);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    out() << "callbacks: " << events << " events delivered to a local receiver in " << seconds
          << " s (from the service's start): " << qint64(double(events) / seconds) << " events/s"
          << (all ? "" : " (not all delivered)") << '\n';

    receiver.timing = true;
    for (int i = 0; i < calls; ++i) {
        LocalOperator::MoReport report;
        const qint64 before = receiver.received;
        (void)desk.receiveFromHandset(u"13800138000"_s, Account, {}, u"one"_s, report);
        if (!spin([&] { return receiver.received > before; }, 10'000))
            break;
    }
    out() << "callbacks: change to callback, " << receiver.lagMs.size()
          << " arrivals one at a time: p50 " << percentile(receiver.lagMs, 0.5) << " ms, p99 "
          << percentile(receiver.lagMs, 0.99) << " ms\n";

    // Each message sent once the last one's callback came: the link is idle, and the
    // receipt is the only thing on its way.
    std::vector<double> receiptToCallbackMs;
    for (int i = 0; i < calls; ++i) {
        Bool16 sent = 0;
        const size_t before = receiver.deliveredNs.size();
        if (gateway->SendMessage(Account, u"13800138000"_s, u"bench"_s, sent).failed()
            || sent != True16 || !spin([&] { return receiver.deliveredNs.size() > before; }, 10'000)
            || receiptNs.size() != before + 1)
            break;
        receiptToCallbackMs.push_back(double(receiver.deliveredNs.back() - receiptNs.back()) / 1e6);
    }
    out() << "callbacks: an SMSC's receipt to the callback saying delivered, "
          << receiptToCallbackMs.size() << " messages one at a time: p50 "
          << percentile(receiptToCallbackMs, 0.5) << " ms, p99 "
          << percentile(receiptToCallbackMs, 0.99) << " ms"
          << (int(receiptToCallbackMs.size()) == calls ? "" : " (not all delivered)") << '\n';
    service.terminate();
    service.waitForFinished(30'000);
    out().flush();
    return all && int(receiptToCallbackMs.size()) == calls ? 0 : 1;
}
