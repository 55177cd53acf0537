// The SMPP link against the SMSC simulator answering at once, on an SQLite store with
// every state change on the disk (synchronous=FULL):
//   1. messages a second through one transceiver bind, windows 1, 10 and 50: queued
//      messages claimed, sent and their answers written (submitted, with the SMSC's ids);
//      beside them the floor, the same submit_sm with window 50 from a bare client that
//      writes nothing; then with a receipt for each message at once, to delivered, beside
//      the bare client answering each receipt;
//   2. the time from a console's send (the remote component, through quillet-gatewayd)
//      to the simulator's receipt of its submit_sm, p50 and p99, each send made with the
//      link idle;
//   3. a burst: an SMSC writes 20,000 distinct deliver_sm in one write; the time until
//      every one is stored and answered, the CPU the process spent on them, and the
//      time from a send accepted once half of them are answered to its submit_sm at the
//      SMSC.
//
//   QUILLET_BENCH_MESSAGES  messages per throughput round, default 3000
//   QUILLET_BENCH_CALLS     sends timed for the latency, default 300
//   QUILLET_BENCH_BURST     arrivals in the burst, default 20000

#include "bench/kit/benchio.h"
#include "gateway/local/localgateway.h"
#include "gateway/local/localoperator.h"
#include "gateway/remote/remotegateway.h"
#include "service/link/linkservice.h"
#include "service/link/smpppdu.h"
#include "tests/smsc/smscsimulator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <ctime>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

const QString Account = u"BEN-CHL-INK-00001"_s;
constexpr int RecipientsPerSend = 50;
// Between the console's timed sends.
constexpr int IdleMs = 15;

using BenchKit::out;
using BenchKit::setting;

// Runs the event loop until `done` holds or `ms` passed.
template<typename Done> bool spin(Done done, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::usleep(500);
    }
    return true;
}

// A store with a funded, signed-on account; every message to a phone goes by "main".
std::unique_ptr<LocalGateway> prepareStore(const QString &path)
{
    StoreLocation location;
    LocalGateway::Options options;
    options.hashCost = PasswordHasher::fastest();
    options.route = [](const QString &) { return u"main"_s; };
    std::unique_ptr<LocalGateway> gateway;
    if (StoreLocation::parse(u"sqlite:"_s + path, location).failed()
        || LocalGateway::open(location, gateway, options).failed())
        return {};
    QList<LocalGateway::IssuedCard> cards;
    RegisterParticulars p;
    p.accountNo = Account;
    p.password = u"pw"_s;
    Bool16 registered = 0;
    Bool16 recharged = 0;
    if (LocalOperator(*gateway).issueCards(LocalGateway::MaxCardValueFen, 1, cards).failed()
        || gateway->Register(p, registered).failed()
        || gateway->Recharge(Account, cards[0].number, cards[0].password, recharged).failed()
        || registered != True16 || recharged != True16)
        return {};
    return gateway;
}

bool queue(LocalGateway &gateway, int messages)
{
    for (int sent = 0; sent < messages; sent += RecipientsPerSend) {
        QStringList phones;
        for (int i = sent; i < std::min(messages, sent + RecipientsPerSend); ++i)
            phones.append(u"1380%1"_s.arg(i, 7, 10, QLatin1Char('0')));
        Bool16 outcome = 0;
        if (gateway.SendMessage(Account, phones.join(u','), u"bench"_s, outcome).failed()
            || outcome != True16)
            return false;
    }
    return true;
}

LinkSettings simulatorLink(quint16 port, int window)
{
    LinkSettings link;
    link.name = u"main"_s;
    link.host = u"127.0.0.1"_s;
    link.port = port;
    link.systemId = "quillet";
    link.password = "secret1";
    link.window = window;
    link.ratePerSecond = 100'000;
    return link;
}

