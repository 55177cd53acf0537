// Send times written in local time, read in a zone with summer time.

#include "gateway/local/sendtime.h"

#include <QTest>

#include <ctime>

using namespace Qt::StringLiterals;

class TestSendTime : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void readsOneInstant_data();
    void readsOneInstant();
};

void TestSendTime::initTestCase()
{
    qputenv("TZ", "Europe/Berlin");
    ::tzset();
}

void TestSendTime::readsOneInstant_data()
{
    QTest::addColumn<QString>("before"); // read first, to leave the platform a hint
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("utc");

    QTest::newRow("repeated hour, console form, after a winter time")
        << u"2026-10-25T03:30:00"_s << u"2026/10/25 2:30:00"_s << u"2026-10-25T00:30:00Z"_s;
    QTest::newRow("repeated hour, console form, after a summer time")
        << u"2026-10-25T01:30:00"_s << u"2026/10/25 2:30:00"_s << u"2026-10-25T00:30:00Z"_s;
    QTest::newRow("repeated hour, ISO, after a winter time")
        << u"2026-10-25T03:30:00"_s << u"2026-10-25T02:30:00.000"_s << u"2026-10-25T00:30:00Z"_s;
    QTest::newRow("repeated hour with an offset keeps the offset")
        << u"2026-10-25T01:30:00"_s << u"2026-10-25T02:30:00+01:00"_s << u"2026-10-25T01:30:00Z"_s;
    QTest::newRow("summer") << u"2026/1/5 2:30:00"_s << u"2026/7/1 12:00:00"_s
                            << u"2026-07-01T10:00:00Z"_s;
    QTest::newRow("winter") << u"2026/7/1 12:00:00"_s << u"2026/1/5 2:30:00"_s
                            << u"2026-01-05T01:30:00Z"_s;
}

void TestSendTime::readsOneInstant()
{
    QFETCH(QString, before);
    QFETCH(QString, text);
    QFETCH(QString, utc);

    // GIVEN an earlier reading of another local time
    QVERIFY(SendTime::parse(before).isValid());
    // WHEN the text is read
    const QDateTime due = SendTime::parse(text);
    // THEN it names the one instant, whatever came before
    QCOMPARE(due.toUTC().toString(Qt::ISODate), utc);
}

QTEST_GUILESS_MAIN(TestSendTime)
#include "tst_sendtime.moc"
