// The SMPP server as applications meet it: Debian's Net::SMPP (a client this project did
// not write) binds, submits, queries, cancels and receives against one running service,
// and our own codec sends what no well-behaved client sends and holds binds open. What a
// submit did is read back through the service's other doors: the handset's listing and
// the messages API. A second service on the same store has a link to the SMSC simulator,
// which answers each message with a receipt and sends arrivals of its own: every message
// of a service with a link leaves by one, so the first has none.

#include "service/link/smpppdu.h"
#include "tests/gateway/local/storeprobe.h"
#include "tests/service/servicerig.h"
#include "tests/smsc/smscsimulator.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
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

// The Perl client's deliver lines made readable: each text decoded by its data_coding (3:
// Latin-1, 8: UCS-2, else as ASCII), the dates written D, and `id` for the id given.
QString readable(QString out, const QString &id)
{
    static const QRegularExpression deliver(u"coding=(\\d+)(.*) text=([0-9a-f]*)$"_s,
                                            QRegularExpression::MultilineOption);
    QRegularExpressionMatch match;
    qsizetype from = 0;
    while ((match = deliver.match(out, from)).hasMatch()) {
        const QByteArray octets = QByteArray::fromHex(match.captured(3).toLatin1());
        QString text;
        if (match.captured(1) == u"8"_s) {
            for (qsizetype i = 0; i + 1 < octets.size(); i += 2)
                text.append(
                    QChar(char16_t((quint8(octets.at(i)) << 8) | quint8(octets.at(i + 1)))));
        } else {
            text = QString::fromLatin1(octets);
        }
        const QString line
            = u"coding="_s + match.captured(1) + match.captured(2) + u" text="_s + text;
        out.replace(match.capturedStart(), match.capturedLength(), line);
        from = match.capturedStart() + line.size();
    }
    static const QRegularExpression date(u"date:\\d{10}"_s);
    out.replace(date, u"date:D"_s);
    if (!id.isEmpty())
        out.replace(QRegularExpression(u"\\b"_s + id + u"\\b"_s), u"ID"_s);
    return out;
}

} // namespace

