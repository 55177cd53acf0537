#pragma once

#include "console/console.h"

#include <QList>
#include <QRect>
#include <QString>
#include <QStringList>

// One control of the window as the window table gives it. A button's place is the
// window's; its caption and the command its click runs are the console's, found in
// Console::commands() by the button's name. Positions are in twips (1/1440 inch),
// measured from the corner of the container's client area: the window itself, or the
// group box a button belongs to.
struct ControlRow {
    enum class Kind { Label, InputBox, GroupBox, Button, OutputPane };

    QString name; // the objectName
    int index = -1; // the place in an indexed group (Label2), -1 outside one
    Kind kind = Kind::Label;
    QString container; // the group box's name, empty for the window
    QString caption; // the caption or initial text
    QString buddy; // the input box a label names, empty for none
    QRect twips; // left, top, width, height
    int tabIndex = 0; // unique across the window, labels and group boxes included
    const CommandRow *command = nullptr; // what a button's click runs

    static constexpr int TwipsPerPixel = 15;
    static QRect toPixels(const QRect &twips);

    // The window's client area, in twips.
    static QSize windowTwips();
    // The 31 controls, parents before their children.
    static const QList<ControlRow> &table();
    // The window's direct children that overlap others, from front to back; every
    // other direct child (the labels) lies behind them.
    static const QStringList &stackingFrontToBack();
    // The property that holds a label group member's index.
    static const char *indexProperty() { return "index"; }
    // The property that holds every control's tab index.
    static const char *tabIndexProperty() { return "tabIndex"; }
};
