// quillet-gatewayd: parses the command line and the config file, then either serves
// the gateway API until SIGTERM or SIGINT, or works on the tokens and exits.

#include "gatewayservice.h"
#include "servicestore.h"
#include "servicetexts.h"
#include "storelocation.h"

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

enum ExitCode { Done = 0, Failed = 1, Usage = 2 };

constexpr auto DefaultConfig = "/etc/quillet/gatewayd.conf";
constexpr auto DefaultStore = "/var/lib/quillet/gateway.sqlite3";

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

int usage(const QString &why)
{
    print(stderr, ServiceTexts::usage(why));
    return Usage;
}

int failed(const QString &why)
{
    print(stderr, u"quillet-gatewayd: "_s + why);
    return Failed;
}

struct Arguments {
    QHash<QString, QString> options;
    QStringList words;
};

// "--name value" pairs and plain words; false with `why` for anything else.
bool parse(const QStringList &arguments, Arguments &out, QString &why)
{
    static const QStringList valued
        = { u"--config"_s,  u"--listen"_s,  u"--port"_s, u"--store"_s, u"--tls-certificate"_s,
            u"--tls-key"_s, u"--workers"_s, u"--role"_s, u"--name"_s };
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        if (!a.startsWith(u"--"_s)) {
            out.words.append(a);
            continue;
        }
        if (a == u"--help"_s) {
            out.options.insert(a, QString());
            continue;
        }
        if (!valued.contains(a)) {
            why = u"unknown option %1"_s.arg(a.left(64));
            return false;
        }
        if (i + 1 >= arguments.size() || out.options.contains(a)) {
            why = u"%1 needs one value"_s.arg(a);
            return false;
        }
        out.options.insert(a, arguments.at(++i));
    }
    return true;
}

bool acceptableName(const QString &name)
{
    return !name.isEmpty() && name.size() <= 64
        && std::all_of(name.cbegin(), name.cend(), [](QChar c) { return c.isPrint(); })
        && QStringView(name).isValidUtf16();
}

int tokens(const Arguments &args, const StoreLocation &store)
{
    const QString action = args.words.value(1);
    const QString name = args.options.value(u"--name"_s);
    if (args.words.size() != 2
        || (action != u"issue"_s && action != u"revoke"_s && action != u"list"_s))
        return usage(u"token issue, token revoke or token list"_s);
    if (action != u"list"_s && !acceptableName(name))
        return usage(u"--name needs 1 to 64 printable characters"_s);
    std::unique_ptr<ServiceStore> service;
    if (const Status s = ServiceStore::open(store, service); s.failed())
        return failed(s.description());
    if (action == u"issue"_s) {
        const QString role = args.options.value(u"--role"_s);
        if (role != u"console"_s && role != u"operator"_s)
            return usage(u"--role must be console or operator"_s);
        QString token;
        bool done = false;
        if (const Status s = service->issue(
                name, role == u"console"_s ? Wire::Role::Console : Wire::Role::Operator, token,
                done);
            s.failed())
            return failed(s.description());
        if (!done)
            return failed(ServiceTexts::tokenNameTaken(name));
        print(stderr, ServiceTexts::tokenIssued(name, role));
        print(stdout, token);
        return Done;
    }
    if (action == u"revoke"_s) {
        bool done = false;
        if (const Status s = service->revoke(name, done); s.failed())
            return failed(s.description());
        if (!done)
            return failed(ServiceTexts::noSuchToken(name));
        print(stdout, ServiceTexts::tokenRevoked(name));
        return Done;
    }
    QList<ServiceStore::Listed> list;
    if (const Status s = service->list(list); s.failed())
        return failed(s.description());
    for (const ServiceStore::Listed &t : list) {
        const auto time = [](qint64 ms) {
            return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODate);
        };
        print(stdout,
              u"%1\t%2\t%3\t%4"_s.arg(t.name, Wire::roleName(t.role), time(t.issuedAtMs),
                                      t.revokedAtMs ? u"revoked "_s + time(*t.revokedAtMs)
                                                    : u"active"_s));
    }
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
                                          u"not a PEM certificate or private key"_s);
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

} // namespace

