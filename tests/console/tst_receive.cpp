// The receive commands: the batch loop, the listing, the call bound, and what a
// malformed answer does.

#include "tests/console/rig.h"

#include <QTest>

#include <cmath>

using namespace Qt::StringLiterals;

namespace {

const QString Crlf = u"\r\n"_s;
const QString Header = u"接收短信\r\n"_s;

Reply batch(const QString &total, const QString &current, qsizetype rows,
            const QString &prefix = {})
{
    return Reply::batch(-1, Variant(total), Variant(current), Variant(messageTable(rows, prefix)));
}

// The listing lines of one successful call.
QString block(const QString &total, const QString &current, qsizetype rows,
              const QString &prefix = {})
{
    QString text = u"总数:"_s + total + Crlf + u"当前数:"_s + current + Crlf;
    for (qsizetype m = 0; m < rows; ++m) {
        text += u"特服号:%1%2.0\r\n发送号码:%1%2.1\r\n发送内容:%1%2.2\r\n发送时间:%1%2.3\r\n"_s
                    .arg(prefix)
                    .arg(m);
    }
    return text;
}

} // namespace

class TestReceive : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void listsEveryBatchUntilTheTotalIsReached_data();
    void listsEveryBatchUntilTheTotalIsReached();
    void slotsCarryOverFromCallToCall();
    void anUntouchedOutcomeSlotKeepsTheEarlierOutcome();
    void stopsAfterTheCallLimitAndSaysSo();
    void malformedAnswersAreReportedAndLeaveThePane_data();
    void malformedAnswersAreReportedAndLeaveThePane();
    void networkEditionPassesAnEmptyExtension();
    void countValue_data();
    void countValue();
};

void TestReceive::listsEveryBatchUntilTheTotalIsReached_data()
{
    QTest::addColumn<QList<Reply>>("replies");
    QTest::addColumn<int>("calls");
    QTest::addColumn<QString>("listing");
    QTest::addColumn<Bool16>("lastResult");

    QTest::newRow("first call fails")
        << QList<Reply> { Reply::outcome(0) } << 1 << Header << Bool16(0);
    QTest::newRow("nothing waiting") << QList<Reply> { batch(u"0"_s, u"0"_s, 0) } << 1
                                     << Header + block(u"0"_s, u"0"_s, 0) << Bool16(-1);
    QTest::newRow("one batch of two")
        << QList<Reply> { batch(u"2"_s, u"2"_s, 2) } << 1
        << u"接收短信\r\n总数:2\r\n当前数:2\r\n"
           u"特服号:0.0\r\n发送号码:0.1\r\n发送内容:0.2\r\n发送时间:0.3\r\n"
           u"特服号:1.0\r\n发送号码:1.1\r\n发送内容:1.2\r\n发送时间:1.3\r\n"_s
        << Bool16(-1);
    QTest::newRow("three batches")
        << QList<Reply> { batch(u"25"_s, u"10"_s, 10, u"a"_s), batch(u"15"_s, u"10"_s, 10, u"b"_s),
                          batch(u"5"_s, u"5"_s, 5, u"c"_s) }
        << 3
        << Header + block(u"25"_s, u"10"_s, 10, u"a"_s) + block(u"15"_s, u"10"_s, 10, u"b"_s)
            + block(u"5"_s, u"5"_s, 5, u"c"_s)
        << Bool16(-1);
    QTest::newRow("failure after a success")
        << QList<Reply> { batch(u"12"_s, u"10"_s, 10), Reply::outcome(0) } << 2
        << Header + block(u"12"_s, u"10"_s, 10) << Bool16(0);
    QTest::newRow("current above total") << QList<Reply> { batch(u"1"_s, u"2"_s, 2) } << 1
                                         << Header + block(u"1"_s, u"2"_s, 2) << Bool16(-1);
    QTest::newRow("outcome 1 is success") << QList<Reply> { Reply::batch(
        1, Variant(u"1"_s), Variant(u"1"_s), Variant(messageTable(1))) }
                                          << 1 << Header + block(u"1"_s, u"1"_s, 1) << Bool16(1);
    QTest::newRow("blank before a count") << QList<Reply> { batch(u"3"_s, u" 3"_s, 3) } << 1
                                          << Header + block(u"3"_s, u" 3"_s, 3) << Bool16(-1);
    QTest::newRow("letters count as zero and the loop goes on")
        << QList<Reply> { batch(u"4"_s, u"abc"_s, 4), batch(u"4"_s, u"4"_s, 4, u"x"_s) } << 2
        << Header + block(u"4"_s, u"abc"_s, 0) + block(u"4"_s, u"4"_s, 4, u"x"_s) << Bool16(-1);
    QTest::newRow("fractional count lists the messages up to it")
        << QList<Reply> { batch(u"2.5"_s, u"2.5"_s, 3) } << 1
        << Header + block(u"2.5"_s, u"2.5"_s, 2) << Bool16(-1);
    QTest::newRow("negative count lists nothing")
        << QList<Reply> { batch(u"-1"_s, u"-1"_s, 0) } << 1 << Header + block(u"-1"_s, u"-1"_s, 0)
        << Bool16(-1);
    QTest::newRow("more rows than the count lists the count")
        << QList<Reply> { batch(u"1"_s, u"1"_s, 5) } << 1 << Header + block(u"1"_s, u"1"_s, 1)
        << Bool16(-1);
    QTest::newRow("null counts read as empty and zero")
        << QList<Reply> { Reply::batch(-1, Variant(), Variant(), Variant()) } << 1
        << Header + u"总数:\r\n当前数:\r\n"_s << Bool16(-1);
    QTest::newRow("empty fields give the labels alone")
        << QList<Reply> { Reply::batch(-1, Variant(u"1"_s), Variant(u"1"_s),
                                       Variant(TextTable(1, 4))) }
        << 1
        << Header + u"总数:1\r\n当前数:1\r\n特服号:\r\n发送号码:\r\n发送内容:\r\n发送时间:\r\n"_s
        << Bool16(-1);
}

