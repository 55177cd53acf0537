#include "service/link/linksettings.h"

#include "service/link/linktexts.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace {

constexpr int MaxPassword = 8; // what a bind PDU holds

// The link sections in the order the file gives them: the first one takes every
// message no route names.
QStringList sectionsInOrder(const QSettings &settings)
{
    QStringList names;
    QFile file(settings.fileName());
    if (!file.open(QIODevice::ReadOnly))
        return names;
    static const QRegularExpression header(u"^\\s*\\[smsc\\.([^\\]]+)\\]"_s);
    while (!file.atEnd()) {
        const QRegularExpressionMatch found = header.match(QString::fromUtf8(file.readLine()));
        if (found.hasMatch() && !names.contains(found.captured(1)))
            names.append(found.captured(1));
    }
    return names;
}

class SectionReader {
public:
    SectionReader(const QSettings &settings, QString section)
        : m_settings(settings)
        , m_section(std::move(section))
    {
    }

    bool has(const QString &key) const
    {
        Q_ASSERT(linkSettingKeys().contains(key)); // every key read is one the service knows
        return m_settings.contains(m_section + u'/' + key);
    }
    // A value with commas comes back from the file as a list of its pieces.
    QString text(const QString &key) const
    {
        Q_ASSERT(linkSettingKeys().contains(key));
        const QVariant value = m_settings.value(m_section + u'/' + key);
        if (value.typeId() == QMetaType::QStringList)
            return value.toStringList().join(u',').trimmed();
        return value.toString().trimmed();
    }
    // A whole number from `least` to `most`, times `unit`, when the key is there.
    void number(const QString &key, int least, int most, int unit, int &value)
    {
        if (!m_error.isEmpty() || !has(key))
            return;
        bool whole = false;
        const int read = text(key).toInt(&whole);
        if (!whole || read < least || read > most)
            m_error = LinkTexts::badSetting(m_section, key, u"%1 to %2"_s.arg(least).arg(most));
        else
            value = read * unit;
    }
    // One of `words`, as its place in the list, when the key is there.
    template<typename Choice>
    void choice(const QString &key, const QStringList &words, Choice &value)
    {
        if (!m_error.isEmpty() || !has(key))
            return;
        const qsizetype at = words.indexOf(text(key));
        if (at < 0)
            m_error = LinkTexts::badSetting(m_section, key, words.join(u" or "_s));
        else
            value = Choice(at);
    }
    void fail(const QString &why)
    {
        if (m_error.isEmpty())
            m_error = why;
    }
    const QString &error() const { return m_error; }
    const QString &section() const { return m_section; }

private:
    const QSettings &m_settings;
    QString m_section;
    QString m_error;
};

// The password file must be readable by the service alone.
void readPassword(SectionReader &reader, LinkSettings &link)
{
    const QString path = reader.text(u"password_file"_s);
    if (path.isEmpty()) {
        reader.fail(LinkTexts::missingSetting(reader.section(), u"password_file"_s));
        return;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        reader.fail(LinkTexts::passwordUnreadable(reader.section(), path, file.errorString()));
        return;
    }
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup
        | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther
        | QFileDevice::ExeOther;
    if (file.permissions() & others) {
        reader.fail(LinkTexts::passwordExposed(reader.section(), path));
        return;
    }
    QByteArray password = file.read(MaxPassword + 2);
    while (password.endsWith('\n') || password.endsWith('\r'))
        password.chop(1);
    if (password.size() > MaxPassword)
        reader.fail(LinkTexts::passwordTooLong(reader.section(), MaxPassword));
    link.password = password;
}

