#pragma once

// The operator tool `quillet-gateway`: the person who runs the local SMS service issues
// recharge cards, plays a handset sending to an account, and looks at what handsets
// received and which accounts exist.
//
//   arguments ── parse (usage errors: exit 2) ── open the store (failure: exit 1)
//             ── deliver what is due ── the command ── its report on standard output

#include <QString>
#include <QStringList>

class QTextStream;

class OperatorTool {
public:
    enum ExitCode { Success = 0, Failed = 1, Usage = 2 };

    OperatorTool(QTextStream &out, QTextStream &err);

    // `arguments` as QCoreApplication::arguments() gives them, program name first.
    int run(const QStringList &arguments);

private:
    int usageError(const QString &message);

    QTextStream &m_out;
    QTextStream &m_err;
};
