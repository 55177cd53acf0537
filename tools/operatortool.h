#pragma once

// The operator tool `quillet-gateway`: the person who runs the local SMS service issues
// recharge cards, plays a handset sending to an account, and looks at what handsets
// received and which accounts exist.
//
//   arguments ── parse (usage errors: exit 2) ── open the store (failure: exit 1)
//             ── deliver what is due ── the command ── its report on standard output

#include "toolcommand.h"

#include <QString>
#include <QStringList>

class LocalGateway;
class QTextStream;

class OperatorTool {
public:
    enum ExitCode { Success = 0, Failed = 1, Usage = 2 };

    OperatorTool(QTextStream &out, QTextStream &err);

    // `arguments` as QCoreApplication::arguments() gives them, program name first.
    // Touches no file and no store, so any input may be thrown at it.
    static ParseResult parse(const QStringList &arguments);

    int run(const QStringList &arguments);

private:
    int usageError(const QString &message);
    int showHelp();
    int issueCards(LocalGateway &gateway, const CardIssueCommand &command);
    int arriveFromHandset(LocalGateway &gateway, const MoCommand &command);
    int listHandset(LocalGateway &gateway, const HandsetCommand &command);
    int listAccounts(LocalGateway &gateway);
    int failed(const QString &description);

    QTextStream &m_out;
    QTextStream &m_err;
};
