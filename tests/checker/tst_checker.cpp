// quillet-gateway-check: the escaping of what it prints, its command line, a clean run on
// the local component, and the faults it finds in a component that breaks the contract.

#include "checker/checkertool.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

// The checker with a data and config folder of its own, so it touches no real store.
Run check(const QStringList &arguments, const QString &home)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"XDG_DATA_HOME"_s, home);
    environment.insert(u"XDG_CONFIG_HOME"_s, home);
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(QUILLET_CHECKER), arguments);
    if (!process.waitForFinished(300000))
        return {};
    return { process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
             QString::fromUtf8(process.readAllStandardOutput()),
             QString::fromUtf8(process.readAllStandardError()) };
}

// The table line of a check: "<name>  PASS  <why>" with the name padded.
QString lineOf(const QString &table, const QString &name)
{
    const QStringList lines = table.split(u'\n');
    for (const QString &line : lines) {
        if (line.startsWith(name + u"  "_s))
            return line;
    }
    return QString();
}

} // namespace

class TestChecker : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void escapesEveryControlCharacter_data();
    void escapesEveryControlCharacter();
    void commandLine_data();
    void commandLine();
    void theLocalComponentPasses_data();
    void theLocalComponentPasses();
    void theUsersSettingPicksTheComponentToCheck();
    void findsTheFaultsOfABrokenComponent_data();
    void findsTheFaultsOfABrokenComponent();

private:
    QTemporaryDir m_home;
    Run m_broken; // one run on the broken component, read by every row
};

void TestChecker::initTestCase()
{
    QVERIFY(m_home.isValid());
    m_broken = check({ u"--timeout"_s, u"3"_s, QStringLiteral(BAD_PLUGIN) }, m_home.path());
}

void TestChecker::escapesEveryControlCharacter_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");

    QTest::newRow("plain text stays") << u"余额 12.30 OK"_s << u"余额 12.30 OK"_s;
    QTest::newRow("tab, line feed, carriage return") << u"a\tb\nc\rd"_s << u"a\\tb\\nc\\rd"_s;
    QTest::newRow("backslash doubles") << u"C:\\x"_s << u"C:\\\\x"_s;
    QTest::newRow("NUL and ESC") << QString(u"a\0b\x1b[2J"_s) << u"a\\x00b\\x1B[2J"_s;
    QTest::newRow("DEL and C1") << u"\x7f\u0085\u009f"_s << u"\\x7F\\x85\\x9F"_s;
    QTest::newRow("line and paragraph separators") << u"\u2028\u2029"_s << u"\\u2028\\u2029"_s;
    QTest::newRow("bidi controls")
        << u"\u202e\u2066\u200f\u061c"_s << u"\\u202E\\u2066\\u200F\\u061C"_s;
    QTest::newRow("a surrogate pair stays") << u"\U0001F600"_s << u"\U0001F600"_s;
    QTest::newRow("lone high surrogate") << (u"a"_s + QChar(0xD800) + u"b"_s) << u"a\\uD800b"_s;
    QTest::newRow("lone low surrogate at the end") << (u"a"_s + QChar(0xDC00)) << u"a\\uDC00"_s;
    QTest::newRow("no-break space stays") << u"\u00a0"_s << u"\u00a0"_s;
}

void TestChecker::escapesEveryControlCharacter()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QCOMPARE(CheckerTool::escaped(text), shown);
}

void TestChecker::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("mentions"); // in what it printed, either stream

    QTest::newRow("help") << QStringList { u"--help"_s } << 0 << u"SYNOPSIS"_s;
    QTest::newRow("unknown option") << QStringList { u"--bogus"_s } << 2 << u"bogus"_s;
    QTest::newRow("timeout zero") << QStringList { u"--timeout"_s, u"0"_s } << 2 << u"\"0\""_s;
    QTest::newRow("timeout not a number")
        << QStringList { u"--timeout"_s, u"soon"_s } << 2 << u"\"soon\""_s;
    QTest::newRow("an option twice")
        << QStringList { u"--timeout"_s, u"5"_s, u"--timeout"_s, u"6"_s } << 2
        << u"--timeout is given more than once"_s;
    QTest::newRow("two plugin files")
        << QStringList { u"a.so"_s, u"b.so"_s } << 2 << u"at most one plugin file"_s;
    QTest::newRow("a plugin file that is not there")
        << QStringList { u"/nonexistent/libnothing.so"_s } << 1 << u"not run"_s;
}

