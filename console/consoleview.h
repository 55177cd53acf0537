#pragma once

#include "gateway/status.h"

#include <QString>

// The six input boxes of the window, by their control names.
enum class InputBox { Text1 = 1, Text2, Text3, Text4, Text5, Text6 };

// What the console needs of its window. The window implements it with widgets; the
// tests with a recorder.
class ConsoleView {
public:
    virtual ~ConsoleView() = default;

    // The box's current text, untrimmed.
    virtual QString boxText(InputBox box) const = 0;
    // A modal notice titled with the application title; returns once dismissed.
    virtual void showNotice(const QString &text) = 0;
    // Replaces the output pane's whole text.
    virtual void setOutputText(const QString &text) = 0;
    // A failed call: the code and the description. The window stays usable.
    virtual void reportError(const Status &status) = 0;
};
