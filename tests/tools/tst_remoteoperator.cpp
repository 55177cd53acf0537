// The operator tool through quillet-gatewayd: one service started by the test on
// 127.0.0.1 (an ephemeral port), the tool run as a separate process with --server and an
// operator token file, and what it prints and returns.

#include "tests/service/servicerig.h"
#include "tests/tools/linklistings.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString Account = u"ABC-DEF-GHI-00001"_s;
const QString Password = u"account-secret"_s;

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

bool writeToken(const QString &path, const QString &token, QFileDevice::Permissions permissions)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(token.toLatin1() + '\n') < 0)
        return false;
    return file.setPermissions(permissions);
}

} // namespace

class TestRemoteOperator : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ServiceRig> m_rig;
    QString m_consoleToken;
    QString m_operatorToken;
    // A port nothing listens on: taken from the system, then given back.
    quint16 m_closedPort = 0;

    QString tokenFile(const QString &name) const { return m_rig->dir() + u'/' + name; }

    // Expands the placeholders a table row may use: SERVER, CLOSED, TOKEN:<file>.
    QStringList expand(const QStringList &arguments) const
    {
        QStringList expanded;
        for (QString argument : arguments) {
            argument.replace(u"SERVER"_s, m_rig->url());
            argument.replace(u"CLOSED"_s, u"http://127.0.0.1:%1"_s.arg(m_closedPort));
            if (argument.startsWith(u"TOKEN:"_s))
                argument = tokenFile(argument.mid(6));
            expanded.append(argument);
        }
        return expanded;
    }

    Run tool(const QStringList &arguments, const QString &outputFile = {})
    {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // A default store the tool must never create when it works through a service.
        env.insert(u"XDG_DATA_HOME"_s, m_rig->dir() + u"/data"_s);
        process.setProcessEnvironment(env);
        if (!outputFile.isEmpty())
            process.setStandardOutputFile(outputFile);
        process.start(QStringLiteral(QUILLET_GATEWAY_TOOL), arguments);
        Run run;
        if (!process.waitForFinished(60'000) || process.exitStatus() != QProcess::NormalExit) {
            process.kill();
            process.waitForFinished();
            return run;
        }
        run.exitCode = process.exitCode();
        run.out = QString::fromUtf8(process.readAllStandardOutput());
        run.err = QString::fromUtf8(process.readAllStandardError());
        return run;
    }

    Run viaService(const QStringList &arguments, const QString &outputFile = {})
    {
        return tool(QStringList { u"--server"_s, m_rig->url(), u"--token-file"_s,
                                  tokenFile(u"ops.token"_s) }
                        + arguments,
                    outputFile);
    }

    QJsonObject console(const QString &operation, const QJsonObject &body)
    {
        const ServiceRig::Answer answer = m_rig->post(u"/v1/console/"_s + operation,
                                                      QJsonDocument(body).toJson(), m_consoleToken);
        return answer.status == 200 ? QJsonDocument::fromJson(answer.body).object() : QJsonObject();
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_rig = std::make_unique<ServiceRig>();
        m_consoleToken = m_rig->issue(u"console"_s, u"desk"_s);
        m_operatorToken = m_rig->issue(u"operator"_s, u"ops"_s);
        const QString &operatorToken = m_operatorToken;
        QVERIFY(!m_consoleToken.isEmpty() && !operatorToken.isEmpty());
        const auto owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
        QVERIFY(writeToken(tokenFile(u"ops.token"_s), operatorToken, owner));
        QVERIFY(writeToken(tokenFile(u"shared.token"_s), operatorToken,
                           owner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
        QVERIFY(writeToken(tokenFile(u"desk.token"_s), m_consoleToken, owner));
        QVERIFY(writeToken(tokenFile(u"unknown.token"_s), u"not-a-token-we-issued"_s, owner));
        QVERIFY(writeToken(tokenFile(u"empty.token"_s), QString(), owner));
        QString why;
        QVERIFY2(m_rig->start(why), qPrintable(why));
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            m_closedPort = probe.serverPort();
        }
        const QJsonObject registered = console(u"register"_s,
                                               { { u"accountNo"_s, Account },
                                                 { u"password"_s, Password },
                                                 { u"mobile"_s, u"13800138000"_s },
                                                 { u"outcome"_s, 0 } });
        QCOMPARE(registered.value(u"outcome"_s).toInt(), -1);
    }

    void cleanupTestCase()
    {
        if (m_rig)
            QCOMPARE(m_rig->terminate(), 0);
        m_rig.reset();
    }

    void commands_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        const QStringList ops { u"--server"_s, u"SERVER"_s, u"--token-file"_s,
                                u"TOKEN:ops.token"_s };
        const QStringList mo { u"mo"_s, u"--from"_s, u"13900139000"_s, u"--to"_s, Account };

        QTest::newRow("accounts")
            << ops + QStringList { u"accounts"_s } << 0
            << u"帐户\t特服号\t手机\t余额（元）\t状态\t转发到\t自动回复\t待接收短信\n"
               u"ABC-DEF-GHI-00001\t"_s
            << QString();
        QTest::newRow("one arrival") << ops + mo + QStringList { u"hello"_s } << 0
                                     << u"短信已送达帐户 ABC-DEF-GHI-00001（特服号 "_s << QString();
        QTest::newRow("three arrivals")
            << ops + mo + QStringList { u"--count"_s, u"3"_s, u"hello"_s } << 0
            << u"3 条短信已送达帐户 ABC-DEF-GHI-00001（特服号 "_s << QString();
        QTest::newRow("arrival for an unknown account") << ops
                + QStringList {
                      u"mo"_s, u"--from"_s, u"13900139000"_s, u"--to"_s, u"ZZZ-999-AAA-77777"_s,
                      u"hi"_s
                  } << 1 << QString() << u"没有注册号码或特服号为 ZZZ-999-AAA-77777 的帐户"_s;
        QTest::newRow("handset that received nothing")
            << ops + QStringList { u"handset"_s, u"13700137000"_s } << 0
            << u"手机 13700137000 没有收到短信。\n"_s << QString();
        QTest::newRow("with --store too")
            << ops + QStringList { u"--store"_s, u"x.sqlite3"_s, u"accounts"_s } << 2 << QString()
            << u"选项 --server 不能与 --store 同用"_s;
        QTest::newRow("without a token file")
            << QStringList { u"--server"_s, u"SERVER"_s, u"accounts"_s } << 2 << QString()
            << u"缺少选项 --token-file"_s;
        QTest::newRow("token file without a server")
            << QStringList { u"--token-file"_s, u"TOKEN:ops.token"_s, u"accounts"_s } << 2
            << QString() << u"选项 --token-file 须与 --server 一同给出"_s;
        QTest::newRow("token file others can read")
            << QStringList { u"--server"_s, u"SERVER"_s, u"--token-file"_s, u"TOKEN:shared.token"_s,
                             u"accounts"_s }
            << 1 << QString() << u"可被其他用户读取，请将其权限设为 0600"_s;
        QTest::newRow("empty token file")
            << QStringList { u"--server"_s, u"SERVER"_s, u"--token-file"_s, u"TOKEN:empty.token"_s,
                             u"accounts"_s }
            << 1 << QString() << u"令牌文件是空的"_s;
        QTest::newRow("console token")
            << QStringList { u"--server"_s, u"SERVER"_s, u"--token-file"_s, u"TOKEN:desk.token"_s,
                             u"accounts"_s }
            << 1 << QString() << u" 答复 403："_s;
        QTest::newRow("unknown token")
            << QStringList { u"--server"_s, u"SERVER"_s, u"--token-file"_s,
                             u"TOKEN:unknown.token"_s, u"accounts"_s }
            << 1 << QString() << u" 答复 401："_s;
        QTest::newRow("refused connection")
            << QStringList { u"--server"_s, u"CLOSED"_s, u"--token-file"_s, u"TOKEN:ops.token"_s,
                             u"accounts"_s }
            << 1 << QString() << u"拒绝了连接（服务是否在运行？）"_s;
        const QStringList token { u"token"_s, u"issue"_s, u"--name"_s, u"t1"_s, u"--role"_s };
        QTest::newRow("token issue without a server")
            << token + QStringList { u"application"_s, u"--account"_s, Account } << 2 << QString()
            << u"令牌是网关服务的，不在存储里：请用 --server"_s;
        QTest::newRow("token list on a store")
            << QStringList { u"--store"_s, u"x.sqlite3"_s, u"token"_s, u"list"_s } << 2 << QString()
            << u"令牌是网关服务的，不在存储里：请用 --server"_s;
        QTest::newRow("token issue of an operator's")
            << ops + token + QStringList { u"operator"_s } << 1 << QString()
            << u"网关服务不通过网络发行 operator 令牌，只发行 application 令牌"_s;
        QTest::newRow("token issue of a console's")
            << ops + token + QStringList { u"console"_s } << 1 << QString()
            << u"网关服务不通过网络发行 console 令牌"_s;
        QTest::newRow("token issue for an unknown account")
            << ops + token
                + QStringList { u"application"_s, u"--account"_s, u"ZZZ-999-AAA-77777"_s }
            << 1 << QString() << u"没有帐户 ZZZ-999-AAA-77777"_s;
        QTest::newRow("token revoke of the operator's own")
            << ops + QStringList { u"token"_s, u"revoke"_s, u"--name"_s, u"ops"_s } << 1
            << QString() << u"令牌“ops”不是 application 令牌，不能通过网络吊销"_s;
        QTest::newRow("token revoke of none")
            << ops + QStringList { u"token"_s, u"revoke"_s, u"--name"_s, u"nobody"_s } << 1
            << QString() << u"没有名为“nobody”的有效令牌"_s;
        QTest::newRow("token list with a console token")
            << QStringList { u"--server"_s,         u"SERVER"_s, u"--token-file"_s,
                             u"TOKEN:desk.token"_s, u"token"_s,  u"list"_s }
            << 1 << QString() << u" 答复 403："_s;
        QTest::newRow("plain http off loopback")
            << QStringList { u"--server"_s, u"http://192.0.2.1:8440"_s, u"--token-file"_s,
                             u"TOKEN:ops.token"_s, u"accounts"_s }
            << 1 << QString() << u"不会以明文把令牌发送到 192.0.2.1"_s;
    }

    // Each command's exit code, the start of what it prints, and the reason it gives.
    void commands()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        const Run run = tool(expand(arguments));
        QVERIFY2(run.exitCode == exitCode, qPrintable(run.err));
        QVERIFY2(run.out.startsWith(out), qPrintable(run.out));
        if (out.isEmpty())
            QCOMPARE(run.out, QString());
        QVERIFY2(run.err.contains(err), qPrintable(run.err));
        QVERIFY(!QFile::exists(m_rig->dir() + u"/data"_s));
    }

    // Cards issued through the service are committed there: a console recharges with
    // one; an automatic reply with control characters reaches a handset's listing escaped.
    void cardsAndHandsetThroughService()
    {
        const Run issued = viaService({ u"card"_s, u"issue"_s, u"--value"_s, u"10"_s });
        QCOMPARE(issued.exitCode, 0);
        const QStringList lines = issued.out.split(u'\n');
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines.at(0), u"卡号\t密码\t面值（元）"_s);
        QCOMPARE(lines.at(2), u"已发行 1 张充值卡。密码只显示这一次，请妥善保管。"_s);
        const QStringList card = lines.at(1).split(u'\t');
        QCOMPARE(card.size(), 3);
        QCOMPARE(card.at(2), u"10.00"_s);

        const QJsonObject recharged = console(u"recharge"_s,
                                              { { u"accountNo"_s, Account },
                                                { u"cardNo"_s, card.at(0) },
                                                { u"cardPassword"_s, card.at(1) },
                                                { u"outcome"_s, 0 } });
        QCOMPARE(recharged.value(u"outcome"_s).toInt(), -1);
        const QJsonObject replying = console(u"setAutoReply"_s,
                                             { { u"accountNo"_s, Account },
                                               { u"reply"_s, u"\x1b[2Jgone\n"_s },
                                               { u"outcome"_s, 0 } });
        QCOMPARE(replying.value(u"outcome"_s).toInt(), -1);

        const Run arrived = viaService(
            { u"mo"_s, u"--from"_s, u"13600136000"_s, u"--to"_s, Account, u"are you there"_s });
        QCOMPARE(arrived.exitCode, 0);
        QVERIFY2(arrived.out.endsWith(u"已向 13600136000 发送自动回复，已扣费。\n"_s),
                 qPrintable(arrived.out));

        const Run listed = viaService({ u"handset"_s, u"13600136000"_s });
        QCOMPARE(listed.exitCode, 0);
        QVERIFY2(listed.out.startsWith(u"手机 13600136000 收到 1 条短信：\n时间\t发送方\t内容\n"_s),
                 qPrintable(listed.out));
        QVERIFY2(listed.out.endsWith(u"\t\\x1b[2Jgone\\n\n"_s), qPrintable(listed.out));
    }

    // An application's token issued from afar: printed alone, as quillet-gatewayd prints
    // it, and then used; listed as quillet-gatewayd lists it; revoked, and refused after.
    void applicationTokenFromAfar()
    {
        const Run issued = viaService({ u"token"_s, u"issue"_s, u"--role"_s, u"application"_s,
                                        u"--account"_s, Account, u"--name"_s, u"shop"_s });
        QCOMPARE(issued.exitCode, 0);
        QCOMPARE(issued.err, u"已发行令牌“shop”（application）。令牌只显示这一次：\n"_s);
        QVERIFY2(issued.out.startsWith(u"qgt_"_s) && issued.out.endsWith(u'\n')
                     && issued.out.count(u'\n') == 1,
                 qPrintable(issued.out));
        const QString token = issued.out.trimmed();
        const ServiceRig::Answer account = m_rig->request("GET", u"/v1/account"_s, {}, token);
        QCOMPARE(account.status, 200);
        QCOMPARE(QJsonDocument::fromJson(account.body).object().value(u"accountNo"_s).toString(),
                 Account);

        // Both programs list the same lines.
        const Run listed = viaService({ u"token"_s, u"list"_s });
        QCOMPARE(listed.exitCode, 0);
        QByteArray local;
        QCOMPARE(m_rig->run({ u"token"_s, u"list"_s }, &local), 0);
        QCOMPARE(listed.out, QString::fromUtf8(local));
        QVERIFY2(listed.out.startsWith(u"desk\tconsole\t-\t"_s), qPrintable(listed.out));
        static const QRegularExpression shop(
            u"\nshop\tapplication\tABC-DEF-GHI-00001\t\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ"
            u"\tactive\n"_s);
        QVERIFY2(shop.match(listed.out).hasMatch(), qPrintable(listed.out));

        const Run revoked = viaService({ u"token"_s, u"revoke"_s, u"--name"_s, u"shop"_s });
        QCOMPARE(revoked.exitCode, 0);
        QCOMPARE(revoked.out, u"已吊销令牌“shop”。\n"_s);
        QCOMPARE(m_rig->request("GET", u"/v1/account"_s, {}, token).status, 401);
        const Run after = viaService({ u"token"_s, u"list"_s });
        static const QRegularExpression gone(u"\nshop\tapplication\tABC-DEF-GHI-00001\t\\S+"
                                             u"\trevoked \\d{4}-\\S+Z\n"_s);
        QVERIFY2(gone.match(after.out).hasMatch(), qPrintable(after.out));
    }

    // A listing longer than a page comes through the service page after page: 450
    // automatic replies to one phone, listed whole under one header.
    void longListingsComeInPages()
    {
        const Run issued = viaService({ u"card"_s, u"issue"_s, u"--value"_s, u"100"_s });
        QCOMPARE(issued.exitCode, 0);
        const QStringList card = issued.out.split(u'\n').at(1).split(u'\t');
        QCOMPARE(console(u"recharge"_s,
                         { { u"accountNo"_s, Account },
                           { u"cardNo"_s, card.at(0) },
                           { u"cardPassword"_s, card.at(1) },
                           { u"outcome"_s, 0 } })
                     .value(u"outcome"_s)
                     .toInt(),
                 -1);
        QCOMPARE(
            console(u"setAutoReply"_s,
                    { { u"accountNo"_s, Account }, { u"reply"_s, u"pong"_s }, { u"outcome"_s, 0 } })
                .value(u"outcome"_s)
                .toInt(),
            -1);
        QCOMPARE(viaService({ u"mo"_s, u"--from"_s, u"13500135000"_s, u"--to"_s, Account,
                              u"--count"_s, u"450"_s, u"ping"_s })
                     .exitCode,
                 0);
        const Run listed = viaService({ u"handset"_s, u"13500135000"_s });
        QCOMPARE(listed.exitCode, 0);
        QVERIFY2(listed.out.startsWith(u"手机 13500135000 收到 450 条短信：\n"_s),
                 qPrintable(listed.out.left(200)));
        QCOMPARE(listed.out.count(u"\tpong\n"_s), 450);
    }

    // The service commits cards before the tool writes them: a listing that cannot be
    // written says the cards exist, and fails.
    void unwritableCardListing()
    {
        const Run run = viaService({ u"card"_s, u"issue"_s, u"--value"_s, u"5"_s }, u"/dev/full"_s);
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(u"服务已经发行了这些充值卡，但它们的卡号和密码没有写出。"_s),
                 qPrintable(run.err));
    }

    // What the service refuses of a listing's request that the tool never sends: a
    // narrowing that names nothing, a cursor no listing gave. Each is a failed Status
    // (InvalidArgument), not an empty listing.
    void refusedListingRequests_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("a state there is not") << u"messages"_s << QByteArray(R"({"state":"sent"})");
        QTest::newRow("an account that is not one")
            << u"messages"_s << QByteArray(R"({"accountNo":"abc-123-xyz-00002"})");
        QTest::newRow("a time before 1970") << u"messages"_s << QByteArray(R"({"sinceMs":-1})");
        QTest::newRow("a time after 9999")
            << u"messages"_s << QByteArray(R"({"sinceMs":253402300800000})");
        QTest::newRow("a message cursor without its id")
            << u"messages"_s << QByteArray(R"({"after":"1767225600000"})");
        QTest::newRow("a message cursor before 1970")
            << u"messages"_s << QByteArray(R"({"after":"-1.5"})");
        QTest::newRow("a message cursor after 9999")
            << u"messages"_s << QByteArray(R"({"after":"253402300800000.5"})");
        QTest::newRow("a link cursor whose length is no number")
            << u"links"_s << QByteArray(R"({"after":"x:smsc-a"})");
        QTest::newRow("a link cursor longer than it is")
            << u"links"_s << QByteArray(R"({"after":"7:smsc-a"})");
        QTest::newRow("a link cursor of a negative length")
            << u"links"_s << QByteArray(R"({"after":"-1:smsc-a"})");
        QTest::newRow("an unmatched cursor") << u"unmatched"_s << QByteArray(R"({"after":"x"})");
    }

    void refusedListingRequests()
    {
        QFETCH(QString, operation);
        QFETCH(QByteArray, body);
        const ServiceRig::Answer answer
            = m_rig->post(u"/v1/operator/"_s + operation, body, m_operatorToken);
        QCOMPARE(answer.status, 200);
        const QJsonObject status
            = QJsonDocument::fromJson(answer.body).object().value(u"status"_s).toObject();
        QCOMPARE(status.value(u"code"_s).toDouble(), -2147024809.0); // 0x80070057
    }

    // The rows of the tool's own test through the service, which answers the same lines
    // page after page. Last: it empties the store the other tests share.
    void linkListings_data() { LinkListings::addRows(); }

    void linkListings()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, bulk);
        QFETCH(int, exitCode);
        QFETCH(QStringList, out);
        QFETCH(QString, err);
        QVERIFY(m_rig->emptyStore());
        QVERIFY(LinkListings::seed(StoreProbe(m_rig->ownerUrl()), bulk));
        const Run run = viaService(arguments);
        QVERIFY2(run.exitCode == exitCode, qPrintable(run.err));
        QCOMPARE(run.out.split(u'\n', Qt::SkipEmptyParts), out);
        QVERIFY2(run.err.contains(err), qPrintable(run.err));
    }
};

QTEST_GUILESS_MAIN(TestRemoteOperator)
#include "tst_remoteoperator.moc"
