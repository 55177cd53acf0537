// The account, sending, forwarding and automatic-reply commands: what each sends,
// which window fields it writes, how it reports, and where a failure stops it.

#include "tests/console/rig.h"

#include <QTest>

#include <cmath>

using namespace Qt::StringLiterals;

namespace {

const Bool16 Marker = 0x5A5A;

// Boxes with spaces around every value, so trimming shows in every argument.
void fillBoxes(Rig &rig)
{
    rig.view.setBox(InputBox::Text1, u" AB1-CD2-EF3-GH456 "_s);
    rig.view.setBox(InputBox::Text2, u" secret "_s);
    rig.view.setBox(InputBox::Text3, u" 138 0013 8000 "_s);
    rig.view.setBox(InputBox::Text4, u" card "_s);
    rig.view.setBox(InputBox::Text5, u" cardpw "_s);
    rig.view.setBox(InputBox::Text6, u" newpw "_s);
}

} // namespace

class TestCommands : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void eachCommandSendsItsArguments_data();
    void eachCommandSendsItsArguments();
    void noticeCommandsReportOnlyMinusOneAsSuccess_data();
    void noticeCommandsReportOnlyMinusOneAsSuccess();
    void eachCommandWritesItsFieldsOnly_data();
    void eachCommandWritesItsFieldsOnly();
    void sendingShowsTheBalanceAfterEitherNotice_data();
    void sendingShowsTheBalanceAfterEitherNotice();
    void sendingStopsAtTheFailingStep_data();
    void sendingStopsAtTheFailingStep();
    void scheduledTimeIsTenMinutesOnWithCalendarCarry_data();
    void scheduledTimeIsTenMinutesOnWithCalendarCarry();
    void scheduledTimeIsReadBeforeTheGatewayIsCreated();
    void getForwardingAsksTwiceAndShowsTheSecondAnswer_data();
    void getForwardingAsksTwiceAndShowsTheSecondAnswer();
    void getForwardingFailures_data();
    void getForwardingFailures();
    void toBool16_data();
    void toBool16();
    void getAutoReplyShowsAnyNonEmptyReply_data();
    void getAutoReplyShowsAnyNonEmptyReply();
    void changePasswordKeepsTheRegisteredPassword();
};

void TestCommands::eachCommandSendsItsArguments_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QStringList>("arguments");

    const QString account = u"AB1-CD2-EF3-GH456"_s;
    const QString phone = u"138 0013 8000"_s;
    QTest::newRow("register") << u"Command1"_s << u"Register"_s
                              << QStringList { account,
                                               u"secret"_s,
                                               u"北京"_s,
                                               u"北京"_s,
                                               u"计算机软件"_s,
                                               u"示例公司"_s,
                                               u"示例人"_s,
                                               u"010-12345678"_s,
                                               phone,
                                               u"sample@example.com"_s,
                                               u"010-87654321"_s,
                                               u"北京市中关村"_s,
                                               u"100086"_s };
    QTest::newRow("deregister") << u"Command2"_s << u"Deregister"_s << QStringList { account };
    QTest::newRow("change password")
        << u"Command14"_s << u"ChangePassword"_s << QStringList { account, u"newpw"_s };
    QTest::newRow("send message") << u"Command4"_s << u"SendMessage"_s
                                  << QStringList { account, phone, u"VB测试短信发送!"_s };
    QTest::newRow("scheduled message")
        << u"Command6"_s << u"SendScheduledMessage"_s
        << QStringList { account, phone, u"使用SDK发送定时短信"_s, u"2026/12/7 23:55:30"_s };
    QTest::newRow("apply forwarding")
        << u"Command8"_s << u"SetForwarding"_s << QStringList { account, phone };
    QTest::newRow("cancel forwarding")
        << u"Command9"_s << u"CancelForwarding"_s << QStringList { account };
    QTest::newRow("get forwarding")
        << u"Command10"_s << u"GetForwarding"_s << QStringList { account };
    QTest::newRow("apply auto-reply")
        << u"Command11"_s << u"SetAutoReply"_s << QStringList { account, u"SDK申请转发内容。"_s };
    QTest::newRow("cancel auto-reply")
        << u"Command12"_s << u"CancelAutoReply"_s << QStringList { account };
    QTest::newRow("get auto-reply")
        << u"Command13"_s << u"GetAutoReply"_s << QStringList { account };
}

