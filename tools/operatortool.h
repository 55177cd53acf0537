#pragma once

// The operator tool `quillet-gateway`: the person who runs the local SMS service issues
// recharge cards, plays a handset sending to an account, and looks at what handsets
// received and which accounts exist.
//
//   arguments ── parse (usage errors: exit 2) ── open the store (failure: exit 1)
//             ── deliver what is due ── the command ── its report on standard output

#include "toolcommand.h"

#include <QByteArrayList>
#include <QString>
#include <QStringList>

class LocalGateway;
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
    int issueCards(LocalGateway &gateway, const CardIssueCommand &command);
    int arriveFromHandset(LocalGateway &gateway, const MoCommand &command);
    int arriveManyFromHandset(LocalGateway &gateway, const MoCommand &command);
    int listHandset(LocalGateway &gateway, const HandsetCommand &command);
    int listAccounts(LocalGateway &gateway);
    int failed(const QString &message);
    int failed(const Status &status);
    // Flushes standard output; a failed write is a failed command.
    int finishOutput();
    QString outputError() const;

    QTextStream &m_out;
    QTextStream &m_err;
};