void TestReceive::listsEveryBatchUntilTheTotalIsReached()
{
    QFETCH(QList<Reply>, replies);
    QFETCH(int, calls);
    QFETCH(QString, listing);
    QFETCH(Bool16, lastResult);

    Rig rig;
    rig.view.setBox(InputBox::Text1, u" A "_s);
    rig.script.replies = replies;
    rig.press(u"Command7"_s);

    QCOMPARE(rig.script.calls.size(), calls);
    QCOMPARE(rig.view.outputs, QStringList { listing });
    QCOMPARE(rig.console.lastResult(), lastResult);
    QVERIFY(rig.view.errors.isEmpty());
    QVERIFY(rig.view.notices.isEmpty());
    for (const Call &call : std::as_const(rig.script.calls))
        QCOMPARE(call.arguments, QStringList { u"A"_s });
}

void TestReceive::slotsCarryOverFromCallToCall()
{
    Rig rig;
    rig.script.replies = { batch(u"12"_s, u"10"_s, 10), Reply::outcome(0) };
    rig.press(u"Command7"_s);

    const Call &first = rig.script.calls.at(0);
    QVERIFY(first.totalIn.isNull() && first.currentIn.isNull() && first.messagesIn.isNull());
    QCOMPARE(first.outcomeIn, Bool16(0));
    const Call &second = rig.script.calls.at(1);
    QCOMPARE(second.totalIn, Variant(u"12"_s));
    QCOMPARE(second.currentIn, Variant(u"10"_s));
    QCOMPARE(second.messagesIn, Variant(messageTable(10)));
    QCOMPARE(second.outcomeIn, Bool16(-1)); // the slot is set to 0 once per run, not per call
}