int main(int argc, char *argv[])
{
    // Blocked before any thread starts, so every thread inherits the mask.
    const int signals = signalDescriptor();
    QCoreApplication app(argc, argv);
    Arguments args;
    QString why;
    if (!parse(QCoreApplication::arguments(), args, why))
        return usage(why);
    if (args.options.contains(u"--help"_s)) {
        print(stdout, ServiceTexts::help());
        return Done;
    }

    const QString configFile
        = args.options.value(u"--config"_s, QString::fromLatin1(DefaultConfig));
    const bool configGiven = args.options.contains(u"--config"_s);
    if (configGiven && !QFile::exists(configFile))
        return failed(ServiceTexts::badConfig(configFile, u"no such file"_s));
    QSettings config(configFile, QSettings::IniFormat);
    if (config.status() != QSettings::NoError)
        return failed(ServiceTexts::badConfig(configFile, u"unreadable"_s));
    const auto setting = [&](const QString &option, const QString &key, const QString &fallback) {
        return args.options.value(option, config.value(key, fallback).toString());
    };
    StoreLocation store;
    if (const Status s = StoreLocation::parse(
            setting(u"--store"_s, u"store"_s, QString::fromLatin1(DefaultStore)), store);
        s.failed())
        return failed(s.description());

    if (args.words.value(0) == u"token"_s)
        return tokens(args, store);
    if (args.words.value(0) == u"init"_s) {
        if (args.words.size() != 1)
            return usage(u"init takes no words"_s);
        if (const Status s = ServiceStore::initialize(store); s.failed())
            return failed(s.description());
        print(stdout, ServiceTexts::initialized(store.describe()));
        return Done;
    }
    if (!args.words.isEmpty())
        return usage(u"unknown command %1"_s.arg(args.words.first().left(64)));

    GatewayService::Options options;
    options.store = store;
    bool ok = false;
    options.workers = setting(u"--workers"_s, u"workers"_s, u"4"_s).toInt(&ok);
    if (!ok || options.workers < 1 || options.workers > 64)
        return usage(u"--workers takes 1 to 64"_s);
    const quint16 port = setting(u"--port"_s, u"port"_s, u"8440"_s).toUShort(&ok);
    if (!ok)
        return usage(u"--port takes 0 to 65535"_s);
    const QHostAddress address(setting(u"--listen"_s, u"listen"_s, u"127.0.0.1"_s));
    if (address.isNull())
        return usage(u"--listen takes an IP address"_s);
    const QString certificate = setting(u"--tls-certificate"_s, u"tls_certificate"_s, QString());
    const QString key = setting(u"--tls-key"_s, u"tls_key"_s, QString());
    if (certificate.isEmpty() != key.isEmpty())
        return usage(u"TLS needs both a certificate and a key"_s);
    if (!certificate.isEmpty() && !loadTls(certificate, key, options.tls, why))
        return failed(why);
    // Each limit is a whole number in its range: a negative, zero or absurd value is a
    // usage error, never a silent value.
    QString badLimit;
    const auto limit = [&](const QString &name, int &value, int most) {
        if (!config.contains(name) || !badLimit.isEmpty())
            return;
        bool whole = false;
        const int read = config.value(name).toString().toInt(&whole);
        if (!whole || read < 1 || read > most)
            badLimit = u"%1 takes 1 to %2"_s.arg(name).arg(most);
        else
            value = read;
    };
    constexpr int Counts = 1'000'000;
    constexpr int Milliseconds = 86'400'000;
    limit(u"max_connections"_s, options.limits.maxConnections, Counts);
    limit(u"max_connections_per_peer"_s, options.limits.maxPerPeer, Counts);
    // Test and benchmark settings: bounds shorter than a deployment wants.
    limit(u"request_timeout_ms"_s, options.limits.requestTimeoutMs, Milliseconds);
    limit(u"idle_timeout_ms"_s, options.limits.idleTimeoutMs, Milliseconds);
    limit(u"auth_failure_limit"_s, options.authFailureLimit, Counts);
    limit(u"auth_window_ms"_s, options.authWindowMs, Milliseconds);
    limit(u"signon_failure_limit"_s, options.signOnFailureLimit, Counts);
    limit(u"signon_token_failure_limit"_s, options.signOnTokenFailureLimit, Counts);
    limit(u"hashing_slots"_s, options.hashingSlots, 64);
    // A test and benchmark setting: passwords hashed at the least cost libsodium takes.
    if (config.contains(u"password_hash_cost"_s) && badLimit.isEmpty()) {
        const QString cost = config.value(u"password_hash_cost"_s).toString();
        if (cost == u"minimum"_s)
            options.hashCost = PasswordHasher::fastest();
        else if (cost != u"interactive"_s)
            badLimit = u"password_hash_cost takes interactive or minimum"_s;
    }
    if (!badLimit.isEmpty())
        return usage(badLimit);

    GatewayService service(options);
    quint16 bound = 0;
    if (const Status s = service.start(address, port, bound); s.failed())
        return failed(s.description());
    print(stderr, ServiceTexts::listening(address.toString(), bound, options.tls.has_value()));

    QSocketNotifier notifier(signals, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
        signalfd_siginfo info;
        while (::read(signals, &info, sizeof info) == sizeof info) { }
        notifier.setEnabled(false);
        print(stderr, ServiceTexts::stoppingOnSignal());
        service.stop();
    });
    QObject::connect(&service, &GatewayService::stopped, &app, &QCoreApplication::quit);
    return app.exec();
}