// Messages a second from queued to submitted (with `receipts`, to delivered: the SMSC's
// receipt for each applied), through one bind with `window`.
double throughput(SmscSimulator &smsc, const QString &folder, int window, int messages,
                  bool receipts = false)
{
    const QString path
        = folder + u"/window-%1%2.sqlite3"_s.arg(window).arg(receipts ? u"-receipts" : u"");
    {
        const auto gateway = prepareStore(path);
        if (!gateway || !queue(*gateway, messages))
            return 0;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, path);
    db.setDatabaseName(path);
    if (!db.open())
        return 0;
    QSqlQuery count(db);
    const auto submitted = [&] {
        return count.exec(u"SELECT count(*) FROM mt WHERE state = '%1'"_s.arg(
                   receipts ? u"delivered" : u"submitted"))
                && count.next()
            ? count.value(0).toInt()
            : 0;
    };
    LinkConfig config;
    config.links.append(simulatorLink(smsc.port(), window));
    StoreLocation location;
    (void)StoreLocation::parse(u"sqlite:"_s + path, location);
    LinkService links(config, location, PasswordHasher::fastest(), [](const QString &) {});
    QElapsedTimer timer;
    timer.start();
    if ((receipts && !smsc.command(u"receipts 0"_s)) || links.start().failed())
        return 0;
    // Counted every 10 ms only: a count of the table each half millisecond took more of
    // the machine than the link did.
    QElapsedTimer counted;
    counted.start();
    const bool done = spin(
        [&] {
            if (counted.elapsed() < 10)
                return false;
            counted.restart();
            return submitted() == messages;
        },
        120'000);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    links.stop();
    if (receipts)
        smsc.command(u"receipts off"_s);
    smsc.clear();
    return done ? messages / seconds : 0;
}

// The same submit_sm from a client that writes nothing: what the simulator and the
// loopback take; with `receipts`, until it has answered a receipt for each.
double floorRate(SmscSimulator &smsc, int window, int messages, bool receipts = false)
{
    if (receipts && !smsc.command(u"receipts 0"_s))
        return 0;
    QTcpSocket socket;
    socket.connectToHost(u"127.0.0.1"_s, smsc.port());
    if (!socket.waitForConnected(5000))
        return 0;
    QByteArray buffer;
    int answered = 0;
    int receipted = 0;
    quint32 sequence = 1;
    socket.write(
        Smpp::bind(Smpp::Command::BindTransceiver, sequence++, { "quillet", "secret1", {}, {} }));
    Smpp::ShortMessage message;
    message.source.digits = "10690000001";
    message.destination = { 0, 1, "13800000000" };
    message.registeredDelivery = 1;
    message.payload = "bench";
    int sent = 0;
    bool bound = false;
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] {
        buffer.append(socket.readAll());
        for (;;) {
            const Smpp::Peek peek = Smpp::header(buffer);
            if (!peek.complete || quint32(buffer.size()) < peek.header.length)
                break;
            buffer.remove(0, peek.header.length);
            if (peek.header.command == quint32(Smpp::Command::BindTransceiverResp)) {
                bound = true;
            } else if (peek.header.command == quint32(Smpp::Command::SubmitSmResp)) {
                ++answered;
            } else if (peek.header.command == quint32(Smpp::Command::DeliverSm)) {
                socket.write(Smpp::bare(Smpp::Command::DeliverSmResp, peek.header.sequence));
                ++receipted;
            }
        }
        while (bound && sent < messages && sent - answered < window) {
            socket.write(Smpp::submitSm(sequence++, message));
            ++sent;
        }
    });
    QElapsedTimer timer;
    timer.start();
    const bool done = spin([&] { return (receipts ? receipted : answered) == messages; }, 60'000);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    if (receipts)
        smsc.command(u"receipts off"_s);
    smsc.clear();
    return done ? messages / seconds : 0;
}

struct Percentiles {
    double p50 = 0;
    double p99 = 0;
    double answeredP50 = 0; // the send's own answer
};

