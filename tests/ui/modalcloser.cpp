#include "tests/ui/modalcloser.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCursor>

ModalCloser::ModalCloser()
{
    m_timer.setInterval(10);
    connect(&m_timer, &QTimer::timeout, this, &ModalCloser::poll);
    m_timer.start();
}

void ModalCloser::poll()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    Seen shown;
    shown.title = box->windowTitle();
    shown.text = box->text();
    shown.format = box->textFormat();
    shown.icon = box->icon();
    const QList<QAbstractButton *> buttons = box->buttons();
    for (const QAbstractButton *button : buttons)
        shown.buttons.append(button->text());
    const QCursor *cursor = QGuiApplication::overrideCursor();
    shown.busyCursor = cursor && cursor->shape() == Qt::WaitCursor;
    seen.append(shown);
    if (!buttons.isEmpty())
        buttons.front()->click();
    else
        box->reject();
}
