// quillet-gatewayd's metrics as a scraper reads them, through a parser that is not the
// service's (python3-prometheus-client, by readmetrics.py): what a few requests, a
// refused connection and a link's traffic make of them, who may read them on the
// service's port, and the scrapers' own port. One service, with one link to the SMSC
// simulator, for the suite; nothing here depends on the store, so SQLite only.

#include "tests/service/servicerig.h"
#include "tests/smsc/smscsimulator.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

const QByteArray Account = "\"accountNo\":\"ABC-DEF-GHI-00001\"";
// Quotes in a link's name are escaped in its label's value, and read back as they were.
const QString LinkName = u"main \"1\""_s;
const QByteArray TextType = "Content-Type: text/plain; version=0.0.4; charset=utf-8";

QJsonObject json(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object();
}

int outcome(const ServiceRig::Answer &answer)
{
    return json(answer.body).value(u"outcome"_s).toInt();
}

QString errorCode(const ServiceRig::Answer &answer)
{
    return json(answer.body).value(u"error"_s).toObject().value(u"code"_s).toString();
}

// GET `path` with a bearer `token` (none when empty), on the service's port or on `port`.
ServiceRig::Answer get(ServiceRig &rig, const QString &path, const QString &token, quint16 port = 0)
{
    QByteArray request = "GET " + path.toUtf8() + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!token.isEmpty())
        request += "Authorization: Bearer " + token.toLatin1() + "\r\n";
    return rig.raw(request + "Connection: close\r\n\r\n", 10'000, port);
}

