// quillet-gatewayd's SMPP server (one process, SQLite, every answered submit on the disk),
// driven by binds of our own codec that keep `window` submits unanswered each, as an
// application with that window would:
//   1. submit_sm answered ESME_ROK a second, from one bind and from four at once, from the
//      first submit to the last answer;
//   2. beside them, in the same run and on the same service, the messages API's durable
//      sends (POST /v1/messages, a key each) from 32 kept-alive HTTP connections;
//   3. the round trip, with the service's link to the SMSC simulator, which sends a
//      receipt for each message at once: messages a second from one bind, from the first
//      submit to the last receipt back on the bind, and the time from a submit to its
//      receipt, p50 and p99, one message at a time.
//
//   QUILLET_BENCH_SUBMITS  submits of each throughput round, default 20000
//   QUILLET_BENCH_WINDOW   submits unanswered at once per bind, default 50 (the server's)
//   QUILLET_BENCH_CALLS    round trips timed one at a time, default 300

#include "bench/kit/benchio.h"
#include "gateway/local/applicationapi.h"
#include "gateway/local/localgateway.h"
#include "gateway/local/localoperator.h"
#include "gateway/local/smppaccounts.h"
#include "service/link/smpppdu.h"
#include "tests/smsc/smscsimulator.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

const QString Account = u"BEN-CHS-MPP-00001"_s;
constexpr int Binds = 4;
constexpr int HttpConnections = 32;
using BenchKit::out;
using BenchKit::setting;
using BenchKit::spin;

QElapsedTimer benchClock;

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

// One bind: keeps its window of submits full until `planned` are written, answers each
// deliver_sm, and notes when each receipt came back for an id a submit_sm_resp gave.
class Esme {
public:
    int planned = 0;
    int written = 0;
    int answered = 0;
    int accepted = 0;
    int receipts = 0;
    std::vector<double> roundTripMs;