void TestCommands::eachCommandSendsItsArguments()
{
    QFETCH(QString, command);
    QFETCH(QString, operation);
    QFETCH(QStringList, arguments);

    Rig rig;
    fillBoxes(rig);
    rig.press(command);

    QVERIFY(!rig.script.calls.isEmpty());
    const Call &call = rig.script.calls.first();
    QCOMPARE(call.operation, operation);
    QCOMPARE(call.arguments, arguments);
    QCOMPARE(call.outcomeIn, Bool16(0));
    QCOMPARE(call.textIn, QString());
    QVERIFY(rig.view.errors.isEmpty());
}

void TestCommands::noticeCommandsReportOnlyMinusOneAsSuccess_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QString>("notice");
    QTest::addColumn<Bool16>("lastResult");

    struct Texts {
        const char *tag;
        QString button;
        QString succeeded;
        QString failed;
    };
    const Texts commands[] = {
        { "register", u"Command1"_s, u"注册成功！"_s, u"注册失败！"_s },
        { "deregister", u"Command2"_s, u"注销成功！"_s, u"注销失败！"_s },
        { "change password", u"Command14"_s, u"更改成功！"_s, u"更改失败！"_s },
        { "send message", u"Command4"_s, u"发送成功！"_s, u"发送失败！"_s },
        { "scheduled message", u"Command6"_s, u"发送成功！"_s, u"发送失败！"_s },
        { "apply forwarding", u"Command8"_s, u"设置成功！"_s, u"设置失败！"_s },
        { "cancel forwarding", u"Command9"_s, u"设置成功！"_s, u"设置失败！"_s },
        { "apply auto-reply", u"Command11"_s, u"申请回复成功！"_s, u"申请回复失败！"_s },
        { "cancel auto-reply", u"Command12"_s, u"取消自动回复成功！"_s, u"取消失败！"_s },
    };
    for (const Texts &t : commands) {
        QTest::addRow("%s: -1", t.tag)
            << t.button << Reply::outcome(-1) << t.succeeded << Bool16(-1);
        QTest::addRow("%s: 0", t.tag) << t.button << Reply::outcome(0) << t.failed << Bool16(0);
        QTest::addRow("%s: 1", t.tag) << t.button << Reply::outcome(1) << t.failed << Bool16(1);
        QTest::addRow("%s: untouched", t.tag)
            << t.button << Reply::nothing() << t.failed << Bool16(0);
    }
}

void TestCommands::noticeCommandsReportOnlyMinusOneAsSuccess()
{
    QFETCH(QString, command);
    QFETCH(Reply, reply);
    QFETCH(QString, notice);
    QFETCH(Bool16, lastResult);

    Rig rig;
    rig.presetLastResult(Marker);

    rig.script.replies = { reply };
    rig.press(command);

    QCOMPARE(rig.view.notices, QStringList { notice });
    QCOMPARE(rig.console.lastResult(), lastResult);
}