void TestReceive::anUntouchedOutcomeSlotKeepsTheEarlierOutcome()
{
    Rig rig;
    Reply second = batch(u"3"_s, u"3"_s, 3, u"b"_s);
    second.outcomeValue.reset();
    rig.script.replies
        = { Reply::batch(1, Variant(u"6"_s), Variant(u"3"_s), Variant(messageTable(3, u"a"_s))),
            second };
    rig.press(u"Command7"_s);

    QCOMPARE(rig.script.calls.size(), 2);
    QCOMPARE(rig.view.pane,
             Header + block(u"6"_s, u"3"_s, 3, u"a"_s) + block(u"3"_s, u"3"_s, 3, u"b"_s));
    QCOMPARE(rig.console.lastResult(), Bool16(1));
}

void TestReceive::stopsAfterTheCallLimitAndSaysSo()
{
    // A gateway that always reports more waiting than it hands out, beyond the 1000 calls
    // one press makes.
    Rig rig;
    for (int i = 0; i < 1005; ++i)
        rig.script.replies.append(batch(u"100"_s, u"1"_s, 1, u"m%1-"_s.arg(i)));
    rig.press(u"Command7"_s);

    QCOMPARE(rig.script.calls.size(), 1000);
    QCOMPARE(rig.view.outputs.size(), 1);
    const QString &pane = rig.view.pane;
    QVERIFY(pane.startsWith(Header + block(u"100"_s, u"1"_s, 1, u"m0-"_s)));
    QVERIFY(pane.endsWith(block(u"100"_s, u"1"_s, 1, u"m999-"_s)
                          + u"已调用接收 1000 次，本次到此停止；再按一次可继续接收\r\n"_s));
    QCOMPARE(pane.count(u"当前数:"_s), qsizetype(1000));
    QCOMPARE(rig.console.lastResult(), Bool16(-1));

    // Pressing again goes on where the gateway is.
    rig.press(u"Command7"_s);
    QVERIFY(rig.view.pane.startsWith(Header + block(u"100"_s, u"1"_s, 1, u"m1000-"_s)));
}

void TestReceive::malformedAnswersAreReportedAndLeaveThePane_data()
{
    QTest::addColumn<QList<Reply>>("replies");
    QTest::addColumn<qint32>("code");

    const Variant one(u"1"_s);
    const Variant table(messageTable(1));
    QTest::newRow("total is a table")
        << QList<Reply> { Reply::batch(-1, table, one, table) } << Status::TypeMismatch;
    QTest::newRow("current is a table")
        << QList<Reply> { Reply::batch(-1, one, table, table) } << Status::TypeMismatch;
    QTest::newRow("messages is a text")
        << QList<Reply> { Reply::batch(-1, one, one, one) } << Status::TypeMismatch;
    QTest::newRow("messages is null")
        << QList<Reply> { Reply::batch(-1, one, one, Variant()) } << Status::TypeMismatch;
    QTest::newRow("fewer rows than the count") << QList<Reply> {
        Reply::batch(-1, Variant(u"3"_s), Variant(u"3"_s), Variant(messageTable(2)))
    } << Status::SubscriptOutOfRange;
    QTest::newRow("three columns")
        << QList<Reply> { Reply::batch(-1, one, one, Variant(messageTable(1, {}, 3))) }
        << Status::SubscriptOutOfRange;
    QTest::newRow("infinite count")
        << QList<Reply> { Reply::batch(-1, one, Variant(u"1e999"_s), table) }
        << Status::SubscriptOutOfRange;
    QTest::newRow("bad second batch after a good one")
        << QList<Reply> { batch(u"2"_s, u"1"_s, 1),
                          Reply::batch(-1, one, one, Variant(TextTable(0, 4))) }
        << Status::SubscriptOutOfRange;
    QTest::newRow("call fails after a good batch")
        << QList<Reply> { batch(u"2"_s, u"1"_s, 1), Reply::failure(-9, u"断开"_s) } << qint32(-9);
}

