#pragma once

// One checked request to quillet-gatewayd, as the argument parser hands it over:
//
//   arguments ── parseServiceCommand ── ServiceCommand (config, store + one action) ── run
//                                    └─ a usage error text (exit 2)
//
// Every value here has passed its checks; nothing here has touched a file or a store.
// A setting the command line leaves out is not here: run() takes it from the config
// file, then from its default, and reads a config file's value as it reads the
// command line's (see serveconfig.h).

#include "protocol/wire.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

struct ServiceCommand {
    struct Help { };
    struct Version { };

    // Serves the gateway API until SIGTERM or SIGINT; SIGHUP reloads the config file.
    struct Serve {
        // The settings the command line gives, by their config key, as typed: each has
        // been read as the config file's value would be. An empty one still stands over
        // the config file's (an empty --metrics-port: no metrics port).
        QHash<QString, QString> given;
    };

    // Creates or migrates the store and the service's tables.
    struct Init { };

    struct TokenIssue {
        QString name;
        Wire::Role role = Wire::Role::Console;
        QString accountNo; // an application token's account; empty for the other roles
    };

    struct TokenRevoke {
        QString name;
    };

    struct TokenList { };

    using Action = std::variant<Help, Version, Serve, Init, TokenIssue, TokenRevoke, TokenList>;

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
