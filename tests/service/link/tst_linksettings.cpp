// A service's links from its config file: what is refused, and where a phone's message
// goes.

#include "service/link/linksettings.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestLinkSettings : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    // The config `text`, with PASSWORD standing for a password file of `mode`.
    LinkConfigRead read(QString text, QFileDevice::Permissions mode)
    {
        const QString password = m_dir.filePath(u"password"_s);
        QFile::remove(password);
        QFile secret(password);
        if (!secret.open(QIODevice::WriteOnly) || secret.write("secret1\n") < 0)
            return {};
        secret.close();
        QFile::setPermissions(password, mode);
        const QString file = m_dir.filePath(u"gatewayd.conf"_s);
        QFile config(file);
        if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || config.write(text.replace(u"PASSWORD"_s, password).toUtf8()) < 0)
            return {};
        config.close();
        const QSettings settings(file, QSettings::IniFormat);
        return readLinkConfig(settings);
    }

private Q_SLOTS:
    void refused_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<bool>("ownerOnly");
        QTest::addColumn<QString>("error");
        QTest::newRow("no host") << u"system_id=q\npassword_file=PASSWORD\n"_s << true
                                 << u"[smsc.a] needs host"_s;
        QTest::newRow("password others read") << u"host=h\nsystem_id=q\npassword_file=PASSWORD\n"_s
                                              << false << u"may be read by others"_s;
        QTest::newRow("no password file")
            << u"host=h\nsystem_id=q\n"_s << true << u"[smsc.a] needs password_file"_s;
        QTest::newRow("window of none") << u"host=h\nsystem_id=q\npassword_file=PASSWORD\n"
                                           u"window=0\n"_s
                                        << true << u"[smsc.a] window takes 1 to 1000"_s;
        QTest::newRow("a route not a number")
            << u"host=h\nsystem_id=q\npassword_file=PASSWORD\nroutes=+86, abc\n"_s << true
            << u"[smsc.a] routes takes"_s;
        QTest::newRow("parts that wait not at all")
            << u"host=h\nsystem_id=q\npassword_file=PASSWORD\nparts_wait_s=0\n"_s << true
            << u"[smsc.a] parts_wait_s takes 1 to 2592000"_s;
        QTest::newRow("unmatched kept past ten years")
            << u"host=h\nsystem_id=q\npassword_file=PASSWORD\nunmatched_keep_days=3651\n"_s << true
            << u"[smsc.a] unmatched_keep_days takes 1 to 3650"_s;
        QTest::newRow("receipt ids of no known form")
            << u"host=h\nsystem_id=q\npassword_file=PASSWORD\nreceipt_ids=octal\n"_s << true
            << u"[smsc.a] receipt_ids takes auto or exact or hex-to-decimal or decimal-to-hex"_s;
        QTest::newRow("receipt parts neither all nor any")
            << u"host=h\nsystem_id=q\npassword_file=PASSWORD\nreceipt_parts=some\n"_s << true
            << u"[smsc.a] receipt_parts takes all or any"_s;
        QTest::newRow("a fallback of no such link")
            << u"host=h\nsystem_id=q\npassword_file=PASSWORD\nfallback=b\n"_s << true
            << u"[smsc.a] fallback takes the name of another link"_s;
        QTest::newRow("a link its own fallback")
            << u"host=h\nsystem_id=q\npassword_file=PASSWORD\nfallback=a\n"_s << true
            << u"[smsc.a] fallback takes the name of another link"_s;
        QTest::newRow("system id too long")
            << u"host=h\nsystem_id=sixteen-letters!\npassword_file=PASSWORD\n"_s << true
            << u"[smsc.a] system_id takes 1 to 15 characters"_s;
    }
    void refused()
    {
        QFETCH(QString, section);
        QFETCH(bool, ownerOnly);
        QFETCH(QString, error);
        const LinkConfigRead read = this->read(
            u"[smsc.a]\n"_s + section,
            ownerOnly ? QFileDevice::ReadOwner | QFileDevice::WriteOwner
                      : QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
        QVERIFY(!read.config);
        QVERIFY2(read.error.contains(error), qPrintable(read.error));
    }

    // What a link keeps of arrivals that match nothing, in milliseconds however long.
    void keeping_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<qint64>("partsWaitMs");
        QTest::addColumn<int>("partsPerSource");
        QTest::addColumn<qint64>("unmatchedKeepMs");
        QTest::addColumn<QString>("receipts"); // ids, any part, wait in ms
        QTest::newRow("defaults") << QString() << qint64(86'400'000) << 500 << qint64(2'592'000'000)
                                  << u"0 0 172800000"_s;
        QTest::newRow("the longest")
            << u"parts_wait_s=2592000\nparts_per_source=100000\nunmatched_keep_days=3650\n"
               u"receipt_ids=decimal-to-hex\nreceipt_parts=any\nreceipt_wait_s=2592000\n"_s
            << qint64(2'592'000'000) << 100'000 << qint64(315'360'000'000) << u"3 1 2592000000"_s;
    }
    void keeping()
    {
        QFETCH(QString, settings);
        QFETCH(qint64, partsWaitMs);
        QFETCH(int, partsPerSource);
        QFETCH(qint64, unmatchedKeepMs);
        QFETCH(QString, receipts);
        const LinkConfigRead parsed
            = this->read(u"[smsc.a]\nhost=h\nsystem_id=q\npassword_file=PASSWORD\n"_s + settings,
                         QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QVERIFY2(parsed.config, qPrintable(parsed.error));
        const LinkSettings &link = parsed.config->links.value(0);
        QCOMPARE(link.partsWaitMs, partsWaitMs);
        QCOMPARE(link.partsPerSource, partsPerSource);
        QCOMPARE(link.unmatchedKeepMs, unmatchedKeepMs);
        QCOMPARE(u"%1 %2 %3"_s.arg(int(link.receipts.ids))
                     .arg(int(link.receipts.anyPart))
                     .arg(link.receiptWaitMs),
                 receipts);
    }

    // The longest route that begins the phone number wins; the first link in the file
    // takes the rest, whatever the sections' names.
    void routes_data()
    {
        QTest::addColumn<QString>("phone");
        QTest::addColumn<QString>("link");
        QTest::newRow("no route") << u"13800138000"_s << u"zeta"_s;
        QTest::newRow("short route") << u"+8613800138000"_s << u"alpha"_s;
        QTest::newRow("longer route") << u"+8613900000000"_s << u"beta"_s;
        QTest::newRow("the other of a list") << u"0086139"_s << u"alpha"_s;
    }
    void routes()
    {
        QFETCH(QString, phone);
        QFETCH(QString, link);
        const QString common = u"host=h\nsystem_id=q\npassword_file=PASSWORD\n"_s;
        const LinkConfigRead read
            = this->read(u"[smsc.zeta]\n"_s + common + u"[smsc.alpha]\n"_s + common
                             + u"routes=+86, 0086\n[smsc.beta]\n"_s + common + u"routes=+86139\n"_s,
                         QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QVERIFY2(read.config, qPrintable(read.error));
        QCOMPARE(read.config->links.value(0).password, QByteArray("secret1"));
        QCOMPARE(read.config->route(phone), link);
    }
};

QTEST_GUILESS_MAIN(TestLinkSettings)
#include "tst_linksettings.moc"
