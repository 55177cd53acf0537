// One client of the service load test, as its own process: it races the other clients
// for the same recharge cards, then sends messages until its time is up, spreading its
// calls over every service it is given. A call that fails in transit (a refused or
// broken connection, a timeout, a 5xx) is sent again with the same Idempotency-Key to
// the next service, as the remote component does.
//
//   quillet_load_client PORTS TOKEN ACCOUNT CARDS START_AT SEND_MS CLIENT OUT
//     PORTS     comma-separated ports on 127.0.0.1
//     CARDS     a file of "number password" lines, raced in file order
//     START_AT  milliseconds since the epoch: every client starts then, so they overlap
//     OUT       gets one line per outcome: "won CARD", "lost CARD", "sent TEXT",
//               "abandoned TEXT", "failed N" (calls that failed in transit), "error WHY"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QThread>

#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

constexpr int CallTimeoutMs = 5'000;
// Bounded: with one service left, a call goes through on the second attempt.
constexpr int MaxAttempts = 20;

struct Answer {
    bool delivered = false; // a whole HTTP answer came back
    int status = 0;
    QJsonObject body;
};

// One keep-alive connection per service, opened again after any failure.
class Client {
public:
    Client(const QList<quint16> &ports, QByteArray token)
        : m_ports(ports)
        , m_token(std::move(token))
    {
        for (qsizetype i = 0; i < ports.size(); ++i)
            m_sockets.push_back(nullptr);
    }

    // Sends the call with `key` until a service answers it below 500, moving to the next
    // service after each failure. False when it never got such an answer.
    bool call(const QByteArray &path, const QByteArray &body, const QByteArray &key,
              QJsonObject &answer)
    {
        for (int attempt = 0; attempt < MaxAttempts; ++attempt) {
            const qsizetype target = m_next;
            m_next = (m_next + 1) % m_ports.size();
            const Answer a = once(target, path, body, key);
            if (a.delivered && a.status < 500) {
                answer = a.body;
                answer.insert(u"httpStatus"_s, a.status);
                return true;
            }
            ++failures;
            m_sockets[size_t(target)].reset();
            QThread::msleep(20);
        }
        return false;
    }

    void startOn(qsizetype service) { m_next = service; }

    int failures = 0;

private:
    Answer once(qsizetype target, const QByteArray &path, const QByteArray &body,
                const QByteArray &key)
    {
        Answer answer;
        std::unique_ptr<QTcpSocket> &socket = m_sockets[size_t(target)];
        if (!socket) {
            socket = std::make_unique<QTcpSocket>();
            socket->connectToHost(u"127.0.0.1"_s, m_ports.at(target));
            if (!socket->waitForConnected(CallTimeoutMs))
                return answer;
        }
        socket->write("POST " + path
                      + " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                        "Content-Type: application/json\r\nAuthorization: Bearer "
                      + m_token + "\r\nIdempotency-Key: " + key + "\r\nContent-Length: "
                      + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        QByteArray received;
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            const qsizetype split = received.indexOf("\r\n\r\n");
            if (split > 0) {
                const QByteArray head = received.left(split).toLower();
                const qsizetype at = head.indexOf("content-length:");
                const qsizetype length = at < 0
                    ? 0
                    : head.mid(at + 15, head.indexOf('\r', at) - at - 15).trimmed().toLongLong();
                if (received.size() >= split + 4 + length) {
                    answer.delivered = true;
                    answer.status = received.mid(9, 3).toInt();
                    answer.body = QJsonDocument::fromJson(received.mid(split + 4, length)).object();
                    if (head.contains("connection: close"))
                        socket.reset();
                    return answer;
                }
            }
            if (timer.elapsed() > CallTimeoutMs
                || socket->state() != QAbstractSocket::ConnectedState)
                return answer;
            socket->waitForReadyRead(100);
            received += socket->readAll();
        }
    }

    QList<quint16> m_ports;
    QByteArray m_token;
    std::vector<std::unique_ptr<QTcpSocket>> m_sockets;
    qsizetype m_next = 0;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 9)
        return 2;
    QList<quint16> ports;
    for (const QString &port : args.at(1).split(u','))
        ports.append(port.toUShort());
    const QByteArray token = args.at(2).toLatin1();
    const QByteArray account = args.at(3).toLatin1();
    QFile cardsFile(args.at(4));
    if (!cardsFile.open(QIODevice::ReadOnly))
        return 2;
    const QList<QByteArray> cards = cardsFile.readAll().trimmed().split('\n');
    const qint64 startAt = args.at(5).toLongLong();
    const qint64 sendMs = args.at(6).toLongLong();
    const QByteArray client = args.at(7).toLatin1();
    QFile out(args.at(8));
    if (!out.open(QIODevice::WriteOnly))
        return 2;

    Client c(ports, token);
    // Each client starts on another service, so both get calls from the first moment.
    c.startOn(client.toInt() % ports.size());
    QThread::msleep(ulong(qMax<qint64>(0, startAt - QDateTime::currentMSecsSinceEpoch())));

    for (const QByteArray &line : cards) {
        const QList<QByteArray> card = line.split(' ');
        QJsonObject answer;
        const bool answered = c.call("/v1/console/recharge",
                                     "{\"accountNo\":\"" + account + "\",\"cardNo\":\"" + card.at(0)
                                         + "\",\"cardPassword\":\"" + card.at(1) + "\"}",
                                     "card-" + client + '-' + card.at(0), answer);
        const int outcome = answer.value(u"outcome"_s).toInt();
        if (!answered || answer.value(u"httpStatus"_s).toInt() != 200)
            out.write("error recharge " + card.at(0) + '\n');
        else
            out.write((outcome == -1 ? "won " : "lost ") + card.at(0) + '\n');
    }

    QElapsedTimer sending;
    sending.start();
    for (int n = 0; sending.elapsed() < sendMs; ++n) {
        const QByteArray text = "c" + client + "-m" + QByteArray::number(n);
        QJsonObject answer;
        const bool answered
            = c.call("/v1/console/sendMessage",
                     "{\"accountNo\":\"" + account + "\",\"phoneNo\":\"13800138000\",\"text\":\""
                         + text + "\"}",
                     "load-send-message-" + client + '-' + QByteArray::number(n), answer);
        if (!answered)
            out.write("abandoned " + text + '\n');
        else if (answer.value(u"outcome"_s).toInt() == -1)
            out.write("sent " + text + '\n');
        else
            out.write("error send " + text + ' '
                      + QJsonDocument(answer).toJson(QJsonDocument::Compact) + '\n');
    }
    out.write("failed " + QByteArray::number(c.failures) + '\n');
    return 0;
}
