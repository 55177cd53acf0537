#pragma once

// The scrapers' own port: GET /metrics answered to anyone, without a token, and 404 for
// anything else. It has no authentication and no TLS: it belongs on a loopback address
// (its default) or on a network only the scrapers reach.
//
//   ConnectionGuard (caps, framing, timeouts) ── QAbstractHttpServer parses ──
//   ── handleRequest: GET /metrics ── ServiceMetrics::render ── ConnectionGuard::answer
//
// Its connections and requests are not counted in the metrics: they are the service's.

#include "gateway/status.h"
#include "service/connectionguard.h"

#include <QAbstractHttpServer>
#include <QHostAddress>

class ServiceMetrics;

class MetricsListener : public QAbstractHttpServer {
    Q_OBJECT

public:
    // `metrics` outlives this object.
    MetricsListener(const ServiceMetrics &metrics, const ConnectionGuard::Limits &limits,
                    QObject *parent = nullptr);

    Status start(const QHostAddress &address, quint16 port, quint16 &bound);

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    void notFound(QTcpSocket *socket);

    const ServiceMetrics &m_metrics;
    ConnectionGuard *m_guard;
};
