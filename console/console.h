#pragma once

// The console core: the window's state and the fifteen commands.
//
//   button click ──> Console::run(row of commands()) ──> the row's command function
//                      1. readField(Text1 ...)           boxes, trimmed, through ConsoleView
//                      2. ensureGateway()                one GatewayClient per window
//                      3. gateway call                   outcome through the last argument
//                      4. lastResult ← outcome           where the command stores it
//                      5. showNotice / setOutputText     report, through ConsoleView
//
// A failure Status from creating the gateway or from any call stops the command where
// it is (no notice, no pane write, fields already written stay) and is handed to
// ConsoleView::reportError; the window stays usable and a later command may succeed.

#include "consoleview.h"
#include "gatewayclient.h"

#include <QDateTime>
#include <QList>
#include <QRect>
#include <QString>

#include <functional>
#include <memory>

class Console;

// One command button: its control name, its caption, where it sits in the window and
// the command its click runs. Console::commands() is the one list of them: the window
// builds its buttons from it and the tests press buttons by name through it, so a new
// command is a row there and a command function in Console.
struct CommandRow {
    QString button; // the objectName, Command1 to Command15
    QString caption;
    QString container; // the group box it sits in, empty for the window itself
    QRect twips; // left, top, width, height from the container's corner, in twips
    int tabIndex = 0; // unique across the window
    Status (Console::*command)() = nullptr;
};

class Console {
public:
    using GatewayFactory = std::function<Status(std::unique_ptr<GatewayClient> &)>;
    using Clock = std::function<QDateTime()>;
    using ReceiveOperation
        = std::function<Status(GatewayClient &, const QString &accountNo, Variant &total,
                               Variant &current, Variant &messages, Bool16 &outcome)>;

    // One press of a receive command makes at most this many calls, unless a caller
    // that knows better (a benchmark, a test) sets another bound.
    static constexpr int ReceiveCallLimit = 1000;
    void setReceiveCallLimit(int calls) { m_receiveCallLimit = qMax(calls, 1); }

    // The installed SMS gateway component, found by its class identifier.
    static Status createInstalledGateway(std::unique_ptr<GatewayClient> &client);

    explicit Console(
        ConsoleView &view, GatewayFactory factory = createInstalledGateway,
        Clock clock = [] { return QDateTime::currentDateTime(); });
    ~Console();
    Console(const Console &) = delete;
    Console &operator=(const Console &) = delete;

    // The window's state.
    const QString &accountNo() const { return m_accountNo; }
    const QString &phoneNo() const { return m_phoneNo; }
    const QString &accountPassword() const { return m_accountPassword; }
    GatewayClient *gateway() const { return m_gateway.get(); }
    Bool16 lastResult() const { return m_lastResult; }

    // The commands, one per button, in button order.
    static const QList<CommandRow> &commands();
    // The row of the button with this control name, or nullptr.
    static const CommandRow *command(QStringView button);
    // Runs one command; a failure Status goes to ConsoleView::reportError.
    void run(const CommandRow &command);
    // Runs the command of the button with this control name (a name the table lacks
    // runs nothing).
    void press(QStringView button);

    // The operations the commands share.
    QString readField(InputBox box) const;
    Status ensureGateway();
    void showNotice(const QString &text);
    void setOutputText(const QString &text);
    Status showBalance();

    // The numeric value of a count text: leading blanks skipped, an optional sign, digits
    // with an optional fraction and exponent, read up to the first character that does
    // not fit. No number reads 0; a value beyond the double range reads as infinity.
    static double countValue(const QString &text);
    // The truth value of a forwarding answer: numbers by zero / non-zero, True and False
    // in any letter case, blank or empty text false, any other text true.
    static Bool16 toBool16(const QString &text);

private:
    void noticeOutcome(Bool16 outcome, const QString &succeeded, const QString &failed);

    Status doRegister();
    Status doDeregister();
    Status doChangePassword();
    Status doQueryBalance();
    Status doRecharge();
    Status doSendMessage();
    Status doSendScheduledMessage();
    Status doReceiveMessages();
    Status doReceiveMessagesNet();
    Status doApplyForwarding();
    Status doCancelForwarding();
    Status doGetForwarding();
    Status doApplyAutoReply();
    Status doCancelAutoReply();
    Status doGetAutoReply();
    Status receiveAll(const ReceiveOperation &operation);

    ConsoleView &m_view;
    GatewayFactory m_factory;
    Clock m_clock;

    QString m_accountNo;
    QString m_phoneNo;
    QString m_accountPassword;
    std::unique_ptr<GatewayClient> m_gateway;
    Bool16 m_lastResult = False16;
    int m_receiveCallLimit = ReceiveCallLimit;
};
