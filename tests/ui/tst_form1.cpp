// The main window: its 31 controls, stacking and focus order, the binding of every
// button to its command, the notices and error reports, and what resizing and
// closing do. The gateway is the scripted fake, injected through the window's factory.

#include "tests/kit/fakegateway.h"
#include "tests/ui/modalcloser.h"
#include "ui/form1.h"
#include "ui/quilletapp.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

using Kind = QString;

const QStringList ForwardFocus = {
    u"Command1"_s,  u"Command3"_s,  u"Command2"_s,     u"Command4"_s,  u"Text1"_s,
    u"Text2"_s,     u"Text3"_s,     u"RichTextBox1"_s, u"Command5"_s,  u"Text4"_s,
    u"Text5"_s,     u"Command6"_s,  u"Command7"_s,     u"Command8"_s,  u"Command9"_s,
    u"Command10"_s, u"Command11"_s, u"Command12"_s,    u"Command13"_s, u"Command14"_s,
    u"Text6"_s,     u"Command15"_s,
};

QString kindOf(const QWidget *widget)
{
    if (qobject_cast<const QPushButton *>(widget))
        return u"button"_s;
    if (qobject_cast<const QLineEdit *>(widget))
        return u"input box"_s;
    if (qobject_cast<const QLabel *>(widget))
        return u"label"_s;
    if (qobject_cast<const QGroupBox *>(widget))
        return u"group box"_s;
    if (qobject_cast<const QPlainTextEdit *>(widget))
        return u"pane"_s;
    return u"other"_s;
}

QString captionOf(const QWidget *widget)
{
    if (auto *button = qobject_cast<const QPushButton *>(widget))
        return button->text();
    if (auto *box = qobject_cast<const QLineEdit *>(widget))
        return box->text();
    if (auto *label = qobject_cast<const QLabel *>(widget))
        return label->text();
    if (auto *group = qobject_cast<const QGroupBox *>(widget))
        return group->title();
    if (auto *pane = qobject_cast<const QPlainTextEdit *>(widget))
        return pane->toPlainText();
    return QString();
}

// The controls the window table names: every widget with one of its names.
QList<QWidget *> tableControls(const QWidget &window)
{
    static const QRegularExpression names(
        u"^(Command\\d+|Text\\d|Label[12]|Frame[12]|RichTextBox1)$"_s);
    return window.findChildren<QWidget *>(names);
}

} // namespace

class TestForm1 : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void controls_data();
    void controls();
    void thirtyOneControls();
    void stacking();
    void startState();
    void focusChain_data();
    void focusChain();
    void buttons_data();
    void buttons();
    void boxesReachTheGateway_data();
    void boxesReachTheGateway();
    void errorReportKeepsWindowUsable_data();
    void errorReportKeepsWindowUsable();
    void boxesShowTypedText_data();
    void boxesShowTypedText();
    void paneIsReadOnlyButSelectable();
    void resizingMovesNothing_data();
    void resizingMovesNothing();
    void closingReleasesTheGateway_data();
    void closingReleasesTheGateway();

private:
    template<typename T = QWidget>
    T *control(const QString &name, std::optional<int> index = std::nullopt) const;
    void click(const QString &button);

    std::unique_ptr<GatewayScript> m_script;
    std::unique_ptr<Form1> m_window;
    std::unique_ptr<ModalCloser> m_closer;
    std::optional<Qt::CursorShape> m_cursorAtCreation;
};

template<typename T> T *TestForm1::control(const QString &name, std::optional<int> index) const
{
    const QList<T *> found = m_window->findChildren<T *>(name);
    for (T *widget : found) {
        if (!index || widget->property("index").toInt() == *index)
            return widget;
    }
    return nullptr;
}

void TestForm1::click(const QString &button)
{
    auto *pushButton = control<QPushButton>(button);
    QVERIFY2(pushButton, qPrintable(button));
    QTest::mouseClick(pushButton, Qt::LeftButton);
}

void TestForm1::initTestCase()
{
    // The program's own set-up: locale and Qt's translations, as main runs them.
    QuilletApp::setUp(*qApp);
}

