// quillet-gatewayd: parses the command line, then reads the config file and either
// serves the gateway API until SIGTERM or SIGINT (reloading the config file on SIGHUP),
// or works on the tokens or the store and exits.
//
//   arguments ── parseServiceCommand ── ServiceCommand ── run: config file (every key
//             │                                          known), store ── action
//             └─ usage error (exit 2)          serve: readServeConfig ── ServeConfig ──
//                                                     ServiceProcess ── signals
//                                              failure (exit 1)

#include "gateway/local/storelocation.h"
#include "service/serveconfig.h"
#include "service/servicecommand.h"
#include "service/serviceprocess.h"
#include "service/servicestore.h"
#include "service/servicetexts.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

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

int issueToken(ServiceStore &service, const ServiceCommand::TokenIssue &command)
{
    const Result<ServiceStore::Issued> issued
        = service.issue(command.name, command.role, command.accountNo);
    if (issued.failed())
        return failed(issued.status().description());
    using Refused = ServiceStore::Issued::Refused;
    if (issued->refused == Refused::NameTaken)
        return failed(tokenNameTaken(command.name));
    if (issued->refused == Refused::NoSuchAccount)
        return failed(noSuchAccount(command.accountNo));
    print(stderr, tokenIssued(command.name, Wire::roleName(command.role)));
    print(stdout, issued->secret);
    return Done;
}

int revokeToken(ServiceStore &service, const ServiceCommand::TokenRevoke &command)
{
    const Result<ServiceStore::Revoked> revoked = service.revoke(command.name);
    if (revoked.failed())
        return failed(revoked.status().description());
    if (*revoked != ServiceStore::Revoked::Done)
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
              tokenLine(t.name, Wire::roleName(t.role), t.accountNo, time(t.issuedAtMs),
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

// SIGTERM, SIGINT and SIGHUP arrive as readable bytes on a signalfd, in the event loop.
int signalDescriptor()
{
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    return signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
}

// The config file as `serve` reads it, at start and on each SIGHUP: every key known, every
// value read into a ServeConfig.
// `named`: whether the command line named the file, which must then exist.
ServeConfigRead readConfig(const QString &configFile, bool named,
                           const ServiceCommand::Serve &command)
{
    if (named && !QFile::exists(configFile))
        return { std::nullopt, configMissing(configFile) };
    const ConfigFile file(configFile);
    if (!file.readable())
        return { std::nullopt, configUnreadable(configFile) };
    if (const QString unknown = unknownSetting(file.settings(), configFile); !unknown.isEmpty())
        return { std::nullopt, unknown };
    return readServeConfig(command.given, file.settings());
}

int serve(const ServiceCommand::Serve &command, const QString &configFile, bool named,
          const StoreLocation &store, int signals)
{
    const auto read = [=] { return readConfig(configFile, named, command); };
    const ServeConfigRead config = read();
    if (!config.config)
        return usageError(config.error);
    ServiceProcess process(store, read);
    if (const Status s = process.start(*config.config); s.failed())
        return failed(s.description());

    QSocketNotifier notifier(signals, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &process, [&] {
        signalfd_siginfo info;
        bool reload = false;
        bool stop = false;
        while (::read(signals, &info, sizeof info) == sizeof info) {
            if (info.ssi_signo == SIGHUP)
                reload = true;
            else
                stop = true;
        }
        if (stop) {
            notifier.setEnabled(false);
            process.stop();
        } else if (reload) {
            process.reload();
        }
    });
    QObject::connect(&process, &ServiceProcess::stopped, QCoreApplication::instance(),
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
    if (std::holds_alternative<ServiceCommand::Version>(command.action)) {
        print(stdout, version());
        return Done;
    }
    const QString configFile = command.configFile.value_or(QString::fromLatin1(DefaultConfig));
    if (command.configFile && !QFile::exists(configFile))
        return failed(configMissing(configFile));
    const ConfigFile file(configFile);
    if (!file.readable())
        return failed(configUnreadable(configFile));
    const QSettings &settings = file.settings();
    // A mistyped key is refused by every command, before it acts on anything.
    if (const QString unknown = unknownSetting(settings, configFile); !unknown.isEmpty())
        return usageError(unknown);
    StoreLocation store;
    if (const Status s = StoreLocation::parse(
            command.store.value_or(
                settings.value(StoreKey, QString::fromLatin1(DefaultStore)).toString()),
            store);
        s.failed())
        return failed(s.description());

    if (const auto *serving = std::get_if<ServiceCommand::Serve>(&command.action))
        return serve(*serving, configFile, command.configFile.has_value(), store, signals);
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
