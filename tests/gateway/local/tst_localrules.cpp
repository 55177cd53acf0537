// Rules of the local component that need no gateway call: how many segments a text
// takes, and the yuan amounts the operator's tool reads.

#include "gateway/local/localgateway.h"
#include "gateway/local/segmentcounter.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestLocalRules : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void yuanParsing_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<qint64>("fen");
        QTest::newRow("whole") << u"50"_s << true << qint64(5000);
        QTest::newRow("one decimal") << u"12.3"_s << true << qint64(1230);
        QTest::newRow("two decimals") << u"0.05"_s << true << qint64(5);
        QTest::newRow("three decimals") << u"1.005"_s << false << qint64(0);
        QTest::newRow("negative") << u"-5"_s << false << qint64(0);
        QTest::newRow("exponent") << u"1e3"_s << false << qint64(0);
        QTest::newRow("empty") << QString() << false << qint64(0);
        QTest::newRow("ten digits") << u"1234567890"_s << false << qint64(0);
    }

    void yuanParsing()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(qint64, fen);
        qint64 parsed = -1;
        QCOMPARE(LocalGateway::parseYuan(text, parsed), valid);
        if (valid)
            QCOMPARE(parsed, fen);
    }

    void segments_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("segments");
        const QString han(u'中');
        const QString emoji = u"😀"_s;
        QTest::newRow("empty") << QString() << 0;
        QTest::newRow("GSM 160") << QString(160, u'a') << 1;
        QTest::newRow("GSM 161") << QString(161, u'a') << 2;
        QTest::newRow("GSM 306") << QString(306, u'a') << 2;
        QTest::newRow("GSM 307") << QString(307, u'a') << 3;
        QTest::newRow("GSM accented letters are 7-bit") << QString(160, u'é') << 1;
        QTest::newRow("GSM 80 euro signs count twice") << QString(80, u'€') << 1;
        QTest::newRow("GSM 81 euro signs count twice") << QString(81, u'€') << 2;
        QTest::newRow("GSM escape not split at 153")
            << QString(152, u'a') + u'{' + QString(152, u'a') << 3;
        QTest::newRow("UCS-2 70") << han.repeated(70) << 1;
        QTest::newRow("UCS-2 71") << han.repeated(71) << 2;
        QTest::newRow("UCS-2 134") << han.repeated(134) << 2;
        QTest::newRow("UCS-2 135") << han.repeated(135) << 3;
        QTest::newRow("one non-GSM letter makes it UCS-2") << QString(69, u'a') + han << 1;
        QTest::newRow("UCS-2 71 with one non-GSM letter") << QString(70, u'a') + han << 2;
        QTest::newRow("surrogate pair fits one segment at 70") << han.repeated(68) + emoji << 1;
        QTest::newRow("surrogate pair not split at 67")
            << han.repeated(66) + emoji + han.repeated(66) << 3;
        QTest::newRow("surrogate pair just fits at 67")
            << han.repeated(65) + emoji + han.repeated(67) << 2;
    }

    void segments()
    {
        QFETCH(QString, text);
        QFETCH(int, segments);
        QCOMPARE(SegmentCounter::segments(text), segments);
    }
};

QTEST_GUILESS_MAIN(TestLocalRules)
#include "tst_localrules.moc"
