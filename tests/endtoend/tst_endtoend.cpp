// A user's whole session: the real window, the real local gateway found by class
// identifier, the operator tool beside it, and a store in a data folder of the test's
// own. Every button is pressed; what the notices and the pane say, and what the store
// holds afterwards, is checked.

#include "tests/ui/modalcloser.h"
#include "ui/form1.h"
#include "ui/quilletapp.h"

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

const QString Account = u"ABC-DEF-GHI-12345"_s;
const QString Phone = u"13800138000"_s;

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void aWholeSessionWithTheLocalGateway();
    void cleanup();

private:
    void openWindow();
    void type(int box, const QString &text);
    // Clicks a button and returns the notices it showed.
    QStringList click(int command);
    QString pane() const;
    // Runs the operator tool; returns its standard output.
    QString tool(const QStringList &arguments, int exitCode = 0);

    QTemporaryDir m_data;
    std::unique_ptr<Form1> m_window;
};

void TestEndToEnd::initTestCase()
{
    QVERIFY(m_data.isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_data.path()));
    QuilletApp::setUp(*qApp);
}

void TestEndToEnd::cleanup()
{
    m_window.reset();
    QVERIFY(QApplication::topLevelWidgets().isEmpty()
            || std::none_of(QApplication::topLevelWidgets().cbegin(),
                            QApplication::topLevelWidgets().cend(),
                            [](const QWidget *w) { return w->isVisible(); }));
}

