#pragma once

// One checked request to the operator tool, as the argument parser hands it over:
//
//   arguments ── OperatorTool::parse ── ToolCommand (store or server + one action)
//                                    ── OperatorTool::run
//                                    └─ a usage error text (exit 2)
//
// Every value here has passed its checks; nothing here has touched a file or a store.

#include "gateway/operatorreports.h"

#include <QString>

#include <optional>
#include <variant>

struct HelpCommand { };

struct VersionCommand { };

struct CardIssueCommand {
    qint64 valueFen = 0;
    int count = 1;
};

struct MoCommand {
    QString from;
    QString to;
    QString extension; // empty: none
    QString text;
    // None: one arrival, reported in full; a count: that many, reported as a summary.
    std::optional<qint64> count;
};

struct HandsetCommand {
    QString phone;
};

struct AccountsCommand { };

// The messages to phones, narrowed as the filter says.
struct MessagesCommand {
    Operator::MessageFilter filter;
};

struct LinksCommand { };

// The listing, or with `clearThroughId` the deletion of the entries up to that id.
struct UnmatchedCommand {
    std::optional<qint64> clearThroughId;
};

// The callback events not yet delivered (or the dead ones), or with `replay` sending one
// again (0: every dead one).
struct CallbacksCommand {
    bool deadOnly = false;
    std::optional<qint64> replay;
};

// The service's tokens, through --server only: issue one (its role as typed, which the
// service may refuse), revoke one by name, or list them all.
struct TokenCommand {
    enum class Action { Issue, Revoke, List };
    Action action = Action::List;
    QString name;
    QString role;
    QString accountNo; // an application token's; empty for the other roles
};

// An account's SMPP credentials made (with a system_id of the operator's, or its default)
// or revoked, or the binds listed.
struct SmppCommand {
    enum class Kind { Set, Revoke, Binds };
    Kind kind = Kind::Binds;
    QString accountNo;
    QString systemId;
};

// Creates or migrates the store; on PostgreSQL also grants the gateway's role.
struct InitCommand { };

// Copies an SQLite store, consistent while others write to it, into a new file.
struct BackupCommand {
    QString file;
};

using ToolAction
    = std::variant<HelpCommand, VersionCommand, CardIssueCommand, MoCommand, HandsetCommand,
                   AccountsCommand, MessagesCommand, LinksCommand, UnmatchedCommand,
                   CallbacksCommand, TokenCommand, SmppCommand, InitCommand, BackupCommand>;

// The service named with --server, and the operator's token file.
struct ServerTarget {
    QString url;
    QString tokenFile;
    QString caFile; // empty: the system's certificates
};

struct ToolCommand {
    ToolAction action;
    // The store named with --store (a file or a URL); none: the store the component's
    // settings name.
    std::optional<QString> storePath;
    // Set: the work goes to this service instead of a store.
    std::optional<ServerTarget> server;
};

// Either a command or the text of the usage error.
struct ParseResult {
    std::optional<ToolCommand> command;
    QString usageError;
};
