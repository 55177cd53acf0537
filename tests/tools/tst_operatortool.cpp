// The operator tool as its user runs it: a separate process on a store that the test
// also opens, exit codes, and what it prints.

#include "localgateway.h"
#include "storeprobe.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString Account = u"ABC-123-XYZ-00001"_s;
const QString Password = u"account-secret"_s;

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

} // namespace

class TestOperatorTool : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;

    QString storePath() const { return m_dir->filePath(u"gateway.sqlite3"_s); }

    Run tool(QStringList arguments, bool withStore = true)
    {
        if (withStore)
            arguments = QStringList { u"--store"_s, storePath() } + arguments;
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"XDG_DATA_HOME"_s, m_dir->filePath(u"data"_s));
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(QUILLET_GATEWAY_TOOL), arguments);
        Run run;
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
            return run;
        run.exitCode = process.exitCode();
        run.out = QString::fromUtf8(process.readAllStandardOutput());
        run.err = QString::fromUtf8(process.readAllStandardError());
        return run;
    }

    std::unique_ptr<LocalGateway> openGateway(LocalGateway::Clock clock = {})
    {
        LocalGateway::Options options;
        options.hashCost = PasswordHasher::fastest();
        if (clock)
            options.clock = std::move(clock);
        std::unique_ptr<LocalGateway> gateway;
        if (LocalGateway::open(storePath(), gateway, options).failed())
            return {};
        return gateway;
    }

    void registerAccount(LocalGateway &gateway)
    {
        RegisterParticulars p;
        p.accountNo = Account;
        p.password = Password;
        p.mobile = u"13800138000"_s;
        Bool16 outcome = 0;
        QVERIFY(gateway.Register(p, outcome).isOk());
        QCOMPARE(outcome, True16);
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }

    void cleanup() { m_dir.reset(); }

    void help()
    {
        const Run run = tool({ u"--help"_s });
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.out.contains(u"用法"_s));
        QVERIFY(run.out.contains(u"card issue"_s));
        QVERIFY(run.err.isEmpty());
    }

    void usageErrors_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("no command") << QStringList() << u"没有给出命令"_s;
        QTest::newRow("unknown command") << QStringList { u"refund"_s } << u"未知命令"_s;
        QTest::newRow("unknown option")
            << QStringList { u"accounts"_s, u"--all"_s } << u"未知选项"_s;
        QTest::newRow("option of another command")
            << QStringList { u"accounts"_s, u"--value"_s, u"5"_s } << u"不接受选项"_s;
        QTest::newRow("card without issue")
            << QStringList { u"card"_s, u"--value"_s, u"5"_s } << u"缺少"_s;
        QTest::newRow("card issue without value")
            << QStringList { u"card"_s, u"issue"_s } << u"--value"_s;
        QTest::newRow("value not a number")
            << QStringList { u"card"_s, u"issue"_s, u"--value"_s, u"ten"_s } << u"面值"_s;
        QTest::newRow("value zero")
            << QStringList { u"card"_s, u"issue"_s, u"--value"_s, u"0"_s } << u"面值"_s;
        QTest::newRow("value three decimals")
            << QStringList { u"card"_s, u"issue"_s, u"--value"_s, u"1.005"_s } << u"面值"_s;
        QTest::newRow("value over the limit")
            << QStringList { u"card"_s, u"issue"_s, u"--value"_s, u"10000.01"_s } << u"面值"_s;
        QTest::newRow("count zero")
            << QStringList { u"card"_s, u"issue"_s, u"--value"_s, u"5"_s, u"--count"_s, u"0"_s }
            << u"张数"_s;
        QTest::newRow("count 101")
            << QStringList { u"card"_s, u"issue"_s, u"--value"_s, u"5"_s, u"--count"_s, u"101"_s }
            << u"张数"_s;
        QTest::newRow("mo without from")
            << QStringList { u"mo"_s, u"--to"_s, Account, u"hi"_s } << u"--from"_s;
        QTest::newRow("mo without text")
            << QStringList { u"mo"_s, u"--from"_s, u"13800138000"_s, u"--to"_s, Account }
            << u"短信内容"_s;
        QTest::newRow("mo with two texts")
            << QStringList { u"mo"_s, u"--from"_s, u"13800138000"_s, u"--to"_s, Account,
                             u"a"_s,  u"b"_s }
            << u"多余"_s;
        QTest::newRow("mo from a bad phone")
            << QStringList { u"mo"_s, u"--from"_s, u"call me"_s, u"--to"_s, Account, u"hi"_s }
            << u"手机号"_s;
        QTest::newRow("mo with a bad extension")
            << QStringList { u"mo"_s, u"--from"_s, u"138000"_s, u"--to"_s,
                             Account, u"--ext"_s,  u"x"_s,      u"hi"_s }
            << u"扩展码"_s;
        QTest::newRow("handset without phone") << QStringList { u"handset"_s } << u"手机号"_s;
        QTest::newRow("handset with a bad phone")
            << QStringList { u"handset"_s, u"12"_s } << u"手机号"_s;
        QTest::newRow("option without its value")
            << QStringList { u"card"_s, u"issue"_s, u"--value"_s } << u"选项"_s;
    }

    // A usage error says what is wrong, exits 2 and does not touch any store.
    void usageErrors()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        const Run run = tool(arguments);
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QVERIFY(run.out.isEmpty());
        QVERIFY(!QFile::exists(storePath()));
        QVERIFY(!QFile::exists(m_dir->filePath(u"data"_s)));
    }

    void failures_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("mo to an unknown account") << QStringList {
            u"mo"_s, u"--from"_s, u"13800138000"_s, u"--to"_s, u"ZZZ-999-AAA-77777"_s, u"hi"_s
        } << u"没有注册号码或特服号为 ZZZ-999-AAA-77777 的帐户"_s;
    }

    void failures()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        const Run run = tool(arguments);
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
    }

    void storeThatIsNotAStore()
    {
        QFile file(storePath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("not a database at all, just some text\n");
        file.close();
        const Run run = tool({ u"accounts"_s });
        QCOMPARE(run.exitCode, 1);
        QVERIFY(run.err.contains(storePath()));
        QVERIFY(run.err.contains(u"不是 SQLite 数据库"_s));
    }

    void defaultStoreUnderTheUserDataFolder()
    {
        const Run run = tool({ u"accounts"_s }, false);
        QCOMPARE(run.exitCode, 0);
        QVERIFY(QFile::exists(m_dir->filePath(u"data/quillet-gateway/gateway.sqlite3"_s)));
    }

    // Cards issued by the tool recharge an account in another process, once.
    void issuedCardsRecharge()
    {
        std::unique_ptr<LocalGateway> gateway = openGateway();
        QVERIFY(gateway);
        registerAccount(*gateway);

        const Run run
            = tool({ u"card"_s, u"issue"_s, u"--value"_s, u"12.3"_s, u"--count"_s, u"2"_s });
        QCOMPARE(run.exitCode, 0);
        static const QRegularExpression line(u"^(\\d{16})\\t(\\d{12})\\t12\\.30$"_s,
                                             QRegularExpression::MultilineOption);
        QList<QStringList> cards;
        for (auto it = line.globalMatch(run.out); it.hasNext();) {
            const auto match = it.next();
            cards.append({ match.captured(1), match.captured(2) });
        }
        QCOMPARE(cards.size(), 2);
        QVERIFY(cards.at(0).at(0) != cards.at(1).at(0));

        Bool16 outcome = 0;
        QVERIFY(gateway->Recharge(Account, cards.at(0).at(0), cards.at(0).at(1), outcome).isOk());
        QCOMPARE(outcome, True16);
        QVERIFY(gateway->Recharge(Account, cards.at(0).at(0), cards.at(0).at(1), outcome).isOk());
        QCOMPARE(outcome, False16);
        QString balance;
        QVERIFY(gateway->QueryBalance(Account, balance).isOk());
        QCOMPARE(balance, u"12.30"_s);
    }

    // A handset's message reaches the account with its extension, and the operator
    // sees what handsets received and the account's state, but never a password.
    void handsetRoundTrip()
    {
        std::unique_ptr<LocalGateway> gateway = openGateway();
        QVERIFY(gateway);
        registerAccount(*gateway);
        const Run cards = tool({ u"card"_s, u"issue"_s, u"--value"_s, u"1"_s });
        const QStringList card = cards.out.split(u'\n').value(1).split(u'\t');
        Bool16 outcome = 0;
        QVERIFY(gateway->Recharge(Account, card.value(0), card.value(1), outcome).isOk());
        QCOMPARE(outcome, True16);
        QVERIFY(gateway->SetAutoReply(Account, u"收到，谢谢"_s, outcome).isOk());

        const Run mo = tool({ u"mo"_s, u"--from"_s, u"13900139000"_s, u"--to"_s, Account,
                              u"--ext"_s, u"88"_s, u"--"_s, u"-你好-"_s });
        QCOMPARE(mo.exitCode, 0);
        QVERIFY2(mo.out.contains(u"短信已送达帐户 "_s + Account), qPrintable(mo.out));
        QVERIFY(mo.out.contains(u"已向 13900139000 发送自动回复"_s));

        Variant total, current, messages;
        QVERIFY(gateway->ReceiveMessages(Account, total, current, messages, outcome).isOk());
        QCOMPARE(outcome, True16);
        TextTable table;
        QVERIFY(messages.toTable(table).isOk());
        QString field;
        QVERIFY(table.at(0, 0, field).isOk());
        QVERIFY(field.endsWith(u"88"_s));
        QVERIFY(table.at(0, 2, field).isOk());
        QCOMPARE(field, u"-你好-"_s);

        const Run handset = tool({ u"handset"_s, u"13900139000"_s });
        QCOMPARE(handset.exitCode, 0);
        QVERIFY(handset.out.contains(u"收到，谢谢"_s));
        QVERIFY(tool({ u"handset"_s, u"13700137000"_s }).out.contains(u"没有收到短信"_s));

        const Run accounts = tool({ u"accounts"_s });
        QCOMPARE(accounts.exitCode, 0);
        QVERIFY(accounts.out.contains(Account));
        QVERIFY(accounts.out.contains(u"\t0.90\t"_s));
        QVERIFY(!accounts.out.contains(Password));
        QVERIFY(!accounts.out.contains(u"argon2"_s));
    }

    // Like every operation, every operator command first delivers what is due.
    void deliversDueMessages()
    {
        const QDateTime past = QDateTime::currentDateTime().addSecs(-600);
        std::unique_ptr<LocalGateway> gateway = openGateway([past] { return QDateTime(past); });
        QVERIFY(gateway);
        registerAccount(*gateway);
        const Run cards = tool({ u"card"_s, u"issue"_s, u"--value"_s, u"1"_s });
        const QStringList card = cards.out.split(u'\n').value(1).split(u'\t');
        Bool16 outcome = 0;
        QVERIFY(gateway->Recharge(Account, card.value(0), card.value(1), outcome).isOk());
        QVERIFY(gateway
                    ->SendScheduledMessage(Account, u"13600136000"_s, u"定时"_s,
                                           past.addSecs(300).toString(u"yyyy/M/d H:mm:ss"_s),
                                           outcome)
                    .isOk());
        QCOMPARE(outcome, True16);
        StoreProbe probe(storePath());
        const QString scheduled = u"SELECT count(*) FROM mt WHERE state = 'scheduled'"_s;
        QCOMPARE(probe.count(scheduled), 1);

        QCOMPARE(tool({ u"accounts"_s }).exitCode, 0);
        QCOMPARE(probe.count(scheduled), 0);
        QVERIFY(tool({ u"handset"_s, u"13600136000"_s }).out.contains(u"定时"_s));
    }
};

QTEST_GUILESS_MAIN(TestOperatorTool)
#include "tst_operatortool.moc"