void TestForm1::init()
{
    m_script = std::make_unique<GatewayScript>();
    m_cursorAtCreation.reset();
    // The gateway is created inside a command, so its factory sees the command's cursor.
    auto factory = [this, inner = m_script->factory()](std::unique_ptr<GatewayClient> &client) {
        const QCursor *cursor = QGuiApplication::overrideCursor();
        m_cursorAtCreation = cursor ? cursor->shape() : Qt::ArrowCursor;
        return inner(client);
    };
    m_window = std::make_unique<Form1>(factory);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    m_closer = std::make_unique<ModalCloser>();
}

void TestForm1::cleanup()
{
    m_closer.reset();
    m_window.reset();
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
    m_script.reset();
}

void TestForm1::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("index");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QString>("container");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("pixels");
    QTest::addColumn<int>("tabIndex");
    QTest::addColumn<QString>("buddy");

    const QString window = u"Form1"_s;
    const QString frame1 = u"Frame1"_s;
    const QString frame2 = u"Frame2"_s;
    const Kind label = u"label"_s, box = u"input box"_s, group = u"group box"_s,
               button = u"button"_s, pane = u"pane"_s;
    const auto row = [](const char *tag, const QString &name, int index, const Kind &kind,
                        const QString &container, const QString &caption, QRect pixels,
                        int tabIndex, const QString &buddy = QString()) {
        QTest::newRow(tag) << name << index << kind << container << caption << pixels << tabIndex
                           << buddy;
    };
    // Twips divided by 15; a button in a group box is placed from the box's corner.
    row("Label1", u"Label1"_s, -1, label, window, u"SDK格式：XXX-XXX-XXX-XXXXX"_s,
        { 112, 8, 209, 17 }, 1);
    row("Label2(0)", u"Label2"_s, 0, label, window, u"注册号码"_s, { 40, 32, 49, 17 }, 6,
        u"Text1"_s);
    row("Label2(1)", u"Label2"_s, 1, label, window, u"注册密码"_s, { 40, 56, 49, 17 }, 7,
        u"Text2"_s);
    row("Label2(2)", u"Label2"_s, 2, label, window, u"电话号码"_s, { 256, 32, 49, 17 }, 8,
        u"Text3"_s);
    row("Label2(3)", u"Label2"_s, 3, label, window, u"充值卡号"_s, { 256, 56, 49, 17 }, 14,
        u"Text4"_s);
    row("Label2(4)", u"Label2"_s, 4, label, window, u"充值密码"_s, { 256, 80, 49, 25 }, 15,
        u"Text5"_s);
    row("Label2(5)", u"Label2"_s, 5, label, window, u"新密码"_s, { 40, 80, 49, 17 }, 27,
        u"Text6"_s);
    row("Text1", u"Text1"_s, -1, box, window, QString(), { 104, 32, 113, 18 }, 9);
    row("Text2", u"Text2"_s, -1, box, window, QString(), { 104, 56, 113, 18 }, 10);
    row("Text3", u"Text3"_s, -1, box, window, QString(), { 312, 32, 113, 18 }, 11);
    row("Text4", u"Text4"_s, -1, box, window, QString(), { 312, 56, 113, 18 }, 16);
    row("Text5", u"Text5"_s, -1, box, window, QString(), { 312, 80, 113, 18 }, 17);
    row("Text6", u"Text6"_s, -1, box, window, QString(), { 104, 80, 113, 18 }, 28);
    row("Frame1", frame1, -1, group, window, u"单机操作"_s, { 16, 104, 433, 121 }, 0);
    row("Command1", u"Command1"_s, -1, button, frame1, u"注册"_s, { 24, 24, 73, 25 }, 2);
    row("Command2", u"Command2"_s, -1, button, frame1, u"注销"_s, { 104, 24, 73, 25 }, 4);
    row("Command3", u"Command3"_s, -1, button, window, u"查询余额"_s, { 200, 128, 73, 25 }, 3);
    row("Command4", u"Command4"_s, -1, button, window, u"发送短信"_s, { 280, 128, 73, 25 }, 5);
    row("Command5", u"Command5"_s, -1, button, frame1, u"帐户充值"_s, { 344, 24, 73, 25 }, 13);
    row("Command6", u"Command6"_s, -1, button, frame1, u"定时短信"_s, { 24, 56, 73, 25 }, 18);
    row("Command7", u"Command7"_s, -1, button, frame1, u"接收短信"_s, { 104, 56, 73, 25 }, 19);
    row("Command8", u"Command8"_s, -1, button, frame1, u"申请转发"_s, { 184, 56, 73, 25 }, 20);
    row("Command9", u"Command9"_s, -1, button, frame1, u"取消转发"_s, { 264, 56, 73, 25 }, 21);
    row("Command10", u"Command10"_s, -1, button, frame1, u"获取转发"_s, { 344, 56, 73, 25 }, 22);
    row("Command11", u"Command11"_s, -1, button, frame1, u"申请自动回复"_s, { 16, 88, 89, 25 }, 23);
    row("Command12", u"Command12"_s, -1, button, frame1, u"取消自动回复"_s, { 112, 88, 97, 25 },
        24);
    row("Command13", u"Command13"_s, -1, button, frame1, u"获取自动回复"_s, { 216, 88, 97, 25 },
        25);
    row("Command14", u"Command14"_s, -1, button, window, u"更改密码"_s, { 336, 192, 97, 25 }, 26);
    row("Frame2", frame2, -1, group, window, u"网络版"_s, { 16, 232, 433, 49 }, 29);
    row("Command15", u"Command15"_s, -1, button, frame2, u"接收短信(网络版)"_s, { 24, 16, 105, 25 },
        30);
    row("RichTextBox1", u"RichTextBox1"_s, -1, pane, window, QString(), { 16, 304, 433, 105 }, 12);
}

