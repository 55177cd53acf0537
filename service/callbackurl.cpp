#include "service/callbackurl.h"

#include "service/servicetexts.h"

#include <QNetworkInterface>

using namespace Qt::StringLiterals;

namespace {

// An IPv4 address written as IPv6 (::ffff:a.b.c.d) is judged as the IPv4 one it is.
QHostAddress plain(const QHostAddress &address)
{
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4) : address;
}

constexpr std::pair<const char *, int> RefusedRanges[] = {
    { "0.0.0.0", 8 },      { "10.0.0.0", 8 },    { "100.64.0.0", 10 }, { "127.0.0.0", 8 },
    { "169.254.0.0", 16 }, { "172.16.0.0", 12 }, { "192.0.0.0", 24 },  { "192.168.0.0", 16 },
    { "198.18.0.0", 15 },  { "240.0.0.0", 4 },   { "::", 128 },        { "::1", 128 },
    { "fc00::", 7 },       { "fe80::", 10 },     { "64:ff9b::", 96 },  { "2001:db8::", 32 },
};

} // namespace

CallbackUrlPolicy::CallbackUrlPolicy(QStringList allowHosts, QList<QHostAddress> own)
    : m_allowHosts(std::move(allowHosts))
    , m_own(std::move(own))
{
    for (const QHostAddress &address : QNetworkInterface::allAddresses())
        m_own.append(plain(address));
    for (QString &host : m_allowHosts)
        host = host.trimmed().toLower();
}

bool CallbackUrlPolicy::isListed(const QString &host) const
{
    const QString lower = host.toLower();
    if (m_allowHosts.contains(lower))
        return true;
    const QHostAddress address(host);
    if (address.isNull())
        return false;
    for (const QString &listed : m_allowHosts) {
        if (const QHostAddress other(listed); !other.isNull() && plain(other) == plain(address))
            return true;
    }
    return false;
}

bool CallbackUrlPolicy::isPublic(const QHostAddress &given) const
{
    const QHostAddress address = plain(given);
    if (address.isNull() || address.isLoopback() || address.isMulticast() || address.isBroadcast()
        || address.isLinkLocal() || address.isUniqueLocalUnicast() || address.isSiteLocal())
        return false;
    for (const auto &[network, length] : RefusedRanges) {
        if (address.isInSubnet(QHostAddress(QString::fromLatin1(network)), length))
            return false;
    }
    return !m_own.contains(address);
}

QString CallbackUrlPolicy::checkForm(const QString &text) const
{
    const QUrl url(text, QUrl::StrictMode);
    if (text.isEmpty() || text.size() > 2048 || !url.isValid() || url.host().isEmpty()
        || !url.userInfo().isEmpty() || url.hasFragment())
        return ServiceTexts::callbackUrlMalformed();
    if (url.scheme() == u"https"_s)
        return {};
    if (url.scheme() == u"http"_s)
        return isListed(url.host()) ? QString() : ServiceTexts::callbackHttpNotAllowed(url.host());
    return ServiceTexts::callbackUrlMalformed();
}

std::optional<QHostAddress> CallbackUrlPolicy::allowedAddress(const QString &host,
                                                              const QList<QHostAddress> &addresses,
                                                              QString &why) const
{
    if (addresses.isEmpty()) {
        why = ServiceTexts::callbackHostUnresolved(host);
        return std::nullopt;
    }
    const bool listedHost = m_allowHosts.contains(host.toLower());
    // Every address must pass: a name that also resolves inside is refused whole, so
    // that which one a client picks cannot matter.
    for (const QHostAddress &address : addresses) {
        if (!listedHost && !isListed(plain(address).toString()) && !isPublic(address)) {
            why = ServiceTexts::callbackHostRefused(host, plain(address).toString());
            return std::nullopt;
        }
    }
    return addresses.first();
}
