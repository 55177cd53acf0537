// The SMPP server as applications meet it: Debian's Net::SMPP (a client this project did
// not write) binds, submits, queries and cancels against one running service, and our
// own codec sends what no well-behaved client sends and holds binds open. What a submit did is read
// back through the service's other doors: the handset's listing and the messages API.

#include "service/link/smpppdu.h"
#include "tests/service/servicerig.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

#include <array>

using namespace Qt::StringLiterals;

namespace {

const QString Shop = u"SMP-ABC-DEF-00001"_s;
const QString Poor = u"SMP-ABC-DEF-00002"_s;
const QString Revoked = u"SMP-ABC-DEF-00003"_s;

QJsonObject json(const ServiceRig::Answer &answer)
{
    return QJsonDocument::fromJson(answer.body).object();
}

// An application's connection made with our own codec: one the Perl client cannot hold
// open while the test does something else.
struct RawEsme {
    QTcpSocket socket;
    QByteArray read;

    // The bind's answer.
    Smpp::Header bind(quint16 port, const QString &systemId, const QString &password)
    {
        socket.connectToHost(u"127.0.0.1"_s, port);
        if (!socket.waitForConnected(5'000))
            return {};
        Smpp::BindRequest request;
        request.systemId = systemId.toLatin1();
        request.password = password.toLatin1();
        socket.write(Smpp::bind(Smpp::Command::BindTransceiver, 1, request));
        return next();
    }

    // The next PDU's header; none after 5 s.
    Smpp::Header next()
    {
        QDeadlineTimer deadline(5'000);
        while (!deadline.hasExpired()) {
            const Smpp::Peek peek = Smpp::header(read);
            if (peek.complete && quint32(read.size()) >= peek.header.length) {
                read.remove(0, peek.header.length);
                return peek.header;
            }
            socket.waitForReadyRead(50);
            read += socket.readAll();
        }
        return {};
    }
};

} // namespace

class TestSmppServer : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ServiceRig> m_rig;
    QString m_console;
    QString m_operator;
    QString m_application;
    quint16 m_smppPort = 0;
    // By account: system_id, password, service number.
    QHash<QString, QStringList> m_credentials;

    void fund(const QString &accountNo, int fen)
    {
        const QByteArray account = "\"accountNo\":\"" + accountNo.toLatin1() + "\"";
        QCOMPARE(m_rig
                     ->post(u"/v1/console/register"_s, "{" + account + ",\"password\":\"pw\"}",
                            m_console)
                     .status,
                 200);
        const auto cards
            = m_rig->post(u"/v1/operator/issueCards"_s,
                          "{\"valueFen\":" + QByteArray::number(fen) + ",\"count\":1}", m_operator);
        const QJsonObject card = json(cards).value(u"cards"_s).toArray().at(0).toObject();
        const auto recharged = m_rig->post(
            u"/v1/console/recharge"_s,
            "{" + account + ",\"cardNo\":\"" + card.value(u"number"_s).toString().toLatin1()
                + "\",\"cardPassword\":\"" + card.value(u"password"_s).toString().toLatin1()
                + "\"}",
            m_console);
        QCOMPARE(json(recharged).value(u"outcome"_s).toInt(), -1);
    }

    void credentials(const QString &accountNo, const QString &systemId)
    {
        const auto made = json(m_rig->post(u"/v1/operator/setSmppCredentials"_s,
                                           "{\"accountNo\":\"" + accountNo.toLatin1()
                                               + "\",\"systemId\":\"" + systemId.toLatin1() + "\"}",
                                           m_operator));
        QCOMPARE(made.value(u"outcome"_s).toString(), u"made"_s);
        QCOMPARE(made.value(u"password"_s).toString().size(), 8);
        const auto account = json(m_rig->post(u"/v1/operator/accounts"_s, "{}", m_operator));
        QString serviceNumber;
        for (const QJsonValue entry : account.value(u"accounts"_s).toArray()) {
            if (entry.toObject().value(u"number"_s).toString() == accountNo)
                serviceNumber = entry.toObject().value(u"serviceNumber"_s).toString();
        }
        QVERIFY(!serviceNumber.isEmpty());
        m_credentials.insert(accountNo,
                             { systemId, made.value(u"password"_s).toString(), serviceNumber });
    }

    // The Perl client's lines for one case, as `account` (its credentials, or those
    // given).
    QString esme(const QString &account, const QStringList &arguments, const QString &password = {},
                 const QString &from = {})
    {
        const QStringList given = m_credentials.value(account);
        QProcess perl;
        if (!from.isEmpty()) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(u"SMPP_LOCAL_IP"_s, from);
            perl.setProcessEnvironment(environment);
        }
        perl.start(u"perl"_s,
                   QStringList { QStringLiteral(QUILLET_SMPP_ESME), QString::number(m_smppPort),
                                 given.value(0), password.isEmpty() ? given.value(1) : password }
                       + arguments);
        if (!perl.waitForFinished(30'000))
            return u"timed out"_s;
        return QString::fromUtf8(perl.readAllStandardOutput() + perl.readAllStandardError());
    }

    QString serviceNumber(const QString &account) { return m_credentials.value(account).value(2); }

private Q_SLOTS:
    void initTestCase()
    {
        m_rig = std::make_unique<ServiceRig>();
        m_rig->set(u"application_rate_limit"_s, u"100000"_s);
        m_rig->set(u"auth_failure_limit"_s, u"4"_s);
        m_rig->set(u"auth_window_ms"_s, u"2500"_s);
        m_rig->appendConfig(u"[smpp_server]\nport=0\nwindow=5\nenquire_link_s=1\n"
                            u"response_timeout_s=2\nfailed_bind_delay_ms=100\n"_s);
        m_console = m_rig->issue(u"console"_s, u"desk"_s);
        m_operator = m_rig->issue(u"operator"_s, u"ops"_s);
        QString why;
        QVERIFY2(m_rig->start(why), qPrintable(why));
        static const QRegularExpression listening(u"SMPP server listening on \\S+ port (\\d+)"_s);
        QDeadlineTimer deadline(10'000);
        while (!m_smppPort && !deadline.hasExpired()) {
            const auto match = listening.match(QString::fromUtf8(m_rig->log()));
            if (match.hasMatch())
                m_smppPort = match.captured(1).toUShort();
            else
                QTest::qWait(20);
        }
        QVERIFY2(m_smppPort, m_rig->log().constData());
        fund(Shop, 10000);
        fund(Poor, 5);
        fund(Revoked, 100);
        credentials(Shop, u"shop"_s);
        credentials(Poor, u"poor"_s);
        credentials(Revoked, u"gone"_s);
        m_application = m_rig->issue(u"application"_s, u"shop-api"_s, Shop);
    }
    void cleanupTestCase() { m_rig.reset(); }

    void binds_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("systemId");
        QTest::addColumn<QString>("printed");
        const QString bound = u"bind=0\nenquire_link=0\nunbind=0\n"_s;
        QTest::newRow("transmitter") << u"transmitter"_s << QString() << QString() << bound;
        QTest::newRow("receiver") << u"receiver"_s << QString() << QString() << bound;
        QTest::newRow("transceiver") << u"transceiver"_s << QString() << QString() << bound;
        QTest::newRow("wrong password: ESME_RINVPASWD")
            << u"transceiver"_s << u"wrong"_s << QString() << u"bind=14\n"_s;
        QTest::newRow("unknown system_id: ESME_RINVSYSID")
            << u"transmitter"_s << u"wrong"_s << u"nobody"_s << u"bind=15\n"_s;
    }
    void binds()
    {
        QFETCH(QString, mode);
        QFETCH(QString, password);
        QFETCH(QString, systemId);
        QFETCH(QString, printed);
        QString account = Shop;
        if (!systemId.isEmpty()) {
            account = u"nobody"_s;
            m_credentials.insert(account, { systemId, password });
        }
        QCOMPARE(esme(account, { u"bind"_s, mode }, password), printed);
    }

    void submits_data()
    {
        QTest::addColumn<QString>("account");
        QTest::addColumn<QStringList>("arguments"); // coding, hex, destination, how
        // After the service number; "@": another account's service number.
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("printed");
        QTest::addColumn<QString>("received"); // by the handset; empty: nothing
        const QString delivered = u"submit=0\nid=N\nquery=0\nstate=2\n"_s;
        QTest::newRow("GSM 7-bit with escapes")
            << Shop << QStringList { u"0"_s, u"611b651b3c62"_s, u"13900000001"_s } << QString()
            << delivered << u"a€[b"_s;
        QTest::newRow("UCS-2") << Shop << QStringList { u"8"_s, u"4f60597d"_s, u"13900000002"_s }
                               << QString() << delivered << u"你好"_s;
        QTest::newRow("Latin-1 from an extension")
            << Shop << QStringList { u"3"_s, u"e9"_s, u"13900000003"_s } << u"88"_s << delivered
            << u"é"_s;
        QTest::newRow("message_payload of 200 characters")
            << Shop
            << QStringList { u"0"_s, QString(u"41"_s).repeated(200), u"13900000004"_s,
                             u"payload"_s }
            << QString() << delivered << QString(u'A').repeated(200);
        QTest::newRow("scheduled, then cancelled once")
            << Shop << QStringList { u"0"_s, u"6869"_s, u"13900000005"_s, u"schedule"_s }
            << QString() << u"submit=0\nid=N\ncancel=0\ncancel_again=17\nquery=0\nstate=4\n"_s
            << QString();
        QTest::newRow("destination not a phone: ESME_RINVDSTADR")
            << Shop << QStringList { u"0"_s, u"6869"_s, u"12ab"_s } << QString() << u"submit=11\n"_s
            << QString();
        QTest::newRow("source not the service number: ESME_RINVSRCADR")
            << Shop << QStringList { u"0"_s, u"6869"_s, u"13900000006"_s } << u"x"_s
            << u"submit=10\n"_s << QString();
        QTest::newRow("source another account's service number: ESME_RINVSRCADR")
            << Poor << QStringList { u"0"_s, u"6869"_s, u"13900000010"_s } << u"@"_s
            << u"submit=10\n"_s << QString();
        QTest::newRow("data_coding 4: ESME_RSUBMITFAIL")
            << Shop << QStringList { u"4"_s, u"6869"_s, u"13900000007"_s } << QString()
            << u"submit=69\n"_s << QString();
        QTest::newRow("balance short: ESME_RSUBMITFAIL, nothing charged")
            << Poor << QStringList { u"0"_s, u"6869"_s, u"13900000008"_s } << QString()
            << u"submit=69\n"_s << QString();
    }
    void submits()
    {
        QFETCH(QString, account);
        QFETCH(QStringList, arguments);
        QFETCH(QString, source);
        QFETCH(QString, printed);
        QFETCH(QString, received);
        QStringList call { u"submit"_s, arguments.value(0), arguments.value(1), arguments.value(2),
                           source == u"@"_s ? serviceNumber(Shop)
                                            : serviceNumber(account) + source };
        if (arguments.size() > 3)
            call.append(arguments.value(3));
        QString out = esme(account, call);
        static const QRegularExpression id(u"^id=(\\d+)$"_s, QRegularExpression::MultilineOption);
        const QString messageId = id.match(out).captured(1);
        out.replace(id, u"id=N"_s);
        QCOMPARE(out, u"bind=0\n"_s + printed);

        const auto handset
            = json(m_rig->post(u"/v1/operator/handsetMessages"_s,
                               "{\"phone\":\"" + arguments.value(2).toUtf8() + "\"}", m_operator))
                  .value(u"messages"_s)
                  .toArray();
        QCOMPARE(handset.isEmpty() ? QString()
                                   : handset.at(0).toObject().value(u"text"_s).toString(),
                 received);
        if (!messageId.isEmpty()) {
            // The id is the messages API's.
            const auto view
                = m_rig->request("GET", u"/v1/messages/"_s + messageId, {}, m_application);
            QCOMPARE(view.status, 200);
            QCOMPARE(json(view).value(u"to"_s).toString(), arguments.value(2));
        }
        if (account == Poor) {
            const auto balance
                = json(m_rig->post(u"/v1/console/queryBalance"_s,
                                   "{\"accountNo\":\"" + Poor.toLatin1() + "\"}", m_console));
            QCOMPARE(balance.value(u"balance"_s).toString(), u"0.05"_s);
        }
    }

    // Submits written faster than they are answered: the window's worth are taken, the
    // rest answered ESME_RMSGQFUL at once, none lost.
    void fullWindow()
    {
        const QString out
            = esme(Shop, { u"burst"_s, u"40"_s, u"13900000009"_s, serviceNumber(Shop) });
        static const QRegularExpression counts(u"^bind=0\\n0x00=(\\d+)\\n0x14=(\\d+)\\n$"_s);
        const auto match = counts.match(out);
        QVERIFY2(match.hasMatch(), qPrintable(out));
        const int taken = match.captured(1).toInt();
        QCOMPARE(taken + match.captured(2).toInt(), 40);
        QVERIFY2(taken >= 5 && taken < 40, qPrintable(out));
    }

    // Past the account's rate (lowered by a reload), submits are answered ESME_RTHROTTLED.
    void throttled()
    {
        m_rig->set(u"application_rate_limit"_s, u"1"_s);
        QVERIFY(!m_rig->reload().isEmpty());
        const QString out
            = esme(Shop, { u"burst"_s, u"5"_s, u"13900000011"_s, serviceNumber(Shop) });
        m_rig->set(u"application_rate_limit"_s, u"100000"_s);
        QVERIFY(!m_rig->reload().isEmpty());
        static const QRegularExpression counts(u"^bind=0\\n0x00=(\\d+)\\n0x58=(\\d+)\\n$"_s);
        const auto match = counts.match(out);
        QVERIFY2(match.hasMatch(), qPrintable(out));
        QCOMPARE(match.captured(1).toInt() + match.captured(2).toInt(), 5);
        QVERIFY2(match.captured(1).toInt() <= 2, qPrintable(out));
    }

    void malformed_data()
    {
        QTest::addColumn<QString>("hex");
        QTest::addColumn<QString>("printed");
        QTest::newRow("unknown command: generic_nack ESME_RINVCMDID")
            << u"00000010000000990000000000000007"_s << u"answer=0x80000000 status=0x03 seq=7\n"_s;
        QTest::newRow("submit_sm cut short: its answer, ESME_RINVCMDLEN")
            << u"000000140000000400000000000000086162636400"_s.left(40)
            << u"answer=0x80000004 status=0x02 seq=8\n"_s;
        QTest::newRow("bind while bound: ESME_RALYBND")
            << u"0000001900000002000000000000000978007900003400000000"_s.left(50)
            << u"answer=0x80000002 status=0x05 seq=9\n"_s;
        QTest::newRow("a length past the bound: generic_nack, then the end")
            << u"00100000000000040000000000000010"_s << u"answer=0x80000000 status=0x02 seq=16\n"_s;
    }
    void malformed()
    {
        QFETCH(QString, hex);
        QFETCH(QString, printed);
        QCOMPARE(esme(Shop, { u"raw"_s, hex }), u"bind=0\n"_s + printed);
    }

    // An account holds at most max_binds_per_account binds at once (4 here); one that
    // ends makes room.
    void bindsPerAccountLimited()
    {
        const QString password = m_credentials.value(Shop).value(1);
        std::array<RawEsme, 5> binds;
        for (int i = 0; i < 4; ++i)
            QCOMPARE(binds[i].bind(m_smppPort, u"shop"_s, password).status, 0u);
        const Smpp::Header fifth = binds[4].bind(m_smppPort, u"shop"_s, password);
        QCOMPARE(fifth.command, quint32(Smpp::Command::BindTransceiverResp));
        QCOMPARE(fifth.status, Smpp::Status::BindFailed);
        binds[0].socket.write(Smpp::bare(Smpp::Command::Unbind, 2));
        QCOMPARE(binds[0].next().command, quint32(Smpp::Command::UnbindResp));
        RawEsme again;
        QCOMPARE(again.bind(m_smppPort, u"shop"_s, password).status, 0u);
    }

    // A revoke reaches a bind held in the service: it is sent unbind.
    void revokeEndsBind()
    {
        RawEsme esme;
        Smpp::Header answer
            = esme.bind(m_smppPort, u"gone"_s, m_credentials.value(Revoked).value(1));
        QCOMPARE(answer.command, quint32(Smpp::Command::BindTransceiverResp));
        QCOMPARE(answer.status, 0u);
        const auto revoked
            = json(m_rig->post(u"/v1/operator/revokeSmppCredentials"_s,
                               "{\"accountNo\":\"" + Revoked.toLatin1() + "\"}", m_operator));
        QCOMPARE(revoked.value(u"revoked"_s).toInt(), 1);
        // Keep-alives may come first; the unbind follows within a touch of the binds.
        const QDeadlineTimer touched(5'000);
        do {
            answer = esme.next();
            if (answer.command == quint32(Smpp::Command::EnquireLink))
                esme.socket.write(Smpp::bare(Smpp::Command::EnquireLinkResp, answer.sequence));
        } while (answer.command == quint32(Smpp::Command::EnquireLink) && !touched.hasExpired());
        QCOMPARE(answer.command, quint32(Smpp::Command::Unbind));
    }

    // Failed binds past the limit are refused without a look at the password, the right
    // one too, until the window closes: of that system_id from any address, and of any
    // system_id from that address.
    void failedBindsLimited()
    {
        // The window the wrong binds above opened closes first.
        QTest::qWait(2'600);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(esme(Shop, { u"bind"_s, u"transmitter"_s }, u"wrong"_s), u"bind=14\n"_s);
        QCOMPARE(esme(Shop, { u"bind"_s, u"transmitter"_s }, {}, u"127.0.0.2"_s), u"bind=13\n"_s);
        QCOMPARE(esme(Poor, { u"bind"_s, u"transmitter"_s }), u"bind=13\n"_s);
        QTest::qWait(2'600);
        QCOMPARE(esme(Shop, { u"bind"_s, u"transmitter"_s }),
                 u"bind=0\nenquire_link=0\nunbind=0\n"_s);
    }
};

QTEST_GUILESS_MAIN(TestSmppServer)
#include "tst_smppserver.moc"