void TestForm1::controls()
{
    QFETCH(QString, name);
    QFETCH(int, index);
    QFETCH(Kind, kind);
    QFETCH(QString, container);
    QFETCH(QString, caption);
    QFETCH(QRect, pixels);
    QFETCH(int, tabIndex);
    QFETCH(QString, buddy);

    QWidget *widget = control(name, index >= 0 ? std::optional(index) : std::nullopt);
    QVERIFY(widget);
    QCOMPARE(kindOf(widget), kind);
    QCOMPARE(widget->parentWidget()->objectName(), container);
    QCOMPARE(widget->parentWidget() == m_window.get(), container == u"Form1"_s);
    QCOMPARE(captionOf(widget), caption);
    QCOMPARE(widget->geometry(), pixels);
    QCOMPARE(widget->property("tabIndex").toInt(), tabIndex);
    QVERIFY(widget->isVisible());
    QVERIFY(widget->isEnabled());
    if (index >= 0)
        QCOMPARE(widget->property("index").toInt(), index);

    if (auto *label = qobject_cast<QLabel *>(widget)) {
        // Labels name their boxes for assistive tools, and show their text as written.
        const QWidget *named = label->buddy();
        QCOMPARE(named ? named->objectName() : QString(), buddy);
        QCOMPARE(label->textFormat(), Qt::PlainText);
    }
    if (auto *button = qobject_cast<QPushButton *>(widget)) {
        QVERIFY(!button->isDefault());
        QVERIFY(!button->autoDefault());
        QVERIFY(button->shortcut().isEmpty());
    }
    if (auto *box = qobject_cast<QLineEdit *>(widget))
        QCOMPARE(box->echoMode(), QLineEdit::Normal);
}

void TestForm1::thirtyOneControls()
{
    const QList<QWidget *> controls = tableControls(*m_window);
    QCOMPARE(controls.size(), 31);
    QStringList names;
    for (const QWidget *widget : controls) {
        const QVariant index = widget->property("index");
        names.append(widget->objectName()
                     + (index.isValid() ? u"(%1)"_s.arg(index.toInt()) : QString()));
    }
    names.removeDuplicates();
    QCOMPARE(names.size(), 31);
    // The window is a plain top-level widget: no layout arranges its controls.
    QCOMPARE(m_window->layout(), nullptr);
}

