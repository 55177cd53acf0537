// Every way one request to the service can end, and what the call makes of it: its
// Status, and whether a keyed call may go again or go at once on a new connection.

#include "gateway/remote/remoteexchange.h"
#include "gateway/remote/remotegateway.h"

#include <QTest>

using namespace Qt::StringLiterals;
using RemoteExchange::Ending;
using How = Ending::How;
using Socket = QAbstractSocket;

class TestRemoteExchange : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void outcome_data()
    {
        QTest::addColumn<int>("how");
        QTest::addColumn<int>("error"); // the socket's, for a failed one
        QTest::addColumn<bool>("reused");
        QTest::addColumn<int>("http");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<qint32>("code");
        QTest::addColumn<QString>("says");
        QTest::addColumn<bool>("retryable");
        QTest::addColumn<bool>("stale");

        const auto row = [](const char *name, How how, Socket::SocketError error, bool reused,
                            int http, const QByteArray &body, qint32 code, const QString &says,
                            bool retryable, bool stale) {
            QTest::newRow(name) << int(how) << int(error) << reused << http << body << code << says
                                << retryable << stale;
        };
        const auto none = Socket::UnknownSocketError;
        const QByteArray ok = "{\"status\":{\"code\":0,\"description\":\"\"},\"balance\":\"1.00\"}";
        const QByteArray refusal = "{\"error\":{\"code\":\"store_unavailable\",\"message\":\"x\"}}";
        row("answered", How::Answered, none, false, 200, ok, 0, QString(), false, false);
        row("answered with a failure Status", How::Answered, none, false, 200,
            "{\"status\":{\"code\":-7,\"description\":\"no\"}}", -7, u"no"_s, false, false);
        row("answered without a Status", How::Answered, none, false, 200, "{}",
            RemoteGateway::Unavailable, u"网关服务 S 的答复无法读取"_s, false, false);
        row("answered with a key twice", How::Answered, none, false, 200,
            "{\"status\":{\"code\":0,\"description\":\"\"},\"a\":1,\"a\":2}",
            RemoteGateway::Unavailable, u"网关服务 S 的答复无法读取"_s, false, false);
        row("401", How::Answered, none, false, 401,
            "{\"error\":{\"code\":\"unauthorized\",\"message\":\"x\"}}",
            RemoteGateway::AccessDenied, u"网关服务 S 答复 401：令牌无效，需要有效的令牌"_s, false,
            false);
        row("403", How::Answered, none, false, 403,
            "{\"error\":{\"code\":\"forbidden\",\"message\":\"x\"}}", RemoteGateway::AccessDenied,
            u"网关服务 S 答复 403：该令牌无权进行此操作"_s, false, false);
        row("429", How::Answered, none, false, 429,
            "{\"error\":{\"code\":\"too_many_failures\",\"message\":\"x\"}}",
            RemoteGateway::Unavailable, u"网关服务 S 答复 429：失败次数过多，请稍后重试"_s, false,
            false);
        row("500 with an unknown code word", How::Answered, none, false, 500,
            "{\"error\":{\"code\":\"odd\",\"message\":\"it broke\"}}", RemoteGateway::Unavailable,
            u"网关服务 S 答复 500：it broke"_s, false, false);
        row("502", How::Answered, none, false, 502, "", RemoteGateway::Unavailable,
            u"网关服务 S 答复 502：Bad Gateway"_s, true, false);
        row("503", How::Answered, none, false, 503, refusal, RemoteGateway::Unavailable,
            u"网关服务 S 答复 503：网关服务的存储暂时无法使用，操作未执行"_s, true, false);
        row("504", How::Answered, none, false, 504, "", RemoteGateway::Unavailable,
            u"网关服务 S 答复 504：Bad Gateway"_s, true, false);
        row("no connection in time", How::ConnectTimeout, none, false, 0, "",
            RemoteGateway::Timeout, u"1.5 秒内未能连接到网关服务 S"_s, false, false);
        row("no answer in time", How::CallTimeout, none, false, 0, "", RemoteGateway::Timeout,
            u"网关服务 S 在 10 秒内没有答复"_s, false, false);
        row("answer too large", How::TooLarge, none, false, 0, "", RemoteGateway::Unavailable,
            u"网关服务 S 的答复超过了本组件接受的大小"_s, false, false);
        row("answer in chunks", How::Chunked, none, false, 0, "", RemoteGateway::Unavailable,
            u"网关服务 S 分块发送了答复而未给出长度；本组件只读取完整的答复"_s, false, false);
        row("answer not HTTP", How::Malformed, none, false, 0, "", RemoteGateway::Unavailable,
            u"网关服务 S 的答复无法读取"_s, false, false);
        row("connection refused", How::Failed, Socket::ConnectionRefusedError, false, 0, "",
            RemoteGateway::Refused, u"网关服务 S 拒绝了连接（服务是否在运行？）"_s, true, false);
        row("TLS handshake failed", How::Failed, Socket::SslHandshakeFailedError, false, 0, "",
            RemoteGateway::TlsFailed, u"与网关服务 S 的 TLS 连接失败：why"_s, false, false);
        row("closed by the service", How::Failed, Socket::RemoteHostClosedError, false, 0, "",
            RemoteGateway::Unavailable, u"对网关服务 S 的调用失败：why"_s, true, false);
        row("a kept connection closed before any answer", How::Failed,
            Socket::RemoteHostClosedError, true, 0, "", RemoteGateway::Unavailable,
            u"对网关服务 S 的调用失败：why"_s, true, true);
        row("network failed", How::Failed, Socket::NetworkError, false, 0, "",
            RemoteGateway::Unavailable, u"对网关服务 S 的调用失败：why"_s, true, false);
        row("host not found", How::Failed, Socket::HostNotFoundError, false, 0, "",
            RemoteGateway::Unavailable, u"对网关服务 S 的调用失败：why"_s, false, false);
    }
    void outcome()
    {
        QFETCH(int, how);
        QFETCH(int, error);
        QFETCH(bool, reused);
        QFETCH(int, http);
        QFETCH(QByteArray, body);
        QFETCH(qint32, code);
        QFETCH(QString, says);
        QFETCH(bool, retryable);
        QFETCH(bool, stale);
        Ending ending;
        ending.how = How(how);
        ending.error = Socket::SocketError(error);
        ending.errorText = u"why"_s;
        ending.reused = reused;
        ending.httpStatus = http;
        ending.reason = "Bad Gateway";
        ending.body = body;
        const RemoteExchange::Outcome out
            = RemoteExchange::outcome(ending, { u"S"_s, 1500, 10000 });
        QCOMPARE(out.status.code(), code);
        QCOMPARE(out.status.description(), says);
        QCOMPARE(out.retryable, retryable);
        QCOMPARE(out.stale, stale);
    }
};

QTEST_GUILESS_MAIN(TestRemoteExchange)
#include "tst_remoteexchange.moc"
