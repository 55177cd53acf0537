// The operator tool as its user runs it: a separate process on a store that the test
// also opens, exit codes, and what it prints. Its argument parser and its escaping are
// also checked in process, since they touch nothing.

#include "gateway/local/localgateway.h"
#include "gateway/local/smppaccounts.h"
#include "tests/gateway/local/storeprobe.h"
#include "tests/tools/linklistings.h"
#include "tools/controlescape.h"
#include "tools/operatortool.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QString Account = u"ABC-123-XYZ-00001"_s;
const QString Password = u"account-secret"_s;

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

// Where the tool's standard output goes.
enum class Output { Captured, DevFull, Closed };

QStringList prefixed(const QStringList &arguments)
{
    return QStringList { u"quillet-gateway"_s } + arguments;
}

} // namespace

Q_DECLARE_METATYPE(Output)

class TestOperatorTool : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;

    QString storePath() const { return m_dir->filePath(u"gateway.sqlite3"_s); }

    Run tool(QStringList arguments, bool withStore = true, Output output = Output::Captured)
    {
        if (withStore)
            arguments = QStringList { u"--store"_s, storePath() } + arguments;
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"XDG_DATA_HOME"_s, m_dir->filePath(u"data"_s));
        process.setProcessEnvironment(env);
        if (output == Output::DevFull)
            process.setStandardOutputFile(u"/dev/full"_s);
        else if (output == Output::Closed)
            process.setChildProcessModifier([] { ::close(STDOUT_FILENO); });
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
            << QStringList { u"accounts"_s, u"--everything"_s } << u"未知选项"_s;
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

    // SMPP credentials: printed once as a header and SYSTEM_ID<TAB>PASSWORD, only the
    // password's hash kept; a system_id held by another account refused; a revoke takes
    // the bind rows with it, and a second revoke has nothing to end.
    void smppCredentials()
    {
        std::unique_ptr<LocalGateway> gateway = openGateway();
        QVERIFY(gateway);
        registerAccount(*gateway);
        RegisterParticulars other;
        other.accountNo = u"ABC-123-XYZ-00002"_s;
        other.password = Password;
        Bool16 outcome = 0;
        QVERIFY(gateway->Register(other, outcome).isOk());

        Run run = tool({ u"smpp"_s, u"set"_s, u"--account"_s, Account });
        QCOMPARE(run.exitCode, 0);
        static const QRegularExpression made(
            u"^系统标识\t密码\nABC123XYZ00001\t([A-Za-z2-9]{8})\n$"_s);
        const QRegularExpressionMatch first = made.match(run.out);
        QVERIFY2(first.hasMatch(), qPrintable(run.out));
        SmppAccounts accounts(*gateway);
        auto holder = accounts.holder(u"ABC123XYZ00001"_s);
        QVERIFY(!holder.failed() && *holder);
        QCOMPARE((*holder)->accountNo, Account);
        QVERIFY(!(*holder)->passwordHash.contains(first.captured(1)));
        QVERIFY(PasswordHasher::verify((*holder)->passwordHash, first.captured(1)));

        run = tool({ u"smpp"_s, u"set"_s, u"--account"_s, u"ABC-123-XYZ-00002"_s, u"--system-id"_s,
                     u"ABC123XYZ00001"_s });
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(u"系统标识“ABC123XYZ00001”已属于另一个帐户"_s),
                 qPrintable(run.err));
        QVERIFY(run.out.isEmpty());

        run = tool({ u"smpp"_s, u"set"_s, u"--account"_s, Account, u"--system-id"_s, u"shop_1"_s });
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.startsWith(u"系统标识\t密码\nshop_1\t"_s), qPrintable(run.out));
        holder = accounts.holder(u"ABC123XYZ00001"_s);
        QVERIFY(!holder.failed() && !*holder);

        holder = accounts.holder(u"shop_1"_s);
        QVERIFY(!holder.failed() && *holder);
        const auto bind = accounts.openBind((*holder)->accountId, u"host:1"_s, u"transceiver"_s,
                                            u"127.0.0.1:40000"_s);
        QVERIFY(!bind.failed());
        QVERIFY(!accounts.touchBind(*bind, { 3, 2, 1 }).failed());
        run = tool({ u"smpp"_s, u"binds"_s });
        QCOMPARE(run.exitCode, 0);
        const QStringList lines = run.out.split(u'\n');
        QCOMPARE(lines.value(0),
                 u"编号\t帐户\t系统标识\t方式\t地址\t绑定时间\t已提交\t状态报告\t上行短信\t进程"_s);
        QVERIFY2(lines.value(1).startsWith(
                     u"1\tABC-123-XYZ-00001\tshop_1\ttransceiver\t127.0.0.1:40000\t"_s),
                 qPrintable(run.out));
        QVERIFY2(lines.value(1).endsWith(u"\t3\t2\t1\thost:1"_s), qPrintable(run.out));

        run = tool({ u"smpp"_s, u"revoke"_s, u"--account"_s, Account });
        QCOMPARE(run.exitCode, 0);
        const auto touched = accounts.touchBind(*bind, { 4, 2, 1 });
        QVERIFY(!touched.failed());
        QVERIFY(!*touched);
        run = tool({ u"smpp"_s, u"binds"_s });
        QCOMPARE(run.out, u"没有 SMPP 绑定。\n"_s);
        run = tool({ u"smpp"_s, u"revoke"_s, u"--account"_s, Account });
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(u"帐户 ABC-123-XYZ-00001 没有 SMPP 凭据。"_s),
                 qPrintable(run.err));
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

    void escapeControls_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        QTest::newRow("Chinese and ASCII as they are") << u"你好, world"_s << u"你好, world"_s;
        QTest::newRow("placeholder as it is") << u"%1%2"_s << u"%1%2"_s;
        QTest::newRow("backslash doubled") << u"a\\nb"_s << u"a\\\\nb"_s;
        QTest::newRow("tab newline return") << u"a\tb\nc\rd"_s << u"a\\tb\\nc\\rd"_s;
        QTest::newRow("escape sequence") << u"\x1b[31mred"_s << u"\\x1b[31mred"_s;
        QTest::newRow("NUL and bell") << u"a\0b\ac"_s << u"a\\x00b\\x07c"_s;
        QTest::newRow("DEL and C1") << u"\x7f\u0085\u009b"_s << u"\\x7f\\x85\\x9b"_s;
        QTest::newRow("line and paragraph separators") << u"\u2028\u2029"_s << u"\\u2028\\u2029"_s;
        QTest::newRow("bidi controls") << u"\u202a\u202e\u2066\u2069\u200e\u200f\u061c"_s
                                       << u"\\u202a\\u202e\\u2066\\u2069\\u200e\\u200f\\u061c"_s;
        QTest::newRow("surrogate pair as it is") << u"\U0001F600"_s << u"\U0001F600"_s;
        QTest::newRow("unpaired high surrogate")
            << QString(QChar(0xD83D)) + u"x"_s << u"\\ud83dx"_s;
        QTest::newRow("unpaired low surrogate") << QString(QChar(0xDE00)) << u"\\ude00"_s;
    }

    void escapeControls()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        QCOMPARE(::escapeControls(text), shown);
    }

    void parseRefusals_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("error");
        QTest::newRow("value twice")
            << QStringList { u"card"_s, u"issue"_s, u"--value"_s, u"5"_s, u"--value"_s, u"6"_s }
            << u"选项 --value 只能给一次"_s;
        QTest::newRow("store twice")
            << QStringList { u"--store"_s, u"a"_s, u"--store=b"_s, u"accounts"_s }
            << u"选项 --store 只能给一次"_s;
        QTest::newRow("single-dash store") << QStringList { u"-store"_s, u"a"_s, u"accounts"_s }
                                           << u"未知选项：-store（长选项以两个减号开头）"_s;
        QTest::newRow("single-dash value") << QStringList { u"card"_s, u"issue"_s, u"-value=5"_s }
                                           << u"未知选项：-value=5（长选项以两个减号开头）"_s;
        QTest::newRow("dash value of an option is a value")
            << QStringList { u"mo"_s, u"--from"_s, u"138000"_s, u"--to"_s,
                             Account, u"--ext"_s,  u"-12"_s,    u"hi"_s }
            << u"扩展码“-12”无效：应为 1 到 6 位数字"_s;
        QTest::newRow("placeholders in a value")
            << QStringList { u"card"_s, u"issue"_s, u"--value"_s, u"%1%2"_s }
            << u"面值“%1%2”无效：应为大于 0、不超过 10000.00 的金额（元），最多两位小数"_s;
        QTest::newRow("placeholder in a count")
            << QStringList { u"card"_s, u"issue"_s, u"--value"_s, u"5"_s, u"--count"_s, u"%1"_s }
            << u"张数“%1”无效：应为 1 到 100 之间的整数"_s;
        QTest::newRow("control characters in a command")
            << QStringList { u"\x1b[2Jx\ny"_s } << u"未知命令：\\x1b[2Jx\\ny"_s;
        QTest::newRow("arrival count zero")
            << QStringList { u"mo"_s, u"--from"_s,  u"138000"_s, u"--to"_s,
                             Account, u"--count"_s, u"0"_s,      u"hi"_s }
            << u"条数“0”无效：应为 1 到 1000000 之间的整数"_s;
        QTest::newRow("arrival count over a million")
            << QStringList { u"mo"_s, u"--from"_s,  u"138000"_s,  u"--to"_s,
                             Account, u"--count"_s, u"1000001"_s, u"hi"_s }
            << u"条数“1000001”无效：应为 1 到 1000000 之间的整数"_s;
        QTest::newRow("arrival count in exponent form")
            << QStringList { u"mo"_s, u"--from"_s,  u"138000"_s, u"--to"_s,
                             Account, u"--count"_s, u"1e3"_s,    u"hi"_s }
            << u"条数“1e3”无效：应为 1 到 1000000 之间的整数"_s;
        QTest::newRow("store with a trailing slash")
            << QStringList { u"--store"_s, u"/tmp/x/"_s, u"accounts"_s }
            << u"--store 的路径“/tmp/x/”指向文件夹，应为存储文件的路径"_s;
        QTest::newRow("server twice") << QStringList { u"--server"_s,
                                                       u"http://127.0.0.1:1"_s,
                                                       u"--server=http://127.0.0.1:2"_s,
                                                       u"--token-file"_s,
                                                       u"t"_s,
                                                       u"accounts"_s }
                                      << u"选项 --server 只能给一次"_s;
        QTest::newRow("server empty")
            << QStringList { u"--server="_s, u"--token-file"_s, u"t"_s, u"accounts"_s }
            << u"--server 需要一个值"_s;
        QTest::newRow("init through a server")
            << QStringList { u"--server"_s, u"http://127.0.0.1:1"_s, u"--token-file"_s, u"t"_s,
                             u"init"_s }
            << u"命令 init 不接受选项 --server"_s;
        QTest::newRow("ca file without a server")
            << QStringList { u"--ca-file"_s, u"ca.pem"_s, u"accounts"_s }
            << u"选项 --ca-file 须与 --server 一同给出"_s;
        QTest::newRow("single-dash server")
            << QStringList { u"-server"_s, u"http://127.0.0.1:1"_s, u"accounts"_s }
            << u"未知选项：-server（长选项以两个减号开头）"_s;
        QTest::newRow("smpp without its word")
            << QStringList { u"smpp"_s } << u"smpp 后面须写 set、revoke 或 binds"_s;
        QTest::newRow("smpp set without an account")
            << QStringList { u"smpp"_s, u"set"_s } << u"缺少选项 --account"_s;
        QTest::newRow("smpp system id of 16 characters")
            << QStringList { u"smpp"_s, u"set"_s,         u"--account"_s,
                             Account,   u"--system-id"_s, u"abcdefghijklmnop"_s }
            << u"系统标识“abcdefghijklmnop”无效：应为 1 到 15 个可打印的 ASCII 字符，不含空格"_s;
        QTest::newRow("smpp system id with a space")
            << QStringList { u"smpp"_s, u"set"_s,         u"--account"_s,
                             Account,   u"--system-id"_s, u"a b"_s }
            << u"系统标识“a b”无效：应为 1 到 15 个可打印的 ASCII 字符，不含空格"_s;
        QTest::newRow("smpp revoke with a system id")
            << QStringList { u"smpp"_s, u"revoke"_s,      u"--account"_s,
                             Account,   u"--system-id"_s, u"x"_s }
            << u"命令 smpp revoke 不接受选项 --system-id"_s;
        QTest::newRow("smpp binds with an account")
            << QStringList { u"smpp"_s, u"binds"_s, u"--account"_s, Account }
            << u"命令 smpp binds 不接受选项 --account"_s;
        QTest::newRow("store dot") << QStringList { u"--store"_s, u"."_s, u"accounts"_s }
                                   << u"--store 的路径“.”指向文件夹，应为存储文件的路径"_s;
        QTest::newRow("store dot dot") << QStringList { u"--store"_s, u"a/.."_s, u"accounts"_s }
                                       << u"--store 的路径“a/..”指向文件夹，应为存储文件的路径"_s;
    }

    // What the parser refuses, and the exact text it says.
    void parseRefusals()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, error);
        const ParseResult result = OperatorTool::parse(prefixed(arguments));
        QVERIFY(!result.command);
        QCOMPARE(result.usageError, error);
    }

    void rawArguments_data()
    {
        QTest::addColumn<QByteArray>("phone");
        QTest::addColumn<QString>("error");
        QTest::newRow("UTF-8 digits") << QByteArray("13800138000") << QString();
        QTest::newRow("Latin-1 byte")
            << QByteArray("138\xff") << u"第 2 个参数不是有效的 UTF-8 文本"_s;
        QTest::newRow("cut-off sequence")
            << QByteArray("138\xe4\xbd") << u"第 2 个参数不是有效的 UTF-8 文本"_s;
        QTest::newRow("encoded surrogate")
            << QByteArray("\xed\xa0\x80") << u"第 2 个参数不是有效的 UTF-8 文本"_s;
        // Well-formed but not a phone: refused by the phone rule, byte order mark kept.
        QTest::newRow("byte order mark kept")
            << QByteArray("\xef\xbb\xbf"
                          "138")
            << u"手机号“\ufeff138”无效：应为 3 到 20 位数字，前面可带 +"_s;
    }

    void rawArguments()
    {
        QFETCH(QByteArray, phone);
        QFETCH(QString, error);
        const ParseResult result
            = OperatorTool::parse(QByteArrayList { "quillet-gateway", "handset", phone });
        QCOMPARE(result.usageError, error);
        QCOMPARE(bool(result.command), error.isEmpty());
    }

    // The same through the program's own argv, which only a shell can hand over raw.
    void nonUtf8ArgumentRefused()
    {
        QProcess process;
        process.start(u"/bin/sh"_s,
                      { u"-c"_s, u"exec \"$0\" handset \"$(printf '138\\377')\""_s,
                        QStringLiteral(QUILLET_GATEWAY_TOOL) });
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitCode(), 2);
        QVERIFY(QString::fromUtf8(process.readAllStandardError())
                    .startsWith(u"第 2 个参数不是有效的 UTF-8 文本\n"_s));
    }

    void refusedStorePaths_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("trailing slash") << u"new/"_s << 2 << u"指向文件夹"_s;
        QTest::newRow("missing parent folder")
            << u"new/deeper/gateway.sqlite3"_s << 1 << u"不存在：--store 不会创建文件夹"_s;
        QTest::newRow("parent is a file") << u"file/gateway.sqlite3"_s << 1 << u"不存在"_s;
    }

    // A mistyped --store is refused and leaves nothing behind.
    void refusedStorePaths()
    {
        QFETCH(QString, path);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        QFile file(m_dir->filePath(u"file"_s));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        const Run run = tool({ u"--store"_s, m_dir->filePath(path), u"accounts"_s }, false);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList { u"file"_s });
    }

    // A database on a server is no file: neither a folder nor a missing folder is asked
    // of it, and the server it names is what is reached (here none answers).
    void serverStoreIsNoFile_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("accounts") << QStringList { u"accounts"_s };
        QTest::newRow("init") << QStringList { u"init"_s };
    }
    void serverStoreIsNoFile()
    {
        QFETCH(QStringList, arguments);
        const Run run
            = tool(QStringList { u"--store"_s, u"postgresql://q@127.0.0.1:1/q?connect_timeout=2"_s }
                       + arguments,
                   false);
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(u"本地短信网关的数据库 postgresql://q@127.0.0.1:1/q 无法使用："
                                  u"无法连接数据库服务器"_s),
                 qPrintable(run.err));
    }

    // The user's data folder cannot be made: the message says why.
    void defaultStoreFolderRefused()
    {
        QFile file(m_dir->filePath(u"data"_s));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        const Run run = tool({ u"accounts"_s }, false);
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(u"无法创建文件夹 "_s), qPrintable(run.err));
        QVERIFY2(run.err.contains(u"（Not a directory）"_s), qPrintable(run.err));
    }

    void writeFailures_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<Output>("output");
        QTest::addColumn<QString>("message");
        QTest::newRow("accounts to a full disk")
            << QStringList { u"accounts"_s } << Output::DevFull
            << u"无法写出到标准输出（No space left on device）"_s;
        QTest::newRow("accounts to a closed output")
            << QStringList { u"accounts"_s } << Output::Closed
            << u"无法写出到标准输出（Bad file descriptor）"_s;
        QTest::newRow("help to a closed output") << QStringList { u"--help"_s } << Output::Closed
                                                 << u"无法写出到标准输出（Bad file descriptor）"_s;
    }

    // A listing nobody could see is a failure, said on standard error.
    void writeFailures()
    {
        QFETCH(QStringList, arguments);
        QFETCH(Output, output);
        QFETCH(QString, message);
        const Run run = tool(arguments, true, output);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.err, message + u'\n');
    }

    void unseenCardsNotIssued_data()
    {
        QTest::addColumn<Output>("output");
        QTest::addColumn<QString>("message");
        QTest::newRow("full disk")
            << Output::DevFull
            << u"无法写出充值卡清单（No space left on device），没有发行任何充值卡。\n"_s;
        QTest::newRow("closed output")
            << Output::Closed
            << u"无法写出充值卡清单（Bad file descriptor），没有发行任何充值卡。\n"_s;
    }

    // Cards exist only if their listing reached the operator.
    void unseenCardsNotIssued()
    {
        QFETCH(Output, output);
        QFETCH(QString, message);
        const Run run = tool({ u"card"_s, u"issue"_s, u"--value"_s, u"5"_s, u"--count"_s, u"3"_s },
                             true, output);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.err, message);
        StoreProbe probe(storePath());
        QCOMPARE(probe.count(u"SELECT count(*) FROM cards"_s), 0);
    }

    void arrivalCount_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("count");
        QTest::addColumn<QStringList>("summary");
        QTest::addColumn<QString>("balance");
        QTest::newRow("one, nothing set")
            << QString() << u"1"_s << QStringList { u"1 条短信已送达帐户 "_s } << u"1.00"_s;
        QTest::newRow("twelve forwarded on ten fen each")
            << u"forwarding"_s << u"12"_s
            << QStringList { u"12 条短信已送达帐户 "_s,
                             u"转发到 13700137000：10 条已转发并扣费，2 条未能转发。"_s }
            << u"0.00"_s;
        QTest::newRow("three answered")
            << u"autoreply"_s << u"3"_s
            << QStringList { u"3 条短信已送达帐户 "_s,
                             u"向 13900139000 的自动回复：3 条已发送并扣费，0 条未能发送。"_s }
            << u"0.70"_s;
    }

    // `mo --count` has the message arrive that many times, each one forwarded or answered
    // and charged as a single arrival is, and prints a summary.
    void arrivalCount()
    {
        QFETCH(QString, setting);
        QFETCH(QString, count);
        QFETCH(QStringList, summary);
        QFETCH(QString, balance);
        std::unique_ptr<LocalGateway> gateway = openGateway();
        QVERIFY(gateway);
        registerAccount(*gateway);
        const QStringList card = tool({ u"card"_s, u"issue"_s, u"--value"_s, u"1"_s })
                                     .out.split(u'\n')
                                     .value(1)
                                     .split(u'\t');
        Bool16 outcome = 0;
        QVERIFY(gateway->Recharge(Account, card.value(0), card.value(1), outcome).isOk());
        if (setting == u"forwarding"_s)
            QVERIFY(gateway->SetForwarding(Account, u"13700137000"_s, outcome).isOk());
        else if (setting == u"autoreply"_s)
            QVERIFY(gateway->SetAutoReply(Account, u"好"_s, outcome).isOk());

        const Run run = tool({ u"mo"_s, u"--from"_s, u"13900139000"_s, u"--to"_s, Account,
                               u"--count"_s, count, u"批量"_s });
        QCOMPARE(run.exitCode, 0);
        const QStringList lines = run.out.split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), summary.size());
        QVERIFY2(lines.at(0).startsWith(summary.at(0) + Account + u"（特服号 "_s),
                 qPrintable(lines.at(0)));
        QVERIFY(lines.at(0).endsWith(u"），等待接收。"_s));
        for (qsizetype i = 1; i < summary.size(); ++i)
            QCOMPARE(lines.at(i), summary.at(i));

        StoreProbe probe(storePath());
        QCOMPARE(probe.count(u"SELECT count(*) FROM mo WHERE text = '批量'"_s), count.toLongLong());
        QVERIFY(probe.ledgerMismatches().isEmpty());
        QString left;
        QVERIFY(gateway->QueryBalance(Account, left).isOk());
        QCOMPARE(left, balance);
    }

    // Stored texts with tabs, line breaks and terminal controls cannot forge rows: each
    // record stays one row, every field shown escaped.
    void forgedRowsEscaped()
    {
        std::unique_ptr<LocalGateway> gateway = openGateway();
        QVERIFY(gateway);
        registerAccount(*gateway);
        gateway.reset();
        StoreProbe probe(storePath());
        QVERIFY(probe.exec(u"UPDATE accounts SET mobile = '138' || char(9) || '0.00' || char(10)"
                           u" || 'FAKE-000-000-00000', auto_reply = char(27) || '[2J' ||"
                           u" char(8238) || 'ok\\', forwarding_phone = '139' || char(13)"_s));
        QVERIFY(probe.exec(u"INSERT INTO mt (account_id, phone, text, segments, cost, origin,"
                           u" submitted_at, due_at, state, delivered_at) SELECT id, '13700137000',"
                           u" 'hi' || char(10) || '2026-01-01 00:00:00' || char(9) || 'x',"
                           u" 1, 0, 'send', 0, 0, 'delivered', 0 FROM accounts"_s));

        const Run accounts = tool({ u"accounts"_s });
        QCOMPARE(accounts.exitCode, 0);
        const QStringList rows = accounts.out.split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(rows.size(), 2);
        const QStringList fields = rows.at(1).split(u'\t');
        QCOMPARE(fields.size(), 8);
        QCOMPARE(fields.at(2), u"138\\t0.00\\nFAKE-000-000-00000"_s);
        QCOMPARE(fields.at(5), u"139\\r"_s);
        QCOMPARE(fields.at(6), u"\\x1b[2J\\u202eok\\\\"_s);

        const Run handset = tool({ u"handset"_s, u"13700137000"_s });
        QCOMPARE(handset.exitCode, 0);
        const QStringList lines = handset.out.split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        QVERIFY2(lines.at(2).endsWith(u"\thi\\n2026-01-01 00:00:00\\tx"_s),
                 qPrintable(lines.at(2)));
    }

    // What the links leave in a store, as the operator lists it: each listing's lines, the
    // filters of messages, a page boundary, and the refusals (linklistings.h).
    void linkListings_data() { LinkListings::addRows(); }

    void linkListings()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, bulk);
        QFETCH(int, exitCode);
        QFETCH(QStringList, out);
        QFETCH(QString, err);
        QVERIFY(openGateway());
        QVERIFY(LinkListings::seed(StoreProbe(storePath()), bulk));
        const Run run = tool(arguments);
        QVERIFY2(run.exitCode == exitCode, qPrintable(run.err));
        QCOMPARE(run.out.split(u'\n', Qt::SkipEmptyParts), out);
        QVERIFY2(run.err.contains(err), qPrintable(run.err));
    }

    // GIVEN an account whose every arrival is forwarded and charged (a message, a ledger
    // row and the balance in one transaction) WHEN a backup is taken while a million
    // arrivals are being written THEN it holds whole transactions only, at least all
    // those committed before it began, and is its owner's alone.
    void backupWhileWriting()
    {
        std::unique_ptr<LocalGateway> gateway = openGateway();
        QVERIFY(gateway);
        registerAccount(*gateway);
        const QStringList card = tool({ u"card"_s, u"issue"_s, u"--value"_s, u"10000"_s })
                                     .out.split(u'\n')
                                     .value(1)
                                     .split(u'\t');
        Bool16 outcome = 0;
        QVERIFY(gateway->Recharge(Account, card.value(0), card.value(1), outcome).isOk());
        QVERIFY(gateway->SetForwarding(Account, u"13700137000"_s, outcome).isOk());
        gateway.reset();

        QProcess writer;
        writer.setStandardOutputFile(QProcess::nullDevice());
        writer.start(QStringLiteral(QUILLET_GATEWAY_TOOL),
                     { u"--store"_s, storePath(), u"mo"_s, u"--from"_s, u"13900139000"_s, u"--to"_s,
                       Account, u"--count"_s, u"1000000"_s, u"备份"_s });
        StoreProbe store(storePath());
        const QString arrivals = u"SELECT count(*) FROM mo"_s;
        QTRY_VERIFY_WITH_TIMEOUT(store.count(arrivals) > 0, 30'000);
        const qint64 before = store.count(arrivals);

        const QString copy = m_dir->filePath(u"backup.sqlite3"_s);
        const Run run = tool({ u"backup"_s, copy });
        const bool overlapped = writer.state() == QProcess::Running;
        writer.kill();
        writer.waitForFinished();
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, u"存储 %1 已备份到 %2。\n"_s.arg(storePath(), copy));
        QVERIFY2(overlapped, "the writer was still writing when the backup ended");

        StoreProbe backup(copy);
        QCOMPARE(backup.quickCheck(), u"ok"_s);
        QVERIFY(backup.count(arrivals) >= before);
        QCOMPARE(backup.ledgerMismatches(), QStringList());
        QCOMPARE(backup.unmatchedCharges(), QStringList());
        QCOMPARE(backup.waitingMismatches(), QStringList());
        QCOMPARE(QFile::permissions(copy),
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser
                     | QFileDevice::WriteUser);
        QCOMPARE(
            QDir(m_dir->path()).entryList({ u".quillet-backup-*"_s }, QDir::Hidden | QDir::Files),
            QStringList());
    }

    // A backup never writes over a file, never makes or migrates a store, and copies only
    // an SQLite store's file; it leaves nothing behind when it fails.
    void backupRefusals_data()
    {
        QTest::addColumn<QStringList>("arguments"); // %1: the folder of the test
        QTest::addColumn<bool>("storeThere");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("a file already there")
            << QStringList { u"--store"_s, u"%1/gateway.sqlite3"_s, u"backup"_s, u"%1/kept"_s }
            << true << 1 << u"%1/kept 已存在：备份不会覆盖已有的文件"_s;
        QTest::newRow("no store") << QStringList { u"--store"_s, u"%1/gateway.sqlite3"_s,
                                                   u"backup"_s, u"%1/copy"_s }
                                  << false << 1 << u"没有可备份的存储：%1/gateway.sqlite3 不存在"_s;
        QTest::newRow("a folder that is not there")
            << QStringList { u"--store"_s, u"%1/gateway.sqlite3"_s, u"backup"_s, u"%1/none/copy"_s }
            << true << 1 << u"备份失败（%1/none/copy）：No such file or directory"_s;
        QTest::newRow("a PostgreSQL store")
            << QStringList { u"--store"_s, u"postgresql://q@127.0.0.1:1/q"_s, u"backup"_s,
                             u"%1/copy"_s }
            << false << 1 << u"是 PostgreSQL 数据库：请用 pg_dump 备份"_s;
        QTest::newRow("through a service")
            << QStringList { u"--server"_s,     u"http://127.0.0.1:1"_s,
                             u"--token-file"_s, u"%1/token"_s,
                             u"backup"_s,       u"%1/copy"_s }
            << false << 2 << u"命令 backup 不接受选项 --server"_s;
        QTest::newRow("no file named")
            << QStringList { u"backup"_s } << false << 2 << u"缺少备份文件"_s;
    }
    void backupRefusals()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, storeThere);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        if (storeThere)
            QVERIFY(openGateway());
        QFile kept(m_dir->filePath(u"kept"_s));
        QVERIFY(kept.open(QIODevice::WriteOnly) && kept.write("an earlier backup") > 0);
        kept.close();
        for (QString &argument : arguments)
            argument.replace(u"%1"_s, m_dir->path());
        const Run run = tool(arguments, false);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.err.contains(message.replace(u"%1"_s, m_dir->path())), qPrintable(run.err));
        QCOMPARE(QFile::exists(storePath()), storeThere);
        QVERIFY(!QFile::exists(m_dir->filePath(u"copy"_s)));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("an earlier backup"));
        QCOMPARE(
            QDir(m_dir->path()).entryList({ u".quillet-backup-*"_s }, QDir::Hidden | QDir::Files),
            QStringList());
    }
};

QTEST_GUILESS_MAIN(TestOperatorTool)
#include "tst_operatortool.moc"