LinkSettings readLink(const QSettings &settings, const QString &name, QString &error)
{
    LinkSettings link;
    link.name = name;
    SectionReader reader(settings, LinkSectionPrefix + name);
    const QString section = reader.section();
    link.host = reader.text(u"host"_s);
    if (link.host.isEmpty())
        reader.fail(LinkTexts::missingSetting(section, u"host"_s));
    int port = link.port;
    reader.number(u"port"_s, 1, 65535, 1, port);
    link.port = quint16(port);
    link.systemId = reader.text(u"system_id"_s).toUtf8();
    if (link.systemId.isEmpty() || link.systemId.size() > 15)
        reader.fail(LinkTexts::badSetting(section, u"system_id"_s, u"1 to 15 characters"_s));
    link.systemType = reader.text(u"system_type"_s).toUtf8();
    if (link.systemType.size() > 12)
        reader.fail(LinkTexts::badSetting(section, u"system_type"_s, u"0 to 12 characters"_s));
    const QString bind = reader.text(u"bind"_s);
    if (bind == u"transmitter_receiver"_s)
        link.bind = LinkSettings::Bind::TransmitterReceiver;
    else if (!bind.isEmpty() && bind != u"transceiver"_s)
        reader.fail(
            LinkTexts::badSetting(section, u"bind"_s, u"transceiver or transmitter_receiver"_s));
    const QString tls = reader.text(u"tls"_s);
    if (tls == u"on"_s)
        link.tls = true;
    else if (!tls.isEmpty() && tls != u"off"_s)
        reader.fail(LinkTexts::badSetting(section, u"tls"_s, u"on or off"_s));
    link.tlsCaFile = reader.text(u"tls_ca_file"_s);
    int ton = 0;
    int npi = 0;
    reader.number(u"source_ton"_s, 0, 6, 1, ton);
    reader.number(u"source_npi"_s, 0, 18, 1, npi);
    link.sourceTon = quint8(ton);
    link.sourceNpi = quint8(npi);
    reader.number(u"window"_s, 1, 1000, 1, link.window);
    reader.number(u"rate"_s, 1, 100'000, 1, link.ratePerSecond);
    reader.number(u"enquire_link_s"_s, 1, 3600, 1000, link.enquireLinkMs);
    reader.number(u"response_timeout_s"_s, 1, 600, 1000, link.responseTimeoutMs);
    reader.number(u"reconnect_min_s"_s, 1, 3600, 1000, link.reconnectMinMs);
    reader.number(u"reconnect_max_s"_s, 1, 3600, 1000, link.reconnectMaxMs);
    // Test settings: times shorter than a deployment wants.
    reader.number(u"enquire_link_ms"_s, 10, 3'600'000, 1, link.enquireLinkMs);
    reader.number(u"response_timeout_ms"_s, 10, 600'000, 1, link.responseTimeoutMs);
    reader.number(u"reconnect_min_ms"_s, 10, 3'600'000, 1, link.reconnectMinMs);
    reader.number(u"reconnect_max_ms"_s, 10, 3'600'000, 1, link.reconnectMaxMs);
    reader.number(u"lease_ms"_s, 100, 3'600'000, 1, link.leaseMs);
    int partsWaitS = int(link.partsWaitMs / 1000);
    reader.number(u"parts_wait_s"_s, 1, 30 * 86'400, 1, partsWaitS);
    link.partsWaitMs = partsWaitS * 1000LL;
    reader.number(u"parts_per_source"_s, 1, 100'000, 1, link.partsPerSource);
    int unmatchedDays = int(link.unmatchedKeepMs / 86'400'000);
    reader.number(u"unmatched_keep_days"_s, 1, 3650, 1, unmatchedDays);
    link.unmatchedKeepMs = unmatchedDays * 86'400'000LL;
    // In the order of LinkStore::ReceiptIds.
    reader.choice(u"receipt_ids"_s,
                  { u"auto"_s, u"exact"_s, u"hex-to-decimal"_s, u"decimal-to-hex"_s },
                  link.receipts.ids);
    reader.choice(u"receipt_parts"_s, { u"all"_s, u"any"_s }, link.receipts.anyPart);
    int receiptWaitS = int(link.receiptWaitMs / 1000);
    reader.number(u"receipt_wait_s"_s, 60, 30 * 86'400, 1, receiptWaitS);
    link.receiptWaitMs = receiptWaitS * 1000LL;
    int validityS = 0;
    reader.number(u"validity_s"_s, 0, 30 * 86'400, 1, validityS);
    link.validityMs = validityS * 1000LL;
    link.fallback = reader.text(u"fallback"_s);
    int fallbackAfterS = int(link.fallbackAfterMs / 1000);
    reader.number(u"fallback_after_s"_s, 1, 86'400, 1, fallbackAfterS);
    link.fallbackAfterMs = fallbackAfterS * 1000LL;
    // A test setting: failing over sooner than a deployment wants.
    int fallbackAfterMs = int(link.fallbackAfterMs);
    reader.number(u"fallback_after_ms"_s, 10, 86'400'000, 1, fallbackAfterMs);
    link.fallbackAfterMs = fallbackAfterMs;
    link.reconnectMaxMs = std::max(link.reconnectMaxMs, link.reconnectMinMs);
    static const QRegularExpression prefix(u"^\\+?[0-9]{1,20}$"_s);
    const QStringList routes
        = reader.text(u"routes"_s).split(QRegularExpression(u"[,\\s]+"_s), Qt::SkipEmptyParts);
    for (const QString &route : routes) {
        if (!prefix.match(route).hasMatch())
            reader.fail(LinkTexts::badSetting(
                section, u"routes"_s, u"phone number prefixes (an optional + and digits)"_s));
        link.routes.append(route);
    }
    if (reader.error().isEmpty())
        readPassword(reader, link);
    error = reader.error();
    return link;
}

} // namespace

const QStringList &linkSettingKeys()
{
    static const QStringList keys = {
        u"host"_s,
        u"port"_s,
        u"system_id"_s,
        u"password_file"_s,
        u"system_type"_s,
        u"bind"_s,
        u"tls"_s,
        u"tls_ca_file"_s,
        u"source_ton"_s,
        u"source_npi"_s,
        u"window"_s,
        u"rate"_s,
        u"enquire_link_s"_s,
        u"response_timeout_s"_s,
        u"reconnect_min_s"_s,
        u"reconnect_max_s"_s,
        u"parts_wait_s"_s,
        u"parts_per_source"_s,
        u"unmatched_keep_days"_s,
        u"receipt_ids"_s,
        u"receipt_parts"_s,
        u"receipt_wait_s"_s,
        u"validity_s"_s,
        u"fallback"_s,
        u"fallback_after_s"_s,
        u"routes"_s,
        // Test settings: bounds shorter than a deployment wants.
        u"enquire_link_ms"_s,
        u"response_timeout_ms"_s,
        u"reconnect_min_ms"_s,
        u"reconnect_max_ms"_s,
        u"lease_ms"_s,
        u"fallback_after_ms"_s,
    };
    return keys;
}

QString LinkConfig::route(const QString &phone) const
{
    if (links.isEmpty())
        return {};
    const LinkSettings *best = &links.first();
    qsizetype longest = 0;
    for (const LinkSettings &link : links) {
        for (const QString &route : link.routes) {
            if (route.size() > longest && phone.startsWith(route)) {
                best = &link;
                longest = route.size();
            }
        }
    }
    return best->name;
}

LinkConfigRead readLinkConfig(const QSettings &settings)
{
    LinkConfigRead read;
    LinkConfig config;
    QStringList routes;
    for (const QString &name : sectionsInOrder(settings)) {
        QString error;
        LinkSettings link = readLink(settings, name, error);
        if (!error.isEmpty()) {
            read.error = error;
            return read;
        }
        for (const QString &route : std::as_const(link.routes)) {
            if (routes.contains(route)) {
                read.error = LinkTexts::duplicateRoute(route);
                return read;
            }
            routes.append(route);
        }
        config.links.append(std::move(link));
    }
    for (const LinkSettings &link : std::as_const(config.links)) {
        if (link.fallback.isEmpty())
            continue;
        const bool known = std::any_of(
            config.links.cbegin(), config.links.cend(), [&](const LinkSettings &other) {
                return other.name == link.fallback && other.name != link.name;
            });
        if (!known) {
            read.error = LinkTexts::badSetting(LinkSectionPrefix + link.name, u"fallback"_s,
                                               u"the name of another link"_s);
            return read;
        }
    }
    read.config = std::move(config);
    return read;
}
