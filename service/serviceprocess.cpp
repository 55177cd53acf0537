#include "service/serviceprocess.h"

#include "service/callbackdispatcher.h"
#include "service/callbacksetup.h"
#include "service/gatewayservice.h"
#include "service/link/linksettings.h"
#include "service/linkswitch.h"
#include "service/metricslistener.h"
#include "service/servicelog.h"
#include "service/servicetexts.h"
#include "service/smppserver.h"
#include "service/tlsfiles.h"

#include <QDir>
#include <QStandardPaths>

#include <cstdio>
#include <mutex>

using namespace Qt::StringLiterals;

namespace {

using namespace ServiceTexts;

// The links log from their own thread, straight to the journal.
void linkLine(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
}

Status loadTlsOf(const ServeConfig &config, std::optional<QSslConfiguration> &tls)
{
    tls.reset();
    if (config.tlsCertificate.isEmpty())
        return Status::ok();
    QSslConfiguration loaded;
    QUILLET_TRY(loadTls(config.tlsCertificate, config.tlsKey, loaded));
    tls = loaded;
    return Status::ok();
}

QString describe(const ServiceLog::Target &target)
{
    switch (target.kind) {
    case ServiceLog::Target::Kind::Off:
        return RequestLogOff;
    case ServiceLog::Target::Kind::StandardError:
        return RequestLogStandardError;
    case ServiceLog::Target::Kind::File:
        return target.path;
    }
    return {};
}

// The key that seals callback secrets: where the config says, else in the state folder
// systemd gives the service, else in the user's data folder (made 0700).
QString callbackKeyFile(const ServeConfig &config)
{
    if (!config.callbackKeyFile.isEmpty())
        return config.callbackKeyFile;
    const QString state = qEnvironmentVariable("STATE_DIRECTORY").section(u':', 0, 0);
    QString folder = state;
    if (folder.isEmpty()) {
        folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
            + u"/quillet-gatewayd"_s;
        QDir().mkpath(folder);
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    return folder + u"/callback.key"_s;
}

} // namespace

// Changes this process committed (a link's receipts and arrivals, the workers' writes) may
// be events for a callback or a bound application: those are woken at once instead of at
// their next poll. Rung from any thread.
class ServiceProcess::ChangeBell {
public:
    explicit ChangeBell(CallbackDispatcher &callbacks)
        : m_callbacks(callbacks)
    {
    }

    void ring()
    {
        m_callbacks.wake();
        std::lock_guard lock(m_mutex);
        if (m_smpp)
            m_smpp->wake();
    }

    // Set before the server starts and cleared before it is deleted: a wake posted to it
    // before that is dropped with it.
    void setSmppServer(SmppServer *smpp)
    {
        std::lock_guard lock(m_mutex);
        m_smpp = smpp;
    }

private:
    CallbackDispatcher &m_callbacks;
    std::mutex m_mutex;
    SmppServer *m_smpp = nullptr;
};

namespace {

// The links' reports go to the metrics; the deliveries they write ring the bell.
class LinkReports : public LinkObserver {
public:
    LinkReports(LinkObserver &metrics, ServiceProcess::ChangeBell &bell)
        : m_metrics(metrics)
        , m_bell(bell)
    {
    }

