#pragma once

#include "console.h"
#include "fakegateway.h"
#include "fakeview.h"

#include <QHash>

// A console wired to a scripted gateway, a recording view and a clock the test sets.
struct Rig {
    using Command = void (Console::*)();

    GatewayScript script;
    FakeView view { &script };
    QDateTime now = QDateTime(QDate(2026, 12, 7), QTime(23, 45, 30));
    Console console { view, script.factory(), [this] {
                         script.trace.append(QStringLiteral("clock"));
                         return now;
                     } };

    void run(const QString &command) { (console.*commandNamed(command))(); }

    // Leaves value in lastResult, through a Deregister whose notice is then forgotten, so
    // a test can see whether the next command stores its outcome.
    void presetLastResult(Bool16 value)
    {
        script.replies = { Reply::outcome(value) };
        console.deregister();
        view.notices.clear();
    }

    // The console's commands by the name of their button's command.
    static Command commandNamed(const QString &name)
    {
        static const QHash<QString, Command> commands {
            { QStringLiteral("register"), &Console::registerAccount },
            { QStringLiteral("deregister"), &Console::deregister },
            { QStringLiteral("queryBalance"), &Console::queryBalance },
            { QStringLiteral("sendMessage"), &Console::sendMessage },
            { QStringLiteral("recharge"), &Console::recharge },
            { QStringLiteral("sendScheduledMessage"), &Console::sendScheduledMessage },
            { QStringLiteral("receiveMessages"), &Console::receiveMessages },
            { QStringLiteral("applyForwarding"), &Console::applyForwarding },
            { QStringLiteral("cancelForwarding"), &Console::cancelForwarding },
            { QStringLiteral("getForwarding"), &Console::getForwarding },
            { QStringLiteral("applyAutoReply"), &Console::applyAutoReply },
            { QStringLiteral("cancelAutoReply"), &Console::cancelAutoReply },
            { QStringLiteral("getAutoReply"), &Console::getAutoReply },
            { QStringLiteral("changePassword"), &Console::changePassword },
            { QStringLiteral("receiveMessagesNet"), &Console::receiveMessagesNet },
        };
        Q_ASSERT(commands.contains(name));
        return commands.value(name);
    }
};
