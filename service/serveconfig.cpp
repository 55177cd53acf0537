#include "service/serveconfig.h"

#include "service/link/linksettings.h"
#include "service/servicetexts.h"

#include <QFile>
#include <QList>

#include <algorithm>
#include <functional>

using namespace Qt::StringLiterals;

namespace {

using namespace ServiceTexts;

enum class When { AtStart, OnReload };

struct Setting {
    QString key;
    // The command line's option for it, without its dashes; empty: none.
    QString option;
    When when = When::AtStart;
    // What it takes, for the usage error.
    QString allowed;
    // Reads `text` into the config; false when it is not a value of this setting.
    std::function<bool(const QString &text, ServeConfig &config)> read;
    // Whether two configs hold the same value of it.
    std::function<bool(const ServeConfig &, const ServeConfig &)> same;
};

// `field` is a generic lambda giving the setting's place in a config, const or not.
template<typename Field> auto sameBy(Field field)
{
    return [field](const ServeConfig &a, const ServeConfig &b) { return field(a) == field(b); };
}

template<typename Field>
Setting whole(const QString &key, When when, Field field, int least, int most,
              const QString &option = {})
{
    return { key,
             option,
             when,
             range(least, most),
             [field, least, most](const QString &text, ServeConfig &config) {
                 bool ok = false;
                 const int value = text.toInt(&ok);
                 if (!ok || value < least || value > most)
                     return false;
                 field(config) = value;
                 return true;
             },
             sameBy(field) };
}

template<typename Field> Setting address(const QString &key, const QString &option, Field field)
{
    return { key,
             option,
             When::AtStart,
             anIpAddress(),
             [field](const QString &text, ServeConfig &config) {
                 const QHostAddress address(text);
                 if (address.isNull())
                     return false;
                 field(config) = address;
                 return true;
             },
             sameBy(field) };
}

// A port, or (`optional`) nothing for none.
template<typename Field>
Setting port(const QString &key, const QString &option, Field field, bool optional)
{
    return { key,
             option,
             When::AtStart,
             optional ? portOrNothing() : range(0, 65535),
             [field, optional](const QString &text, ServeConfig &config) {
                 if (optional && text.isEmpty()) {
                     field(config) = {};
                     return true;
                 }
                 bool ok = false;
                 const quint16 port = text.toUShort(&ok);
                 if (!ok)
                     return false;
                 field(config) = port;
                 return true;
             },
             sameBy(field) };
}

template<typename Field>
Setting text(const QString &key, const QString &option, When when, Field field)
{
    return { key,
             option,
             when,
             QString(),
             [field](const QString &text, ServeConfig &config) {
                 field(config) = text;
                 return true;
             },
             sameBy(field) };
}

Setting hashCost()
{
    return { PasswordHashCostKey,
             QString(),
             When::AtStart,
             u"%1 or %2"_s.arg(InteractiveCost, MinimumCost),
             [](const QString &text, ServeConfig &config) {
                 if (text != InteractiveCost && text != MinimumCost)
                     return false;
                 config.service.gateway.hashCost = text == MinimumCost
                     ? PasswordHasher::fastest()
                     : PasswordHasher::interactive();
                 return true;
             },
             sameBy([](auto &c) -> auto & { return c.service.gateway.hashCost; }) };
}

// Names or addresses, separated by commas.
Setting hostList()
{
    return { CallbackAllowHostsKey,
             QString(),
             When::AtStart,
             QString(),
             [](const QString &text, ServeConfig &config) {
                 config.callbackAllowHosts.clear();
                 for (const QString &host : text.split(u',', Qt::SkipEmptyParts)) {
                     if (!host.trimmed().isEmpty())
                         config.callbackAllowHosts.append(host.trimmed());
                 }
                 return true;
             },
             sameBy([](auto &c) -> auto & { return c.callbackAllowHosts; }) };
}

Setting requestLog()
{
    return { RequestLogKey,
             QString(),
             When::OnReload,
             requestLogTargets(),
             [](const QString &text, ServeConfig &config) {
                 const std::optional<ServiceLog::Target> target = ServiceLog::parseTarget(text);
                 if (target)
                     config.requestLog = *target;
                 return target.has_value();
             },
             sameBy([](auto &c) -> auto & { return c.requestLog; }) };
}

// Where each setting lives in a config, const or not.
// clang-format off
constexpr auto Listen = [](auto &c) -> auto & { return c.listen; };
constexpr auto Port = [](auto &c) -> auto & { return c.port; };
constexpr auto StoreText = [](auto &c) -> auto & { return c.store; };
constexpr auto Workers = [](auto &c) -> auto & { return c.service.workers; };
constexpr auto Certificate = [](auto &c) -> auto & { return c.tlsCertificate; };
constexpr auto Key = [](auto &c) -> auto & { return c.tlsKey; };
constexpr auto MetricsPort = [](auto &c) -> auto & { return c.metricsPort; };
constexpr auto MetricsListen = [](auto &c) -> auto & { return c.metricsListen; };
constexpr auto MaxConnections = [](auto &c) -> auto & { return c.service.limits.maxConnections; };
constexpr auto MaxPerPeer = [](auto &c) -> auto & { return c.service.limits.maxPerPeer; };
constexpr auto RequestTimeout = [](auto &c) -> auto & { return c.service.limits.requestTimeoutMs; };
constexpr auto IdleTimeout = [](auto &c) -> auto & { return c.service.limits.idleTimeoutMs; };
constexpr auto AuthFailures = [](auto &c) -> auto & { return c.service.authFailureLimit; };
constexpr auto ApplicationRate = [](auto &c) -> auto & { return c.service.applicationRateLimit; };
constexpr auto AuthWindow = [](auto &c) -> auto & { return c.service.authWindowMs; };
constexpr auto SignOnFailures = [](auto &c) -> auto & { return c.service.signOnFailureLimit; };
constexpr auto SignOnTokenFailures
    = [](auto &c) -> auto & { return c.service.signOnTokenFailureLimit; };
constexpr auto HashingSlots = [](auto &c) -> auto & { return c.service.hashingSlots; };
constexpr auto BatchMost = [](auto &c) -> auto & { return c.service.batchMost; };
constexpr auto BatchWait = [](auto &c) -> auto & { return c.service.batchWaitUs; };
constexpr auto SummaryInterval = [](auto &c) -> auto & { return c.summaryIntervalS; };
constexpr auto CallbackCaFile = [](auto &c) -> auto & { return c.callbackCaFile; };
constexpr auto CallbackPerUrl = [](auto &c) -> auto & { return c.callbackPerUrl; };
constexpr auto CallbackKeyFile = [](auto &c) -> auto & { return c.callbackKeyFile; };
constexpr auto CallbackTimeout = [](auto &c) -> auto & { return c.callbackTimeoutMs; };
constexpr auto CallbackRetry = [](auto &c) -> auto & { return c.callbackRetryMs; };
// clang-format on

constexpr int Counts = 1'000'000;
constexpr int Milliseconds = 86'400'000;

// Every setting of the config file's top, and the command line's options that stand for
// them. Adding a setting is adding its row (and its key to ServiceTexts).
const QList<Setting> &settings()
{
    static const QList<Setting> table = {
        address(ListenKey, ListenOption, Listen),
        port(PortKey, PortOption, Port, false),
        // Opened by every command as main.cpp reads it; here for what a reload compares.
        text(StoreKey, StoreOption, When::AtStart, StoreText),
        whole(WorkersKey, When::AtStart, Workers, 1, 64, WorkersOption),
        text(TlsCertificateKey, TlsCertificateOption, When::OnReload, Certificate),
        text(TlsKeyKey, TlsKeyOption, When::OnReload, Key),
        port(MetricsPortKey, MetricsPortOption, MetricsPort, true),
        address(MetricsListenKey, MetricsListenOption, MetricsListen),
        whole(MaxConnectionsKey, When::OnReload, MaxConnections, 1, Counts),
        whole(MaxConnectionsPerPeerKey, When::OnReload, MaxPerPeer, 1, Counts),
        // Test and benchmark settings: bounds shorter than a deployment wants.
        whole(RequestTimeoutKey, When::OnReload, RequestTimeout, 1, Milliseconds),
        whole(IdleTimeoutKey, When::OnReload, IdleTimeout, 1, Milliseconds),
        whole(AuthFailureLimitKey, When::OnReload, AuthFailures, 1, Counts),
        whole(AuthWindowKey, When::OnReload, AuthWindow, 1, Milliseconds),
        whole(ApplicationRateLimitKey, When::OnReload, ApplicationRate, 1, Counts),
        whole(SignOnFailureLimitKey, When::OnReload, SignOnFailures, 1, Counts),
        whole(SignOnTokenFailureLimitKey, When::OnReload, SignOnTokenFailures, 1, Counts),
        // The pool's threads are made at start, and so is what they share.
        whole(HashingSlotsKey, When::AtStart, HashingSlots, 1, 64),
        whole(GroupCommitMostKey, When::AtStart, BatchMost, 1, 1024),
        whole(GroupCommitWaitKey, When::AtStart, BatchWait, 1, 1'000'000),
        // A test and benchmark setting: passwords hashed at the least cost libsodium takes.
        hashCost(),
        requestLog(),
        whole(SummaryIntervalKey, When::OnReload, SummaryInterval, 0, 86'400),
        hostList(),
        text(CallbackCaFileKey, QString(), When::AtStart, CallbackCaFile),
        whole(CallbackInFlightKey, When::AtStart, CallbackPerUrl, 1, 1024),
        text(CallbackKeyFileKey, QString(), When::AtStart, CallbackKeyFile),
        whole(CallbackTimeoutKey, When::AtStart, CallbackTimeout, 1, 60'000),
        whole(CallbackRetryKey, When::AtStart, CallbackRetry, 1, 60'000),
    };
    return table;
}

const Setting *byOption(const QString &option)
{
    if (option.isEmpty())
        return nullptr;
    const QList<Setting> &table = settings();
    const auto found = std::ranges::find(table, option, &Setting::option);
    return found == table.cend() ? nullptr : &*found;
}

// A value with commas comes back from the file as a list of its pieces.
QString textOf(const QSettings &file, const QString &key)
{
    const QVariant value = file.value(key);
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(u',');
    return value.toString();
}

// The links' sections as read: each link's name, its keys and values in their order,
// and its password.
QByteArray linksRead(const QSettings &file, const LinkConfig &links)
{
    QByteArray read;
    const QStringList keys = file.allKeys();
    for (const LinkSettings &link : links.links) {
        const QString group = LinkSectionPrefix + link.name + u'/';
        read += link.name.toUtf8() + '\n';
        for (const QString &key : keys) {
            if (key.startsWith(group))
                read += (key + u'=' + textOf(file, key)).toUtf8() + '\n';
        }
        read += link.password + '\n';
    }
    return read;
}

// A key a person may have meant, for one with a dash or a capital for an underscore.
QString meant(const QString &key, const QStringList &known)
{
    QString guess = key.toLower();
    guess.replace(u'-', u'_');
    return guess != key && known.contains(guess) ? guess : QString();
}

} // namespace

ConfigFile::ConfigFile(const QString &path)
{
    QFile file(path);
    const bool there = file.exists();
    m_readable = (!there || file.open(QIODevice::ReadOnly)) && m_copy.open();
    if (m_readable && there) {
        const QByteArray text = file.readAll();
        m_readable = m_copy.write(text) == text.size() && m_copy.flush();
    }
    m_settings = std::make_unique<QSettings>(m_copy.fileName(), QSettings::IniFormat);
    m_readable = m_readable && m_settings->status() == QSettings::NoError;
}

QStringList ServeConfig::fixedChangedIn(const ServeConfig &next) const
{
    QStringList changed;
    for (const Setting &setting : settings()) {
        if (setting.when == When::AtStart && !setting.same(*this, next))
            changed.append(setting.key);
    }
    return changed;
}

QString unknownSetting(const QSettings &file, const QString &fileName)
{
    QStringList top;
    for (const Setting &setting : settings())
        top.append(setting.key);
    QStringList keys = file.allKeys();
    keys.sort();
    for (const QString &path : std::as_const(keys)) {
        const QString section = path.section(u'/', 0, -2);
        const QString key = path.section(u'/', -1);
        if (section.isEmpty()) {
            if (!top.contains(key))
                return unknownKey(fileName, key, QString(), meant(key, top));
            continue;
        }
        if (section == SmppServerSection) {
            if (!smppServerKeys().contains(key))
                return unknownKey(fileName, key, section, meant(key, smppServerKeys()));
            continue;
        }
        const bool link = section.startsWith(LinkSectionPrefix)
            && section.size() > LinkSectionPrefix.size() && !section.contains(u'/');
        if (!link)
            return unknownSection(fileName, section);
        if (!linkSettingKeys().contains(key))
            return unknownKey(fileName, key, section, meant(key, linkSettingKeys()));
    }
    return {};
}

ServeConfigRead readServeConfig(const QHash<QString, QString> &given, const QSettings &file)
{
    ServeConfig config;
    for (const Setting &setting : settings()) {
        const bool onCommandLine = given.contains(setting.key);
        if (!onCommandLine && !file.contains(setting.key))
            continue;
        const QString text
            = onCommandLine ? given.value(setting.key) : textOf(file, setting.key).trimmed();
        if (!setting.read(text, config)) {
            const QString named = onCommandLine ? u"--"_s + setting.option : setting.key;
            return { std::nullopt, takes(named, setting.allowed) };
        }
    }
    if (config.tlsCertificate.isEmpty() != config.tlsKey.isEmpty())
        return { std::nullopt, tlsNeedsBoth() };
    LinkConfigRead links = readLinkConfig(file);
    if (!links.config)
        return { std::nullopt, links.error };
    config.links = std::move(*links.config);
    config.linksRead = linksRead(file, config.links);
    SmppServerRead smpp = readSmppServerSettings(file);
    if (!smpp.error.isEmpty())
        return { std::nullopt, smpp.error };
    config.smppServer = smpp.settings;
    return { std::move(config), QString() };
}

QString checkOption(const QString &option, const QString &text)
{
    const Setting *setting = byOption(option);
    if (!setting)
        return {};
    ServeConfig scratch;
    return setting->read(text, scratch) ? QString() : takes(u"--"_s + option, setting->allowed);
}

QString keyOfOption(const QString &option)
{
    const Setting *setting = byOption(option);
    return setting ? setting->key : QString();
}
