// quillet-gatewayd: parses the command line, then reads the config file and either
// serves the gateway API until SIGTERM or SIGINT, or works on the tokens or the store
// and exits.
//
//   arguments ── parseServiceCommand ── ServiceCommand ── run: config file, store ── action
//                                    └─ usage error (exit 2)        └─ failure (exit 1)

#include "gateway/local/storelocation.h"
#include "service/gatewayservice.h"
#include "service/link/linkservice.h"
#include "service/metricslistener.h"
#include "service/servicecommand.h"
#include "service/servicemetrics.h"
#include "service/servicestore.h"
#include "service/servicetexts.h"

#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QSocketNotifier>
#include <QSslCertificate>
#include <QSslCipher>
#include <QSslKey>
#include <QTimeZone>

#include <csignal>
#include <cstdio>
#include <sys/signalfd.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

using namespace ServiceTexts;

enum ExitCode { Done = 0, Failed = 1, Usage = 2 };

constexpr auto DefaultConfig = "/etc/quillet/gatewayd.conf";
constexpr auto DefaultStore = "/var/lib/quillet/gateway.sqlite3";
// Read as a setting's text is, from the command line or the config file.
constexpr auto DefaultListen = "127.0.0.1";
constexpr auto DefaultPort = "8440";
constexpr auto DefaultWorkers = "4";
constexpr auto DefaultMetricsListen = "127.0.0.1";

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

int usageError(const QString &why)
{
    print(stderr, ServiceTexts::usage(why));
    return Usage;
}

int failed(const QString &why)
{
    print(stderr, failure(why));
    return Failed;
}

// The config file and what the command line says over it.
class Settings {
public:
    explicit Settings(const QString &file)
        : m_config(file, QSettings::IniFormat)
    {
    }

    bool readable() const { return m_config.status() == QSettings::NoError; }
    const QSettings &file() const { return m_config; }
    bool contains(const QString &key) const { return m_config.contains(key); }
    // The config file's value, else `fallback`.
    QString value(const QString &key, const QString &fallback = {}) const
    {
        return m_config.value(key, fallback).toString();
    }
    // The command line's value if it gave one (even an empty one), else the config
    // file's, else `fallback`.
    QString value(const std::optional<QString> &given, const QString &key,
                  const QString &fallback) const
    {
        return given ? *given : value(key, fallback);
    }

private:
    QSettings m_config;
};

int issueToken(ServiceStore &service, const ServiceCommand::TokenIssue &command)
{
    const Result<std::optional<QString>> issued = service.issue(command.name, command.role);
    if (issued.failed())
        return failed(issued.status().description());
    if (!*issued)
        return failed(tokenNameTaken(command.name));
    print(stderr, tokenIssued(command.name, Wire::roleName(command.role)));
    print(stdout, **issued);
    return Done;
}

int revokeToken(ServiceStore &service, const ServiceCommand::TokenRevoke &command)
{
    const Result<bool> revoked = service.revoke(command.name);
    if (revoked.failed())
        return failed(revoked.status().description());
    if (!*revoked)
        return failed(noSuchToken(command.name));
    print(stdout, tokenRevoked(command.name));
    return Done;
}

int listTokens(ServiceStore &service)
{
    QList<ServiceStore::Listed> list;
    if (const Status s = service.list(list); s.failed())
        return failed(s.description());
    const auto time = [](qint64 ms) {
        return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODate);
    };
    for (const ServiceStore::Listed &t : list) {
        print(stdout,
              tokenLine(t.name, Wire::roleName(t.role), time(t.issuedAtMs),
                        t.revokedAtMs ? std::optional(time(*t.revokedAtMs)) : std::nullopt));
    }
    return Done;
}

// `action`: one of the token actions.
int tokens(const ServiceCommand::Action &action, const StoreLocation &store)
{
    std::unique_ptr<ServiceStore> service;
    if (const Status s = ServiceStore::open(store, service); s.failed())
        return failed(s.description());
    if (const auto *issue = std::get_if<ServiceCommand::TokenIssue>(&action))
        return issueToken(*service, *issue);
    if (const auto *revoke = std::get_if<ServiceCommand::TokenRevoke>(&action))
        return revokeToken(*service, *revoke);
    return listTokens(*service);
}

int initialize(const StoreLocation &store)
{
    if (const Status s = ServiceStore::initialize(store); s.failed())
        return failed(s.description());
    print(stdout, initialized(store.describe()));
    return Done;
}