void TestCommands::eachCommandWritesItsFieldsOnly_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("writesPhone");
    QTest::addColumn<bool>("writesPassword");
    QTest::addColumn<bool>("writesLastResult");
    QTest::addColumn<bool>("writesPane");

    QTest::newRow("register") << u"Command1"_s << true << true << true << false;
    QTest::newRow("deregister") << u"Command2"_s << false << false << true << false;
    QTest::newRow("change password") << u"Command14"_s << false << false << true << false;
    QTest::newRow("send message") << u"Command4"_s << true << false << true << true;
    QTest::newRow("scheduled message") << u"Command6"_s << true << false << true << true;
    QTest::newRow("apply forwarding") << u"Command8"_s << true << false << true << false;
    QTest::newRow("cancel forwarding") << u"Command9"_s << false << false << true << false;
    QTest::newRow("get forwarding") << u"Command10"_s << false << false << true << true;
    QTest::newRow("apply auto-reply") << u"Command11"_s << false << false << true << false;
    QTest::newRow("cancel auto-reply") << u"Command12"_s << false << false << true << false;
    QTest::newRow("get auto-reply") << u"Command13"_s << false << false << false << false;
}

void TestCommands::eachCommandWritesItsFieldsOnly()
{
    QFETCH(QString, command);
    QFETCH(bool, writesPhone);
    QFETCH(bool, writesPassword);
    QFETCH(bool, writesLastResult);
    QFETCH(bool, writesPane);

    // GIVEN fields stored by an earlier Register and a marker in lastResult
    Rig rig;
    rig.view.setBox(InputBox::Text1, u"old account"_s);
    rig.view.setBox(InputBox::Text2, u"old password"_s);
    rig.view.setBox(InputBox::Text3, u"old phone"_s);
    rig.script.replies = { Reply::outcome(Marker) };
    rig.press(u"Command1"_s);
    rig.view.pane = u"pane before"_s;

    // WHEN the command runs on new boxes (the gateway answers nothing)
    fillBoxes(rig);
    rig.press(command);

    // THEN it wrote its own fields and nothing else
    QCOMPARE(rig.console.accountNo(), u"AB1-CD2-EF3-GH456"_s);
    QCOMPARE(rig.console.phoneNo(), writesPhone ? u"138 0013 8000"_s : u"old phone"_s);
    QCOMPARE(rig.console.accountPassword(), writesPassword ? u"secret"_s : u"old password"_s);
    QCOMPARE(rig.console.lastResult() != Marker, writesLastResult);
    QCOMPARE(rig.view.pane != u"pane before"_s, writesPane);
}

void TestCommands::sendingShowsTheBalanceAfterEitherNotice_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<Bool16>("outcome");

    QTest::newRow("send message succeeds") << u"Command4"_s << Bool16(-1);
    QTest::newRow("send message fails") << u"Command4"_s << Bool16(0);
    QTest::newRow("scheduled message succeeds") << u"Command6"_s << Bool16(-1);
    QTest::newRow("scheduled message fails") << u"Command6"_s << Bool16(0);
}

void TestCommands::sendingShowsTheBalanceAfterEitherNotice()
{
    QFETCH(QString, command);
    QFETCH(Bool16, outcome);

    Rig rig;
    rig.view.setBox(InputBox::Text1, u"A"_s);
    rig.script.replies = { Reply::outcome(outcome), Reply::text(u"9.90"_s) };
    rig.press(command);

    const QString notice = outcome == -1 ? u"发送成功！"_s : u"发送失败！"_s;
    QCOMPARE(rig.script.trace.mid(rig.script.trace.size() - 3),
             (QStringList { u"notice:"_s + notice, u"QueryBalance"_s, u"output:余额数：9.90"_s }));
    QCOMPARE(rig.script.calls.last().arguments, QStringList { u"A"_s });
}

void TestCommands::sendingStopsAtTheFailingStep_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("failingCall");
    QTest::addColumn<QStringList>("notices");
    QTest::addColumn<Bool16>("lastResult");

    for (const char *button : { "Command4", "Command6" }) {
        QTest::addRow("%s: the send", button)
            << QString::fromLatin1(button) << 0 << QStringList() << Marker;
        QTest::addRow("%s: the trailing balance", button)
            << QString::fromLatin1(button) << 1 << QStringList { u"发送成功！"_s } << Bool16(-1);
    }
}