void TestForm1::stacking()
{
    // GIVEN the window's direct children, from front to back
    QStringList frontToBack;
    const QObjectList children = m_window->children();
    for (auto child = children.crbegin(); child != children.crend(); ++child) {
        if (auto *widget = qobject_cast<QWidget *>(*child))
            frontToBack.append(widget->objectName());
    }
    // THEN the overlapping ones lie in this order, with the seven labels behind them
    const QStringList front = {
        u"Frame2"_s, u"Text6"_s, u"Command14"_s, u"Text5"_s,    u"Text4"_s,    u"RichTextBox1"_s,
        u"Text3"_s,  u"Text2"_s, u"Text1"_s,     u"Command4"_s, u"Command3"_s, u"Frame1"_s,
    };
    QCOMPARE(frontToBack.mid(0, front.size()), front);
    const QStringList behind = frontToBack.mid(front.size());
    QCOMPARE(behind.size(), 7);
    for (const QString &name : behind)
        QVERIFY2(name.startsWith(u"Label"_s), qPrintable(name));

    // AND every button is what a click on its middle reaches, the three window buttons
    // inside Frame1's outline included
    const QList<QPushButton *> buttons = m_window->findChildren<QPushButton *>();
    QCOMPARE(buttons.size(), 15);
    for (QPushButton *button : buttons) {
        const QPoint middle = button->mapTo(m_window.get(), button->rect().center());
        QCOMPARE(m_window->childAt(middle), button);
    }
}

void TestForm1::startState()
{
    QCOMPARE(m_window->windowTitle(), u"Quillet"_s);
    QCOMPARE(m_window->size(), QSize(465, 418));
    QVERIFY(m_window->isWindow());
    QCOMPARE(QApplication::focusWidget(), control(u"Command1"_s));
    QCOMPARE(m_window->console().gateway(), nullptr);
    QCOMPARE(m_script->instancesCreated, 0);
}

void TestForm1::focusChain_data()
{
    QTest::addColumn<Qt::Key>("key");
    QTest::addColumn<QStringList>("expected");

    QStringList backward = ForwardFocus;
    std::reverse(backward.begin(), backward.end());
    backward.prepend(backward.takeLast()); // starting at Command1, Shift+Tab reaches Command15
    QTest::newRow("forward") << Qt::Key_Tab << (ForwardFocus.mid(1) << u"Command1"_s);
    QTest::newRow("backward") << Qt::Key_Backtab << (backward.mid(1) << u"Command1"_s);
}

void TestForm1::focusChain()
{
    QFETCH(Qt::Key, key);
    QFETCH(QStringList, expected);

    QStringList visited;
    for (qsizetype step = 0; step < expected.size(); ++step) {
        QWidget *focus = QApplication::focusWidget();
        QVERIFY(focus);
        QTest::keyClick(focus, key);
        visited.append(QApplication::focusWidget()->objectName());
    }
    QCOMPARE(visited, expected);
}

