#include "service/servicemetrics.h"

#include "gateway/local/store.h"

using namespace Qt::StringLiterals;

namespace {

using Refusal = ConnectionGuard::Refusal;
using LinkState = LinkObserver::State;

constexpr Refusal Refusals[] = {
    Refusal::Overall,       Refusal::PerPeer,
    Refusal::HeaderTooLong, Refusal::TooManyHeaderLines,
    Refusal::BodyTooLarge,  Refusal::LengthRequired,
    Refusal::Malformed,     Refusal::HttpVersion,
    Refusal::Pipelined,     Refusal::RequestTimeout,
    Refusal::Unanswered,
};

QString reasonOf(Refusal refusal)
{
    switch (refusal) {
    case Refusal::Overall:
        return u"overall"_s;
    case Refusal::PerPeer:
        return u"per_peer"_s;
    case Refusal::HeaderTooLong:
        return u"header_too_long"_s;
    case Refusal::TooManyHeaderLines:
        return u"too_many_header_lines"_s;
    case Refusal::BodyTooLarge:
        return u"body_too_large"_s;
    case Refusal::LengthRequired:
        return u"length_required"_s;
    case Refusal::Malformed:
        return u"malformed"_s;
    case Refusal::HttpVersion:
        return u"http_version"_s;
    case Refusal::Pipelined:
        return u"pipelined"_s;
    case Refusal::RequestTimeout:
        return u"request_timeout"_s;
    case Refusal::Unanswered:
        return u"unanswered"_s;
    }
    return {};
}

// The store's failure codes by the words of the metrics; any other is "other".
const QList<std::pair<qint32, QString>> StoreKinds = {
    { Store::Unavailable, u"unavailable"_s },
    { Store::AccessDenied, u"access_denied"_s },
    { Store::DiskFull, u"disk_full"_s },
    { Store::InvalidArgument, u"invalid_argument"_s },
};
const QString OtherKind = u"other"_s;

constexpr LinkState LinkStates[]
    = { LinkState::Stopped, LinkState::Connecting, LinkState::Bound, LinkState::Waiting };

QString stateOf(LinkState state)
{
    switch (state) {
    case LinkState::Stopped:
        return u"stopped"_s;
    case LinkState::Connecting:
        return u"connecting"_s;
    case LinkState::Bound:
        return u"bound"_s;
    case LinkState::Waiting:
        return u"waiting"_s;
    }
    return {};
}

// Half a millisecond (a balance read from a warm store) to five seconds (a durable write
// held up by a busy disk, or a password hash queued behind others).
std::vector<double> durationBounds()
{
    return { 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5 };
}

std::vector<double> batchBounds()
{
    return { 1, 2, 4, 8, 16, 32, 64, 128 };
}

} // namespace

