// Every installed program answers --version with its name and the project's version, and
// the console answers --help and --version without starting Qt: a platform that does not
// exist would stop it otherwise.

#include <QProcess>
#include <QTest>

using namespace Qt::StringLiterals;

class TestVersions : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void answersAndExits_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("firstLine");
        const QString version = QStringLiteral(QUILLET_VERSION);
        QTest::newRow("Quillet --version")
            << QStringLiteral(QUILLET_CONSOLE) << u"--version"_s << u"Quillet "_s + version;
        QTest::newRow("Quillet --help") << QStringLiteral(QUILLET_CONSOLE) << u"--help"_s
                                        << u"Usage: Quillet [--help | --version]"_s;
        QTest::newRow("quillet-gateway --version")
            << QStringLiteral(QUILLET_GATEWAY_TOOL) << u"--version"_s
            << u"quillet-gateway "_s + version;
        QTest::newRow("quillet-gatewayd --version")
            << QStringLiteral(QUILLET_GATEWAYD) << u"--version"_s
            << u"quillet-gatewayd "_s + version;
        QTest::newRow("quillet-gateway-check --version")
            << QStringLiteral(QUILLET_CHECKER) << u"--version"_s
            << u"quillet-gateway-check "_s + version;
    }
    void answersAndExits()
    {
        QFETCH(QString, program);
        QFETCH(QString, option);
        QFETCH(QString, firstLine);
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"QT_QPA_PLATFORM"_s, u"no-such-platform"_s);
        process.setProcessEnvironment(environment);
        process.start(program, { option });
        QVERIFY(process.waitForFinished(10'000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(process.readAllStandardOutput()).section(u'\n', 0, 0),
                 firstLine);
        QCOMPARE(process.readAllStandardError(), QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestVersions)
#include "tst_versions.moc"
