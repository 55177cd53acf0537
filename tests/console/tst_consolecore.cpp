// The console's conventions: trimmed boxes, one gateway per window, the outcome rule,
// the pane, and what a failed call leaves behind. Query balance and Recharge carry
// them.

#include "console/consoletexts.h"
#include "tests/console/rig.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {
const Bool16 Untouched = 0x7ABC; // marks "the slot was not written"
}

class TestConsoleCore : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void readFieldTrimsSpacesOnly_data();
    void readFieldTrimsSpacesOnly();
    void oneGatewayPerWindowCreatedOnFirstUse();
    void rechargeReportsOnlyMinusOneAsSuccess_data();
    void rechargeReportsOnlyMinusOneAsSuccess();
    void rechargePassesTrimmedBoxesAndShowsBalanceAfterTheNotice();
    void queryBalanceShowsTheTextVerbatimAndReplacesThePane_data();
    void queryBalanceShowsTheTextVerbatimAndReplacesThePane();
    void queryBalanceLeavesLastResult();
    void failureStopsTheCommandWhereItIs_data();
    void failureStopsTheCommandWhereItIs();
    void aCommandAfterAFailureCanSucceed();
    void aFactoryThatMakesNothingIsAnError();
    void errorReportGivesCodeInDecimalAndHex_data();
    void errorReportGivesCodeInDecimalAndHex();
};

void TestConsoleCore::readFieldTrimsSpacesOnly_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("read");

    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("spaces around") << u"  ABC-123  "_s << u"ABC-123"_s;
    QTest::newRow("spaces inside stay") << u" A B  C "_s << u"A B  C"_s;
    QTest::newRow("ideographic spaces around") << u"\u3000A\u3000\u3000"_s << u"A"_s;
    QTest::newRow("mixed spaces around") << u" \u3000 A \u3000 "_s << u"A"_s;
    QTest::newRow("blank only") << u"   "_s << QString();
    QTest::newRow("ideographic blank only") << u"\u3000 \u3000"_s << QString();
    QTest::newRow("tabs stay") << u"\tA\t"_s << u"\tA\t"_s;
    QTest::newRow("spaces outside a tab go") << u" \tA\t "_s << u"\tA\t"_s;
    QTest::newRow("line breaks stay") << u"\r\nA\n"_s << u"\r\nA\n"_s;
    QTest::newRow("no-break space stays") << u"\u00a0A\u00a0"_s << u"\u00a0A\u00a0"_s;
}

void TestConsoleCore::readFieldTrimsSpacesOnly()
{
    QFETCH(QString, box);
    QFETCH(QString, read);

    Rig rig;
    rig.view.setBox(InputBox::Text1, box);
    QCOMPARE(rig.console.readField(InputBox::Text1), read);

    rig.press(u"Command3"_s);
    QCOMPARE(rig.script.calls.at(0).arguments, QStringList { read });
    QCOMPARE(rig.console.accountNo(), read);
}

void TestConsoleCore::oneGatewayPerWindowCreatedOnFirstUse()
{
    Rig rig;
    QVERIFY(!rig.console.gateway());
    QCOMPARE(rig.script.instancesCreated, 0);

    rig.press(u"Command3"_s);
    GatewayClient *first = rig.console.gateway();
    QVERIFY(first);
    rig.press(u"Command5"_s); // two calls, each with its own ensureGateway
    rig.press(u"Command3"_s);

    QCOMPARE(rig.script.instancesCreated, 1);
    QCOMPARE(rig.console.gateway(), first);
    QCOMPARE(
        rig.script.operations(),
        (QStringList { u"QueryBalance"_s, u"Recharge"_s, u"QueryBalance"_s, u"QueryBalance"_s }));
}

void TestConsoleCore::rechargeReportsOnlyMinusOneAsSuccess_data()
{
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QString>("notice");
    QTest::addColumn<Bool16>("lastResult");

    QTest::newRow("-1 succeeds") << Reply::outcome(-1) << u"充值成功！"_s << Bool16(-1);
    QTest::newRow("0 fails") << Reply::outcome(0) << u"充值失败！"_s << Bool16(0);
    QTest::newRow("1 fails") << Reply::outcome(1) << u"充值失败！"_s << Bool16(1);
    QTest::newRow("-2 fails, all bits kept") << Reply::outcome(-2) << u"充值失败！"_s << Bool16(-2);
    QTest::newRow("0x7FFF fails") << Reply::outcome(0x7FFF) << u"充值失败！"_s << Bool16(0x7FFF);
    QTest::newRow("slot untouched fails") << Reply::nothing() << u"充值失败！"_s << Bool16(0);
}

