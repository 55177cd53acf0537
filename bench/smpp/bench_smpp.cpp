// submit_sm into quillet-gatewayd's SMPP server (one process, SQLite, every answered
// submit on the disk) from one bind of our own codec that keeps `window` submits
// unanswered, as an application with that window would: submits answered ESME_ROK a
// second, from the first submit to the last answer.
//
//   QUILLET_BENCH_SUBMITS  submits, default 20000
//   QUILLET_BENCH_WINDOW   submits unanswered at once, default 50 (the server's window)

#include "bench/kit/benchio.h"
#include "gateway/local/applicationapi.h"
#include "gateway/local/localgateway.h"
#include "gateway/local/localoperator.h"
#include "gateway/local/smppaccounts.h"
#include "service/link/smpppdu.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

using namespace Qt::StringLiterals;

namespace {

const QString Account = u"BEN-CHS-MPP-00001"_s;
using BenchKit::out;
using BenchKit::setting;

// The next whole PDU's header from `socket`, waiting up to 10 s; none when it closed.
std::optional<Smpp::Header> next(QTcpSocket &socket, QByteArray &read)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const Smpp::Peek peek = Smpp::header(read);
        if (peek.complete && quint32(read.size()) >= peek.header.length) {
            read.remove(0, peek.header.length);
            return peek.header;
        }
        if (waited.hasExpired(10'000) || socket.state() != QAbstractSocket::ConnectedState)
            return std::nullopt;
        socket.waitForReadyRead(50);
        read += socket.readAll();
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int submits = setting("QUILLET_BENCH_SUBMITS", 20'000);
    const int window = setting("QUILLET_BENCH_WINDOW", 50);
    QTemporaryDir dir;
    const QString store = dir.filePath(u"gateway.sqlite3"_s);

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
        if (StoreLocation::parse(u"sqlite:"_s + store, location).failed()
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

    QFile config(dir.filePath(u"gatewayd.conf"_s));
    (void)config.open(QIODevice::WriteOnly);
    config.write(u"password_hash_cost=minimum\napplication_rate_limit=1000000\n"
                 u"[smpp_server]\nport=0\nwindow=%1\n"_s.arg(window)
                     .toUtf8());
    config.close();
    QProcess service;
    const QString log = dir.filePath(u"service.log"_s);
    service.setStandardErrorFile(log);
    service.start(QStringLiteral(QUILLET_GATEWAYD),
                  { u"--config"_s, config.fileName(), u"--store"_s, u"sqlite:"_s + store,
                    u"--port"_s, u"0"_s });
    static const QRegularExpression listening(u"SMPP server listening on \\S+ port (\\d+)"_s);
    quint16 port = 0;
    for (int i = 0; i < 500 && !port; ++i) {
        QFile read(log);
        if (read.open(QIODevice::ReadOnly))
            port = listening.match(QString::fromUtf8(read.readAll())).captured(1).toUShort();
        if (!port)
            QThread::msleep(20);
    }
    QTcpSocket socket;
    socket.connectToHost(u"127.0.0.1"_s, port);
    QByteArray read;
    Smpp::BindRequest bind;
    bind.systemId = "bench";
    bind.password = password.toLatin1();
    if (!port || !socket.waitForConnected(5'000)
        || socket.write(Smpp::bind(Smpp::Command::BindTransceiver, 1, bind)) < 0) {
        out() << "bench_smpp: no SMPP server\n";
        return 1;
    }
    const std::optional<Smpp::Header> bound = next(socket, read);
    if (!bound || bound->status != Smpp::Status::Ok) {
        out() << "bench_smpp: the bind was refused\n";
        return 1;
    }

    Smpp::ShortMessage message;
    message.source.digits = serviceNumber.toLatin1();
    message.destination.digits = "13800138000";
    message.payload = "bench";
    quint32 sequence = 1;
    int written = 0;
    int answered = 0;
    int ok = 0;
    QElapsedTimer timer;
    timer.start();
    while (answered < submits) {
        while (written < submits && written - answered < window) {
            socket.write(Smpp::submitSm(++sequence, message));
            ++written;
        }
        const std::optional<Smpp::Header> answer = next(socket, read);
        if (!answer)
            break;
        if (answer->command != quint32(Smpp::Command::SubmitSmResp))
            continue;
        ++answered;
        ok += answer->status == Smpp::Status::Ok ? 1 : 0;
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    out() << "smpp: " << answered << " submit_sm from one bind, window " << window << ", in "
          << seconds << " s: " << qint64(double(ok) / seconds) << " submits/s durable ("
          << answered - ok << " refused)\n";
    socket.write(Smpp::bare(Smpp::Command::Unbind, ++sequence));
    socket.flush();
    service.terminate();
    service.waitForFinished(30'000);
    out().flush();
    return answered == submits && ok == submits ? 0 : 1;
}