void TestReceive::malformedAnswersAreReportedAndLeaveThePane()
{
    QFETCH(QList<Reply>, replies);
    QFETCH(qint32, code);

    Rig rig;
    rig.view.pane = u"before"_s;
    rig.script.replies = replies;
    rig.press(u"Command7"_s);

    QCOMPARE(rig.view.errors.size(), 1);
    QCOMPARE(rig.view.errors.first().code(), code);
    QVERIFY(!rig.view.errors.first().description().isEmpty());
    QCOMPARE(rig.view.pane, u"before"_s);
    QVERIFY(rig.view.outputs.isEmpty());
}

void TestReceive::networkEditionPassesAnEmptyExtension()
{
    Rig rig;
    rig.view.setBox(InputBox::Text1, u"A"_s);
    rig.script.replies = { batch(u"3"_s, u"2"_s, 2), batch(u"1"_s, u"1"_s, 1, u"n"_s) };
    rig.press(u"Command15"_s);

    QCOMPARE(rig.script.operations(),
             (QStringList { u"ReceiveMessagesNet"_s, u"ReceiveMessagesNet"_s }));
    for (const Call &call : std::as_const(rig.script.calls))
        QCOMPARE(call.arguments, (QStringList { u"A"_s, QString() }));
    QCOMPARE(rig.view.pane, Header + block(u"3"_s, u"2"_s, 2) + block(u"1"_s, u"1"_s, 1, u"n"_s));
}

void TestReceive::countValue_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");

    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("integer") << u"10"_s << 10.0;
    QTest::newRow("empty") << QString() << 0.0;
    QTest::newRow("letters") << u"abc"_s << 0.0;
    QTest::newRow("leading space") << u" 3"_s << 3.0;
    QTest::newRow("leading tab, CR, LF") << u"\t\r\n7"_s << 7.0;
    QTest::newRow("ideographic space is not a blank") << u"\u30007"_s << 0.0;
    QTest::newRow("trailing text") << u"12条"_s << 12.0;
    QTest::newRow("sign") << u"-4"_s << -4.0;
    QTest::newRow("plus sign") << u"+4"_s << 4.0;
    QTest::newRow("blank after sign") << u"- 4"_s << 0.0;
    QTest::newRow("fraction") << u"2.5"_s << 2.5;
    QTest::newRow("leading point") << u".5"_s << 0.5;
    QTest::newRow("trailing point") << u"5."_s << 5.0;
    QTest::newRow("comma is not a point") << u"2,5"_s << 2.0;
    QTest::newRow("exponent") << u"1e3"_s << 1000.0;
    QTest::newRow("signed exponent") << u"25E-1"_s << 2.5;
    QTest::newRow("exponent without digits") << u"3e"_s << 3.0;
    QTest::newRow("exponent sign without digits") << u"3e+"_s << 3.0;
    QTest::newRow("overflow") << u"1e999"_s << inf;
    QTest::newRow("long overflow") << QString(400, u'9') << inf;
    QTest::newRow("negative overflow") << u"-1e999"_s << -inf;
    QTest::newRow("underflow") << u"1e-999"_s << 0.0;
    QTest::newRow("exponent beyond 64 bits") << u"1e99999999999999999999"_s << inf;
    QTest::newRow("negative exponent beyond 64 bits") << u"1e-99999999999999999999"_s << 0.0;
    QTest::newRow("zero with huge exponent") << u"0e99999"_s << 0.0;
    QTest::newRow("hexadecimal reads its leading zero") << u"0x1F"_s << 0.0;
    QTest::newRow("inf is not a number") << u"inf"_s << 0.0;
    QTest::newRow("full-width digits") << u"１２"_s << 0.0;
}

void TestReceive::countValue()
{
    QFETCH(QString, text);
    QFETCH(double, value);
    QCOMPARE(Console::countValue(text), value);
}

QTEST_GUILESS_MAIN(TestReceive)
#include "tst_receive.moc"
