#pragma once

#include "console/consoleview.h"

#include <QHash>
#include <QStringList>

struct GatewayScript;

// A ConsoleView that records what the console shows. When given a script, it also
// writes its events into the script's trace, so tests can see the order of calls and
// reports.
class FakeView final : public ConsoleView {
public:
    explicit FakeView(GatewayScript *script = nullptr);

    void setBox(InputBox box, const QString &text) { m_boxes[box] = text; }

    QString boxText(InputBox box) const override { return m_boxes.value(box); }
    void showNotice(const QString &text) override;
    void setOutputText(const QString &text) override;
    void reportError(const Status &status) override;

    QStringList notices;
    QStringList outputs; // every write, in order
    QList<Status> errors;
    // The pane as the window would show it: the last write, or the text it started with.
    QString pane;

private:
    GatewayScript *m_script;
    QHash<InputBox, QString> m_boxes;
};
