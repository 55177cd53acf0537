#pragma once

// Where the service may send an application's callbacks. A callback goes out from inside
// the operator's network, so a URL is not taken for where it says it goes: its host is
// resolved, and every address it resolves to must be a public one.
//
//   PUT /v1/account/callback ── check(url): its form, then its host's addresses now
//   each request ── allowedAddress(host's addresses now) ── connect to that address only
//                   (a name may resolve elsewhere later, or between two lookups)
//
// Refused: loopback, link-local, private (and shared) ranges, unspecified, multicast
// and broadcast addresses, and the service's own, unless callback_allow_hosts names the
// host or the address. http:// goes only to a host that is listed.

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

class CallbackUrlPolicy {
public:
    CallbackUrlPolicy() = default;
    // `allowHosts`: names and addresses as the config lists them; `own`: the service's
    // addresses (those it listens on; its interfaces' are added here).
    CallbackUrlPolicy(QStringList allowHosts, QList<QHostAddress> own);

    // Why a URL's text is refused before any lookup: empty when its form is sound.
    QString checkForm(const QString &text) const;
    // Of `addresses` (the host's, as resolved now) the first one to connect to; none when
    // the host is refused (`why` says why).
    std::optional<QHostAddress>
    allowedAddress(const QString &host, const QList<QHostAddress> &addresses, QString &why) const;
    bool isListed(const QString &host) const;

private:
    bool isPublic(const QHostAddress &address) const;

    QStringList m_allowHosts;
    QList<QHostAddress> m_own;
};
