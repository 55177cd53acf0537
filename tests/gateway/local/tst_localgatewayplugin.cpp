// The local gateway reached the way the console reaches it: the loader finds the plugin
// in the build tree by class identifier, and the store lies under the user's data folder.

#include "gateway/gatewayloader.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestLocalGatewayPlugin : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;

    QString storePath() const { return m_dir->filePath(u"data/quillet-gateway/gateway.sqlite3"_s); }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir->filePath(u"data"_s)));
    }

    void cleanup() { m_dir.reset(); }

    void loadedByClassId()
    {
        std::unique_ptr<GatewayClient> client;
        const Status status
            = GatewayLoader().create(QString::fromUtf16(GatewayIds::SmsGatewayClassId), client);
        QVERIFY2(status.isOk(), qPrintable(status.description()));
        QVERIFY(client);
        QVERIFY(QFile::exists(storePath()));

        RegisterParticulars p;
        p.accountNo = u"ABC-123-XYZ-00001"_s;
        p.password = u"pw"_s;
        Bool16 outcome = 0;
        QVERIFY(client->Register(p, outcome).isOk());
        QCOMPARE(outcome, True16);
        QString balance;
        QVERIFY(client->QueryBalance(p.accountNo, balance).isOk());
        QCOMPARE(balance, u"0.00"_s);

        // A second instance, as a second window, sees the same account.
        std::unique_ptr<GatewayClient> second;
        QVERIFY(GatewayLoader()
                    .create(QString::fromUtf16(GatewayIds::SmsGatewayClassId), second)
                    .isOk());
        QVERIFY(second->QueryBalance(p.accountNo, balance).isOk());
        QCOMPARE(balance, u"0.00"_s);
    }

    // A store that cannot be used makes the creation fail, naming the file and why.
    void unusableStoreFailsCreation()
    {
        QVERIFY(QDir().mkpath(QFileInfo(storePath()).absolutePath()));
        QFile file(storePath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("garbage that is not a database");
        file.close();

        std::unique_ptr<GatewayClient> client;
        const Status status
            = GatewayLoader().create(QString::fromUtf16(GatewayIds::SmsGatewayClassId), client);
        QVERIFY(status.failed());
        QVERIFY(!client);
        QVERIFY2(status.description().contains(storePath()), qPrintable(status.description()));
    }
};

QTEST_GUILESS_MAIN(TestLocalGatewayPlugin)
#include "tst_localgatewayplugin.moc"