void TestConsoleCore::rechargeReportsOnlyMinusOneAsSuccess()
{
    QFETCH(Reply, reply);
    QFETCH(QString, notice);
    QFETCH(Bool16, lastResult);

    Rig rig;
    rig.script.replies = { Reply::outcome(Untouched) };
    rig.press(u"Command5"_s); // leaves a marker in lastResult
    QCOMPARE(rig.console.lastResult(), Untouched);

    rig.script.replies = { reply, Reply::text(u"8.00"_s) };
    rig.press(u"Command5"_s);

    QCOMPARE(rig.script.calls.at(2).outcomeIn, Bool16(0)); // the slot holds 0 before the call
    QCOMPARE(rig.console.lastResult(), lastResult);
    QCOMPARE(rig.view.notices.last(), notice);
    QCOMPARE(rig.view.pane, u"余额数：8.00"_s);
}

void TestConsoleCore::rechargePassesTrimmedBoxesAndShowsBalanceAfterTheNotice()
{
    Rig rig;
    rig.view.setBox(InputBox::Text1, u" ABC-DEF-GHI-12345 "_s);
    rig.view.setBox(InputBox::Text2, u"not read"_s);
    rig.view.setBox(InputBox::Text3, u"not read"_s);
    rig.view.setBox(InputBox::Text4, u"  12 34  "_s);
    rig.view.setBox(InputBox::Text5, u"\u3000p w\u3000"_s);
    rig.script.replies = { Reply::outcome(-1), Reply::text(u" 12.30 "_s) };

    rig.press(u"Command5"_s);

    QCOMPARE(rig.script.calls.at(0).arguments,
             (QStringList { u"ABC-DEF-GHI-12345"_s, u"12 34"_s, u"p w"_s }));
    QCOMPARE(rig.script.calls.at(1).arguments, QStringList { u"ABC-DEF-GHI-12345"_s });
    QCOMPARE(rig.script.trace,
             (QStringList { u"create"_s, u"Recharge"_s, u"notice:充值成功！"_s, u"QueryBalance"_s,
                            u"output:余额数： 12.30 "_s }));
    QCOMPARE(rig.console.accountPassword(), QString());
    QCOMPARE(rig.console.phoneNo(), QString());
}

void TestConsoleCore::queryBalanceShowsTheTextVerbatimAndReplacesThePane_data()
{
    QTest::addColumn<QString>("balance");

    QTest::newRow("number") << u"12.30"_s;
    QTest::newRow("empty") << QString();
    QTest::newRow("spaces kept") << u"  1 元  "_s;
    QTest::newRow("line breaks kept") << u"1\r\n2"_s;
}

void TestConsoleCore::queryBalanceShowsTheTextVerbatimAndReplacesThePane()
{
    QFETCH(QString, balance);

    Rig rig;
    rig.script.replies = { Reply::text(u"first"_s), Reply::text(balance) };
    rig.press(u"Command3"_s);
    rig.press(u"Command3"_s);

    QCOMPARE(rig.script.calls.at(1).textIn, QString()); // the slot is empty before the call
    QCOMPARE(rig.view.outputs, (QStringList { u"余额数：first"_s, u"余额数："_s + balance }));
    QVERIFY(rig.view.notices.isEmpty());
}

void TestConsoleCore::queryBalanceLeavesLastResult()
{
    Rig rig;
    rig.script.replies = { Reply::outcome(1) };
    rig.press(u"Command5"_s);
    QCOMPARE(rig.console.lastResult(), Bool16(1));

    rig.script.replies = { Reply::text(u"5.00"_s) };
    rig.press(u"Command3"_s);
    QCOMPARE(rig.console.lastResult(), Bool16(1));
}

