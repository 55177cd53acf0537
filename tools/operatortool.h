#pragma once

// The operator tool `quillet-gateway`: the person who runs the local SMS service issues
// recharge cards, plays a handset sending to an account, and looks at what handsets
// received, which accounts exist, the messages to phones and the links to SMSCs; through
// the service, the applications' tokens.
//
//   arguments ── parse (usage errors: exit 2) ── open the store, or reach the service
//             with --server (failure: exit 1) ── deliver what is due ── the command
//             ── its report on standard output, the same whichever did the work

#include "tools/toolcommand.h"

#include <QByteArrayList>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class OperatorBackend;
class RemoteBackend;
class TokenDesk;
struct StoreLocation;
class QTextStream;
class Status;

class OperatorTool {
public:
    enum ExitCode { Success = 0, Failed = 1, Usage = 2 };

    OperatorTool(QTextStream &out, QTextStream &err);

    // `arguments` as QCoreApplication::arguments() gives them, program name first.
    // Touches no file and no store, so any input may be thrown at it.
    static ParseResult parse(const QStringList &arguments);
    // `argv` as the system hands it over. An argument that is not UTF-8 is a usage
    // error: a path or a text is never taken with replacement characters in it.
    static ParseResult parse(const QByteArrayList &argv);

    int run(const QStringList &arguments);
    int run(const QByteArrayList &argv);

private:
    int execute(const ParseResult &parsed);
    int usageError(const QString &message);
    int showHelp();
    int showVersion();
    // The store --store or the component's settings name; none (reported) when it cannot
    // be used.
    std::optional<StoreLocation> locateStore(const ToolCommand &command);
    int initializeStore(const ToolCommand &command);
    int backUpStore(const ToolCommand &command, const BackupCommand &backup);
    // Opens the store or reaches the service; null when that failed (reported; the
    // command exits 1).
    std::unique_ptr<OperatorBackend> openBackend(const ToolCommand &command);
    std::unique_ptr<RemoteBackend> openRemote(const ServerTarget &server);
    int issueCards(OperatorBackend &gateway, const CardIssueCommand &command);
    int arriveFromHandset(OperatorBackend &gateway, const MoCommand &command);
    int arriveManyFromHandset(OperatorBackend &gateway, const MoCommand &command);
    int listHandset(OperatorBackend &gateway, const HandsetCommand &command);
    int listAccounts(OperatorBackend &gateway);
    int listMessages(OperatorBackend &gateway, const MessagesCommand &command);
    int listLinks(OperatorBackend &gateway);
    int listUnmatched(OperatorBackend &gateway);
    int clearUnmatched(OperatorBackend &gateway, qint64 throughId);
    int listCallbacks(OperatorBackend &gateway, bool deadOnly);
    int replayCallbacks(OperatorBackend &gateway, qint64 id);
    int manageTokens(TokenDesk &desk, const TokenCommand &command);
    int listTokens(TokenDesk &desk);
    int runSmpp(OperatorBackend &gateway, const SmppCommand &command);
    int failed(const QString &message);
    int failed(const Status &status);
    // Flushes standard output; a failed write is a failed command.
    int finishOutput();
    QString outputError() const;

    QTextStream &m_out;
    QTextStream &m_err;
};
