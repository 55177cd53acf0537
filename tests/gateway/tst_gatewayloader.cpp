#include "gateway/gatewayloader.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString SmsClassId = QString::fromUtf16(GatewayIds::SmsGatewayClassId);

QString component(const char *name)
{
    return QStringLiteral(COMPONENTS_DIR) + u'/' + QLatin1StringView(name);
}

const QString Duplicates = component("duplicates");

// The balance a client made by the loader answers: "from <component>".
QString balanceFrom(GatewayClient &client)
{
    QString balance;
    if (client.QueryBalance(u"A"_s, balance).failed())
        return u"(call failed)"_s;
    return balance;
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
    void theFirstDeclaringFileWinsAndTheOthersAreNamed_data();
    void theFirstDeclaringFileWinsAndTheOthersAreNamed();
    void theUsersSettingChoosesTheComponent_data();
    void theUsersSettingChoosesTheComponent();
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
    QCOMPARE(balance, u"from component_sms"_s);
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

void TestGatewayLoader::theFirstDeclaringFileWinsAndTheOthersAreNamed_data()
{
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QString>("from"); // the component that answers, empty for a failure
    QTest::addColumn<QStringList>("passedOver");

    QTest::newRow("within a folder the file names decide")
        << QStringList { Duplicates } << QString()
        << QStringList { u"libduplicate_b_sms.so"_s, u"libduplicate_c_sms.so"_s };
    QTest::newRow("an earlier folder goes before a later one")
        << QStringList { component("component_sms"), Duplicates } << u"from component_sms"_s
        << QStringList { u"libduplicate_a_failing.so"_s, u"libduplicate_b_sms.so"_s,
                         u"libduplicate_c_sms.so"_s };
    QTest::newRow("a failing first component is not skipped")
        << QStringList { component("component_failing"), component("component_sms") } << QString()
        << QStringList { u"libcomponent_sms.so"_s };
}

void TestGatewayLoader::theFirstDeclaringFileWinsAndTheOthersAreNamed()
{
    QFETCH(QStringList, folders);
    QFETCH(QString, from);
    QFETCH(QStringList, passedOver);

    QLoggingCategory::setFilterRules(u"quillet.gateway.loader.debug=true"_s);
    QTest::ignoreMessage(
        QtDebugMsg,
        QRegularExpression(u"passed over:.*"_s + QRegularExpression::escape(passedOver.last())));
    std::unique_ptr<GatewayClient> client;
    const Status status = GatewayLoader(folders).create(SmsClassId, client);
    QLoggingCategory::setFilterRules(QString());

    QCOMPARE(client ? balanceFrom(*client) : QString(), from);
    if (status.failed()) {
        // The error names every declaring file that was not tried.
        for (const QString &file : std::as_const(passedOver))
            QVERIFY2(status.description().contains(file), qPrintable(status.description()));
    }
}

void TestGatewayLoader::theUsersSettingChoosesTheComponent_data()
{
    QTest::addColumn<QString>("setting"); // the text of components.conf, %1 the duplicates folder
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QString>("from"); // the component that answers, empty for a failure
    QTest::addColumn<QString>("mentions"); // in the failure's description

    const QStringList both = { component("component_sms"), Duplicates };
    QTest::newRow("no setting file: the search order")
        << QString() << both << u"from component_sms"_s << QString();
    QTest::newRow("an entry for another class only")
        << u"{00000000-0000-0000-0000-000000000001}=libduplicate_c_sms.so\n"_s << both
        << u"from component_sms"_s << QString();
    QTest::newRow("a file name from a later folder")
        << u"{9E4C7A21-6B3D-4F58-8D12-C0A5E7B93F64}=libduplicate_c_sms.so\n"_s << both
        << u"from duplicate_c_sms"_s << QString();
    QTest::newRow("the class id in lower case")
        << u"{9e4c7a21-6b3d-4f58-8d12-c0a5e7b93f64}=libduplicate_b_sms.so\n"_s << both
        << u"from duplicate_b_sms"_s << QString();
    QTest::newRow("an absolute path outside the folders")
        << u"{9E4C7A21-6B3D-4F58-8D12-C0A5E7B93F64}=%1/libduplicate_c_sms.so\n"_s
        << QStringList { component("component_sms") } << u"from duplicate_c_sms"_s << QString();
    QTest::newRow("a file that is not there")
        << u"{9E4C7A21-6B3D-4F58-8D12-C0A5E7B93F64}=libnothere.so\n"_s << both << QString()
        << u"libnothere.so"_s;
    QTest::newRow("a file of another class")
        << u"{9E4C7A21-6B3D-4F58-8D12-C0A5E7B93F64}=libcomponent_other.so\n"_s
        << QStringList { component("component_other"), component("component_sms") } << QString()
        << u"没有声明类标识"_s;
}

void TestGatewayLoader::theUsersSettingChoosesTheComponent()
{
    QFETCH(QString, setting);
    QFETCH(QStringList, folders);
    QFETCH(QString, from);
    QFETCH(QString, mentions);

    // GIVEN a config folder of our own, with the setting in it when there is one
    QTemporaryDir config;
    QVERIFY(config.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    qputenv("XDG_CONFIG_DIRS", QFile::encodeName(config.filePath(u"system"_s)));
    const QString file = config.filePath(u"quillet/components.conf"_s);
    QCOMPARE(GatewayLoader::userSettingsFile(), file);
    if (!setting.isEmpty()) {
        QVERIFY(QDir().mkpath(config.filePath(u"quillet"_s)));
        QFile conf(file);
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write(QString(setting).replace(u"%1"_s, Duplicates).toUtf8());
    }
    QCOMPARE(GatewayLoader::defaultSettingsFile(), setting.isEmpty() ? QString() : file);

    // WHEN the loader makes the SMS gateway client
    std::unique_ptr<GatewayClient> client;
    const Status status
        = GatewayLoader(folders, GatewayLoader::defaultSettingsFile()).create(SmsClassId, client);

    // THEN the chosen component answers, or the failure says what is wrong
    QCOMPARE(client ? balanceFrom(*client) : QString(), from);
    QCOMPARE(status.isOk(), !from.isEmpty());
    if (status.failed()) {
        QCOMPARE(status.code(), Status::ClassNotRegistered);
        QVERIFY2(status.description().contains(mentions), qPrintable(status.description()));
    }
}

QTEST_GUILESS_MAIN(TestGatewayLoader)
#include "tst_gatewayloader.moc"