void TestForm1::buttons_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QList<Reply>>("replies");
    QTest::addColumn<QStringList>("operations");
    QTest::addColumn<QStringList>("notices");
    QTest::addColumn<QString>("pane");

    const Reply yes = Reply::outcome(True16);
    const Reply balance = Reply::text(u"12.30"_s);
    const QString balancePane = u"余额数：12.30"_s;
    const QString nothingReceived = u"接收短信\n"_s;

    QTest::newRow("Command1 register")
        << u"Command1"_s << QList { yes } << QStringList { u"Register"_s }
        << QStringList { u"注册成功！"_s } << QString();
    QTest::newRow("Command2 deregister")
        << u"Command2"_s << QList { yes } << QStringList { u"Deregister"_s }
        << QStringList { u"注销成功！"_s } << QString();
    QTest::newRow("Command3 query balance")
        << u"Command3"_s << QList { balance } << QStringList { u"QueryBalance"_s } << QStringList()
        << balancePane;
    QTest::newRow("Command4 send message") << u"Command4"_s << QList { yes, balance }
                                           << QStringList { u"SendMessage"_s, u"QueryBalance"_s }
                                           << QStringList { u"发送成功！"_s } << balancePane;
    QTest::newRow("Command5 recharge") << u"Command5"_s << QList { yes, balance }
                                       << QStringList { u"Recharge"_s, u"QueryBalance"_s }
                                       << QStringList { u"充值成功！"_s } << balancePane;
    QTest::newRow("Command6 scheduled message")
        << u"Command6"_s << QList { yes, balance }
        << QStringList { u"SendScheduledMessage"_s, u"QueryBalance"_s }
        << QStringList { u"发送成功！"_s } << balancePane;
    // A batch of one message: the pane shows the listing's CR LF breaks as lines.
    QTest::newRow("Command7 receive messages")
        << u"Command7"_s
        << QList { Reply::batch(True16, Variant(u"1"_s), Variant(u"1"_s),
                                Variant(messageTable(1, u"m"_s))) }
        << QStringList { u"ReceiveMessages"_s } << QStringList()
        << u"接收短信\n总数:1\n当前数:1\n"
           u"特服号:m0.0\n发送号码:m0.1\n发送内容:m0.2\n发送时间:m0.3\n"_s;
    QTest::newRow("Command8 apply forwarding")
        << u"Command8"_s << QList { yes } << QStringList { u"SetForwarding"_s }
        << QStringList { u"设置成功！"_s } << QString();
    QTest::newRow("Command9 cancel forwarding")
        << u"Command9"_s << QList { yes } << QStringList { u"CancelForwarding"_s }
        << QStringList { u"设置成功！"_s } << QString();
    QTest::newRow("Command10 get forwarding")
        << u"Command10"_s << QList { Reply::text(u"-1"_s), Reply::text(u"13800000000"_s) }
        << QStringList { u"GetForwarding"_s, u"GetForwarding"_s } << QStringList()
        << u"获取转发的电话为:13800000000"_s;
    QTest::newRow("Command11 apply auto-reply")
        << u"Command11"_s << QList { yes } << QStringList { u"SetAutoReply"_s }
        << QStringList { u"申请回复成功！"_s } << QString();
    QTest::newRow("Command12 cancel auto-reply")
        << u"Command12"_s << QList { yes } << QStringList { u"CancelAutoReply"_s }
        << QStringList { u"取消自动回复成功！"_s } << QString();
    QTest::newRow("Command13 get auto-reply")
        << u"Command13"_s << QList { Reply::text(u"稍后回复"_s) }
        << QStringList { u"GetAutoReply"_s } << QStringList() << u"稍后回复"_s;
    QTest::newRow("Command14 change password")
        << u"Command14"_s << QList { yes } << QStringList { u"ChangePassword"_s }
        << QStringList { u"更改成功！"_s } << QString();
    QTest::newRow("Command15 receive messages, network edition")
        << u"Command15"_s << QList { Reply::outcome(False16) }
        << QStringList { u"ReceiveMessagesNet"_s } << QStringList() << nothingReceived;
}

void TestForm1::buttons()
{
    QFETCH(QString, button);
    QFETCH(QList<Reply>, replies);
    QFETCH(QStringList, operations);
    QFETCH(QStringList, notices);
    QFETCH(QString, pane);

    // GIVEN an account number with blanks around it and a scripted gateway
    control<QLineEdit>(u"Text1"_s)->setText(u"  ABC-123-456-78901 "_s);
    for (const Reply &reply : std::as_const(replies))
        m_script->replies.append(reply);

    // WHEN the button is clicked
    click(button);

    // THEN its command, and only it, ran against the gateway with the trimmed number
    QCOMPARE(m_script->operations(), operations);
    for (const Call &call : std::as_const(m_script->calls))
        QCOMPARE(call.arguments.value(0), u"ABC-123-456-78901"_s);
    // AND it ran under the busy cursor, which is gone afterwards
    QCOMPARE(m_cursorAtCreation, std::optional(Qt::WaitCursor));
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
    // AND its notices came as plain modal boxes titled "Brindlet" with one OK button
    QStringList shown;
    for (const ModalCloser::Seen &seen : std::as_const(m_closer->seen)) {
        shown.append(seen.text);
        QCOMPARE(seen.title, u"Brindlet"_s);
        QCOMPARE(seen.icon, QMessageBox::NoIcon);
        QCOMPARE(seen.format, Qt::PlainText);
        QCOMPARE(seen.buttons, QStringList { u"确定"_s });
        QVERIFY(!seen.busyCursor);
    }
    QCOMPARE(shown, notices);
    QCOMPARE(control<QPlainTextEdit>(u"RichTextBox1"_s)->toPlainText(), pane);
    // AND the window's caption is its own
    QCOMPARE(m_window->windowTitle(), u"Quillet"_s);
}

