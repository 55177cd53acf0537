// The request log's file when it cannot be written or opened again: the service goes on,
// the lines are lost or go to the file moved aside, and the journal hears of it once, not
// once a second. In process, with the log's timer made quick.

#include "service/servicelog.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestServiceLog : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void troubleIsToldOnce_data()
    {
        QTest::addColumn<QString>("file"); // %1: a folder of the test's
        QTest::addColumn<bool>("removeFolder");
        QTest::addColumn<QString>("told");
        QTest::newRow("a disk that is full")
            << u"/dev/full"_s << false
            << u"quillet-gatewayd: cannot write the request log /dev/full: No space left on "
               u"device"_s;
        QTest::newRow("its folder gone")
            << u"%1/logs/requests.log"_s << true
            << u"cannot open the request log %1/logs/requests.log: No such file or directory"_s;
    }
    void troubleIsToldOnce()
    {
        QFETCH(QString, file);
        QFETCH(bool, removeFolder);
        QFETCH(QString, told);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath(u"logs"_s));
        file.replace(u"%1"_s, dir.path());
        told.replace(u"%1"_s, dir.path());
        QStringList journal;
        ServiceLog log([&](const QString &line) { journal.append(line); });
        log.setFlushInterval(10);
        QVERIFY(log.setTarget({ ServiceLog::Target::Kind::File, file }).isOk());
        if (removeFolder)
            QVERIFY(QDir(dir.filePath(u"logs"_s)).removeRecursively());
        for (int i = 0; i < 10; ++i) {
            log.answered({ QHostAddress::LocalHost, u"queryBalance"_s, 200, 1.5, {} });
            QTest::qWait(20);
        }
        QCOMPARE(journal, QStringList { told });
    }
};

QTEST_GUILESS_MAIN(TestServiceLog)
#include "tst_servicelog.moc"
