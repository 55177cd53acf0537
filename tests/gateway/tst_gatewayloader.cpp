#include "gatewayloader.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString SmsClassId = QString::fromUtf16(GatewayIds::SmsGatewayClassId);

QString component(const char *name)
{
    return QStringLiteral(COMPONENTS_DIR) + u'/' + QLatin1StringView(name);
}

} // namespace

class TestGatewayLoader : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void reportsWhatItCouldNotUse_data();
    void reportsWhatItCouldNotUse();
    void createsAFreshClientFromTheDeclaringComponent();
    void skipsFilesThatAreNotPluginsAndNamesThem();
    void searchesQtsPluginPathsFirstThenItsOwnFolder();
};

void TestGatewayLoader::reportsWhatItCouldNotUse_data()
{
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<qint32>("code");
    QTest::addColumn<QString>("mentions");

    QTest::newRow("no folders") << QStringList() << Status::ClassNotRegistered << SmsClassId;
    QTest::newRow("folder missing")
        << QStringList { u"/nonexistent/quillet-gateways"_s } << Status::ClassNotRegistered
        << u"/nonexistent/quillet-gateways"_s;
    QTest::newRow("another class identifier") << QStringList { component("component_other") }
                                              << Status::ClassNotRegistered << u"没有安装"_s;
    QTest::newRow("right class, another interface")
        << QStringList { component("component_wrong_iid") } << Status::ClassNotRegistered
        << u"没有安装"_s;
    QTest::newRow("factory fails") << QStringList { component("component_failing") }
                                   << Status::CreationFailed << u"test component refuses"_s;
}

void TestGatewayLoader::reportsWhatItCouldNotUse()
{
    QFETCH(QStringList, folders);
    QFETCH(qint32, code);
    QFETCH(QString, mentions);

    std::unique_ptr<GatewayClient> client;
    const Status status = GatewayLoader(folders).create(SmsClassId, client);
    QCOMPARE(status.code(), code);
    QVERIFY2(status.description().contains(mentions), qPrintable(status.description()));
    QVERIFY(!client);
}

void TestGatewayLoader::createsAFreshClientFromTheDeclaringComponent()
{
    // GIVEN a folder with another component before the one that declares the class
    const GatewayLoader loader({ component("component_other"), component("component_sms") });

    // WHEN two clients are made
    std::unique_ptr<GatewayClient> one;
    std::unique_ptr<GatewayClient> another;
    QVERIFY(loader.create(SmsClassId, one).isOk());
    QVERIFY(loader.create(SmsClassId.toLower(), another).isOk());

    // THEN each is a fresh instance of the declaring component
    QVERIFY(one && another);
    QCOMPARE_NE(static_cast<void *>(one.get()), static_cast<void *>(another.get()));
    QString balance;
    QVERIFY(one->QueryBalance(u"A"_s, balance).isOk());
    QCOMPARE(balance, u"from plugin"_s);
}

void TestGatewayLoader::skipsFilesThatAreNotPluginsAndNamesThem()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile junk(dir.filePath(u"libnotaplugin.so"_s));
    QVERIFY(junk.open(QIODevice::WriteOnly));
    junk.write("\x7f"
               "ELF but not really a shared object");
    junk.close();

    std::unique_ptr<GatewayClient> client;
    const Status status = GatewayLoader({ dir.path() }).create(SmsClassId, client);
    QCOMPARE(status.code(), Status::ClassNotRegistered);
    QVERIFY2(status.description().contains(junk.fileName()), qPrintable(status.description()));

    // A good component after the junk file is still found.
    QVERIFY(GatewayLoader({ dir.path(), component("component_sms") })
                .create(SmsClassId, client)
                .isOk());
    QVERIFY(client);
}

void TestGatewayLoader::searchesQtsPluginPathsFirstThenItsOwnFolder()
{
    const QStringList folders = GatewayLoader::defaultFolders();
    const QStringList libraryPaths = QCoreApplication::libraryPaths();
    QVERIFY(!folders.isEmpty());
    for (qsizetype i = 0; i < libraryPaths.size() && i < folders.size() - 1; ++i)
        QCOMPARE(folders.at(i), QDir::cleanPath(libraryPaths.at(i) + u"/quillet-gateways"_s));
    QVERIFY(folders.last().endsWith(u"/quillet/plugins/quillet-gateways"_s));
}

QTEST_GUILESS_MAIN(TestGatewayLoader)
#include "tst_gatewayloader.moc"
