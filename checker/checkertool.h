#pragma once

// quillet-gateway-check: the contract checker as a program.
//
//   arguments ──> the plugin file (given, or GatewayLoader::locate for the class id)
//     for each ContractChecker group: this program again with --child GROUP
//       (a child process with a time limit) ──> "ROW\t<name>\t<PASS|FAIL>\t<why>" lines
//   ──> a table of checks, control characters escaped; exit 0 only when all pass

#include <QString>
#include <QStringList>
#include <QStringView>

class QTextStream;

namespace CheckerTool {

// Exit codes: every check passed, a check failed, the command line was wrong.
inline constexpr int AllPassed = 0;
inline constexpr int SomeFailed = 1;
inline constexpr int UsageError = 2;

// Runs the program on its arguments (the program name first).
int run(const QStringList &arguments, QTextStream &out, QTextStream &err);

// The text with every control character made visible: backslash escapes for tab, line
// feed, carriage return and the backslash itself, \xNN for the other C0 and C1 controls
// and DEL, \uNNNN for line and paragraph separators, bidirectional controls and unpaired
// surrogates. Anything else stays as it is.
QString escaped(QStringView text);

} // namespace CheckerTool