void TestCommands::sendingStopsAtTheFailingStep()
{
    QFETCH(QString, command);
    QFETCH(int, failingCall);
    QFETCH(QStringList, notices);
    QFETCH(Bool16, lastResult);

    Rig rig;
    rig.presetLastResult(Marker);
    rig.view.pane = u"before"_s;

    const Reply failure = Reply::failure(-5, u"失败"_s);
    rig.script.replies = failingCall == 0 ? QList<Reply> { failure }
                                          : QList<Reply> { Reply::outcome(-1), failure };
    rig.press(command);

    QCOMPARE(rig.view.notices, notices);
    QCOMPARE(rig.console.lastResult(), lastResult);
    QCOMPARE(rig.view.pane, u"before"_s);
    QCOMPARE(rig.view.errors.size(), 1);
    QCOMPARE(rig.view.errors.first().code(), -5);
}

void TestCommands::scheduledTimeIsTenMinutesOnWithCalendarCarry_data()
{
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QString>("sendTime");
    QTest::addColumn<QString>("nextSendTime"); // pressed again a minute later

    const auto at = [](int y, int mo, int d, int h, int mi, int s) {
        return QDateTime(QDate(y, mo, d), QTime(h, mi, s));
    };
    QTest::newRow("same hour") << at(2026, 12, 7, 23, 45, 30) << u"2026/12/7 23:55:30"_s
                               << u"2026/12/7 23:56:30"_s;
    QTest::newRow("into the next hour")
        << at(2026, 3, 9, 8, 55, 0) << u"2026/3/9 9:05:00"_s << u"2026/3/9 9:06:00"_s;
    QTest::newRow("into the next day")
        << at(2026, 6, 14, 23, 59, 59) << u"2026/6/15 0:09:59"_s << u"2026/6/15 0:10:59"_s;
    QTest::newRow("end of a 30-day month")
        << at(2026, 4, 30, 23, 55, 30) << u"2026/5/1 0:05:30"_s << u"2026/5/1 0:06:30"_s;
    QTest::newRow("end of a 31-day month")
        << at(2026, 1, 31, 23, 55, 30) << u"2026/2/1 0:05:30"_s << u"2026/2/1 0:06:30"_s;
    QTest::newRow("end of the year")
        << at(2026, 12, 31, 23, 55, 30) << u"2027/1/1 0:05:30"_s << u"2027/1/1 0:06:30"_s;
    QTest::newRow("onto a leap day")
        << at(2028, 2, 28, 23, 55, 30) << u"2028/2/29 0:05:30"_s << u"2028/2/29 0:06:30"_s;
    QTest::newRow("from a leap day")
        << at(2028, 2, 29, 23, 55, 30) << u"2028/3/1 0:05:30"_s << u"2028/3/1 0:06:30"_s;
    QTest::newRow("no leap day in 2100")
        << at(2100, 2, 28, 23, 55, 30) << u"2100/3/1 0:05:30"_s << u"2100/3/1 0:06:30"_s;
    QTest::newRow("leap day in 2000")
        << at(2000, 2, 28, 23, 50, 0) << u"2000/2/29 0:00:00"_s << u"2000/2/29 0:01:00"_s;
}

void TestCommands::scheduledTimeIsTenMinutesOnWithCalendarCarry()
{
    QFETCH(QDateTime, now);
    QFETCH(QString, sendTime);
    QFETCH(QString, nextSendTime);

    Rig rig;
    rig.now = now;
    rig.press(u"Command6"_s);
    QCOMPARE(rig.script.calls.first().arguments.at(3), sendTime);

    // Each press reads the clock anew.
    rig.now = now.addSecs(60);
    rig.press(u"Command6"_s);
    QCOMPARE(rig.script.calls.at(2).arguments.at(3), nextSendTime);
}

void TestCommands::scheduledTimeIsReadBeforeTheGatewayIsCreated()
{
    Rig rig;
    rig.press(u"Command6"_s);
    QCOMPARE(rig.script.trace.mid(0, 3),
             (QStringList { u"clock"_s, u"create"_s, u"SendScheduledMessage"_s }));
}

