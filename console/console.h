#pragma once

// The console core: the window's state and the fifteen commands.
//
//   button click ──> Console::run(row of commands())
//     ten rows, one shape (NoticeCommand), one runner:
//       1. readField(Text1 ...)        boxes, trimmed, through ConsoleView; the account,
//                                      its password and the phone are kept as state
//       2. ensureGateway()             one GatewayClient per window
//       3. the row's gateway call      outcome through the last argument
//       4. noticeOutcome               lastResult ← outcome, the notice it chooses
//       5. then, for the charging ones, the balance into the pane
//     five rows, a member function each: the balance, the two receive loops,
//       get-forwarding and get-auto-reply
//
// A failure Status from creating the gateway or from any call stops the command where
// it is (no notice, no pane write, fields already written stay) and is handed to
// ConsoleView::reportError; the window stays usable and a later command may succeed.

#include "console/consoleview.h"
#include "gateway/gatewayclient.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <array>
#include <functional>
#include <memory>
#include <variant>

class Console;

// Where a notice command puts a box's trimmed text. The first three are the window's
// state too, kept from command to command; the others are arguments of one call.
enum class Field { AccountNo, AccountPassword, PhoneNo, CardNo, CardPassword, NewPassword };

// What a notice command's gateway call is given: the texts its boxes filled and, when
// the command schedules, the send time.
struct CallInputs {
    std::array<QString, 6> fields; // one per Field, in its order
    QString sendTime; // in the gateway's date-and-time text

    const QString &operator[](Field field) const { return fields[static_cast<std::size_t>(field)]; }
    QString &operator[](Field field) { return fields[static_cast<std::size_t>(field)]; }
};

// The shape ten of the commands share: read boxes, call the gateway once, show the
// notice the outcome chooses, and for some show the balance after it. Such a command is
// this row of data, run by Console's one runner.
struct NoticeCommand {
    struct BoxRead {
        InputBox box;
        Field field;
    };
    using Call = Status (*)(GatewayClient &gateway, const CallInputs &inputs, Bool16 &outcome);
    enum class Then { Nothing, ShowBalance };

    QList<BoxRead> reads; // in the order the boxes are read
    // The clock gives the send time ten minutes on, read after the boxes and before the
    // gateway is created.
    bool schedules = false;
    Call call = nullptr;
    QString succeeded; // the notice for the outcome -1
    QString failed; // the notice for any other outcome
    Then then = Then::Nothing;
};

// A command of a shape of its own.
using CommandFunction = Status (Console::*)();

// One command button as the console knows it: its control name, its caption and the
// command its click runs. Console::commands() is the one list of them: the window builds
// its buttons from it (where each sits is the window's business) and the tests press
// buttons by name through it, so a new command is a row there, and a place for its
// button in the window.
struct CommandRow {
    QString button; // the objectName, Command1 to Command15
    QString caption;
    std::variant<NoticeCommand, CommandFunction> command;
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
    Status runNotice(const NoticeCommand &command);
    void noticeOutcome(Bool16 outcome, const QString &succeeded, const QString &failed);
    // The window's state a box's text is also kept in, or nullptr.
    QString *stateField(Field field);

    Status doQueryBalance();
    Status doReceiveMessages();
    Status doReceiveMessagesNet();
    Status doGetForwarding();
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
