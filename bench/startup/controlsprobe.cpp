// The third yardstick: the console's 31 controls (kinds, captions, places, stacking and
// the focus on the first button) made with plain Qt calls from the window's control
// table, up to the first painted frame, and nothing else: no identity, locale or
// translations, no console. What the console pays beyond this window is its own
// start-up work; what this window pays beyond the bare window with a Chinese label is
// the price of painting those controls.

#include "bench/startup/frameprobe.h"
#include "ui/controltable.h"

#include <QApplication>
#include <QGroupBox>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

namespace {

QWidget *makeControl(const ControlRow &row, QWidget *container)
{
    switch (row.kind) {
    case ControlRow::Kind::Label: {
        auto *label = new QLabel(row.caption, container);
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return label;
    }
    case ControlRow::Kind::InputBox:
        return new QLineEdit(container);
    case ControlRow::Kind::GroupBox:
        return new QGroupBox(row.caption, container);
    case ControlRow::Kind::Button:
        return new QPushButton(row.caption, container);
    case ControlRow::Kind::OutputPane: {
        auto *pane = new QPlainTextEdit(container);
        pane->setReadOnly(true);
        return pane;
    }
    }
    return nullptr;
}

} // namespace

int main(int argc, char *argv[])
{
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication app(qtArgc, argv);
    QWidget window;
    QHash<QString, QWidget *> byName;
    const ControlRow *first = nullptr;
    for (const ControlRow &row : ControlRow::table()) {
        QWidget *widget
            = makeControl(row, row.container.isEmpty() ? &window : byName.value(row.container));
        widget->setGeometry(ControlRow::toPixels(row.twips));
        byName.insert(row.name, widget);
        if (row.kind == ControlRow::Kind::Button && (!first || row.tabIndex < first->tabIndex))
            first = &row;
    }
    const QStringList &front = ControlRow::stackingFrontToBack();
    for (auto name = front.crbegin(); name != front.crend(); ++name)
        byName.value(*name)->raise();
    byName.value(first->name)->setFocus();

    const QSize client = ControlRow::toPixels(QRect(QPoint(), ControlRow::windowTwips())).size();
    window.setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, client,
                                           window.screen()->availableGeometry()));
    window.show();
    new FrameProbe::FirstFrame(window);
    return QApplication::exec();
}
