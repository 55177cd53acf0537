#pragma once

// A serving quillet-gatewayd: what `serve` starts from its ServeConfig, and what SIGHUP
// changes while it runs.
//
//   start(config) ── the request log ── TLS files (tlsfiles.h) ── links (LinkSwitch) ──
//                 ── GatewayService on the address and port ── MetricsListener (if a port)
//   reload() ── the config read again ── its TLS files loaded, its request log opened:
//               any failure refuses the whole reload, and the service goes on as it was
//            ── applied: TLS for new connections, limits, request log, summary, links
//               (started again only when their sections or passwords changed)
//            ── settings fixed at start that changed are named, for the next restart
//   stop() ── requests in flight answered ── stopped()
//
// Every line of it goes to the journal (ServiceLog::event).

#include "gateway/local/storelocation.h"
#include "gateway/status.h"
#include "service/serveconfig.h"
#include "service/servicemetrics.h"

#include <QObject>

#include <functional>
#include <memory>

class CallbackDispatcher;
class GatewayService;
class LinkSwitch;
class MetricsListener;
class ServiceLog;
class SmppServer;

class ServiceProcess : public QObject {
    Q_OBJECT

public:
    // `readAgain` reads the config as it was read for start(), for each reload.
    ServiceProcess(StoreLocation store, std::function<ServeConfigRead()> readAgain,
                   QObject *parent = nullptr);
    ~ServiceProcess() override;

    // A failure says why the service could not start.
    Status start(const ServeConfig &config);
    void reload();
    void stop();

Q_SIGNALS:
    void stopped();

public:
    class ChangeBell;

private:
    StoreLocation m_store;
    std::function<ServeConfigRead()> m_readAgain;
    ServeConfig m_config;
    ServiceMetrics m_metrics;
    ServiceLog *m_log;
    std::unique_ptr<CallbackDispatcher> m_callbacks;
    std::unique_ptr<ChangeBell> m_bell;
    std::unique_ptr<LinkObserver> m_linkReports;
    std::unique_ptr<LinkSwitch> m_links;
    std::unique_ptr<GatewayService> m_service;
    std::unique_ptr<MetricsListener> m_scrapers;
    // Posts to the service's workers: it goes after them.
    std::unique_ptr<SmppServer> m_smpp;
    bool m_stopping = false;
};