void TestForm1::boxesReachTheGateway_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("argument");

    QTest::newRow("Text2 account password, Register") << u"Text2"_s << u"Command1"_s << 1;
    QTest::newRow("Text3 phone, Register mobile") << u"Text3"_s << u"Command1"_s << 8;
    QTest::newRow("Text3 phone, Apply forwarding") << u"Text3"_s << u"Command8"_s << 1;
    QTest::newRow("Text4 card number, Recharge") << u"Text4"_s << u"Command5"_s << 1;
    QTest::newRow("Text5 card password, Recharge") << u"Text5"_s << u"Command5"_s << 2;
    QTest::newRow("Text6 new password, Change password") << u"Text6"_s << u"Command14"_s << 1;
}

void TestForm1::boxesReachTheGateway()
{
    QFETCH(QString, box);
    QFETCH(QString, button);
    QFETCH(int, argument);

    // GIVEN a distinct text typed into every box
    for (int n = 1; n <= 6; ++n)
        QTest::keyClicks(control<QLineEdit>(u"Text%1"_s.arg(n)), u"box%1"_s.arg(n));

    click(button);

    QVERIFY(!m_script->calls.isEmpty());
    QCOMPARE(m_script->calls.front().arguments.value(argument), u"box"_s + box.back());
}

void TestForm1::errorReportKeepsWindowUsable_data()
{
    QTest::addColumn<bool>("atCreation");
    QTest::addColumn<qint32>("code");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("report");

    QTest::newRow("component not installed")
        << true << Status::ClassNotRegistered << u"短信网关组件未安装"_s
        << u"错误 -2147221164（0x80040154）：短信网关组件未安装"_s;
    QTest::newRow("call failed, markup shown as written")
        << false << Status::CreationFailed << u"<b>磁盘已满</b> & 无法写入"_s
        << u"错误 -2147467259（0x80004005）：<b>磁盘已满</b> & 无法写入"_s;
}

void TestForm1::errorReportKeepsWindowUsable()
{
    QFETCH(bool, atCreation);
    QFETCH(qint32, code);
    QFETCH(QString, description);
    QFETCH(QString, report);

    // GIVEN a gateway that fails once, at creation or at the call
    if (atCreation)
        m_script->creationFailure = Status::failure(code, description);
    else
        m_script->replies.append(Reply::failure(code, description));
    QTest::keyClicks(control<QLineEdit>(u"Text2"_s), u"typed before"_s);

    // WHEN Query balance is clicked
    click(u"Command3"_s);

    // THEN one modal box titled "Brindlet" reports the code and description
    QCOMPARE(m_closer->seen.size(), 1);
    const ModalCloser::Seen shown = m_closer->seen.front();
    QCOMPARE(shown.title, u"Brindlet"_s);
    QCOMPARE(shown.text, report);
    QCOMPARE(shown.format, Qt::PlainText);
    QCOMPARE(shown.buttons, QStringList { u"确定"_s });
    // AND the window stays open with what the user typed
    QVERIFY(m_window->isVisible());
    QCOMPARE(control<QLineEdit>(u"Text2"_s)->text(), u"typed before"_s);
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);

    // WHEN the gateway works again and the button is clicked a second time
    m_script->creationFailure.reset();
    m_script->replies.append(Reply::text(u"5.00"_s));
    click(u"Command3"_s);

    // THEN the command completes
    QCOMPARE(m_closer->seen.size(), 1);
    QCOMPARE(control<QPlainTextEdit>(u"RichTextBox1"_s)->toPlainText(), u"余额数：5.00"_s);
}

