#pragma once

#include "console/console.h"
#include "tests/kit/fakegateway.h"
#include "tests/kit/fakeview.h"

// A console wired to a scripted gateway, a recording view and a clock the test sets.
struct Rig {
    GatewayScript script;
    FakeView view { &script };
    QDateTime now = QDateTime(QDate(2026, 12, 7), QTime(23, 45, 30));
    Console console { view, script.factory(), [this] {
                         script.trace.append(QStringLiteral("clock"));
                         return now;
                     } };

    // Presses the button with this control name, as a click on it would.
    void press(const QString &button)
    {
        if (!Console::command(button))
            qFatal("no button named %ls", qUtf16Printable(button));
        console.press(button);
    }

    // Leaves value in lastResult, through a Deregister whose notice is then forgotten, so
    // a test can see whether the next command stores its outcome.
    void presetLastResult(Bool16 value)
    {
        script.replies = { Reply::outcome(value) };
        press(QStringLiteral("Command2"));
        view.notices.clear();
    }
};
