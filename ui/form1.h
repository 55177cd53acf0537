#pragma once

// The main window: 31 controls built from the control table, each button bound to one
// console command, and the console's view onto the widgets.
//
//   Command<n> clicked ──> Form1::runCommand ──> Console::run(its CommandRow)   (busy cursor)
//                                                  │ boxText(TextN)  ◀── QLineEdit
//                                                  │ showNotice      ──▶ modal box "Brindlet"
//                                                  │ setOutputText   ──▶ RichTextBox1
//                                                  └ reportError     ──▶ modal box, window stays
//
// The window owns the console, and so the gateway instance: both go when it does.

#include "console/console.h"
#include "console/consoleview.h"

#include <QWidget>

#include <array>

struct ControlRow;
class QLineEdit;
class QPlainTextEdit;

class Form1 final : public QWidget, public ConsoleView {
    Q_OBJECT

public:
    explicit Form1(
        Console::GatewayFactory factory = Console::createInstalledGateway,
        Console::Clock clock = [] { return QDateTime::currentDateTime(); },
        QWidget *parent = nullptr);
    ~Form1() override;

    const Console &console() const { return m_console; }

    // ConsoleView
    QString boxText(InputBox box) const override;
    void showNotice(const QString &text) override;
    void setOutputText(const QString &text) override;
    void reportError(const Status &status) override;

private:
    void createControls();
    QWidget *createControl(const ControlRow &row, QWidget *container);
    void runCommand(const CommandRow &command);
    void showModalBox(const QString &text, bool error);

    Console m_console;
    std::array<QLineEdit *, 6> m_boxes {};
    QPlainTextEdit *m_pane = nullptr;
};
