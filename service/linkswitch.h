#pragma once

// The links of a serving process, which a reload may replace while the workers route
// messages to them:
//
//   workers (any thread) ── route(phone): the links' config now ── the message's link
//                        └─ wake() ── the running LinkService, if any
//   reload (event loop) ── replace(config): the running links hand back what they hold
//                          and unbind; links of the new config start and bind
//
// Messages queued while the links change wait in the store for the new ones.

#include "gateway/local/passwordhasher.h"
#include "gateway/local/storelocation.h"
#include "gateway/status.h"
#include "service/link/linkservice.h"
#include "service/link/linksettings.h"

#include <memory>
#include <shared_mutex>

class LinkSwitch {
public:
    LinkSwitch(StoreLocation store, PasswordHasher::Cost hashCost, LinkService::Log log,
               LinkObserver *observer);
    ~LinkSwitch();
    LinkSwitch(const LinkSwitch &) = delete;
    LinkSwitch &operator=(const LinkSwitch &) = delete;

    // Stops the links running, if any, and starts those of `config`.
    Status replace(const LinkConfig &config);
    void stop();

    // Safe from any thread.
    QString route(const QString &phone) const;
    void wake();

private:
    // Takes the running links out, with `config` (if any) for routing from now on.
    std::unique_ptr<LinkService> take(std::shared_ptr<const LinkConfig> config);

    StoreLocation m_store;
    PasswordHasher::Cost m_hashCost;
    LinkService::Log m_log;
    LinkObserver *m_observer;
    // Shared by route() and wake(), which are quick; held alone only to swap the links.
    mutable std::shared_mutex m_mutex;
    std::shared_ptr<const LinkConfig> m_config;
    std::unique_ptr<LinkService> m_service;
};