void TestChecker::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, mentions);

    const Run run = check(arguments, m_home.path());
    const QString printed = run.out + run.err;
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(printed.contains(mentions), qPrintable(printed));
}

void TestChecker::theLocalComponentPasses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("the plugin file given") << QStringList { QStringLiteral(LOCAL_PLUGIN) };
    QTest::newRow("the loader's pick for the class id") << QStringList();
}

void TestChecker::theLocalComponentPasses()
{
    QFETCH(QStringList, arguments);
    const Run run = check(arguments, m_home.path());
    QVERIFY2(run.exitCode == 0, qPrintable(run.out + run.err));
    QVERIFY(!run.out.contains(u"FAIL"_s));
    QVERIFY2(run.out.contains(u"22 passed, 0 failed"_s), qPrintable(run.out));
}

void TestChecker::theUsersSettingPicksTheComponentToCheck()
{
    QTemporaryDir home;
    QVERIFY(QDir(home.path()).mkpath(u"quillet"_s));
    QFile conf(home.filePath(u"quillet/components.conf"_s));
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write("{9E4C7A21-6B3D-4F58-8D12-C0A5E7B93F64}=" BAD_PLUGIN "\n");
    conf.close();

    const Run run = check({ u"--timeout"_s, u"2"_s }, home.path());
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(lineOf(run.out, u"load"_s).contains(u"libchecker_badcomponent.so made an instance"_s),
             qPrintable(run.out));
}

void TestChecker::findsTheFaultsOfABrokenComponent_data()
{
    QTest::addColumn<QString>("check");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("why");

    QTest::newRow("it loads") << u"load"_s << u"PASS"_s << u"made an instance"_s;
    QTest::newRow("a good operation") << u"QueryBalance"_s << u"PASS"_s << u"text \"0.00\""_s;
    QTest::newRow("garbage in the outcome slot")
        << u"ChangePassword"_s << u"FAIL"_s
        << u"outcome slot holds 7: neither -1, 0, 1 nor left untouched"_s;
    QTest::newRow("a failure without a description")
        << u"Recharge"_s << u"FAIL"_s << u"failure Status -5 without a description"_s;
    QTest::newRow("a total that is no number")
        << u"ReceiveMessages"_s << u"FAIL"_s << u"total does not begin with a number: \"many\""_s;
    QTest::newRow("control characters in an answer are shown escaped, once")
        << u"GetForwarding"_s << u"PASS"_s << u"text \"13800\\x1B[31m\\n\""_s;
    QTest::newRow("an untouched text slot is no fault")
        << u"GetAutoReply"_s << u"PASS"_s << u"text slot left untouched"_s;
    QTest::newRow("an untouched outcome slot is no fault")
        << u"CancelAutoReply"_s << u"PASS"_s << u"outcome left untouched"_s;
    QTest::newRow("a crash on a long text")
        << u"hostile: 1 MB"_s << u"FAIL"_s << u"the component crashed in \"hostile-megabyte\""_s;
    QTest::newRow("a hang on a quote mark") << u"hostile: SQL metacharacters"_s << u"FAIL"_s
                                            << u"\"hostile-sql\" gave no answer within 3 s"_s;
    QTest::newRow("instances") << u"instances"_s << u"PASS"_s << u"two instances"_s;
}

void TestChecker::findsTheFaultsOfABrokenComponent()
{
    QFETCH(QString, check);
    QFETCH(QString, result);
    QFETCH(QString, why);

    QCOMPARE(m_broken.exitCode, 1);
    const QString line = lineOf(m_broken.out, check);
    QVERIFY2(!line.isEmpty(), qPrintable(m_broken.out));
    const QString rest = line.mid(check.size()).trimmed();
    QVERIFY2(rest.startsWith(result + u"  "_s), qPrintable(line));
    QVERIFY2(rest.contains(why), qPrintable(line));
}

QTEST_GUILESS_MAIN(TestChecker)
#include "tst_checker.moc"
