#pragma once

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTimer>

// Answers every modal message box that comes up while it runs: records what the box
// shows, then presses its first button, as a user would.
class ModalCloser final : public QObject {
    Q_OBJECT

public:
    struct Seen {
        QString title;
        QString text;
        Qt::TextFormat format = Qt::AutoText;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QStringList buttons;
        bool busyCursor = false; // the wait cursor showed over the box
    };

    ModalCloser();

    QList<Seen> seen;

private:
    void poll();

    QTimer m_timer;
};