// Through quillet-gatewayd: a send's answer, then the simulator's submit line.
Percentiles latency(SmscSimulator &smsc, const QString &folder, int calls, QString &why)
{
    const QString path = folder + u"/service.sqlite3"_s;
    if (!prepareStore(path)) {
        why = u"no store"_s;
        return {};
    }
    const QString password = folder + u"/smsc.password"_s;
    QFile secret(password);
    const QString config = folder + u"/gatewayd.conf"_s;
    QFile conf(config);
    if (!secret.open(QIODevice::WriteOnly) || secret.write("secret1\n") < 0
        || !secret.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || !conf.open(QIODevice::WriteOnly)
        || conf.write(u"password_hash_cost=minimum\n[smsc.main]\nhost=127.0.0.1\nport=%1\n"
                      u"system_id=quillet\npassword_file=%2\n"_s.arg(smsc.port())
                          .arg(password)
                          .toUtf8())
            < 0) {
        why = u"cannot write the config"_s;
        return {};
    }
    secret.close();
    conf.close();
    const QString program = QStringLiteral(QUILLET_GATEWAYD);
    const QStringList common { u"--config"_s, config, u"--store"_s, u"sqlite:"_s + path };
    QProcess issue;
    issue.start(program,
                common
                    + QStringList { u"token"_s, u"issue"_s, u"--role"_s, u"console"_s, u"--name"_s,
                                    u"bench"_s });
    issue.waitForFinished();
    const QString token = QString::fromLatin1(issue.readAllStandardOutput().trimmed());
    QProcess service;
    const QString log = folder + u"/service.log"_s;
    service.setStandardErrorFile(log);
    service.start(program, common + QStringList { u"--port"_s, u"0"_s });
    QString url;
    static const QRegularExpression listening(u"port (\\d+)"_s);
    spin(
        [&] {
            QFile file(log);
            if (file.open(QIODevice::ReadOnly)) {
                const QString text = QString::fromUtf8(file.readAll());
                const auto m = listening.match(text);
                if (m.hasMatch() && text.contains(u"bound as"_s))
                    url = u"http://127.0.0.1:"_s + m.captured(1);
            }
            return !url.isEmpty();
        },
        10'000);
    RemoteGateway::Settings settings;
    settings.url = QUrl(url);
    settings.token = token;
    std::unique_ptr<RemoteGateway> remote;
    std::vector<qint64> ns;
    std::vector<qint64> answeredNs;
    if (url.isEmpty() || RemoteGateway::create(settings, remote).failed()) {
        why = u"the service did not start"_s;
    } else {
        // The service acts for a token only on the accounts it signed on.
        RegisterParticulars p;
        p.accountNo = Account;
        p.password = u"pw"_s;
        Bool16 registered = 0;
        if (remote->Register(p, registered).failed() || registered != True16)
            why = u"cannot sign on through the service"_s;
        smsc.clear();
        for (int i = 0; i < calls + calls / 10 && why.isEmpty(); ++i) {
            QElapsedTimer timer;
            timer.start();
            Bool16 outcome = 0;
            if (remote->SendMessage(Account, u"13800138000"_s, u"bench"_s, outcome).failed()
                || outcome != True16) {
                why = u"a send failed"_s;
                break;
            }
            const qint64 answered = timer.nsecsElapsed();
            if (smsc.waitFor(u"submit"_s, i + 1, 10'000).size() < i + 1) {
                why = u"the simulator did not receive a message"_s;
                break;
            }
            if (i >= calls / 10) {
                ns.push_back(timer.nsecsElapsed());
                answeredNs.push_back(answered);
            }
            // Each send finds the link idle: its rate (100 a second by default) has a part
            // to spare again.
            QThread::msleep(IdleMs);
        }
    }
    service.terminate();
    if (!service.waitForFinished(30'000))
        service.kill();
    if (ns.empty())
        return {};
    std::sort(ns.begin(), ns.end());
    std::sort(answeredNs.begin(), answeredNs.end());
    return { double(ns[ns.size() / 2]) / 1e6, double(ns[ns.size() * 99 / 100]) / 1e6,
             double(answeredNs[answeredNs.size() / 2]) / 1e6 };
}

struct Burst {
    double storedSeconds = 0;
    double cpuMsPerArrival = 0;
    double sendMs = 0;
    QString failure;
};

// An SMSC played byte by byte on this thread: it binds the link, answers its submit_sm,
// writes the whole burst at once, and counts the answers; the link runs on the service's
// own thread, as in quillet-gatewayd.
Burst burst(const QString &folder, int arrivals)
{
    Burst result;
    const QString path = folder + u"/burst.sqlite3"_s;
    const auto gateway = prepareStore(path);
    QTcpServer server;
    if (!gateway || !server.listen(QHostAddress::LocalHost, 0)) {
        result.failure = u"no store or no port"_s;
        return result;
    }
    QTcpSocket *smsc = nullptr;
    QByteArray buffer;
    bool bound = false;
    int answered = 0;
    int refused = 0;
    qint64 submittedAt = -1;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        smsc = server.nextPendingConnection();
        QObject::connect(smsc, &QTcpSocket::readyRead, [&] {
            buffer.append(smsc->readAll());
            qsizetype at = 0;
            for (;;) {
                const Smpp::Peek peek = Smpp::header(QByteArrayView(buffer).sliced(at));
                if (!peek.complete || quint32(buffer.size() - at) < peek.header.length)
                    break;
                at += peek.header.length;
                const Smpp::Header &h = peek.header;
                switch (Smpp::Command(h.command)) {
                case Smpp::Command::BindTransceiver:
                    smsc->write(
                        Smpp::response(Smpp::Command::BindTransceiverResp, h.sequence, 0, "bench"));
                    bound = true;
                    break;
                case Smpp::Command::SubmitSm:
                    smsc->write(Smpp::response(Smpp::Command::SubmitSmResp, h.sequence, 0, "1"));
                    if (submittedAt < 0)
                        submittedAt = clock.nsecsElapsed();
                    break;
                case Smpp::Command::EnquireLink:
                    smsc->write(Smpp::bare(Smpp::Command::EnquireLinkResp, h.sequence));
                    break;
                case Smpp::Command::DeliverSmResp:
                    ++(h.status == 0 ? answered : refused);
                    break;
                default:
                    break;
                }
            }
            buffer.remove(0, at);
        });
    });
    QString number;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"burst"_s);
        db.setDatabaseName(path);
        QSqlQuery q(db);
        if (db.open() && q.exec(u"SELECT service_number FROM accounts"_s) && q.next())
            number = q.value(0).toString();
    }
    QSqlDatabase::removeDatabase(u"burst"_s);
    LinkConfig config;
    config.links.append(simulatorLink(server.serverPort(), 10));
    StoreLocation location;
    (void)StoreLocation::parse(u"sqlite:"_s + path, location);
    LinkService links(config, location, PasswordHasher::fastest(), [](const QString &) {});
    if (number.isEmpty() || links.start().failed() || !spin([&] { return bound; }, 10'000)) {
        result.failure = u"the link did not bind"_s;
        return result;
    }
    QByteArray pdus;
    Smpp::ShortMessage m;
    m.source.digits = "13800138000";
    m.destination.digits = number.toLatin1();
    for (int i = 1; i <= arrivals; ++i) {
        m.payload = "burst " + QByteArray::number(i);
        pdus += Smpp::deliverSm(quint32(i), m);
    }
    const std::clock_t cpu = std::clock();
    const qint64 start = clock.nsecsElapsed();
    smsc->write(pdus);
    qint64 sentAt = -1;
    const bool done = spin(
        [&] {
            if (sentAt < 0 && answered >= arrivals / 2) {
                Bool16 outcome = 0;
                if (gateway->SendMessage(Account, u"13900139000"_s, u"meanwhile"_s, outcome)
                        .failed()
                    || outcome != True16)
                    return true;
                sentAt = clock.nsecsElapsed();
                links.wake();
            }
            return answered + refused >= arrivals && submittedAt >= 0;
        },
        300'000);
    result.storedSeconds = double(clock.nsecsElapsed() - start) / 1e9;
    result.cpuMsPerArrival = double(std::clock() - cpu) * 1000.0 / CLOCKS_PER_SEC / arrivals;
    links.stop();
    if (!done || refused > 0 || sentAt < 0 || submittedAt < sentAt) {
        result.failure = u"%1 of %2 arrivals answered, %3 refused, the send %4"_s.arg(answered)
                             .arg(arrivals)
                             .arg(refused)
                             .arg(submittedAt >= 0 ? u"went out"_s : u"did not go out"_s);
        return result;
    }
    result.sendMs = double(submittedAt - sentAt) / 1e6;
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int messages = setting("QUILLET_BENCH_MESSAGES", 3000);
    const int calls = setting("QUILLET_BENCH_CALLS", 300);
    const int arrivals = setting("QUILLET_BENCH_BURST", 20'000);
    QTemporaryDir dir;
    SmscSimulator smsc;
    if (!smsc.start()) {
        out() << "FAILED: the simulator did not start" << Qt::endl;
        return 1;
    }
    out() << "SMPP link, one transceiver bind, the simulator answering at once, " << messages
          << " messages a round (SQLite, synchronous=FULL)" << Qt::endl;
    const double floor = floorRate(smsc, 50, messages);
    out() << "  floor, window 50, nothing written: " << qRound(floor) << " submit_sm/s" << Qt::endl;
    bool ok = floor > 0;
    for (const int window : { 1, 10, 50 }) {
        const double rate = throughput(smsc, dir.path(), window, messages);
        out() << "  window " << window << ": " << qRound(rate) << " messages/s ("
              << QString::number(floor > 0 ? rate / floor : 0, 'f', 2) << " of the floor)"
              << Qt::endl;
        ok = ok && rate > 0;
    }
    const double receiptsFloor = floorRate(smsc, 50, messages, true);
    const double receipted = throughput(smsc, dir.path(), 50, messages, true);
    out() << "  with a receipt for each, window 50: " << qRound(receipted)
          << " messages/s to delivered; the floor, answering each receipt and writing nothing: "
          << qRound(receiptsFloor) << " ("
          << QString::number(receiptsFloor > 0 ? receipted / receiptsFloor : 0, 'f', 2) << " of it)"
          << Qt::endl;
    ok = ok && receipted > 0 && receiptsFloor > 0;
    QString why;
    const Percentiles sent = latency(smsc, dir.path(), calls, why);
    if (!why.isEmpty()) {
        out() << "FAILED: " << why << Qt::endl;
        return 1;
    }
    out() << "Console send to the simulator's submit_sm, through quillet-gatewayd (" << calls
          << " sends): p50 " << QString::number(sent.p50, 'f', 2) << " ms, p99 "
          << QString::number(sent.p99, 'f', 2) << " ms (the send answered: p50 "
          << QString::number(sent.answeredP50, 'f', 2) << " ms)" << Qt::endl;
    const Burst arrived = burst(dir.path(), arrivals);
    if (!arrived.failure.isEmpty()) {
        out() << "FAILED: the burst: " << arrived.failure << Qt::endl;
        return 1;
    }
    out() << "A burst of " << arrivals << " deliver_sm in one write: all stored and answered in "
          << QString::number(arrived.storedSeconds, 'f', 2) << " s ("
          << QString::number(arrived.cpuMsPerArrival, 'f', 3)
          << " ms of CPU an arrival); a send accepted halfway reached the SMSC in "
          << QString::number(arrived.sendMs, 'f', 1) << " ms" << Qt::endl;
    return ok ? 0 : 1;
}
