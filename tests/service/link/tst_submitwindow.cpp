// When a link's next part may go: the window, the rate and the pause after throttling,
// on a clock the test moves.

#include "service/link/submitwindow.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestSubmitWindow : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Steps: "+MS" moves the clock, "N?" asks with N requests unanswered (the answer
    // noted: "0" go now, "MS" ask again then, "full"), "take" sends a part, "throttled".
    void whenAPartMayGo_data()
    {
        QTest::addColumn<int>("window");
        QTest::addColumn<int>("rate");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("answers");
        QTest::newRow("nothing saved up at first")
            << 10 << 10 << QStringList { u"0?"_s } << QStringList { u"101"_s };
        QTest::newRow("one part for each tenth of a second at 10 a second")
            << 10 << 10 << QStringList { u"+100"_s, u"0?"_s, u"take"_s, u"1?"_s, u"+50"_s, u"1?"_s }
            << QStringList { u"0"_s, u"101"_s, u"51"_s };
        QTest::newRow("saved up for a tenth of a second at most")
            << 100 << 100 << QStringList { u"+5000"_s, u"0?"_s,   u"take"_s, u"take"_s, u"take"_s,
                                           u"take"_s,  u"take"_s, u"take"_s, u"take"_s, u"take"_s,
                                           u"take"_s,  u"9?"_s,   u"take"_s, u"10?"_s }
            << QStringList { u"0"_s, u"0"_s, u"11"_s };
        QTest::newRow("one part saved up however slow the rate")
            << 10 << 1 << QStringList { u"+60000"_s, u"0?"_s, u"take"_s, u"1?"_s }
            << QStringList { u"0"_s, u"1001"_s };
        QTest::newRow("a full window waits for an answer")
            << 2 << 1000 << QStringList { u"+1000"_s, u"2?"_s, u"3?"_s, u"1?"_s }
            << QStringList { u"full"_s, u"full"_s, u"0"_s };
        QTest::newRow("throttled: nothing goes for a second")
            << 10 << 1000 << QStringList { u"+1000"_s, u"throttled"_s, u"0?"_s, u"+999"_s,
                                           u"0?"_s,    u"+1"_s,        u"0?"_s }
            << QStringList { u"1000"_s, u"1"_s, u"0"_s };
        QTest::newRow("throttled with the window full: the pause is told first")
            << 1 << 1000 << QStringList { u"+1000"_s, u"throttled"_s, u"1?"_s, u"+1000"_s, u"1?"_s }
            << QStringList { u"1000"_s, u"full"_s };
    }
    void whenAPartMayGo()
    {
        QFETCH(int, window);
        QFETCH(int, rate);
        QFETCH(QStringList, steps);
        QFETCH(QStringList, answers);
        qint64 now = 5'000'000;
        SubmitWindow submit(window, rate, [&now] { return now; });
        QStringList got;
        for (const QString &step : std::as_const(steps)) {
            if (step.startsWith(u'+')) {
                now += step.mid(1).toLongLong();
            } else if (step == u"take"_s) {
                submit.take();
            } else if (step == u"throttled"_s) {
                submit.throttled();
            } else {
                const std::optional<qint64> wait = submit.wait(step.chopped(1).toInt());
                got.append(wait ? QString::number(*wait) : u"full"_s);
            }
        }
        QCOMPARE(got, answers);
    }
};

QTEST_GUILESS_MAIN(TestSubmitWindow)
#include "tst_submitwindow.moc"
