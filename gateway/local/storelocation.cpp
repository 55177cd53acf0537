#include "gateway/local/storelocation.h"

#include "gateway/local/localtexts.h"
#include "gateway/local/store.h"

#include <QDir>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QUrl>
#include <QUrlQuery>

using namespace Qt::StringLiterals;

namespace {

const QString SslmodeKey = u"sslmode"_s;
const QString ServiceKey = u"service"_s;
const QString ConnectTimeoutKey = u"connect_timeout"_s;
const QStringList Sslmodes
    = { u"disable"_s, u"allow"_s, u"prefer"_s, u"require"_s, u"verify-ca"_s, u"verify-full"_s };
constexpr int MaxConnectTimeout = 3600;

bool hasControlCharacter(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(),
                       [](QChar c) { return c.category() == QChar::Other_Control; });
}

// Control characters as \uXXXX, so a report never carries one to a terminal.
QString printable(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (QChar c : text) {
        if (c.category() == QChar::Other_Control)
            shown += u"\\u"_s + QString::number(c.unicode(), 16).rightJustified(4, u'0');
        else
            shown += c;
    }
    return shown;
}

Status refuse(const QString &url, const QString &why)
{
    return Status::failure(StoreLocation::BadLocation,
                           LocalTexts::badStoreUrl(printable(url), why));
}

Status refusePassword()
{
    return Status::failure(StoreLocation::BadLocation, LocalTexts::passwordInStoreUrl());
}