    bool bind(quint16 port, const QByteArray &password)
    {
        m_socket.connectToHost(u"127.0.0.1"_s, port);
        Smpp::BindRequest request;
        request.systemId = "bench";
        request.password = password;
        if (!port || !m_socket.waitForConnected(5'000))
            return false;
        m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        if (m_socket.write(Smpp::bind(Smpp::Command::BindTransceiver, ++m_sequence, request)) < 0)
            return false;
        QElapsedTimer waited;
        waited.start();
        while (!waited.hasExpired(10'000)) {
            m_socket.waitForReadyRead(50);
            m_read += m_socket.readAll();
            if (const std::optional<Smpp::Pdu> pdu = take())
                return pdu->header.status == Smpp::Status::Ok;
        }
        return false;
    }

    // Submits `submits` more copies of `message`, `window` unanswered at most.
    void submit(const Smpp::ShortMessage &message, int submits, int window)
    {
        m_message = message;
        m_window = window;
        planned += submits;
        if (!m_reading) {
            m_reading = true;
            QObject::connect(&m_socket, &QTcpSocket::readyRead, &m_socket, [this] { read(); });
        }
        fill();
    }

    bool done() const { return answered == planned; }

    void unbind()
    {
        m_socket.write(Smpp::bare(Smpp::Command::Unbind, ++m_sequence));
        m_socket.flush();
    }

private:
    void fill()
    {
        while (written < planned && written - answered < m_window) {
            m_sentAt.insert(++m_sequence, benchClock.nsecsElapsed());
            m_socket.write(Smpp::submitSm(m_sequence, m_message));
            ++written;
        }
    }

    std::optional<Smpp::Pdu> take()
    {
        const Smpp::Peek peek = Smpp::header(m_read);
        if (!peek.complete || quint32(m_read.size()) < peek.header.length)
            return std::nullopt;
        const QByteArray whole = m_read.left(peek.header.length);
        m_read.remove(0, peek.header.length);
        std::optional<Smpp::Pdu> pdu = Smpp::decode(whole);
        if (!pdu) {
            pdu = Smpp::Pdu();
            pdu->header = peek.header;
        }
        return pdu;
    }

    void read()
    {
        m_read += m_socket.readAll();
        while (const std::optional<Smpp::Pdu> pdu = take()) {
            const auto command = Smpp::Command(pdu->header.command);
            if (command == Smpp::Command::SubmitSmResp) {
                ++answered;
                const qint64 sent = m_sentAt.take(pdu->header.sequence);
                if (pdu->header.status == Smpp::Status::Ok) {
                    ++accepted;
                    m_submittedAt.insert(pdu->id, sent);
                }
            } else if (command == Smpp::Command::DeliverSm) {
                m_socket.write(Smpp::bare(Smpp::Command::DeliverSmResp, pdu->header.sequence));
                const auto submitted = m_submittedAt.constFind(pdu->message.receiptedMessageId);
                if (submitted != m_submittedAt.constEnd()) {
                    roundTripMs.push_back(double(benchClock.nsecsElapsed() - *submitted) / 1e6);
                    m_submittedAt.erase(submitted);
                    ++receipts;
                }
            } else if (command == Smpp::Command::EnquireLink) {
                m_socket.write(Smpp::bare(Smpp::Command::EnquireLinkResp, pdu->header.sequence));
            }
        }
        fill();
    }

    QTcpSocket m_socket;
    QByteArray m_read;
    quint32 m_sequence = 0;
    Smpp::ShortMessage m_message;
    int m_window = 1;
    bool m_reading = false;
    QHash<quint32, qint64> m_sentAt;
    QHash<QByteArray, qint64> m_submittedAt;
};

// Keyed POST /v1/messages on kept-alive connections, each waiting for its answer before
// the next request; counts the 202s.
class HttpClients {
public:
    int accepted = 0;
    int answered = 0;

    HttpClients(quint16 port, const QByteArray &token, int planned)
        : m_planned(planned)
    {
        for (int i = 0; i < HttpConnections; ++i) {
            auto socket = std::make_unique<QTcpSocket>();
            QTcpSocket *raw = socket.get();
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(raw, &QTcpSocket::readyRead, raw, [this, raw, buffer, token] {
                *buffer += raw->readAll();
                const qsizetype end = buffer->indexOf("\r\n\r\n");
                if (end < 0)
                    return;
                static const QRegularExpression length(u"(?i)content-length:\\s*(\\d+)"_s);
                const auto m = length.match(QString::fromLatin1(buffer->left(end)));
                const qsizetype size = m.hasMatch() ? m.captured(1).toLongLong() : 0;
                if (buffer->size() < end + 4 + size)
                    return;
                ++answered;
                accepted += buffer->startsWith("HTTP/1.1 202") ? 1 : 0;
                buffer->remove(0, end + 4 + size);
                request(*raw, token);
            });
            raw->connectToHost(u"127.0.0.1"_s, port);
            m_sockets.push_back(std::move(socket));
        }
        for (const auto &socket : m_sockets) {
            if (socket->waitForConnected(5'000))
                request(*socket, token);
        }
    }

    bool done() const { return answered == m_planned; }

private:
    void request(QTcpSocket &socket, const QByteArray &token)
    {
        if (m_written == m_planned)
            return;
        static const QByteArray body = R"({"to":"13800138000","text":"bench"})";
        socket.write("POST /v1/messages HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer "
                     + token + "\r\nIdempotency-Key: bench-http-"
                     + QByteArray::number(++m_written).rightJustified(10, '0')
                     + "\r\nContent-Type: application/json\r\nContent-Length: "
                     + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    }

    int m_planned = 0;
    int m_written = 0;
    std::vector<std::unique_ptr<QTcpSocket>> m_sockets;
};

// quillet-gatewayd on the store, with `settings` as its configuration; its HTTP and SMPP
// ports once both are listening.
class Service {
public:
    quint16 httpPort = 0;
    quint16 smppPort = 0;

    Service(const QString &folder, const QString &store, const QString &settings)
    {
        QFile config(folder + u"/gatewayd.conf"_s);
        (void)config.open(QIODevice::WriteOnly);
        config.write(settings.toUtf8());
        config.close();
        const QString log = folder + u"/service.log"_s;
        QFile::remove(log);
        m_process.setStandardErrorFile(log);
        m_process.start(
            QStringLiteral(QUILLET_GATEWAYD),
            { u"--config"_s, config.fileName(), u"--store"_s, store, u"--port"_s, u"0"_s });
        static const QRegularExpression http(u"listening on \\S+ port (\\d+)"_s);
        static const QRegularExpression smpp(u"SMPP server listening on \\S+ port (\\d+)"_s);
        for (int i = 0; i < 500 && (!httpPort || !smppPort); ++i) {
            QFile read(log);
            if (read.open(QIODevice::ReadOnly)) {
                const QString text = QString::fromUtf8(read.readAll());
                httpPort = http.match(text).captured(1).toUShort();
                smppPort = smpp.match(text).captured(1).toUShort();
            }
            if (!httpPort || !smppPort)
                QThread::msleep(20);
        }
    }
    ~Service()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(30'000))
            m_process.kill();
    }

private:
    QProcess m_process;
};

// Binds `binds` ESMEs and has them submit `submits` in all; accepted submits a second.
double submitRound(quint16 port, const QByteArray &password, const Smpp::ShortMessage &message,
                   int binds, int submits, int window, bool &ok)
{
    std::vector<std::unique_ptr<Esme>> esmes;
    for (int i = 0; i < binds; ++i) {
        esmes.push_back(std::make_unique<Esme>());
        if (!esmes.back()->bind(port, password)) {
            out() << "bench_smpp: a bind was refused\n";
            ok = false;
            return 0;
        }
    }
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < binds; ++i)
        esmes[size_t(i)]->submit(message, submits / binds + (i < submits % binds ? 1 : 0), window);
    const bool all
        = spin([&] { return std::ranges::all_of(esmes, [](const auto &e) { return e->done(); }); },
               600'000);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    int accepted = 0;
    for (const auto &esme : esmes) {
        accepted += esme->accepted;
        esme->unbind();
    }
    ok = ok && all && accepted == submits;
    return double(accepted) / seconds;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchClock.start();
    const int submits = setting("QUILLET_BENCH_SUBMITS", 20'000);
    const int window = setting("QUILLET_BENCH_WINDOW", 50);
    const int calls = setting("QUILLET_BENCH_CALLS", 300);
    QTemporaryDir dir;
    const QString store = u"sqlite:"_s + dir.filePath(u"gateway.sqlite3"_s);

    QString password;
    QString serviceNumber;
    {
        StoreLocation location;
        LocalGateway::Options options;
        options.hashCost = PasswordHasher::fastest();
        std::unique_ptr<LocalGateway> gateway;
        QList<LocalGateway::IssuedCard> cards;
        RegisterParticulars p;
        p.accountNo = Account;
        p.password = u"pw"_s;
        Bool16 registered = 0;
        Bool16 recharged = 0;
        if (StoreLocation::parse(store, location).failed()
            || LocalGateway::open(location, gateway, options).failed()
            || LocalOperator(*gateway).issueCards(LocalGateway::MaxCardValueFen, 1, cards).failed()
            || gateway->Register(p, registered).failed()
            || gateway->Recharge(Account, cards[0].number, cards[0].password, recharged).failed()
            || recharged != True16) {
            out() << "bench_smpp: cannot prepare the store\n";
            return 1;
        }
        const auto made = SmppAccounts(*gateway).set(Account, u"bench"_s);
        const auto account = ApplicationApi(*gateway).account(Account);
        if (made.failed() || account.failed() || !*account) {
            out() << "bench_smpp: cannot make the credentials\n";
            return 1;
        }
        password = made->password;
        serviceNumber = (*account)->serviceNumber;
    }
    QProcess issue;
    issue.start(QStringLiteral(QUILLET_GATEWAYD),
                { u"--config"_s, u"/dev/null"_s, u"--store"_s, store, u"token"_s, u"issue"_s,
                  u"--role"_s, u"application"_s, u"--account"_s, Account, u"--name"_s,
                  u"bench"_s });
    issue.waitForFinished(30'000);
    const QByteArray token = issue.readAllStandardOutput().trimmed();

    Smpp::ShortMessage message;
    message.source.digits = serviceNumber.toLatin1();
    message.destination.digits = "13800138000";
    message.payload = "bench";
    bool ok = !token.isEmpty();
    const QString common = u"password_hash_cost=minimum\napplication_rate_limit=1000000\n"
                           u"max_connections_per_peer=1024\nmax_connections=1024\n"
                           u"[smpp_server]\nport=0\nwindow=%1\n"_s.arg(window);
    {
        Service service(dir.path(), store, common);
        const double one
            = submitRound(service.smppPort, password.toLatin1(), message, 1, submits, window, ok);
        out() << "smpp: submit_sm from one bind, window " << window << ": " << qint64(one)
              << " submits/s durable (goal 5000)" << Qt::endl;
        const double four = submitRound(service.smppPort, password.toLatin1(), message, Binds,
                                        submits, window, ok);
        out() << "smpp: submit_sm from " << Binds << " binds, window " << window
              << " each: " << qint64(four) << " submits/s durable ("
              << QString::number(four / one, 'f', 2) << " of one bind)" << Qt::endl;
        QElapsedTimer timer;
        timer.start();
        HttpClients http(service.httpPort, token, submits);
        ok = spin([&] { return http.done(); }, 600'000) && http.accepted == submits && ok;
        const double perSecond = double(http.accepted) / (double(timer.nsecsElapsed()) / 1e9);
        out() << "http: POST /v1/messages from " << HttpConnections
              << " kept-alive connections: " << qint64(perSecond)
              << " sends/s durable (one bind: " << QString::number(one / perSecond, 'f', 2) << "x)"
              << Qt::endl;
    }

    SmscSimulator smsc;
    const QString smscPassword = dir.filePath(u"smsc.password"_s);
    QFile secret(smscPassword);
    if (!smsc.start({ u"--receipts"_s, u"0"_s }) || !secret.open(QIODevice::WriteOnly)
        || secret.write("secret1\n") < 0
        || !secret.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        out() << "bench_smpp: cannot start the SMSC simulator\n";
        return 1;
    }
    secret.close();
    {
        Service service(dir.path(), store,
                        common
                            + u"[smsc.main]\nhost=127.0.0.1\nport=%1\nsystem_id=quillet\n"
                              u"password_file=%2\nwindow=%3\nrate=100000\n"_s.arg(smsc.port())
                                  .arg(smscPassword)
                                  .arg(window));
        message.registeredDelivery = 1;
        Esme esme;
        if (!esme.bind(service.smppPort, password.toLatin1())) {
            out() << "bench_smpp: the bind was refused\n";
            return 1;
        }
        const int trips = submits / 4;
        QElapsedTimer timer;
        timer.start();
        esme.submit(message, trips, window);
        const bool all = spin([&] { return esme.receipts == trips; }, 600'000);
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        out() << "round trip: " << esme.receipts << " of " << trips
              << " messages from one bind to the SMSC and their receipts back, window " << window
              << ": " << qint64(double(esme.receipts) / seconds) << " messages/s" << Qt::endl;
        esme.roundTripMs.clear();
        for (int i = 0; i < calls && all; ++i) {
            esme.submit(message, 1, 1);
            if (!spin([&] { return esme.receipts == trips + i + 1; }, 10'000))
                break;
        }
        out() << "round trip: submit to receipt, " << esme.roundTripMs.size()
              << " messages one at a time: p50 " << percentile(esme.roundTripMs, 0.5) << " ms, p99 "
              << percentile(esme.roundTripMs, 0.99) << " ms" << Qt::endl;
        ok = ok && all && int(esme.roundTripMs.size()) == calls;
        esme.unbind();
    }
    out().flush();
    return ok ? 0 : 1;
}