void TestConsoleCore::failureStopsTheCommandWhereItIs_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("creationFails");
    QTest::addColumn<QList<Reply>>("replies");
    QTest::addColumn<QStringList>("notices");
    QTest::addColumn<Bool16>("lastResult");

    const Reply failure = Reply::failure(qint32(0x80070070u), u"磁盘已满"_s);
    QTest::newRow("query balance: creation")
        << u"Command3"_s << true << QList<Reply> {} << QStringList() << Untouched;
    QTest::newRow("query balance: the call")
        << u"Command3"_s << false << QList<Reply> { failure } << QStringList() << Untouched;
    QTest::newRow("recharge: creation")
        << u"Command5"_s << true << QList<Reply> {} << QStringList() << Untouched;
    QTest::newRow("recharge: the recharge")
        << u"Command5"_s << false << QList<Reply> { failure } << QStringList() << Untouched;
    QTest::newRow("recharge: the trailing balance")
        << u"Command5"_s << false << QList<Reply> { Reply::outcome(-1), failure }
        << QStringList { u"充值成功！"_s } << Bool16(-1);
}

void TestConsoleCore::failureStopsTheCommandWhereItIs()
{
    QFETCH(QString, command);
    QFETCH(bool, creationFails);
    QFETCH(QList<Reply>, replies);
    QFETCH(QStringList, notices);
    QFETCH(Bool16, lastResult);

    // GIVEN a window whose pane and lastResult hold earlier results
    Rig rig;
    if (!creationFails) {
        rig.script.replies = { Reply::outcome(Untouched), Reply::text(u"earlier"_s) };
        rig.press(u"Command5"_s);
        rig.view.notices.clear();
    } else {
        rig.view.pane = u"earlier"_s;
        rig.script.creationFailure = Status::failure(Status::ClassNotRegistered, u"没有安装"_s);
    }
    const QString pane = rig.view.pane;
    const qsizetype outputs = rig.view.outputs.size();
    for (const Reply &reply : replies)
        rig.script.replies.append(reply);

    // WHEN the command meets the failure
    rig.view.setBox(InputBox::Text1, u" NEW "_s);
    rig.press(command);

    // THEN it stopped there: the fields it wrote stay, nothing after the failure happened,
    // and the error was reported once
    QCOMPARE(rig.console.accountNo(), u"NEW"_s);
    QCOMPARE(rig.view.notices, notices);
    QCOMPARE(rig.view.pane, pane);
    QCOMPARE(rig.view.outputs.size(), outputs);
    QCOMPARE(rig.view.errors.size(), 1);
    QVERIFY(rig.view.errors.first().failed());
    QCOMPARE(rig.console.lastResult(), creationFails ? Bool16(0) : lastResult);
    QVERIFY(rig.script.replies.isEmpty());
}

void TestConsoleCore::aCommandAfterAFailureCanSucceed()
{
    Rig rig;
    rig.script.creationFailure = Status::failure(Status::ClassNotRegistered, u"没有安装"_s);
    rig.press(u"Command3"_s);
    QCOMPARE(rig.view.errors.size(), 1);
    QVERIFY(!rig.console.gateway());

    rig.script.creationFailure.reset();
    rig.script.replies = { Reply::text(u"1.00"_s) };
    rig.press(u"Command3"_s);
    QCOMPARE(rig.view.errors.size(), 1);
    QCOMPARE(rig.view.pane, u"余额数：1.00"_s);
}

void TestConsoleCore::aFactoryThatMakesNothingIsAnError()
{
    FakeView view;
    Console console(view, [](std::unique_ptr<GatewayClient> &) { return Status::ok(); });
    console.press(u"Command3"_s);

    QVERIFY(!console.gateway());
    QCOMPARE(view.errors.size(), 1);
    QCOMPARE(view.errors.first().code(), Status::CreationFailed);
    QVERIFY(!view.errors.first().description().isEmpty());
    QVERIFY(view.outputs.isEmpty());
}

void TestConsoleCore::errorReportGivesCodeInDecimalAndHex_data()
{
    QTest::addColumn<qint32>("code");
    QTest::addColumn<QString>("report");

    QTest::newRow("class not registered")
        << Status::ClassNotRegistered << u"错误 -2147221164（0x80040154）：说明"_s;
    QTest::newRow("minus one") << qint32(-1) << u"错误 -1（0xFFFFFFFF）：说明"_s;
    QTest::newRow("lowest") << std::numeric_limits<qint32>::min()
                            << u"错误 -2147483648（0x80000000）：说明"_s;
}

void TestConsoleCore::errorReportGivesCodeInDecimalAndHex()
{
    QFETCH(qint32, code);
    QFETCH(QString, report);
    QCOMPARE(ConsoleTexts::errorReport(code, u"说明"_s), report);
}

QTEST_GUILESS_MAIN(TestConsoleCore)
#include "tst_consolecore.moc"
