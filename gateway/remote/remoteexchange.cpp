#include "gateway/remote/remoteexchange.h"

#include "gateway/remote/remotegateway.h"
#include "gateway/remote/remotetexts.h"
#include "protocol/wire.h"

#include <QJsonDocument>

using namespace Qt::StringLiterals;

namespace RemoteExchange {

Status malformed(const QString &service)
{
    return Status::failure(RemoteGateway::Unavailable, RemoteTexts::malformedAnswer(service));
}

namespace {

Outcome failed(qint32 code, const QString &text, bool retryable = false)
{
    return { Status::failure(code, text), {}, retryable, false };
}

// The connection failed before the whole answer came.
Outcome socketFailed(const Ending &ending, const QString &service)
{
    switch (ending.error) {
    case QAbstractSocket::ConnectionRefusedError:
        return failed(RemoteGateway::Refused, RemoteTexts::refused(service), true);
    case QAbstractSocket::SslHandshakeFailedError:
    case QAbstractSocket::SslInternalError:
    case QAbstractSocket::SslInvalidUserDataError:
        return failed(RemoteGateway::TlsFailed, RemoteTexts::tlsFailed(service, ending.errorText));
    case QAbstractSocket::RemoteHostClosedError: {
        Outcome closed = failed(RemoteGateway::Unavailable,
                                RemoteTexts::transportFailed(service, ending.errorText), true);
        closed.stale = ending.reused && !ending.started;
        return closed;
    }
    case QAbstractSocket::NetworkError:
        return failed(RemoteGateway::Unavailable,
                      RemoteTexts::transportFailed(service, ending.errorText), true);
    default:
        return failed(RemoteGateway::Unavailable,
                      RemoteTexts::transportFailed(service, ending.errorText));
    }
}

// A whole answer: the service's answer to the call, or its refusal.
Outcome answered(const Ending &ending, const QString &service)
{
    const int http = ending.httpStatus;
    // What the service writes never repeats a key nor holds a raw control character.
    if (http == 200 && Wire::scanJson(ending.body) != Wire::JsonFault::None)
        return { malformed(service), {}, false, false };
    const QJsonObject answer = QJsonDocument::fromJson(ending.body).object();
    if (http != 200) {
        const QJsonObject refusal = answer.value(u"error"_s).toObject();
        QString message = refusal.value(u"message"_s).toString();
        if (message.isEmpty())
            message = QString::fromLatin1(ending.reason);
        const qint32 code
            = http == 401 || http == 403 ? RemoteGateway::AccessDenied : RemoteGateway::Unavailable;
        return failed(code,
                      RemoteTexts::httpFailed(service, http,
                                              refusal.value(u"code"_s).toString().left(64),
                                              message.left(300)),
                      http == 502 || http == 503 || http == 504);
    }
    Status status;
    if (!Wire::statusFromJson(answer, status))
        return { malformed(service), {}, false, false };
    return { status, answer, false, false };
}

} // namespace

Outcome outcome(const Ending &ending, const Where &where)
{
    using How = Ending::How;
    const QString &service = where.service;
    switch (ending.how) {
    case How::Answered:
        return answered(ending, service);
    case How::ConnectTimeout:
        return failed(RemoteGateway::Timeout,
                      RemoteTexts::connectTimeout(service, where.connectTimeoutMs));
    case How::CallTimeout:
        return failed(RemoteGateway::Timeout,
                      RemoteTexts::callTimeout(service, where.callTimeoutMs));
    case How::TooLarge:
        return failed(RemoteGateway::Unavailable, RemoteTexts::answerTooLarge(service));
    case How::Chunked:
        return failed(RemoteGateway::Unavailable, RemoteTexts::answerInChunks(service));
    case How::Malformed:
        return { malformed(service), {}, false, false };
    case How::Failed:
        return socketFailed(ending, service);
    }
    return { malformed(service), {}, false, false };
}

} // namespace RemoteExchange