void TestEndToEnd::openWindow()
{
    m_window = std::make_unique<Form1>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void TestEndToEnd::type(int box, const QString &text)
{
    auto *edit = m_window->findChild<QLineEdit *>(u"Text%1"_s.arg(box));
    QVERIFY(edit);
    edit->clear();
    QTest::keyClicks(edit, text);
}

QStringList TestEndToEnd::click(int command)
{
    auto *button = m_window->findChild<QPushButton *>(u"Command%1"_s.arg(command));
    if (!button)
        return { u"no such button"_s };
    ModalCloser closer;
    QTest::mouseClick(button, Qt::LeftButton);
    QStringList notices;
    for (const ModalCloser::Seen &seen : std::as_const(closer.seen))
        notices.append(seen.title == u"Brindlet"_s ? seen.text : u"wrong title: "_s + seen.title);
    return notices;
}

QString TestEndToEnd::pane() const
{
    return m_window->findChild<QPlainTextEdit *>(u"RichTextBox1"_s)->toPlainText();
}

QString TestEndToEnd::tool(const QStringList &arguments, int exitCode)
{
    QProcess process;
    process.start(QCoreApplication::applicationDirPath() + u"/quillet-gateway"_s, arguments);
    if (!process.waitForFinished(60'000))
        return u"tool did not finish"_s;
    QString out = QString::fromUtf8(process.readAllStandardOutput());
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != exitCode)
        return u"tool exit %1: %2"_s.arg(process.exitCode())
            .arg(QString::fromUtf8(process.readAllStandardError()));
    return out;
}

void TestEndToEnd::aWholeSessionWithTheLocalGateway()
{
    openWindow();

    // Register signs the new account on; its balance starts at nothing.
    type(1, u" "_s + Account + u" "_s);
    type(2, u"open sesame"_s);
    type(3, Phone);
    QCOMPARE(click(1), QStringList { u"注册成功！"_s });
    QCOMPARE(click(3), QStringList());
    QCOMPARE(pane(), u"余额数：0.00"_s);

    // The operator issues a card; the account recharges with it, once.
    const QString cards = tool({ u"card"_s, u"issue"_s, u"--value"_s, u"5"_s });
    const QRegularExpressionMatch card
        = QRegularExpression(u"^(\\S+)\\t(\\S+)\\t5\\.00$"_s, QRegularExpression::MultilineOption)
              .match(cards);
    QVERIFY2(card.hasMatch(), qPrintable(cards));
    type(4, card.captured(1));
    type(5, card.captured(2));
    QCOMPARE(click(5), QStringList { u"充值成功！"_s });
    QCOMPARE(pane(), u"余额数：5.00"_s);
    QCOMPARE(click(5), QStringList { u"充值失败！"_s });
    QCOMPARE(pane(), u"余额数：5.00"_s);

    // Sending now and later each cost one segment.
    QCOMPARE(click(4), QStringList { u"发送成功！"_s });
    QCOMPARE(pane(), u"余额数：4.90"_s);
    QCOMPARE(click(6), QStringList { u"发送成功！"_s });
    QCOMPARE(pane(), u"余额数：4.80"_s);
    QVERIFY2(tool({ u"handset"_s, Phone }).contains(u"VB测试短信发送!"_s),
             "the handset got the message");

    // A reply from the handset waits until it is received.
    QVERIFY(!tool({ u"mo"_s, u"--from"_s, u"13900139000"_s, u"--to"_s, Account, u"你好，收到"_s })
                 .startsWith(u"tool exit"_s));
    QCOMPARE(click(7), QStringList());
    QVERIFY2(pane().startsWith(u"接收短信\n总数:1\n当前数:1\n特服号:"_s), qPrintable(pane()));
    QVERIFY(pane().contains(u"\n发送号码:13900139000\n发送内容:你好，收到\n发送时间:"_s));
    QCOMPARE(click(15), QStringList());
    QCOMPARE(pane(), u"接收短信\n总数:0\n当前数:0\n"_s);

    // Forwarding and the automatic reply are stored, shown, and act on the next arrival.
    QCOMPARE(click(8), QStringList { u"设置成功！"_s });
    QCOMPARE(click(10), QStringList());
    QCOMPARE(pane(), u"获取转发的电话为:"_s + Phone);
    QCOMPARE(click(11), QStringList { u"申请回复成功！"_s });
    QCOMPARE(click(13), QStringList());
    QCOMPARE(pane(), u"SDK申请转发内容。"_s);
    QVERIFY(!tool({ u"mo"_s, u"--from"_s, u"13700137000"_s, u"--to"_s, Account, u"在吗"_s })
                 .startsWith(u"tool exit"_s));
    QVERIFY2(tool({ u"handset"_s, Phone }).contains(u"在吗"_s), "forwarded copy");
    QVERIFY2(tool({ u"handset"_s, u"13700137000"_s }).contains(u"SDK申请转发内容。"_s),
             "automatic reply");
    QCOMPARE(click(3), QStringList());
    QCOMPARE(pane(), u"余额数：4.60"_s);

    // Cancelling clears both: Get forwarding empties the pane, Get auto-reply leaves it.
    QCOMPARE(click(9), QStringList { u"设置成功！"_s });
    QCOMPARE(click(10), QStringList());
    QCOMPARE(pane(), QString());
    QCOMPARE(click(12), QStringList { u"取消自动回复成功！"_s });
    QCOMPARE(click(12), QStringList { u"取消失败！"_s });
    QCOMPARE(click(3), QStringList());
    QCOMPARE(click(13), QStringList());
    QCOMPARE(pane(), u"余额数：4.60"_s);

    // A new password, then signing off: nothing works until the account signs on again.
    type(6, u"new secret"_s);
    QCOMPARE(click(14), QStringList { u"更改成功！"_s });
    QCOMPARE(click(2), QStringList { u"注销成功！"_s });
    QCOMPARE(click(2), QStringList { u"注销失败！"_s });
    QCOMPARE(click(4), QStringList { u"发送失败！"_s });
    QCOMPARE(pane(), u"余额数："_s);

    // Everything is still there in a new window: the old password no longer signs on.
    m_window.reset();
    openWindow();
    type(1, Account);
    type(2, u"open sesame"_s);
    QCOMPARE(click(1), QStringList { u"注册失败！"_s });
    type(2, u"new secret"_s);
    QCOMPARE(click(1), QStringList { u"注册成功！"_s });
    QCOMPARE(click(3), QStringList());
    QCOMPARE(pane(), u"余额数：4.60"_s);

    const QString accounts = tool({ u"accounts"_s });
    QVERIFY2(accounts.contains(Account) && accounts.contains(u"4.60"_s), qPrintable(accounts));
    QVERIFY(!accounts.contains(u"new secret"_s));
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
