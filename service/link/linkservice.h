#pragma once

// The links of a service process, on a thread of their own with a connection of their
// own to the store.
//
//   GatewayService workers ── route(phone) ── the message is queued for its link
//                          └─ wake() ──────── the link looks at once
//   link thread: SmscLink per configured link ── LinkQueue ── Store
//                                             └─ LinkObserver (the service's metrics)
//
// libsmpp34 keeps its error state in globals; every PDU of the process is packed and
// unpacked on this one thread.

#include "gateway/local/passwordhasher.h"
#include "gateway/local/storelocation.h"
#include "gateway/status.h"
#include "service/link/linkobserver.h"
#include "service/link/linksettings.h"
#include "service/link/ownthread.h"

#include <functional>
#include <memory>

class LinkRunner;

class LinkService {
public:
    using Log = std::function<void(const QString &)>;
    // `log` and `observer` are called on the links' thread; `observer` (none: nobody is
    // told) outlives this object.
    LinkService(LinkConfig config, StoreLocation store, PasswordHasher::Cost hashCost, Log log,
                LinkObserver *observer = nullptr);
    ~LinkService();
    LinkService(const LinkService &) = delete;
    LinkService &operator=(const LinkService &) = delete;

    // Opens the store on the links' thread and starts binding; a failure to open stops
    // there.
    Status start();
    // Hands back what the links hold and unbinds; waits for the thread to end.
    void stop();

    // Safe from any thread.
    QString route(const QString &phone) const { return m_config.route(phone); }
    void wake();

private:
    const LinkConfig m_config;
    StoreLocation m_store;
    PasswordHasher::Cost m_hashCost;
    Log m_log;
    LinkObserver *m_observer;
    OwnThread<LinkRunner> m_thread { QStringLiteral("links") };
};