ServiceMetrics::ServiceMetrics()
    : m_requests(m_metrics.counter("quillet_gatewayd_requests_total",
                                   "Requests answered, by operation (- for a path that names "
                                   "none) and HTTP status code.",
                                   { "operation", "code" }))
    , m_durations(m_metrics.histogram("quillet_gatewayd_request_duration_seconds",
                                      "Time from a request's arrival to its answer, by operation.",
                                      durationBounds(), { "operation" }))
    , m_inFlight(m_metrics
                     .gauge("quillet_gatewayd_requests_in_flight",
                            "Requests handed to the worker threads and not yet answered "
                            "(a scrape through the service's port counts itself).")
                     .at())
    , m_connections(
          m_metrics
              .gauge("quillet_gatewayd_connections_open", "Connections held on the service's port.")
              .at())
    , m_refused(m_metrics.counter("quillet_gatewayd_connections_refused_total",
                                  "Connections refused or cut before their request reached the "
                                  "service, by reason.",
                                  { "reason" }))
    , m_authFailures(m_metrics.counter("quillet_gatewayd_auth_failures_total",
                                       "Failed authentications (a missing, unknown or revoked "
                                       "token), by the answer: 401, or 429 past the address's "
                                       "limit.",
                                       { "code" }))
    , m_commits(m_metrics
                    .counter("quillet_gatewayd_commits_total",
                             "Store transactions committed for keyed requests.")
                    .at())
    , m_batchSizes(m_metrics
                       .histogram("quillet_gatewayd_commit_batch_size",
                                  "Keyed requests committed by one store transaction.",
                                  batchBounds())
                       .at())
    , m_storeErrors(m_metrics.counter("quillet_gatewayd_store_errors_total",
                                      "Requests answered 503 store_unavailable, by the kind of "
                                      "the store's failure.",
                                      { "kind" }))
    , m_linkState(m_metrics.gauge("quillet_gatewayd_link_state",
                                  "1 for the state each SMS link is in, 0 for the others.",
                                  { "link", "state" }))
    , m_linkWindow(m_metrics.gauge("quillet_gatewayd_link_window_in_use",
                                   "submit_sm parts sent on each SMS link and not yet answered.",
                                   { "link" }))
    , m_linkSubmitted(m_metrics.counter("quillet_gatewayd_link_messages_submitted_total",
                                        "Messages the SMSC took (every part), by link.",
                                        { "link" }))
    , m_linkReceipts(m_metrics.counter("quillet_gatewayd_link_receipts_total",
                                       "Delivery receipts received, by link.", { "link" }))
    , m_linkArrivals(m_metrics.counter("quillet_gatewayd_link_arrivals_total",
                                       "Messages from phones received (each part), by link.",
                                       { "link" }))
{
    // The series of known label values are there, at 0, from the start.
    for (const Refusal refusal : Refusals)
        m_refused.at({ reasonOf(refusal) });
    m_authFailures.at({ u"401"_s });
    m_authFailures.at({ u"429"_s });
    for (const auto &[code, kind] : StoreKinds)
        m_storeErrors.at({ kind });
    m_storeErrors.at({ OtherKind });
}

void ServiceMetrics::answered(const QString &operation, int status, qint64 nanoseconds)
{
    m_requests.at({ operation, QString::number(status) }).increment();
    m_durations.at({ operation }).observe(double(nanoseconds) / 1e9);
}

void ServiceMetrics::requestStarted()
{
    m_inFlight.add(1);
}

void ServiceMetrics::requestFinished()
{
    m_inFlight.add(-1);
}

void ServiceMetrics::setConnectionsOpen(int connections)
{
    m_connections.set(connections);
}

void ServiceMetrics::refused(ConnectionGuard::Refusal reason)
{
    m_refused.at({ reasonOf(reason) }).increment();
}

void ServiceMetrics::authenticationFailed(int status)
{
    m_authFailures.at({ QString::number(status) }).increment();
}

void ServiceMetrics::observeCommit(int requestsInBatch)
{
    m_commits.increment();
    m_batchSizes.observe(requestsInBatch);
}

void ServiceMetrics::storeFailed(qint32 code)
{
    QString kind = OtherKind;
    for (const auto &[known, name] : StoreKinds) {
        if (known == code)
            kind = name;
    }
    m_storeErrors.at({ kind }).increment();
}

void ServiceMetrics::linkState(const QString &link, State state)
{
    for (const State each : LinkStates)
        m_linkState.at({ link, stateOf(each) }).set(each == state ? 1 : 0);
    // A link's series are there from its first report on.
    m_linkWindow.at({ link });
    m_linkSubmitted.at({ link });
    m_linkReceipts.at({ link });
    m_linkArrivals.at({ link });
}

void ServiceMetrics::windowInUse(const QString &link, int parts)
{
    m_linkWindow.at({ link }).set(parts);
}

void ServiceMetrics::submitted(const QString &link)
{
    m_linkSubmitted.at({ link }).increment();
}

void ServiceMetrics::receiptReceived(const QString &link)
{
    m_linkReceipts.at({ link }).increment();
}

void ServiceMetrics::arrivalReceived(const QString &link)
{
    m_linkArrivals.at({ link }).increment();
}