// The TLS 1.3 suites, and those of TLS 1.2 with an ephemeral elliptic-curve key exchange
// and an AEAD cipher: a key stolen later opens no recorded session, and no CBC
// construction is left to attack. Earlier versions of TLS share none of them. (Finite-field
// DHE is left out: Qt hands OpenSSL no parameters for it here, and clients that have it
// have ECDHE too.)
QList<QSslCipher> forwardSecretCiphers()
{
    QList<QSslCipher> kept;
    const QList<QSslCipher> supported = QSslConfiguration::supportedCiphers();
    for (const QSslCipher &cipher : supported) {
        const QString encryption = cipher.encryptionMethod();
        const bool aead
            = encryption.startsWith(u"AESGCM"_s) || encryption.startsWith(u"CHACHA20"_s);
        if (cipher.protocol() == QSsl::TlsV1_3 || (cipher.keyExchangeMethod() == u"ECDH"_s && aead))
            kept.append(cipher);
    }
    return kept;
}

bool loadTls(const QString &certificateFile, const QString &keyFile,
             std::optional<QSslConfiguration> &tls, QString &why)
{
    QFile certificate(certificateFile);
    QFile key(keyFile);
    if (!certificate.open(QIODevice::ReadOnly)) {
        why = ServiceTexts::cannotReadTls(certificateFile, certificate.errorString());
        return false;
    }
    if (!key.open(QIODevice::ReadOnly)) {
        why = ServiceTexts::cannotReadTls(keyFile, key.errorString());
        return false;
    }
    const QList<QSslCertificate> chain = QSslCertificate::fromDevice(&certificate, QSsl::Pem);
    QSslKey privateKey(&key, QSsl::Rsa, QSsl::Pem);
    if (privateKey.isNull()) {
        key.seek(0);
        privateKey = QSslKey(&key, QSsl::Ec, QSsl::Pem);
    }
    if (chain.isEmpty() || privateKey.isNull()) {
        why = ServiceTexts::cannotReadTls(chain.isEmpty() ? certificateFile : keyFile,
                                          ServiceTexts::notPem());
        return false;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(privateKey);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.setCiphers(forwardSecretCiphers());
    tls = configuration;
    return true;
}

// SIGTERM and SIGINT arrive as readable bytes on a signalfd, in the event loop.
int signalDescriptor()
{
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    return signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
}

// Each limit is a whole number in its range: a negative, zero or absurd value is a usage
// error, never a silent value. Empty when they all are.
QString readLimits(const Settings &settings, GatewayService::Options &options)
{
    QString bad;
    const auto limit = [&](const QString &key, int &value, int most) {
        if (!settings.contains(key) || !bad.isEmpty())
            return;
        bool whole = false;
        const int read = settings.value(key).toInt(&whole);
        if (!whole || read < 1 || read > most)
            bad = badLimit(key, most);
        else
            value = read;
    };
    constexpr int Counts = 1'000'000;
    constexpr int Milliseconds = 86'400'000;
    limit(MaxConnectionsKey, options.limits.maxConnections, Counts);
    limit(MaxConnectionsPerPeerKey, options.limits.maxPerPeer, Counts);
    // Test and benchmark settings: bounds shorter than a deployment wants.
    limit(RequestTimeoutKey, options.limits.requestTimeoutMs, Milliseconds);
    limit(IdleTimeoutKey, options.limits.idleTimeoutMs, Milliseconds);
    limit(AuthFailureLimitKey, options.authFailureLimit, Counts);
    limit(AuthWindowKey, options.authWindowMs, Milliseconds);
    limit(SignOnFailureLimitKey, options.signOnFailureLimit, Counts);
    limit(SignOnTokenFailureLimitKey, options.signOnTokenFailureLimit, Counts);
    limit(HashingSlotsKey, options.hashingSlots, 64);
    limit(GroupCommitMostKey, options.batchMost, 1024);
    limit(GroupCommitWaitKey, options.batchWaitUs, 1'000'000);
    // A test and benchmark setting: passwords hashed at the least cost libsodium takes.
    if (settings.contains(PasswordHashCostKey) && bad.isEmpty()) {
        const QString cost = settings.value(PasswordHashCostKey);
        if (cost == MinimumCost)
            options.hashCost = PasswordHasher::fastest();
        else if (cost != InteractiveCost)
            bad = badHashCost();
    }
    return bad;
}

// The command line's setting, else the config file's (or the default) read the same way.
template<typename T>
std::optional<T> serveSetting(const std::optional<T> &given, const Settings &settings,
                              const QString &key, const char *fallback,
                              std::optional<T> (*read)(const QString &))
{
    return given ? given : read(settings.value(key, QString::fromLatin1(fallback)));
}

int serve(const ServiceCommand::Serve &command, const Settings &settings,
          const StoreLocation &store, int signals)
{
    using Serve = ServiceCommand::Serve;
    GatewayService::Options options;
    options.store = store;
    const std::optional<int> workers
        = serveSetting(command.workers, settings, WorkersKey, DefaultWorkers, &Serve::readWorkers);
    if (!workers)
        return usageError(badWorkers());
    options.workers = *workers;
    const std::optional<quint16> port
        = serveSetting(command.port, settings, PortKey, DefaultPort, &Serve::readPort);
    if (!port)
        return usageError(badPort());
    const std::optional<QHostAddress> address
        = serveSetting(command.listen, settings, ListenKey, DefaultListen, &Serve::readListen);
    if (!address)
        return usageError(badListen());
    const QString certificate
        = settings.value(command.tlsCertificate, TlsCertificateKey, QString());
    const QString key = settings.value(command.tlsKey, TlsKeyKey, QString());
    if (certificate.isEmpty() != key.isEmpty())
        return usageError(tlsNeedsBoth());
    QString why;
    if (!certificate.isEmpty() && !loadTls(certificate, key, options.tls, why))
        return failed(why);
    if (const QString bad = readLimits(settings, options); !bad.isEmpty())
        return usageError(bad);
    // The scrapers' port: none unless a port is given.
    const QString metricsPortText = settings.value(command.metricsPort, MetricsPortKey, QString());
    const std::optional<quint16> metricsPort
        = metricsPortText.isEmpty() ? std::nullopt : Serve::readPort(metricsPortText);
    if (!metricsPortText.isEmpty() && !metricsPort)
        return usageError(badMetricsPort());
    const std::optional<QHostAddress> metricsAddress
        = serveSetting(command.metricsListen, settings, MetricsListenKey, DefaultMetricsListen,
                       &Serve::readListen);
    if (!metricsAddress)
        return usageError(badMetricsListen());
    const LinkConfigRead links = readLinkConfig(settings.file());
    if (!links.config)
        return usageError(links.error);
    ServiceMetrics metrics;
    options.metrics = &metrics;
    // Without a link every message goes to the simulated handsets, as it always has.
    std::unique_ptr<LinkService> linkService;
    if (!links.config->links.isEmpty()) {
        linkService = std::make_unique<LinkService>(
            *links.config, store, options.hashCost,
            [](const QString &line) { print(stderr, line); }, &metrics);
        if (const Status s = linkService->start(); s.failed())
            return failed(s.description());
        LinkService *running = linkService.get();
        options.route = [running](const QString &phone) { return running->route(phone); };
        options.queued = [running] { running->wake(); };
    }

    GatewayService service(options);
    quint16 bound = 0;
    if (const Status s = service.start(*address, *port, bound); s.failed())
        return failed(s.description());
    print(stderr, listening(address->toString(), bound, options.tls.has_value()));
    std::unique_ptr<MetricsListener> scrapers;
    if (metricsPort) {
        scrapers = std::make_unique<MetricsListener>(metrics, options.limits);
        quint16 metricsBound = 0;
        if (const Status s = scrapers->start(*metricsAddress, *metricsPort, metricsBound);
            s.failed())
            return failed(s.description());
        print(stderr, servingMetrics(metricsAddress->toString(), metricsBound));
    }

    QSocketNotifier notifier(signals, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, QCoreApplication::instance(), [&] {
        signalfd_siginfo info;
        while (::read(signals, &info, sizeof info) == sizeof info) { }
        notifier.setEnabled(false);
        print(stderr, stoppingOnSignal());
        service.stop();
    });
    QObject::connect(&service, &GatewayService::stopped, QCoreApplication::instance(),
                     &QCoreApplication::quit);
    return QCoreApplication::exec();
}

// Reads the config file and the store's location, then does what `command` says.
int run(const ServiceCommand &command, int signals)
{
    if (std::holds_alternative<ServiceCommand::Help>(command.action)) {
        print(stdout, help());
        return Done;
    }
    const QString configFile = command.configFile.value_or(QString::fromLatin1(DefaultConfig));
    if (command.configFile && !QFile::exists(configFile))
        return failed(configMissing(configFile));
    const Settings settings(configFile);
    if (!settings.readable())
        return failed(configUnreadable(configFile));
    StoreLocation store;
    if (const Status s = StoreLocation::parse(
            settings.value(command.store, StoreKey, QString::fromLatin1(DefaultStore)), store);
        s.failed())
        return failed(s.description());

    if (const auto *serving = std::get_if<ServiceCommand::Serve>(&command.action))
        return serve(*serving, settings, store, signals);
    if (std::holds_alternative<ServiceCommand::Init>(command.action))
        return initialize(store);
    return tokens(command.action, store);
}

} // namespace

int main(int argc, char *argv[])
{
    // Blocked before any thread starts, so every thread inherits the mask.
    const int signals = signalDescriptor();
    QCoreApplication app(argc, argv);
    const ParsedServiceCommand parsed = parseServiceCommand(QCoreApplication::arguments());
    if (!parsed.command)
        return usageError(parsed.usageError);
    return run(*parsed.command, signals);
}
