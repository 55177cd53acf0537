#include "service/metricslistener.h"

#include "service/servicemetrics.h"
#include "service/servicetexts.h"

#include <QHttpServerRequest>

using namespace Qt::StringLiterals;

MetricsListener::MetricsListener(const ServiceMetrics &metrics,
                                 const ConnectionGuard::Limits &limits, QObject *parent)
    : QAbstractHttpServer(parent)
    , m_metrics(metrics)
    , m_guard(new ConnectionGuard(limits, std::nullopt, this))
{
}

Status MetricsListener::start(const QHostAddress &address, quint16 port, quint16 &bound)
{
    if (!m_guard->listen(address, port))
        return Status::failure(
            Status::CreationFailed,
            ServiceTexts::cannotListen(address.toString(), port, m_guard->errorString()));
    bind(m_guard);
    bound = m_guard->serverPort();
    return Status::ok();
}

bool MetricsListener::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    if (request.method() != QHttpServerRequest::Method::Get
        || request.url().path() != ServiceMetrics::Path) {
        notFound(socket);
        return true;
    }
    m_guard->answer(m_guard->idOf(socket), 200, m_metrics.render(), {},
                    ServiceMetrics::ContentType);
    return true;
}

void MetricsListener::missingHandler(const QHttpServerRequest &, QTcpSocket *socket)
{
    notFound(socket);
}

void MetricsListener::notFound(QTcpSocket *socket)
{
    const ServiceTexts::Refusal refusal = ServiceTexts::Refusal::MetricsOnly;
    m_guard->answer(m_guard->idOf(socket), ServiceTexts::refusalOf(refusal).status,
                    ConnectionGuard::refusalBody(refusal));
}
