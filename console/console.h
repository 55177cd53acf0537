#pragma once

// The console core: the window's state and the fifteen commands.
//
//   button click ──> Console::<command>()
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
#include <QString>

#include <functional>
#include <memory>

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

    explicit Console(ConsoleView &view, GatewayFactory factory = createInstalledGateway,
                     Clock clock = &QDateTime::currentDateTime);
    ~Console();
    Console(const Console &) = delete;
    Console &operator=(const Console &) = delete;

    // The window's state.
    const QString &accountNo() const { return m_accountNo; }
    const QString &phoneNo() const { return m_phoneNo; }
    const QString &accountPassword() const { return m_accountPassword; }
    GatewayClient *gateway() const { return m_gateway.get(); }
    Bool16 lastResult() const { return m_lastResult; }

    // The commands, one per button.
    void registerAccount(); // Command1
    void deregister(); // Command2
    void queryBalance(); // Command3
    void sendMessage(); // Command4
    void recharge(); // Command5
    void sendScheduledMessage(); // Command6
    void receiveMessages(); // Command7
    void applyForwarding(); // Command8
    void cancelForwarding(); // Command9
    void getForwarding(); // Command10
    void applyAutoReply(); // Command11
    void cancelAutoReply(); // Command12
    void getAutoReply(); // Command13
    void changePassword(); // Command14
    void receiveMessagesNet(); // Command15

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
    void run(Status (Console::*command)());
    Status noticeOutcome(Bool16 outcome, const QString &succeeded, const QString &failed);

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