// What the parser read of a scrape, one line a sample (see readmetrics.py); empty, with
// the parser's complaint, when it refused the text.
QStringList parsed(const QByteArray &text)
{
    QProcess python;
    python.start(QStringLiteral(QUILLET_PYTHON3), { QStringLiteral(QUILLET_READ_METRICS) });
    if (!python.waitForStarted()) {
        qWarning("python3 (%s) did not start", QUILLET_PYTHON3);
        return {};
    }
    python.write(text);
    python.closeWriteChannel();
    if (!python.waitForFinished(30'000) || python.exitCode() != 0) {
        qWarning("%s", python.readAllStandardError().constData());
        return {};
    }
    return QString::fromUtf8(python.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}

// What Prometheus's histogram_quantile() makes of a histogram's bucket samples: the bucket
// whose cumulative count reaches the rank, interpolated linearly from the bound of the
// bucket below (from 0 in the lowest).
double quantile(double q, const QStringList &buckets)
{
    static const QRegularExpression bucket(u"le=\"([^\"]+)\"\\} (\\S+)$"_s);
    QList<std::pair<double, double>> bounds; // upper bound, cumulative count
    for (const QString &sample : buckets) {
        const QRegularExpressionMatch match = bucket.match(sample);
        bounds.append({ match.captured(1) == u"+Inf"_s ? qInf() : match.captured(1).toDouble(),
                        match.captured(2).toDouble() });
    }
    const double rank = q * bounds.constLast().second;
    double below = 0;
    double countBelow = 0;
    for (const auto &[upper, count] : std::as_const(bounds)) {
        if (count >= rank)
            return below + (upper - below) * (rank - countBelow) / (count - countBelow);
        below = upper;
        countBelow = count;
    }
    return qQNaN();
}

// A sample's value.
double valueOf(const QStringList &samples)
{
    return samples.value(0).section(u' ', -1).toDouble();
}

// The samples named `name`, labels or none.
QStringList named(const QStringList &samples, const QString &name)
{
    QStringList found;
    for (const QString &sample : samples) {
        if (sample.startsWith(name + u'{') || sample.startsWith(name + u' '))
            found.append(sample);
    }
    return found;
}

} // namespace

class TestMetrics : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<SmscSimulator> m_smsc;
    std::unique_ptr<ServiceRig> m_rig;
    QString m_console;
    QString m_operator;
    quint16 m_metricsPort = 0;
    qint64 m_startedBefore = 0;
    qint64 m_startedAfter = 0;

    ServiceRig::Answer call(const QString &operation, const QByteArray &fields,
                            const QByteArray &headers = {})
    {
        return m_rig->post(u"/v1/console/"_s + operation, "{" + Account + fields + "}", m_console,
                           headers);
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_smsc = std::make_unique<SmscSimulator>();
        QVERIFY(m_smsc->start());
        QVERIFY(m_smsc->command(u"receipts 0 DELIVRD"_s));
        m_rig = std::make_unique<ServiceRig>();
        const QString password = m_rig->dir() + u"/smsc.password"_s;
        QFile secret(password);
        QVERIFY(secret.open(QIODevice::WriteOnly) && secret.write("secret1\n") > 0
                && secret.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        secret.close();
        m_rig->appendConfig(
            u"[smsc.%1]\nhost=127.0.0.1\nport=%2\nsystem_id=quillet\npassword_file=%3\n"_s
                .arg(LinkName)
                .arg(m_smsc->port())
                .arg(password));
        m_rig->set(u"metrics_port"_s, u"0"_s);
        m_console = m_rig->issue(u"console"_s, u"desk"_s);
        m_operator = m_rig->issue(u"operator"_s, u"ops"_s);
        QString why;
        m_startedBefore = QDateTime::currentSecsSinceEpoch();
        QVERIFY2(m_rig->start(why), qPrintable(why));
        m_startedAfter = QDateTime::currentSecsSinceEpoch() + 1;
        static const QRegularExpression serving(
            u"serving GET /metrics without authentication on 127\\.0\\.0\\.1 port (\\d+)"_s);
        QVERIFY(QTest::qWaitFor([&] {
            m_metricsPort = serving.match(QString::fromUtf8(m_rig->log())).captured(1).toUShort();
            return m_metricsPort != 0;
        }));
        QVERIFY(!m_smsc->waitFor(u"bind transceiver quillet ok"_s, 1).isEmpty());
    }

    void cleanupTestCase()
    {
        if (m_rig)
            QCOMPARE(m_rig->terminate(), 0);
    }

    // GIVEN requests of every kind, a connection the guard refuses, a message out by the
    // link with its receipt back, and a message from a phone; WHEN an operator scrapes
    // THEN every count moved by exactly what was done, and the parser reads it all.
    void countsWhatWasServed()
    {
        QCOMPARE(outcome(call(u"register"_s, ",\"password\":\"pw\"")), -1);
        const auto cards = m_rig->post(u"/v1/operator/issueCards"_s,
                                       "{\"valueFen\":1000,\"count\":1}", m_operator);
        const QJsonObject card = json(cards.body).value(u"cards"_s).toArray().at(0).toObject();
        QCOMPARE(outcome(call(u"recharge"_s,
                              ",\"cardNo\":\"" + card.value(u"number"_s).toString().toLatin1()
                                  + "\",\"cardPassword\":\""
                                  + card.value(u"password"_s).toString().toLatin1() + "\"")),
                 -1);
        // Sent twice with one key: the repeat gets the first answer and commits nothing.
        const QByteArray send = ",\"phoneNo\":\"+8613800138000\",\"text\":\"hi\"";
        const QByteArray key = "Idempotency-Key: metrics-test-send-1\r\n";
        QCOMPARE(outcome(call(u"sendMessage"_s, send, key)), -1);
        QCOMPARE(outcome(call(u"sendMessage"_s, send, key)), -1);
        QCOMPARE(call(u"queryBalance"_s, {}).status, 200);
        QCOMPARE(m_rig->post(u"/v1/console/queryBalance"_s, "{" + Account + "}", {}).status, 401);

        // Only an operator's token reads the metrics on the service's port, with GET.
        const auto console = get(*m_rig, u"/metrics"_s, m_console);
        QCOMPARE(console.status, 403);
        QCOMPARE(errorCode(console), u"forbidden"_s);
        const auto anyone = get(*m_rig, u"/metrics"_s, {});
        QCOMPARE(anyone.status, 401);
        QCOMPARE(errorCode(anyone), u"unauthorized"_s);
        QCOMPARE(m_rig->post(u"/metrics"_s, {}, m_operator).status, 405);

        QCOMPARE(m_rig
                     ->raw("GET /metrics HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n",
                           10'000)
                     .status,
                 411);
        // The SMSC has its answers (ESME_ROK) once the store has the receipt and the arrival.
        QCOMPARE(m_smsc->waitFor(u"receipt-resp"_s, 1).value(0).section(u' ', 2), u"00"_s);
        QVERIFY(m_smsc->command(u"mo +8613900139000 106900000999 hello"_s));
        QCOMPARE(m_smsc->waitFor(u"mo-resp"_s, 1).value(0).section(u' ', 2), u"00"_s);

        const auto scraped = get(*m_rig, u"/metrics"_s, m_operator);
        QCOMPARE(scraped.status, 200);
        QVERIFY2(scraped.headers.contains(TextType), scraped.headers.constData());
        const QStringList samples = parsed(scraped.body);
        QVERIFY(!samples.isEmpty());

        QCOMPARE(named(samples, u"quillet_gatewayd_requests_total"_s),
                 QStringList({
                     uR"(quillet_gatewayd_requests_total{code="200",operation="issueCards"} 1)"_s,
                     uR"(quillet_gatewayd_requests_total{code="401",operation="metrics"} 1)"_s,
                     uR"(quillet_gatewayd_requests_total{code="403",operation="metrics"} 1)"_s,
                     uR"(quillet_gatewayd_requests_total{code="405",operation="metrics"} 1)"_s,
                     uR"(quillet_gatewayd_requests_total{code="200",operation="queryBalance"} 1)"_s,
                     uR"(quillet_gatewayd_requests_total{code="401",operation="queryBalance"} 1)"_s,
                     uR"(quillet_gatewayd_requests_total{code="200",operation="recharge"} 1)"_s,
                     uR"(quillet_gatewayd_requests_total{code="200",operation="register"} 1)"_s,
                     uR"(quillet_gatewayd_requests_total{code="200",operation="sendMessage"} 2)"_s,
                 }));
        QCOMPARE(
            named(samples, u"quillet_gatewayd_request_duration_seconds_count"_s),
            QStringList({
                uR"(quillet_gatewayd_request_duration_seconds_count{operation="issueCards"} 1)"_s,
                uR"(quillet_gatewayd_request_duration_seconds_count{operation="metrics"} 3)"_s,
                uR"(quillet_gatewayd_request_duration_seconds_count{operation="queryBalance"} 2)"_s,
                uR"(quillet_gatewayd_request_duration_seconds_count{operation="recharge"} 1)"_s,
                uR"(quillet_gatewayd_request_duration_seconds_count{operation="register"} 1)"_s,
                uR"(quillet_gatewayd_request_duration_seconds_count{operation="sendMessage"} 2)"_s,
            }));
        // The scrape itself, on its connection.
        QCOMPARE(named(samples, u"quillet_gatewayd_requests_in_flight"_s),
                 QStringList { u"quillet_gatewayd_requests_in_flight 1"_s });
        QCOMPARE(named(samples, u"quillet_gatewayd_connections_open"_s),
                 QStringList { u"quillet_gatewayd_connections_open 1"_s });
        QCOMPARE(
            named(samples, u"quillet_gatewayd_connections_refused_total"_s),
            QStringList({
                uR"(quillet_gatewayd_connections_refused_total{reason="body_too_large"} 0)"_s,
                uR"(quillet_gatewayd_connections_refused_total{reason="header_too_long"} 0)"_s,
                uR"(quillet_gatewayd_connections_refused_total{reason="http_version"} 0)"_s,
                uR"(quillet_gatewayd_connections_refused_total{reason="length_required"} 1)"_s,
                uR"(quillet_gatewayd_connections_refused_total{reason="malformed"} 0)"_s,
                uR"(quillet_gatewayd_connections_refused_total{reason="overall"} 0)"_s,
                uR"(quillet_gatewayd_connections_refused_total{reason="per_peer"} 0)"_s,
                uR"(quillet_gatewayd_connections_refused_total{reason="pipelined"} 0)"_s,
                uR"(quillet_gatewayd_connections_refused_total{reason="request_timeout"} 0)"_s,
                uR"(quillet_gatewayd_connections_refused_total{reason="too_many_header_lines"} 0)"_s,
                uR"(quillet_gatewayd_connections_refused_total{reason="unanswered"} 0)"_s,
            }));
        QCOMPARE(named(samples, u"quillet_gatewayd_auth_failures_total"_s),
                 QStringList({
                     uR"(quillet_gatewayd_auth_failures_total{code="401"} 2)"_s,
                     uR"(quillet_gatewayd_auth_failures_total{code="429"} 0)"_s,
                 }));
        // register, issueCards, recharge and the first send; the repeat committed nothing.
        QCOMPARE(named(samples, u"quillet_gatewayd_commits_total"_s),
                 QStringList { u"quillet_gatewayd_commits_total 4"_s });
        const QStringList batches = named(samples, u"quillet_gatewayd_commit_batch_size_bucket"_s);
        QCOMPARE(batches,
                 QStringList({
                     uR"(quillet_gatewayd_commit_batch_size_bucket{le="0.5"} 0)"_s,
                     uR"(quillet_gatewayd_commit_batch_size_bucket{le="1.5"} 4)"_s,
                     uR"(quillet_gatewayd_commit_batch_size_bucket{le="2.5"} 4)"_s,
                     uR"(quillet_gatewayd_commit_batch_size_bucket{le="4.5"} 4)"_s,
                     uR"(quillet_gatewayd_commit_batch_size_bucket{le="8.5"} 4)"_s,
                     uR"(quillet_gatewayd_commit_batch_size_bucket{le="16.5"} 4)"_s,
                     uR"(quillet_gatewayd_commit_batch_size_bucket{le="32.5"} 4)"_s,
                     uR"(quillet_gatewayd_commit_batch_size_bucket{le="64.5"} 4)"_s,
                     uR"(quillet_gatewayd_commit_batch_size_bucket{le="128.5"} 4)"_s,
                     uR"(quillet_gatewayd_commit_batch_size_bucket{le="+Inf"} 4)"_s,
                 }));
        // Every batch held one request, and a dashboard's median reads so.
        QCOMPARE(quantile(0.5, batches), 1.0);
        QCOMPARE(named(samples, u"quillet_gatewayd_commit_batch_size_sum"_s),
                 QStringList { u"quillet_gatewayd_commit_batch_size_sum 4"_s });
        QCOMPARE(named(samples, u"quillet_gatewayd_store_errors_total"_s),
                 QStringList({
                     uR"(quillet_gatewayd_store_errors_total{kind="access_denied"} 0)"_s,
                     uR"(quillet_gatewayd_store_errors_total{kind="disk_full"} 0)"_s,
                     uR"(quillet_gatewayd_store_errors_total{kind="invalid_argument"} 0)"_s,
                     uR"(quillet_gatewayd_store_errors_total{kind="other"} 0)"_s,
                     uR"(quillet_gatewayd_store_errors_total{kind="unavailable"} 0)"_s,
                 }));
        const QStringList link = named(samples, u"quillet_gatewayd_link_state"_s)
            + named(samples, u"quillet_gatewayd_link_window_in_use"_s)
            + named(samples, u"quillet_gatewayd_link_messages_submitted_total"_s)
            + named(samples, u"quillet_gatewayd_link_receipts_total"_s)
            + named(samples, u"quillet_gatewayd_link_arrivals_total"_s);
        QCOMPARE(link,
                 QStringList({
                     uR"(quillet_gatewayd_link_state{link="main "1"",state="bound"} 1)"_s,
                     uR"(quillet_gatewayd_link_state{link="main "1"",state="connecting"} 0)"_s,
                     uR"(quillet_gatewayd_link_state{link="main "1"",state="stopped"} 0)"_s,
                     uR"(quillet_gatewayd_link_state{link="main "1"",state="waiting"} 0)"_s,
                     uR"(quillet_gatewayd_link_window_in_use{link="main "1""} 0)"_s,
                     uR"(quillet_gatewayd_link_messages_submitted_total{link="main "1""} 1)"_s,
                     uR"(quillet_gatewayd_link_receipts_total{link="main "1""} 1)"_s,
                     uR"(quillet_gatewayd_link_arrivals_total{link="main "1""} 1)"_s,
                 }));

        // The scrapers' port answers anyone, and counts none of its own.
        const auto open = get(*m_rig, u"/metrics"_s, {}, m_metricsPort);
        QCOMPARE(open.status, 200);
        QVERIFY(open.headers.contains(TextType));
        const QStringList read = parsed(open.body);
        QVERIFY(read.contains(
            uR"(quillet_gatewayd_requests_total{code="200",operation="metrics"} 1)"_s));
        QVERIFY(read.contains(u"quillet_gatewayd_requests_in_flight 0"_s));
        QVERIFY(read.contains(u"quillet_gatewayd_connections_open 0"_s));
        QCOMPARE(get(*m_rig, u"/v1/console/queryBalance"_s, m_console, m_metricsPort).status, 404);
        QCOMPARE(m_rig
                     ->raw("POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n"
                           "Connection: close\r\n\r\n",
                           10'000, m_metricsPort)
                     .status,
                 404);
    }

    // The families every client library gives a process, read from /proc as they read
    // them, checked against what this test reads of the service's process; and the
    // version serving.
    void processAndBuild()
    {
        const QStringList samples = parsed(get(*m_rig, u"/metrics"_s, {}, m_metricsPort).body);
        const qint64 pid = m_rig->pid();
        QCOMPARE(named(samples, u"quillet_gatewayd_build_info"_s),
                 QStringList { uR"(quillet_gatewayd_build_info{version=")"_s
                               + QStringLiteral(QUILLET_VERSION) + uR"("} 1)"_s });
        QVERIFY(samples.contains(u"# counter process_cpu_seconds"_s));
        const double cpu = valueOf(named(samples, u"process_cpu_seconds_total"_s));
        QVERIFY2(cpu > 0 && cpu < 600, qPrintable(QString::number(cpu)));

        const double started = valueOf(named(samples, u"process_start_time_seconds"_s));
        QVERIFY2(started >= double(m_startedBefore) - 1 && started <= double(m_startedAfter),
                 qPrintable(QString::number(started, 'f', 2)));

        QFile status(u"/proc/%1/status"_s.arg(pid));
        QVERIFY(status.open(QIODevice::ReadOnly));
        double rssKib = 0;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                rssKib = line.mid(6).trimmed().split(' ').value(0).toDouble();
        }
        const double resident = valueOf(named(samples, u"process_resident_memory_bytes"_s));
        QVERIFY2(qAbs(resident - rssKib * 1024) < rssKib * 1024 / 4,
                 qPrintable(u"%1 against %2 KiB"_s.arg(resident).arg(rssKib)));
        QVERIFY(valueOf(named(samples, u"process_virtual_memory_bytes"_s)) > resident);

        const qsizetype open
            = QDir(u"/proc/%1/fd"_s.arg(pid))
                  .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                  .size();
        const double fds = valueOf(named(samples, u"process_open_fds"_s));
        QVERIFY2(qAbs(fds - double(open)) <= 3, qPrintable(u"%1 against %2"_s.arg(fds).arg(open)));
        QFile limits(u"/proc/%1/limits"_s.arg(pid));
        QVERIFY(limits.open(QIODevice::ReadOnly));
        double most = 0;
        for (const QByteArray &line : limits.readAll().split('\n')) {
            if (line.startsWith("Max open files"))
                most = line.mid(14).simplified().split(' ').value(0).toDouble();
        }
        QCOMPARE(valueOf(named(samples, u"process_max_fds"_s)), most);
    }
};

QTEST_GUILESS_MAIN(TestMetrics)
#include "tst_metrics.moc"
