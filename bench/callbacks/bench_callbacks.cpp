// Callbacks from quillet-gatewayd (one process, SQLite, every settled event on the disk)
// to a receiver on 127.0.0.1 that answers 204 at once on kept-alive connections:
//   1. events delivered a second: a backlog of phone messages for an account whose
//      callback takes arrivals, written before the service starts, all delivered;
//   2. the time from a change written to the store (an arrival, with the service
//      running) to its callback at the receiver, p50 and p99.
//
//   QUILLET_BENCH_EVENTS   events in the backlog, default 20000
//   QUILLET_BENCH_CALLS    arrivals timed one at a time, default 300

#include "bench/kit/benchio.h"
#include "gateway/local/localgateway.h"
#include "gateway/local/localoperator.h"
#include "gateway/local/outbox.h"
#include "service/callbacksecrets.h"

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

#include <algorithm>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

const QString Account = u"BEN-CHC-ALL-00001"_s;
using BenchKit::out;
using BenchKit::setting;

template<typename Done> bool spin(Done done, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Answers every request 204 on the connection it came on, and notes when each event
// arrived after the change it reports.
class Receiver : public QTcpServer {
public:
    qint64 received = 0;
    std::vector<qint64> lagMs;
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

qint64 percentile(std::vector<qint64> values, double p)
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
    const int events = setting("QUILLET_BENCH_EVENTS", 20'000);
    const int calls = setting("QUILLET_BENCH_CALLS", 300);
    QTemporaryDir dir;
    const QString store = dir.filePath(u"gateway.sqlite3"_s);
    const QString key = dir.filePath(u"callback.key"_s);
    Receiver receiver;

    StoreLocation location;
    LocalGateway::Options options;
    options.hashCost = PasswordHasher::fastest();
    std::unique_ptr<LocalGateway> gateway;
    SecretSeal seal;
    RegisterParticulars p;
    p.accountNo = Account;
    p.password = u"pw"_s;
    Bool16 registered = 0;
    if (StoreLocation::parse(u"sqlite:"_s + store, location).failed()
        || LocalGateway::open(location, gateway, options).failed()
        || gateway->Register(p, registered).failed() || SecretSeal::load(key, seal).failed()) {
        out() << "bench_callbacks: cannot prepare the store\n";
        return 1;
    }
    Outbox outbox(*gateway, u"bench"_s);
    const QString url = u"http://127.0.0.1:%1/hook"_s.arg(receiver.serverPort());
    (void)outbox.setCallback(Account,
                             { url, true, true, seal.seal(CallbackSecrets::newSecret()) });
    LocalOperator desk(*gateway);
    LocalOperator::MoBulkReport bulk;
    if (desk.receiveFromHandset(u"13800138000"_s, Account, {}, u"bench"_s, events, bulk)
            .failed()) {
        out() << "bench_callbacks: cannot write the backlog\n";
        return 1;
    }

    QFile config(dir.filePath(u"gatewayd.conf"_s));
    (void)config.open(QIODevice::WriteOnly);
    config.write(u"password_hash_cost=minimum\ncallback_allow_hosts=127.0.0.1\n"
                 u"callback_key_file=%1\n"_s.arg(key)
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
          << " s (from the service's start): " << qint64(double(events) / seconds)
          << " events/s" << (all ? "" : " (not all delivered)") << '\n';

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
    service.terminate();
    service.waitForFinished(30'000);
    out().flush();
    return all ? 0 : 1;
}