void TestCommands::getForwardingAsksTwiceAndShowsTheSecondAnswer_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<QString>("pane");
    QTest::addColumn<Bool16>("lastResult");

    QTest::newRow("mobile number")
        << u"13800138000"_s << u"13900139000"_s << u"获取转发的电话为:13900139000"_s << Bool16(-1);
    QTest::newRow("second answer empty")
        << u"13800138000"_s << QString() << u"获取转发的电话为:"_s << Bool16(-1);
    QTest::newRow("zeros") << u"000"_s << u"13900139000"_s << QString() << Bool16(0);
    QTest::newRow("empty first answer") << QString() << u"13900139000"_s << QString() << Bool16(0);
    QTest::newRow("blank first answer") << u"  "_s << u"x"_s << QString() << Bool16(0);
    QTest::newRow("true in any case")
        << u"tRuE"_s << u"x"_s << u"获取转发的电话为:x"_s << Bool16(-1);
    QTest::newRow("false") << u"FALSE"_s << u"x"_s << QString() << Bool16(0);
    QTest::newRow("landline with area code") << u"010-12345678"_s << u"010-12345678"_s
                                             << u"获取转发的电话为:010-12345678"_s << Bool16(-1);
}

void TestCommands::getForwardingAsksTwiceAndShowsTheSecondAnswer()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QString, pane);
    QFETCH(Bool16, lastResult);

    Rig rig;
    rig.view.pane = u"余额数：1.00"_s;
    rig.view.setBox(InputBox::Text1, u" A "_s);
    rig.script.replies = { Reply::text(first), Reply::text(second) };
    rig.press(u"Command10"_s);

    QCOMPARE(rig.script.operations(), (QStringList { u"GetForwarding"_s, u"GetForwarding"_s }));
    QCOMPARE(rig.script.calls.at(1).arguments, QStringList { u"A"_s });
    QCOMPARE(rig.script.calls.at(1).textIn, QString());
    QCOMPARE(rig.view.pane, pane);
    QCOMPARE(rig.view.outputs.size(), 1);
    QCOMPARE(rig.console.lastResult(), lastResult);
    QVERIFY(rig.view.notices.isEmpty());
}

void TestCommands::getForwardingFailures_data()
{
    QTest::addColumn<QList<Reply>>("replies");
    QTest::addColumn<Bool16>("lastResult");

    const Reply failure = Reply::failure(-7, u"断开"_s);
    QTest::newRow("first call fails") << QList<Reply> { failure } << Marker;
    QTest::newRow("second call fails after a true answer")
        << QList<Reply> { Reply::text(u"138"_s), failure } << Bool16(-1);
    QTest::newRow("second call fails after a false answer")
        << QList<Reply> { Reply::text(u"0"_s), failure } << Bool16(0);
}

void TestCommands::getForwardingFailures()
{
    QFETCH(QList<Reply>, replies);
    QFETCH(Bool16, lastResult);

    Rig rig;
    rig.presetLastResult(Marker);
    rig.view.pane = u"before"_s;

    rig.script.replies = replies;
    rig.press(u"Command10"_s);

    QCOMPARE(rig.console.lastResult(), lastResult);
    QCOMPARE(rig.view.pane, u"before"_s);
    QCOMPARE(rig.view.errors.size(), 1);
}