class TestSmppServer : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ServiceRig> m_rig;
    QString m_console;
    QString m_operator;
    QString m_application;
    quint16 m_smppPort = 0;
    std::unique_ptr<SmscSimulator> m_smsc;
    int m_starts = 0;
    // The second service, with the link, and its SMPP server's port.
    std::unique_ptr<ServiceRig> m_linked;
    quint16 m_linkedPort = 0;
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
                 const QString &from = {}, quint16 port = 0)
    {
        const QStringList given = m_credentials.value(account);
        QProcess perl;
        if (!from.isEmpty()) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(u"SMPP_LOCAL_IP"_s, from);
            perl.setProcessEnvironment(environment);
        }
        perl.start(u"perl"_s,
                   QStringList { QStringLiteral(QUILLET_SMPP_ESME),
                                 QString::number(port ? port : m_smppPort), given.value(0),
                                 password.isEmpty() ? given.value(1) : password }
                       + arguments);
        if (!perl.waitForFinished(30'000))
            return u"timed out"_s;
        return QString::fromUtf8(perl.readAllStandardOutput() + perl.readAllStandardError());
    }

    QString serviceNumber(const QString &account) { return m_credentials.value(account).value(2); }

    // The SMPP server's port as the rig's service said it the `starts`th time (the log
    // keeps each start's lines); 0 when it did not say so in time.
    static quint16 smppPortOf(const ServiceRig &rig, int starts)
    {
        static const QRegularExpression listening(u"SMPP server listening on \\S+ port (\\d+)"_s);
        QDeadlineTimer deadline(10'000);
        while (!deadline.hasExpired()) {
            QList<quint16> said;
            for (auto matches = listening.globalMatch(QString::fromUtf8(rig.log()));
                 matches.hasNext();)
                said.append(matches.next().captured(1).toUShort());
            if (said.size() >= starts)
                return said.at(starts - 1);
            QTest::qWait(20);
        }
        return 0;
    }

    bool startService()
    {
        QString why;
        if (!m_rig->start(why)) {
            qWarning("%s", qPrintable(why));
            return false;
        }
        m_smppPort = smppPortOf(*m_rig, ++m_starts);
        return m_smppPort != 0;
    }

    // Ids a Perl client's lines print ("id=N").
    static QStringList ids(const QString &out)
    {
        static const QRegularExpression id(u"^id=(\\d+)$"_s, QRegularExpression::MultilineOption);
        QStringList found;
        for (auto matches = id.globalMatch(out); matches.hasNext();)
            found.append(matches.next().captured(1));
        return found;
    }

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
        QVERIFY(startService());
        fund(Shop, 10000);
        fund(Poor, 5);
        fund(Revoked, 100);
        credentials(Shop, u"shop"_s);
        credentials(Poor, u"poor"_s);
        credentials(Revoked, u"gone"_s);
        m_application = m_rig->issue(u"application"_s, u"shop-api"_s, Shop);

        m_smsc = std::make_unique<SmscSimulator>();
        QVERIFY(m_smsc->start());
        QVERIFY(m_smsc->command(u"receipts 0 DELIVRD"_s));
        m_linked = std::make_unique<ServiceRig>(*m_rig);
        const QString password = m_linked->dir() + u"/smsc.password"_s;
        QFile secret(password);
        QVERIFY(secret.open(QIODevice::WriteOnly) && secret.write("secret1\n") > 0
                && secret.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        secret.close();
        m_linked->appendConfig(u"[smpp_server]\nport=0\nresponse_timeout_s=2\n"
                               u"[smsc.sim]\nhost=127.0.0.1\nport=%1\nsystem_id=quillet\n"
                               u"password_file=%2\n"_s.arg(m_smsc->port())
                                   .arg(password));
        QString why;
        QVERIFY2(m_linked->start(why), qPrintable(why));
        m_linkedPort = smppPortOf(*m_linked, 1);
        QVERIFY(m_linkedPort);
        QVERIFY(!m_smsc->waitFor(u"bind transceiver quillet ok"_s, 1).isEmpty());
    }
    void cleanupTestCase()
    {
        m_linked.reset();
        m_rig.reset();
        m_smsc.reset();
    }

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
        QTest::newRow("data_sm, its text in message_payload")
            << Shop << QStringList { u"8"_s, u"4f60597d"_s, u"13900000012"_s, u"data"_s }
            << QString() << delivered << u"你好"_s;
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

    // A receipt asked for while no receiver is bound waits; the first receiver to bind
    // gets it, and it is done only once a deliver_sm_resp says 0: one answered
    // ESME_RSYSERR comes again to the next receiver, and one answered 0 never again.
    void receiptKeptUntilReceiverBinds()
    {
        const QString submitted
            = esme(Shop, { u"receipts"_s, u"1"_s, u"13900000020"_s, serviceNumber(Shop) });
        const QString id = ids(submitted).value(0);
        QVERIFY2(!id.isEmpty(), qPrintable(submitted));
        const QString receipt
            = u"bind=0\ndeliver esm=0x04 coding=3 from=13900000020 to=%1 "
              u"id=ID state=2 text=id:ID sub:001 dlvrd:001 submit date:D "
              u"done date:D stat:DELIVRD err:000 text:receipt 1\n"_s.arg(serviceNumber(Shop));
        QCOMPARE(readable(esme(Shop, { u"receive"_s, u"1"_s, u"8"_s }), id), receipt);
        QCOMPARE(readable(esme(Shop, { u"receive"_s, u"1"_s, u"0"_s }), id), receipt);
        QCOMPARE(esme(Shop, { u"receive"_s, u"1"_s, u"0"_s, u"1"_s }), u"bind=0\n"_s);
    }

    // ESME -> service -> the SMSC by the link -> its receipt -> deliver_sm to the ESME,
    // with the gateway's id of the message.
    void receiptRoundTrip()
    {
        m_smsc->clear();
        const QString out = esme(Shop, { u"roundtrip"_s, u"13800000001"_s, serviceNumber(Shop) },
                                 {}, {}, m_linkedPort);
        const QString id = ids(out).value(0);
        QVERIFY2(!id.isEmpty(), qPrintable(out));
        QCOMPARE(readable(out, id),
                 u"bind=0\nsubmit=0\nid=ID\ndeliver esm=0x04 coding=3 from=13800000001 to=%1 "
                 u"id=ID state=2 text=id:ID sub:001 dlvrd:001 submit date:D done date:D "
                 u"stat:DELIVRD err:000 text:there and back\n"_s.arg(serviceNumber(Shop)));
        QCOMPARE(m_smsc->waitFor(u"submit"_s, 1).size(), 1);
    }

    // Parts of a text the application split itself: each a message of its own, charged
    // one segment, and at the SMSC as that one part with the reference, count and place
    // the application gave it (sar_ parameters as a header with a 16-bit reference). A
    // part that cannot go on as given is refused and costs nothing.
    void applicationParts_data()
    {
        QTest::addColumn<QStringList>("parts");
        QTest::addColumn<QString>("printed"); // after "bind=0\n"; ids as N
        QTest::addColumn<QStringList>("atSmsc"); // after each "submit ID", sorted
        QTest::addColumn<int>("chargedFen");
        const auto hex = [](const QByteArray &text) { return QString::fromLatin1(text.toHex()); };
        const QStringList texts { u"part one"_s, u"part two"_s, u"part three"_s };
        const QString three = u"submit=0\nid=N\n"_s.repeated(3);
        QStringList udh8, udh16, sar;
        for (int i = 0; i < 3; ++i) {
            const QString place = u"0"_s + QString::number(i + 1);
            udh8.append(u"udh:050003a703"_s + place + hex(texts[i].toLatin1()));
            udh16.append(u"udh:0608040bb803"_s + place + hex(texts[i].toLatin1()));
            sar.append(u"sar:4660:3:%1:"_s.arg(i + 1) + hex(texts[i].toLatin1()));
        }
        const auto smsc = [](const QString &phone, const QString &reference) {
            return QStringList { u"SN %1 00 40 %2/3/1 part one"_s.arg(phone, reference),
                                 u"SN %1 00 40 %2/3/2 part two"_s.arg(phone, reference),
                                 u"SN %1 00 40 %2/3/3 part three"_s.arg(phone, reference) };
        };
        QTest::newRow("three parts, header with an 8-bit reference")
            << udh8 << three << smsc(u"13900000030"_s, u"167"_s) << 30;
        QTest::newRow("three parts, header with a 16-bit reference")
            << udh16 << three << smsc(u"13900000031"_s, u"3000"_s) << 30;
        QTest::newRow("three parts numbered by sar_ parameters")
            << sar << three << smsc(u"13900000032"_s, u"4660"_s) << 30;
        QTest::newRow("header element past its header: ESME_RINVESMCLASS")
            << QStringList { u"udh:050004a70301"_s + hex("x") } << u"submit=67\n"_s << QStringList()
            << 0;
        QTest::newRow("header placing part 4 of 3: ESME_RINVESMCLASS")
            << QStringList { u"udh:050003a70304"_s + hex("x") } << u"submit=67\n"_s << QStringList()
            << 0;
        QTest::newRow("sar_ placing part 0 of 3: ESME_RINVOPTPARAMVAL")
            << QStringList { u"sar:1:3:0:"_s + hex("x") } << u"submit=196\n"_s << QStringList()
            << 0;
        QTest::newRow("154 characters beside an 8-bit reference: ESME_RINVMSGLEN")
            << QStringList { u"udh:050003a70301"_s + hex(QByteArray(154, 'x')) } << u"submit=1\n"_s
            << QStringList() << 0;
    }
    void applicationParts()
    {
        QFETCH(QStringList, parts);
        QFETCH(QString, printed);
        QFETCH(QStringList, atSmsc);
        QFETCH(int, chargedFen);
        const auto balanceFen = [&] {
            const auto balance
                = json(m_rig->post(u"/v1/console/queryBalance"_s,
                                   "{\"accountNo\":\"" + Shop.toLatin1() + "\"}", m_console));
            return qRound(balance.value(u"balance"_s).toString().toDouble() * 100);
        };
        const QString phone = atSmsc.isEmpty() ? u"13900000033"_s : atSmsc[0].section(u' ', 1, 1);
        const int before = balanceFen();
        m_smsc->clear();
        QString out = esme(Shop, QStringList { u"parts"_s, phone, serviceNumber(Shop) } + parts, {},
                           {}, m_linkedPort);
        const QStringList given = ids(out);
        static const QRegularExpression id(u"^id=(\\d+)$"_s, QRegularExpression::MultilineOption);
        out.replace(id, u"id=N"_s);
        QCOMPARE(out, u"bind=0\n"_s + printed);
        QCOMPARE(before - balanceFen(), chargedFen);
        if (atSmsc.isEmpty())
            return;
        QStringList received;
        for (const QString &line : m_smsc->waitFor(u"submit"_s, int(atSmsc.size())))
            received.append(line.section(u' ', 2).replace(serviceNumber(Shop), u"SN"_s));
        received.sort();
        QStringList wanted = atSmsc;
        wanted.sort();
        QCOMPARE(received, wanted);
        // Each is a message of one part, its own.
        QCOMPARE(QSet<QString>(given.cbegin(), given.cend()).size(), 3);
        for (const QString &each : given) {
            QTRY_COMPARE_WITH_TIMEOUT(
                json(m_rig->request("GET", u"/v1/messages/"_s + each, {}, m_application))
                    .value(u"parts"_s)
                    .toArray()
                    .size(),
                1, 5'000);
        }
    }

    // A phone's message for the account reaches its receiver (no callback is set), and
    // is fetched once answered: the messages API has nothing left to take. One the
    // messages API took first is not sent.
    void arrivals_data()
    {
        QTest::addColumn<bool>("takenFirst");
        QTest::addColumn<QString>("received"); // after "bind=0\n"; SN: the service number
        QTest::newRow("to the receiver, then fetched")
            << false
            << u"deliver esm=0x00 coding=0 from=8613900139000 to=SN id= state= text=hello\n"_s;
        QTest::newRow("taken by the messages API first: not sent") << true << QString();
    }
    void arrivals()
    {
        QFETCH(bool, takenFirst);
        QFETCH(QString, received);
        m_smsc->clear();
        QVERIFY(m_smsc->command(u"mo +8613900139000 %1 hello"_s.arg(serviceNumber(Shop))));
        QCOMPARE(m_smsc->waitFor(u"mo-resp"_s, 1).value(0).section(u' ', 2), u"00"_s);
        const auto take = [&] {
            const auto next = m_rig->post(u"/v1/arrivals/next"_s, "{}", m_application);
            return json(next).value(u"arrivals"_s).toArray().size();
        };
        if (takenFirst)
            QCOMPARE(take(), 1);
        const QStringList wait { u"receive"_s, u"1"_s, u"0"_s, takenFirst ? u"1"_s : u"5"_s };
        QCOMPARE(readable(esme(Shop, wait, {}, {}, m_linkedPort), {}),
                 u"bind=0\n"_s + QString(received).replace(u"SN"_s, serviceNumber(Shop)));
        // Fetched once the answer is written, with the next claim.
        QTRY_COMPARE_WITH_TIMEOUT(StoreProbe(m_rig->ownerUrl())
                                      .count(u"SELECT count(*) FROM mo WHERE state = 'waiting'"_s),
                                  0, 5'000);
        QCOMPARE(take(), 0);
    }

    // Killed with receipts due (their receiver refused them): after the restart every one
    // reaches the next receiver, none lost.
    void killedWithReceiptsDue()
    {
        const QString submitted
            = esme(Shop, { u"receipts"_s, u"3"_s, u"13900000021"_s, serviceNumber(Shop) });
        QStringList wanted = ids(submitted);
        QCOMPARE(wanted.size(), 3);
        static const QRegularExpression receipted(u"^deliver esm=0x04 .* id=(\\d+) "_s,
                                                  QRegularExpression::MultilineOption);
        const auto receiptsIn = [](const QString &out) {
            QStringList found;
            for (auto matches = receipted.globalMatch(out); matches.hasNext();)
                found.append(matches.next().captured(1));
            found.sort();
            return found;
        };
        wanted.sort();
        QCOMPARE(receiptsIn(esme(Shop, { u"receive"_s, u"3"_s, u"8"_s })), wanted);
        m_rig->kill();
        // Claims of the dead process run out before anyone sends them again.
        QVERIFY(StoreProbe(m_rig->ownerUrl())
                    .exec(u"UPDATE outbox SET claimed_until = NULL, next_try_at = NULL"_s));
        QVERIFY(startService());
        QCOMPARE(receiptsIn(esme(Shop, { u"receive"_s, u"3"_s, u"0"_s })), wanted);
        QTRY_COMPARE_WITH_TIMEOUT(
            StoreProbe(m_rig->ownerUrl())
                .count(u"SELECT count(*) FROM outbox WHERE destination = 'smpp' "
                       u"AND type = 'message.state' AND delivery = 'pending'"_s),
            0, 5'000);
    }
};

QTEST_GUILESS_MAIN(TestSmppServer)
#include "tst_smppserver.moc"
