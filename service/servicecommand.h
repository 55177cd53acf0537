#pragma once

// One checked request to quillet-gatewayd, as the argument parser hands it over:
//
//   arguments ── parseServiceCommand ── ServiceCommand (config, store + one action) ── run
//                                    └─ a usage error text (exit 2)
//
// Every value here has passed its checks; nothing here has touched a file or a store.
// A setting the command line leaves out is none here: run() takes it from the config
// file, then from its default, and reads a config file's value as it reads the
// command line's (Serve's read functions).

#include "protocol/wire.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

struct ServiceCommand {
    struct Help { };

    // Serves the gateway API until SIGTERM or SIGINT.
    struct Serve {
        std::optional<QHostAddress> listen;
        std::optional<quint16> port;
        std::optional<int> workers;
        // As given, perhaps empty: an empty one still stands for the config file's.
        std::optional<QString> tlsCertificate;
        std::optional<QString> tlsKey;
        // The scrapers' port for GET /metrics: as given, empty for none (over the config
        // file's); else a port, which readPort reads.
        std::optional<QString> metricsPort;
        std::optional<QHostAddress> metricsListen;

        // A setting's text, from the command line or the config file, as its value;
        // none when it is not one (the usage error says what it takes).
        static std::optional<QHostAddress> readListen(const QString &text);
        static std::optional<quint16> readPort(const QString &text);
        static std::optional<int> readWorkers(const QString &text);
    };

    // Creates or migrates the store and the service's tables.
    struct Init { };

    struct TokenIssue {
        QString name;
        Wire::Role role = Wire::Role::Console;
    };

    struct TokenRevoke {
        QString name;
    };

    struct TokenList { };

    using Action = std::variant<Help, Serve, Init, TokenIssue, TokenRevoke, TokenList>;

    Action action;
    // The config file named with --config, which must exist; none: the default one,
    // which may be missing.
    std::optional<QString> configFile;
    // The store named with --store (a file or a URL, not yet read); none: the config
    // file's, then the default.
    std::optional<QString> store;
};

// Either a command or the text of the usage error.
struct ParsedServiceCommand {
    std::optional<ServiceCommand> command;
    QString usageError;
};

// `arguments` as QCoreApplication::arguments() gives them, program name first. Touches no
// file and no store, so any input may be thrown at it.
ParsedServiceCommand parseServiceCommand(const QStringList &arguments);
