// SMPP's times as a submit_sm writes them, read in process: the forms an application may
// use, and what is none of them.

#include "service/smppsubmit.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestSmppSubmit : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void times_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<qint64>("expected"); // ms since the epoch; -1: refused
        // 2026-01-02T03:04:05Z is 1767323045000.
        const qint64 now = 1'767'323'045'000;
        QTest::newRow("absolute in UTC") << QByteArray("260102030405000+") << now;
        QTest::newRow("absolute eight hours ahead of UTC, tenths")
            << QByteArray("260102110405332+") << now + 300;
        QTest::newRow("absolute an hour behind UTC") << QByteArray("260102020405004-") << now;
        QTest::newRow("relative: a day, an hour, a second")
            << QByteArray("000001010001000R") << now + 90'001'000;
        QTest::newRow("relative with 61 seconds") << QByteArray("000000000061000R") << qint64(-1);
        QTest::newRow("a thirteenth month") << QByteArray("261302030405000+") << qint64(-1);
        QTest::newRow("no sign") << QByteArray("2601020304050000") << qint64(-1);
        QTest::newRow("one octet short") << QByteArray("26010203040500+") << qint64(-1);
        QTest::newRow("a letter among the digits") << QByteArray("2601020304x5000+") << qint64(-1);
    }
    void times()
    {
        QFETCH(QByteArray, text);
        QFETCH(qint64, expected);
        const std::optional<qint64> read = SmppSubmit::timeOf(text, 1'767'323'045'000);
        QCOMPARE(read.value_or(-1), expected);
    }
};

QTEST_GUILESS_MAIN(TestSmppSubmit)
#include "tst_smppsubmit.moc"