Status parsePostgresql(const QString &text, StoreLocation &location)
{
    // Checked on the raw text before anything else, so that no report repeats a
    // password, not even one in a URL that does not parse.
    const QString afterScheme = text.mid(text.indexOf(u"//"_s) + 2);
    const QString authority = afterScheme.left(afterScheme.indexOf(QRegularExpression(u"[/?#]"_s)));
    const qsizetype at = authority.lastIndexOf(u'@');
    if (at >= 0 && authority.left(at).contains(u':'))
        return refusePassword();
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        return refuse(text, LocalTexts::urlSyntax());
    const QUrlQuery query(url);
    for (const auto &[key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (key == u"password"_s)
            return refusePassword();
    }
    if (url.hasFragment())
        return refuse(text, LocalTexts::urlFragment());

    StoreLocation parsed;
    parsed.engine = StoreLocation::Engine::Postgresql;
    parsed.user = url.userName(QUrl::FullyDecoded);
    parsed.host = url.host(QUrl::FullyDecoded);
    if (url.port() == 0)
        return refuse(text, LocalTexts::badPort(u"0"_s));
    parsed.port = url.port(0);
    QString database = url.path(QUrl::FullyDecoded);
    if (database.startsWith(u'/'))
        database.remove(0, 1);
    if (database.contains(u'/'))
        return refuse(text, LocalTexts::badDatabaseName(printable(database)));
    parsed.database = database;
    for (const QString *part : { &parsed.user, &parsed.host, &parsed.database }) {
        if (hasControlCharacter(*part))
            return refuse(text, LocalTexts::controlCharacter());
    }

    QStringList seen;
    for (const auto &[key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (seen.contains(key))
            return refuse(text, LocalTexts::repeatedParameter(printable(key)));
        seen.append(key);
        if (key == SslmodeKey) {
            if (!Sslmodes.contains(value))
                return refuse(text, LocalTexts::badSslmode(printable(value), Sslmodes));
            parsed.sslmode = value;
        } else if (key == ServiceKey) {
            static const QRegularExpression name(u"^[A-Za-z0-9_.-]{1,63}$"_s);
            if (!name.match(value).hasMatch())
                return refuse(text, LocalTexts::badServiceName(printable(value)));
            parsed.service = value;
        } else if (key == ConnectTimeoutKey) {
            bool numeric = false;
            const int seconds = value.toInt(&numeric);
            if (!numeric || seconds < 1 || seconds > MaxConnectTimeout)
                return refuse(text,
                              LocalTexts::badConnectTimeout(printable(value), MaxConnectTimeout));
            parsed.connectTimeout = seconds;
        } else {
            return refuse(text,
                          LocalTexts::unknownParameter(
                              printable(key), { SslmodeKey, ServiceKey, ConnectTimeoutKey }));
        }
    }
    location = std::move(parsed);
    return Status::ok();
}

} // namespace

Status StoreLocation::parse(const QString &url, StoreLocation &location)
{
    if (url.isEmpty())
        return refuse(url, LocalTexts::emptyStoreUrl());
    static const QRegularExpression schemePattern(u"^([A-Za-z][A-Za-z0-9+.-]*):"_s);
    const QRegularExpressionMatch scheme = schemePattern.match(url);
    if (!scheme.hasMatch()) {
        location = StoreLocation();
        location.path = url;
        return Status::ok();
    }
    const QString name = scheme.captured(1).toLower();
    if (name == u"sqlite"_s) {
        const QString path = url.mid(scheme.capturedLength());
        if (path.isEmpty())
            return refuse(url, LocalTexts::noSqlitePath());
        if (hasControlCharacter(path))
            return refuse(url, LocalTexts::controlCharacter());
        location = StoreLocation();
        location.path = path;
        return Status::ok();
    }
    if (name == u"postgresql"_s || name == u"postgres"_s) {
        if (!url.mid(scheme.capturedLength()).startsWith(u"//"_s))
            return refuse(url, LocalTexts::postgresqlNeedsSlashes());
        return parsePostgresql(url, location);
    }
    // The scheme alone is named: the rest may hold something secret.
    return Status::failure(BadLocation,
                           LocalTexts::unknownStoreScheme(printable(scheme.captured(1))));
}

Status StoreLocation::configured(StoreLocation &location)
{
    const QString fromEnvironment = qEnvironmentVariable(qPrintable(EnvironmentVariable));
    if (!fromEnvironment.isEmpty()) {
        const Status parsed = parse(fromEnvironment, location);
        if (parsed.failed())
            return Status::failure(
                parsed.code(), LocalTexts::inSetting(EnvironmentVariable, parsed.description()));
        return Status::ok();
    }
    const QString file
        = QStandardPaths::locate(QStandardPaths::GenericConfigLocation, SettingsFile);
    if (!file.isEmpty()) {
        const QSettings settings(file, QSettings::IniFormat);
        if (settings.status() != QSettings::NoError)
            return Status::failure(BadLocation, LocalTexts::unreadableSettings(file));
        const QVariant value = settings.value(SettingsKey);
        // An unquoted comma makes a list of the value; the URL is all of it.
        const QString url = value.metaType() == QMetaType::fromType<QStringList>()
            ? value.toStringList().join(u',')
            : value.toString();
        if (!url.isEmpty()) {
            const Status parsed = parse(url, location);
            if (parsed.failed())
                return Status::failure(parsed.code(),
                                       LocalTexts::inSetting(QDir::toNativeSeparators(file)
                                                                 + u" ("_s + SettingsKey + u')',
                                                             parsed.description()));
            return Status::ok();
        }
    }
    location = StoreLocation();
    location.path = Store::defaultPath();
    return Status::ok();
}

QString StoreLocation::describe() const
{
    if (engine == Engine::Sqlite)
        return QDir::toNativeSeparators(path);
    QString text = u"postgresql://"_s;
    if (!user.isEmpty())
        text += user + u'@';
    text += host.contains(u':') ? u'[' + host + u']' : host;
    if (port != 0)
        text += u':' + QString::number(port);
    text += u'/' + database;
    if (!service.isEmpty())
        text += u"?service="_s + service;
    return printable(text);
}

QString StoreLocation::connectOptions() const
{
    // A server that stops answering is noticed by the keepalives within about half a
    // minute, instead of a call that waits for ever.
    QStringList options = { u"connect_timeout="_s + QString::number(connectTimeout),
                            u"application_name=quillet-gateway"_s,
                            u"keepalives=1"_s,
                            u"keepalives_idle=10"_s,
                            u"keepalives_interval=5"_s,
                            u"keepalives_count=3"_s };
    if (!sslmode.isEmpty())
        options.append(SslmodeKey + u'=' + sslmode);
    if (!service.isEmpty())
        options.append(ServiceKey + u'=' + service);
    return options.join(u';');
}