    void linkState(const QString &link, State state) override { m_metrics.linkState(link, state); }
    void windowInUse(const QString &link, int parts) override
    {
        m_metrics.windowInUse(link, parts);
    }
    void submitted(const QString &link) override { m_metrics.submitted(link); }
    void receiptReceived(const QString &link) override { m_metrics.receiptReceived(link); }
    void receiptMatched(const QString &link, LinkStore::IdForm form) override
    {
        m_metrics.receiptMatched(link, form);
    }
    void arrivalReceived(const QString &link) override { m_metrics.arrivalReceived(link); }
    void standingIn(const QString &link, const QStringList &links) override
    {
        m_metrics.standingIn(link, links);
    }
    void deliveriesWritten(const QString &link, int deliveries) override
    {
        m_metrics.deliveriesWritten(link, deliveries);
        m_bell.ring();
    }

private:
    LinkObserver &m_metrics;
    ServiceProcess::ChangeBell &m_bell;
};

} // namespace

ServiceProcess::ServiceProcess(StoreLocation store, std::function<ServeConfigRead()> readAgain,
                               QObject *parent)
    : QObject(parent)
    , m_store(std::move(store))
    , m_readAgain(std::move(readAgain))
    , m_log(new ServiceLog({}, this))
{
}

ServiceProcess::~ServiceProcess()
{
    // The service's workers route to the links: they go first.
    m_scrapers.reset();
    if (m_smpp)
        m_smpp->stop();
    m_service.reset();
    if (m_bell)
        m_bell->setSmppServer(nullptr);
    m_smpp.reset();
    // The links wake the callbacks: they go first.
    m_links.reset();
    m_linkReports.reset();
    m_bell.reset();
    m_callbacks.reset();
}

Status ServiceProcess::start(const ServeConfig &config)
{
    m_config = config;
    QUILLET_TRY(m_log->setTarget(config.requestLog));
    m_log->setSummaryInterval(config.summaryIntervalS);
    GatewayService::Options options = config.service;
    options.store = m_store;
    QUILLET_TRY(loadTlsOf(config, options.tls));
    options.metrics = &m_metrics;
    options.log = m_log;
    CallbackDispatcher::Options callbacks;
    callbacks.store = m_store;
    callbacks.hashCost = options.gateway.hashCost;
    auto setup = std::make_shared<CallbackSetup>();
    QUILLET_TRY(SecretSeal::load(callbackKeyFile(config), setup->seal));
    setup->policy = CallbackUrlPolicy(config.callbackAllowHosts, { config.listen });
    callbacks.seal = setup->seal;
    callbacks.policy = setup->policy;
    options.callbacks = setup;
    callbacks.caFile = config.callbackCaFile;
    callbacks.perUrl = config.callbackPerUrl;
    callbacks.timeoutMs = config.callbackTimeoutMs;
    callbacks.retryFirstMs = config.callbackRetryMs;
    callbacks.observer = &m_metrics;
    m_callbacks = std::make_unique<CallbackDispatcher>(callbacks);
    QUILLET_TRY(m_callbacks->start());
    m_bell = std::make_unique<ChangeBell>(*m_callbacks);
    // Without a link at start the workers never route: every message goes to the
    // simulated handsets, and a send keeps the store's one-statement way. A first link
    // (or none left) therefore waits for a restart.
    if (!config.links.links.isEmpty()) {
        m_linkReports = std::make_unique<LinkReports>(m_metrics, *m_bell);
        m_links = std::make_unique<LinkSwitch>(m_store, options.gateway.hashCost, &linkLine,
                                               m_linkReports.get());
        QUILLET_TRY(m_links->replace(config.links));
        LinkSwitch *links = m_links.get();
        options.gateway.route = [links](const QString &phone) { return links->route(phone); };
        options.gateway.queued = [links] { links->wake(); };
    }
    options.wrote = [bell = m_bell.get()] { bell->ring(); };
    m_service = std::make_unique<GatewayService>(options);
    connect(m_service.get(), &GatewayService::stopped, this, &ServiceProcess::stopped);
    quint16 bound = 0;
    QUILLET_TRY(m_service->start(config.listen, config.port, bound));
    m_log->event(listening(config.listen.toString(), bound, options.tls.has_value()));
    if (config.smppServer) {
        SmppServer::Options smpp;
        smpp.settings = *config.smppServer;
        smpp.tls = options.tls;
        smpp.failureLimit = options.authFailureLimit;
        smpp.failureWindowMs = options.authWindowMs;
        smpp.ratePerSecond = options.applicationRateLimit;
        smpp.log = [log = m_log](const QString &line) { log->event(line); };
        m_smpp = std::make_unique<SmppServer>(smpp, *m_service->workers());
        m_bell->setSmppServer(m_smpp.get());
        quint16 smppBound = 0;
        QUILLET_TRY(m_smpp->start(smppBound));
        m_log->event(
            smppListening(config.smppServer->listen.toString(), smppBound, config.smppServer->tls));
    }
    if (config.metricsPort) {
        m_scrapers = std::make_unique<MetricsListener>(m_metrics, options.limits);
        quint16 metricsBound = 0;
        QUILLET_TRY(m_scrapers->start(config.metricsListen, *config.metricsPort, metricsBound));
        m_log->event(servingMetrics(config.metricsListen.toString(), metricsBound));
    }
    return Status::ok();
}

// Everything that can fail is tried before anything is applied, so that a refused reload
// leaves the service exactly as it was. Only the links, started again last, can fail
// after that: they are then down, and the journal says why.
void ServiceProcess::reload()
{
    if (m_stopping || !m_service)
        return;
    const auto refuse = [this](const QString &why) { m_log->event(reloadRefused(why)); };
    const ServeConfigRead read = m_readAgain();
    if (!read.config)
        return refuse(read.error);
    const ServeConfig &next = *read.config;
    std::optional<QSslConfiguration> tls;
    if (const Status loaded = loadTlsOf(next, tls); loaded.failed())
        return refuse(loaded.description());
    if (!tls && !m_config.listen.isLoopback())
        return refuse(tlsRequired(m_config.listen.toString()));
    // Opened again even when it names the same file, as a daemon's log is on SIGHUP.
    if (const Status opened = m_log->setTarget(next.requestLog); opened.failed())
        return refuse(opened.description());

    m_config.tlsCertificate = next.tlsCertificate;
    m_config.tlsKey = next.tlsKey;
    m_config.service.limits = next.service.limits;
    m_config.service.authFailureLimit = next.service.authFailureLimit;
    m_config.service.authWindowMs = next.service.authWindowMs;
    m_config.service.signOnFailureLimit = next.service.signOnFailureLimit;
    m_config.service.signOnTokenFailureLimit = next.service.signOnTokenFailureLimit;
    m_config.service.applicationRateLimit = next.service.applicationRateLimit;
    m_config.requestLog = next.requestLog;
    m_config.summaryIntervalS = next.summaryIntervalS;
    GatewayService::Options options = m_config.service;
    options.tls = tls;
    m_service->reload(options);
    if (m_smpp)
        m_smpp->setLimits(options.authFailureLimit, options.authWindowMs,
                          options.applicationRateLimit);
    m_log->setSummaryInterval(next.summaryIntervalS);

    QStringList applied { reloadedLimits(), reloadedRequestLog(describe(next.requestLog)) };
    if (tls)
        applied.append(reloadedTls());
    QStringList waiting = m_config.fixedChangedIn(next);
    if (next.smppServer != m_config.smppServer)
        waiting.append(SmppServerSection);
    const bool hadLinks = !m_config.links.links.isEmpty();
    if (hadLinks != !next.links.links.isEmpty()) {
        waiting.append(LinkSectionPrefix + u"NAME"_s);
    } else if (hadLinks && next.linksRead != m_config.linksRead) {
        m_config.links = next.links;
        m_config.linksRead = next.linksRead;
        if (const Status started = m_links->replace(next.links); started.failed())
            m_log->event(linksNotStarted(started.description()));
        else
            applied.append(reloadedLinks());
    }
    m_log->event(reloaded(applied));
    if (!waiting.isEmpty())
        m_log->event(waitForRestart(waiting));
}

void ServiceProcess::stop()
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_log->event(stoppingOnSignal());
    if (m_smpp)
        m_smpp->stop();
    if (m_service)
        m_service->stop();
    else
        Q_EMIT stopped();
}