void TestForm1::boxesShowTypedText_data()
{
    QTest::addColumn<QString>("box");
    for (int n = 1; n <= 6; ++n) {
        const QString name = u"Text%1"_s.arg(n);
        QTest::newRow(qPrintable(name)) << name;
    }
}

void TestForm1::boxesShowTypedText()
{
    QFETCH(QString, box);
    auto *edit = control<QLineEdit>(box);
    QVERIFY(edit);

    // Typed text is shown as typed, passwords included.
    QTest::keyClicks(edit, u"Ab1 &<x>"_s);
    QTest::sendKeyEvent(QTest::Press, edit, Qt::Key_unknown, u"密码"_s, Qt::NoModifier);
    QCOMPARE(edit->text(), u"Ab1 &<x>密码"_s);
    QCOMPARE(edit->displayText(), edit->text());

    // No length limit: a text far beyond the usual line-edit limit arrives whole.
    edit->clear();
    const QString longText(40000, u'9');
    edit->insert(longText);
    QCOMPARE(edit->text().size(), longText.size());
}

void TestForm1::paneIsReadOnlyButSelectable()
{
    auto *pane = control<QPlainTextEdit>(u"RichTextBox1"_s);
    m_window->setOutputText(u"第一行\r\n第二行"_s);
    QCOMPARE(pane->blockCount(), 2);

    // Typing changes nothing.
    pane->setFocus();
    QTest::keyClicks(pane, u"xyz"_s);
    QTest::keyClick(pane, Qt::Key_Delete);
    QCOMPARE(pane->toPlainText(), u"第一行\n第二行"_s);

    // The keyboard selects, so the text can be copied.
    QTest::keyClick(pane, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(pane->textCursor().selectedText(), u"第一行\u2029第二行"_s);
    QVERIFY(pane->textInteractionFlags().testFlag(Qt::TextSelectableByMouse));

    // Every write replaces the whole text.
    m_window->setOutputText(u"只有这一行"_s);
    QCOMPARE(pane->toPlainText(), u"只有这一行"_s);
}

void TestForm1::resizingMovesNothing_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("enlarged") << QSize(900, 800);
    QTest::newRow("shrunk") << QSize(200, 150);
}

void TestForm1::resizingMovesNothing()
{
    QFETCH(QSize, size);
    const QList<QWidget *> controls = tableControls(*m_window);
    QList<QRect> before;
    for (const QWidget *widget : controls)
        before.append(widget->geometry());

    m_window->resize(size);
    QTRY_COMPARE(m_window->size(), size);

    for (qsizetype i = 0; i < controls.size(); ++i)
        QCOMPARE(controls[i]->geometry(), before[i]);
}

void TestForm1::closingReleasesTheGateway_data()
{
    QTest::addColumn<bool>("gatewayCreated");
    QTest::newRow("before any command") << false;
    QTest::newRow("after a command") << true;
}

void TestForm1::closingReleasesTheGateway()
{
    QFETCH(bool, gatewayCreated);
    if (gatewayCreated) {
        m_script->replies.append(Reply::text(u"0.00"_s));
        click(u"Command3"_s);
    }
    QCOMPARE(m_script->instancesCreated, gatewayCreated ? 1 : 0);

    // WHEN the window is closed while the program's event loop runs
    QTimer::singleShot(0, m_window.get(), &QWidget::close);
    QTimer guard;
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(1); });
    guard.start(5000);
    // THEN the loop ends at once, without a question
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(!m_window->isVisible());
    QVERIFY(m_closer->seen.isEmpty());

    // AND the window's end takes the gateway with it
    m_window.reset();
    QCOMPARE(m_script->instancesDestroyed, m_script->instancesCreated);
}

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
