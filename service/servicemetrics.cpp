#include "service/servicemetrics.h"

#include "gateway/local/store.h"

#include <QDir>
#include <QFile>

#include <algorithm>

#include <sys/resource.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

using Refusal = ConnectionGuard::Refusal;

// The guard's reasons by the words of the metrics.
const QList<std::pair<Refusal, QString>> Reasons = {
    { Refusal::Overall, u"overall"_s },
    { Refusal::PerPeer, u"per_peer"_s },
    { Refusal::HeaderTooLong, u"header_too_long"_s },
    { Refusal::TooManyHeaderLines, u"too_many_header_lines"_s },
    { Refusal::BodyTooLarge, u"body_too_large"_s },
    { Refusal::LengthRequired, u"length_required"_s },
    { Refusal::Malformed, u"malformed"_s },
    { Refusal::HttpVersion, u"http_version"_s },
    { Refusal::Pipelined, u"pipelined"_s },
    { Refusal::RequestTimeout, u"request_timeout"_s },
    { Refusal::Unanswered, u"unanswered"_s },
};

// The store's failure codes by the words of the metrics; any other is "other".
const QList<std::pair<qint32, QString>> StoreKinds = {
    { Store::Unavailable, u"unavailable"_s },
    { Store::AccessDenied, u"access_denied"_s },
    { Store::DiskFull, u"disk_full"_s },
    { Store::InvalidArgument, u"invalid_argument"_s },
};
const QString OtherKind = u"other"_s;

template<typename K>
QString wordOf(const QList<std::pair<K, QString>> &words, K key, const QString &otherwise = {})
{
    const auto found = std::ranges::find(words, key, &std::pair<K, QString>::first);
    return found == words.cend() ? otherwise : found->second;
}

// Half a millisecond (a balance read from a warm store) to five seconds (a durable write
// held up by a busy disk, or a password hash queued behind others).
std::vector<double> durationBounds()
{
    return { 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5 };
}

// Whole numbers of requests, each bucket's bounds half-way between them: a quantile is
// read by interpolating inside its bucket from the bucket below's bound, so batches of one
// alone read 1 (from 0.5 to 1.5), where a lowest bucket of le=1 reads them 0.5.
std::vector<double> batchBounds()
{
    return { 0.5, 1.5, 2.5, 4.5, 8.5, 16.5, 32.5, 64.5, 128.5 };
}

// The fields of /proc/self/stat after the command name (which may hold spaces), the
// state first; empty when it cannot be read.
QList<QByteArray> statFields()
{
    QFile stat(u"/proc/self/stat"_s);
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 1).trimmed().split(' ');
}

// A field of /proc/self/stat by its number in proc(5), counted from 1.
double statField(int number)
{
    return statFields().value(number - 3).toDouble();
}

double ticksPerSecond()
{
    return double(::sysconf(_SC_CLK_TCK));
}