void TestCommands::toBool16_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<Bool16>("value");

    QTest::newRow("mobile number") << u"13800138000"_s << Bool16(-1);
    QTest::newRow("zero") << u"0"_s << Bool16(0);
    QTest::newRow("zeros") << u"0000"_s << Bool16(0);
    QTest::newRow("one") << u"1"_s << Bool16(-1);
    QTest::newRow("negative") << u"-3"_s << Bool16(-1);
    QTest::newRow("plus zero") << u"+0"_s << Bool16(0);
    QTest::newRow("decimal zero") << u"0.0"_s << Bool16(0);
    QTest::newRow("decimal") << u"0.5"_s << Bool16(-1);
    QTest::newRow("exponent") << u"1e3"_s << Bool16(-1);
    QTest::newRow("zero with exponent") << u"0e5"_s << Bool16(0);
    QTest::newRow("huge") << u"1e999"_s << Bool16(-1);
    QTest::newRow("too small for a double reads as zero") << u"1e-999"_s << Bool16(0);
    QTest::newRow("blanks around a number") << u" \t42 \r\n"_s << Bool16(-1);
    QTest::newRow("blanks around zero") << u"  0  "_s << Bool16(0);
    QTest::newRow("true") << u"True"_s << Bool16(-1);
    QTest::newRow("TRUE") << u"TRUE"_s << Bool16(-1);
    QTest::newRow("false") << u"false"_s << Bool16(0);
    QTest::newRow("fAlSe with blanks") << u" fAlSe "_s << Bool16(0);
    QTest::newRow("empty") << QString() << Bool16(0);
    QTest::newRow("blanks only") << u" \t "_s << Bool16(0);
    QTest::newRow("landline") << u"010-12345678"_s << Bool16(-1);
    QTest::newRow("international") << u"+86 138 0013 8000"_s << Bool16(-1);
    QTest::newRow("words") << u"none"_s << Bool16(-1);
    QTest::newRow("trailing dot") << u"0."_s << Bool16(0);
    QTest::newRow("dot alone") << u"."_s << Bool16(-1);
    QTest::newRow("sign alone") << u"-"_s << Bool16(-1);
    QTest::newRow("full-width digits") << u"０"_s << Bool16(-1);
}

void TestCommands::toBool16()
{
    QFETCH(QString, text);
    QFETCH(Bool16, value);
    QCOMPARE(Console::toBool16(text), value);
}

void TestCommands::getAutoReplyShowsAnyNonEmptyReply_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QString>("pane");

    QTest::newRow("reply") << Reply::text(u"SDK申请转发内容。"_s) << u"SDK申请转发内容。"_s;
    QTest::newRow("blanks are a reply") << Reply::text(u"   "_s) << u"   "_s;
    QTest::newRow("empty keeps the pane") << Reply::text(QString()) << u"余额数：3.00"_s;
    QTest::newRow("nothing written keeps the pane") << Reply::nothing() << u"余额数：3.00"_s;
}

void TestCommands::getAutoReplyShowsAnyNonEmptyReply()
{
    QFETCH(Reply, reply);
    QFETCH(QString, pane);

    Rig rig;
    rig.script.replies = { Reply::outcome(Marker), Reply::text(u"3.00"_s) };
    rig.press(u"Command5"_s);
    rig.view.notices.clear();

    rig.script.replies = { reply };
    rig.press(u"Command13"_s);

    QCOMPARE(rig.view.pane, pane);
    QCOMPARE(rig.console.lastResult(), Marker);
    QVERIFY(rig.view.notices.isEmpty());
}

void TestCommands::changePasswordKeepsTheRegisteredPassword()
{
    Rig rig;
    rig.view.setBox(InputBox::Text2, u"first"_s);
    rig.press(u"Command1"_s);
    rig.view.setBox(InputBox::Text2, u"second"_s);
    rig.view.setBox(InputBox::Text6, QString());
    rig.script.replies = { Reply::outcome(-1) };
    rig.press(u"Command14"_s);

    QCOMPARE(rig.script.calls.last().arguments.at(1), QString()); // empty new password is sent
    QCOMPARE(rig.console.accountPassword(), u"first"_s);

    rig.press(u"Command1"_s);
    QCOMPARE(rig.script.calls.last().arguments.at(1), u"second"_s);
}

QTEST_GUILESS_MAIN(TestCommands)
#include "tst_commands.moc"
