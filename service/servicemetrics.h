#pragma once

// quillet-gatewayd's metrics: one registry for the process, told of each thing where it
// happens, and read by GET /metrics (an operator's token) or by the scrapers' own port.
//
//   event loop ── GatewayService: each request answered, the requests in flight, failed
//             │   authentications (401, and 429 past an address's limit)
//             └─ ConnectionGuard's signals: connections held, refused or cut
//   workers ───── commits and how many requests each carried; the store's failures
//                 behind each 503 store_unavailable
//   links' thread ── LinkObserver: each link's state and window, what it sent and got
//
// Every method is safe from any thread and costs a few atomic operations (and a short
// lock to find a labelled series).

#include "service/callbackobserver.h"
#include "service/connectionguard.h"
#include "service/link/linkobserver.h"
#include "service/metrics.h"

#include <QHash>
#include <QStringList>

class ServiceMetrics : public LinkObserver, public CallbackObserver {
public:
    // The content type of render()'s text.
    static inline const QByteArray ContentType
        = QByteArrayLiteral("text/plain; version=0.0.4; charset=utf-8");
    // The path of the metrics, and the operation their requests are counted under.
    static inline const QString Path = QStringLiteral("/metrics");
    static inline const QString Operation = QStringLiteral("metrics");

    ServiceMetrics();

    // A request answered: its operation ("-" for a path that names none), its HTTP
    // status and how long it took from its arrival.
    void answered(const QString &operation, int status, qint64 nanoseconds);
    // A request handed to the workers, and its answer back.
    void requestStarted();
    void requestFinished();
    void setConnectionsOpen(int connections);
    void refused(ConnectionGuard::Refusal reason);
    // A failed authentication, answered `status`: 401, or 429 past the address's limit.
    void authenticationFailed(int status);
    // A transaction committed the keyed requests of one batch (one request each, until
    // commits are grouped). Called on the worker that committed.
    void observeCommit(int requestsInBatch);
    // The code of the store's failure behind a 503 store_unavailable.
    void storeFailed(qint32 code);

    void linkState(const QString &link, State state) override;
    void windowInUse(const QString &link, int parts) override;
    void submitted(const QString &link) override;
    void receiptReceived(const QString &link) override;
    void receiptMatched(const QString &link, LinkStore::IdForm form) override;
    void standingIn(const QString &link, const QStringList &links) override;
    void arrivalReceived(const QString &link) override;

    void callbackAttempt(const QString &type, const QString &result, qint64 sinceChangeMs) override;
    void outboxCounted(const QMap<QString, qint64> &byState) override;

    QByteArray render() const { return m_metrics.render(); }

private:
    Metrics m_metrics;
    Metrics::Family<Metrics::Counter> &m_requests;
    Metrics::Family<Metrics::Histogram> &m_durations;
    Metrics::Gauge &m_inFlight;
    Metrics::Gauge &m_connections;
    Metrics::Family<Metrics::Counter> &m_refused;
    Metrics::Family<Metrics::Counter> &m_authFailures;
    Metrics::Counter &m_commits;
    Metrics::Histogram &m_batchSizes;
    Metrics::Family<Metrics::Counter> &m_storeErrors;
    Metrics::Family<Metrics::Gauge> &m_linkState;
    Metrics::Family<Metrics::Gauge> &m_linkWindow;
    Metrics::Family<Metrics::Counter> &m_linkSubmitted;
    Metrics::Family<Metrics::Counter> &m_linkReceipts;
    Metrics::Family<Metrics::Counter> &m_linkArrivals;
    Metrics::Family<Metrics::Counter> &m_linkReceiptsMatched;
    Metrics::Family<Metrics::Gauge> &m_linkStandingIn;
    QHash<QString, QStringList> m_standingIn;
    Metrics::Family<Metrics::Counter> &m_callbackEvents;
    Metrics::Histogram &m_callbackLatency;
    Metrics::Family<Metrics::Gauge> &m_outbox;
};