// When this process started, in seconds since the epoch: the boot time and the
// process's start in ticks after it.
double startTime()
{
    QFile stat(u"/proc/stat"_s);
    double boot = 0;
    if (stat.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : stat.readAll().split('\n')) {
            if (line.startsWith("btime "))
                boot = line.mid(6).trimmed().toDouble();
        }
    }
    return boot + statField(22) / ticksPerSecond();
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
    , m_linkReceiptsMatched(
          m_metrics.counter("quillet_gatewayd_link_receipts_matched_total",
                            "Delivery receipts that found their message, by link and by the "
                            "form of the id that matched.",
                            { "link", "form" }))
    , m_linkStandingIn(m_metrics.gauge("quillet_gatewayd_link_standing_in",
                                       "1 while the link takes the messages of the link `for`, "
                                       "down too long; 0 once it is bound again.",
                                       { "link", "for" }))
    , m_callbackEvents(m_metrics.counter("quillet_gatewayd_callback_attempts_total",
                                         "Callback events sent by this process, by type and "
                                         "result: delivered, retry or dead.",
                                         { "type", "result" }))
    , m_callbackLatency(
          m_metrics
              .histogram("quillet_gatewayd_callback_delivery_seconds",
                         "Time from the change an event reports to its "
                         "callback's 2xx.",
                         { 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 300, 3600, 86400 })
              .at())
    , m_outbox(m_metrics.gauge("quillet_gatewayd_outbox_events",
                               "Callback events in the store, by delivery state.", { "state" }))
{
    // The families every Prometheus client library gives a process, read as they read
    // them; the dashboards made for those read these.
    m_metrics.sampled("process_cpu_seconds_total",
                      "Total user and system CPU time spent in "
                      "seconds.",
                      "counter", [] { return (statField(14) + statField(15)) / ticksPerSecond(); });
    m_metrics.sampled("process_virtual_memory_bytes", "Virtual memory size in bytes.", "gauge",
                      [] { return statField(23); });
    m_metrics.sampled("process_resident_memory_bytes", "Resident memory size in bytes.", "gauge",
                      [] { return statField(24) * double(::sysconf(_SC_PAGESIZE)); });
    m_metrics.sampled("process_start_time_seconds",
                      "Start time of the process since unix epoch in seconds.", "gauge",
                      [started = startTime()] { return started; });
    m_metrics.sampled("process_open_fds", "Number of open file descriptors.", "gauge", [] {
        return double(QDir(u"/proc/self/fd"_s)
                          .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                          .size());
    });
    m_metrics.sampled("process_max_fds", "Maximum number of open file descriptors.", "gauge", [] {
        rlimit descriptors {};
        return ::getrlimit(RLIMIT_NOFILE, &descriptors) == 0 ? double(descriptors.rlim_cur) : 0;
    });
    m_metrics
        .gauge("quillet_gatewayd_build_info",
               "The version of quillet-gatewayd serving, as a "
               "label; always 1.",
               { "version" })
        .at({ QStringLiteral(QUILLET_VERSION) })
        .set(1);

    // The series of known label values are there, at 0, from the start.
    for (const auto &[refusal, reason] : Reasons)
        m_refused.at({ reason });
    m_authFailures.at({ u"401"_s });
    m_authFailures.at({ u"429"_s });
    for (const auto &[code, kind] : StoreKinds)
        m_storeErrors.at({ kind });
    m_storeErrors.at({ OtherKind });
}

void ServiceMetrics::callbackAttempt(const QString &type, const QString &result,
                                     qint64 sinceChangeMs)
{
    m_callbackEvents.at({ type, result }).increment();
    if (result == u"delivered"_s)
        m_callbackLatency.observe(double(std::max<qint64>(sinceChangeMs, 0)) / 1000);
}

void ServiceMetrics::outboxCounted(const QMap<QString, qint64> &byState)
{
    for (auto it = byState.cbegin(); it != byState.cend(); ++it)
        m_outbox.at({ it.key() }).set(it.value());
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
    m_refused.at({ wordOf(Reasons, reason) }).increment();
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
    m_storeErrors.at({ wordOf(StoreKinds, code, OtherKind) }).increment();
}

void ServiceMetrics::linkState(const QString &link, State state)
{
    for (const auto &[each, name] : LinkObserver::States)
        m_linkState.at({ link, name }).set(each == state ? 1 : 0);
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

void ServiceMetrics::receiptMatched(const QString &link, LinkStore::IdForm form)
{
    m_linkReceiptsMatched.at({ link, LinkStore::nameOf(form) }).increment();
}

// Called on the links' thread alone, as m_standingIn is read and written.
void ServiceMetrics::standingIn(const QString &link, const QStringList &links)
{
    for (const QString &other : m_standingIn.value(link))
        m_linkStandingIn.at({ link, other }).set(0);
    for (const QString &other : links)
        m_linkStandingIn.at({ link, other }).set(1);
    m_standingIn.insert(link, links);
}

void ServiceMetrics::arrivalReceived(const QString &link)
{
    m_linkArrivals.at({ link }).increment();
}
