#pragma once

// One checked request to the operator tool, as the argument parser hands it over:
//
//   arguments ── OperatorTool::parse ── ToolCommand (store + one action) ── OperatorTool::run
//                                    └─ a usage error text (exit 2)
//
// Every value here has passed its checks; nothing here has touched a file or a store.

#include <QString>

#include <optional>
#include <variant>

struct HelpCommand { };

struct CardIssueCommand {
    qint64 valueFen = 0;
    int count = 1;
};

struct MoCommand {
    QString from;
    QString to;
    QString extension; // empty: none
    QString text;
};

struct HandsetCommand {
    QString phone;
};

struct AccountsCommand { };

using ToolAction
    = std::variant<HelpCommand, CardIssueCommand, MoCommand, HandsetCommand, AccountsCommand>;

struct ToolCommand {
    ToolAction action;
    // The store named with --store; none: the user's default store.
    std::optional<QString> storePath;
};

// Either a command or the text of the usage error.
struct ParseResult {
    std::optional<ToolCommand> command;
    QString usageError;
};
