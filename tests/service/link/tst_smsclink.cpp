// quillet-gatewayd bound to the SMSC simulator, for what needs the whole service: what
// the SMSC sees of the console's sends, a refund by the store when the SMSC refuses, an
// arrival's forwarded copy and automatic reply going out by the link, and two processes
// on one PostgreSQL store. The link's own behaviour is tst_link's, in process. One
// simulator and one service for the suite; every test starts on an emptied store.

#include "tests/gateway/local/storeprobe.h"
#include "tests/service/servicerig.h"
#include "tests/smsc/smscsimulator.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <csignal>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

const QByteArray Account = "\"accountNo\":\"ABC-DEF-GHI-00001\"";
constexpr int Wait = 15'000;

QJsonObject json(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object();
}

QByteArray quoted(const QString &text)
{
    return QJsonDocument(QJsonArray { text }).toJson(QJsonDocument::Compact).mid(1).chopped(1);
}

// A submit line's data coding, esm_class, part numbering (without its reference) and
// text: "08 40 3/1 你好".
QString seen(const QString &line)
{
    const QStringList words = line.split(u' ');
    const QString numbering = words.value(6) == u"-"_s ? u"-"_s : words.value(6).section(u'/', 1);
    return QStringList { words.value(4), words.value(5), numbering, line.section(u' ', 7) }.join(
        u' ');
}

} // namespace

class TestSmscLink : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<SmscSimulator> m_smsc;
    std::unique_ptr<SmscSimulator> m_busySmsc;
    std::unique_ptr<ServiceRig> m_rig;
    QString m_console;
    QString m_operator;

    // A link section for the simulator; `password` goes to a file of mode 0600.
    QString link(const QString &name, const QString &password, const QString &extra,
                 const ServiceRig &rig, const SmscSimulator *smsc = nullptr)
    {
        const QString file = rig.dir() + u"/"_s + name + u".password"_s;
        QFile secret(file);
        if (!secret.open(QIODevice::WriteOnly) || secret.write(password.toUtf8() + '\n') < 0
            || !secret.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
            return {};
        return u"[smsc.%1]\nhost=127.0.0.1\nport=%2\nsystem_id=quillet\npassword_file=%3\n"
               u"response_timeout_ms=1000\nenquire_link_ms=500\nreconnect_min_ms=100\n"
               u"reconnect_max_ms=400\nlease_ms=1500\n%4\n"_s.arg(name)
                   .arg((smsc ? smsc : m_smsc.get())->port())
                   .arg(file, extra);
    }

    QJsonObject call(const QString &operation, const QByteArray &fields)
    {
        const auto answer
            = m_rig->post(u"/v1/console/"_s + operation,
                          "{" + Account + (fields.isEmpty() ? "" : ",") + fields + "}", m_console);
        return json(answer.body);
    }

    bool send(const QString &phone, const QString &text)
    {
        return call(u"sendMessage"_s, "\"phoneNo\":" + quoted(phone) + ",\"text\":" + quoted(text))
                   .value(u"outcome"_s)
                   .toInt()
            == -1;
    }

    StoreProbe probe() const { return StoreProbe(m_rig->ownerUrl()); }

    // Waits until the messages' states, oldest first, are `states`.
    bool statesBecome(const QStringList &states)
    {
        const StoreProbe store = probe();
        const auto now = [&] { return store.rows(u"SELECT state FROM mt ORDER BY id"_s); };
        if (QTest::qWaitFor([&] { return now() == states; }, Wait))
            return true;
        qWarning() << now() << "!=" << states;
        return false;
    }

    QString balance() { return call(u"queryBalance"_s, {}).value(u"balance"_s).toString(); }

private Q_SLOTS:
    void initTestCase()
    {
        m_smsc = std::make_unique<SmscSimulator>();
        QVERIFY(m_smsc->start());
        m_rig = std::make_unique<ServiceRig>();
        m_rig->appendConfig(link(u"main"_s, u"secret1"_s, {}, *m_rig));
        // Bound never (its password is wrong); main takes its messages.
        m_rig->appendConfig(link(u"down"_s, u"guess"_s,
                                 u"routes=+999\nfallback=main\nfallback_after_ms=300"_s, *m_rig));
        // Bound to an SMSC of its own that throttles it as the test says; main takes its
        // messages while it does.
        m_busySmsc = std::make_unique<SmscSimulator>();
        QVERIFY(m_busySmsc->start());
        m_rig->appendConfig(link(u"busy"_s, u"secret1"_s,
                                 u"routes=+998\nfallback=main\nfallback_after_ms=300"_s, *m_rig,
                                 m_busySmsc.get()));
        m_console = m_rig->issue(u"console"_s, u"desk"_s);
        m_operator = m_rig->issue(u"operator"_s, u"ops"_s);
        QString why;
        QVERIFY2(m_rig->start(why), qPrintable(why));
        QVERIFY(!m_smsc->waitFor(u"bind transceiver quillet ok"_s, 1).isEmpty());
        QVERIFY(!m_busySmsc->waitFor(u"bind transceiver quillet ok"_s, 1).isEmpty());
    }

    void init()
    {
        QVERIFY(m_smsc->command(u"receipts 0 DELIVRD"_s));
        QVERIFY(m_smsc->command(u"receipt-style tlv"_s));
        QVERIFY(m_rig->emptyStore());
        m_smsc->clear();
        QCOMPARE(call(u"register"_s, "\"password\":\"pw\"").value(u"outcome"_s).toInt(), -1);
        const auto cards = m_rig->post(u"/v1/operator/issueCards"_s,
                                       "{\"valueFen\":1000,\"count\":1}", m_operator);
        const QJsonObject card = json(cards.body).value(u"cards"_s).toArray().at(0).toObject();
        QCOMPARE(call(u"recharge"_s,
                      "\"cardNo\":" + quoted(card.value(u"number"_s).toString())
                          + ",\"cardPassword\":" + quoted(card.value(u"password"_s).toString()))
                     .value(u"outcome"_s)
                     .toInt(),
                 -1);
    }

    void cleanup()
    {
        const StoreProbe store = probe();
        QCOMPARE(store.ledgerMismatches(), QStringList());
        QCOMPARE(store.unmatchedCharges(), QStringList());
    }

    void cleanupTestCase()
    {
        if (m_rig) {
            const int code = m_rig->terminate();
            QVERIFY2(code == 0, m_rig->log().right(2000).constData());
        }
    }

    // What the SMSC receives of a text: its coding, its parts, and each part's text;
    // the receipt then marks the message delivered.
    void partsAsTheSmscSeesThem_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("parts");
        QTest::newRow("GSM 7-bit with escapes")
            << u"Price: 5€ [sale] ~ ok"_s << QStringList { u"00 00 - Price: 5€ [sale] ~ ok"_s };
        QTest::newRow("UCS-2") << u"你好，世界"_s << QStringList { u"08 00 - 你好，世界"_s };
        const QString a = QString(153, u'a');
        QTest::newRow("three GSM parts")
            << a + a + u"end"_s
            << QStringList { u"00 40 3/1 "_s + a, u"00 40 3/2 "_s + a, u"00 40 3/3 end"_s };
        const QString ni = QString(67, u'你');
        QTest::newRow("three UCS-2 parts")
            << ni + ni + u"好"_s
            << QStringList { u"08 40 3/1 "_s + ni, u"08 40 3/2 "_s + ni, u"08 40 3/3 好"_s };
    }
    void partsAsTheSmscSeesThem()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, parts);
        QVERIFY(send(u"+8613800138000"_s, text));
        const QStringList lines = m_smsc->waitFor(u"submit"_s, int(parts.size()));
        QStringList got;
        QSet<QString> references;
        for (const QString &line : lines) {
            got.append(seen(line));
            references.insert(line.section(u' ', 6, 6).section(u'/', 0, 0));
            QCOMPARE(line.section(u' ', 3, 3), u"8613800138000"_s);
        }
        QCOMPARE(got, parts);
        QCOMPARE(references.size(), 1);
        QVERIFY(statesBecome({ u"delivered"_s }));
    }

    // A link that cannot bind, or whose SMSC throttles every message, hands its messages
    // to its fallback once that has lasted fallback_after_s; such a message is the
    // fallback's from then on.
    void fallback_data()
    {
        QTest::addColumn<QString>("phone");
        QTest::addColumn<bool>("throttled");
        QTest::newRow("a link down") << u"99900000001"_s << false;
        QTest::newRow("a link throttled") << u"99800000001"_s << true;
    }
    void fallback()
    {
        QFETCH(QString, phone);
        QFETCH(bool, throttled);
        QVERIFY(m_busySmsc->command(u"throttle 1000"_s));
        QVERIFY(send(u"+"_s + phone, u"by another way"_s));
        QVERIFY2(statesBecome({ u"delivered"_s }), m_rig->log().right(3000).constData());
        QCOMPARE(m_smsc->waitFor(u"submit"_s, 1).value(0).section(u' ', 3, 3), phone);
        QCOMPARE(probe().rows(u"SELECT link FROM mt"_s), QStringList { u"main"_s });
        // The operator's listing says whom main stands in for.
        QTRY_VERIFY(probe()
                        .rows(u"SELECT standing_in FROM link_status WHERE link = 'main'"_s)
                        .value(0)
                        .split(u',')
                        .contains(throttled ? u"busy"_s : u"down"_s));
        if (throttled)
            QVERIFY(!m_busySmsc->waitFor(u"submit-refused 58"_s, 1).isEmpty());
        QVERIFY(m_busySmsc->command(u"throttle 0"_s));
    }

    // The SMSC refuses a message for good, by its answer or by its receipt: the store
    // gives the money back.
    void refund_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("submitted");
        QTest::newRow("refused by its answer") << u"reject 1 45"_s << 0;
        QTest::newRow("rejected by its receipt") << u"receipts 0 REJECTD"_s << 1;
    }
    void refund()
    {
        QFETCH(QString, command);
        QFETCH(int, submitted);
        QVERIFY(m_smsc->command(command));
        QVERIFY(send(u"13800138000"_s, u"hi"_s));
        QVERIFY(statesBecome({ u"rejected"_s }));
        QCOMPARE(m_smsc->waitFor(u"submit"_s, submitted).size(), submitted);
        QCOMPARE(this->balance(), u"10.00"_s);
    }

    // A message from a phone to the account's service number and an extension reaches its
    // receive listing; its forwarded copy and the automatic reply go out by the link.
    void arrivalForwardedAndAnswered()
    {
        QCOMPARE(call(u"setForwarding"_s, "\"phoneNo\":\"13900000000\"").value(u"outcome"_s), -1);
        QCOMPARE(call(u"setAutoReply"_s, "\"reply\":\"thanks\"").value(u"outcome"_s), -1);
        const StoreProbe store = probe();
        const QString number = store.rows(u"SELECT service_number FROM accounts"_s).value(0);
        QVERIFY(m_smsc->command(u"mo 13800138000 "_s + number + u"5 hello"_s));
        QVERIFY(statesBecome({ u"delivered"_s, u"delivered"_s }));
        QCOMPARE(m_smsc->waitFor(u"mo-resp"_s, 1).size(), 1);
        QCOMPARE(store.rows(u"SELECT extension || ' ' || text FROM mo"_s),
                 QStringList { u"5 hello"_s });
        QStringList phones;
        for (const QString &line : m_smsc->waitFor(u"submit"_s, 2))
            phones.append(line.section(u' ', 3, 3));
        phones.sort();
        QCOMPARE(phones, (QStringList { u"13800138000"_s, u"13900000000"_s }));
        QCOMPARE(call(u"receiveMessages"_s, {}).value(u"total"_s).toString(), u"1"_s);
    }

    // Two service processes on one PostgreSQL store send what is queued, each message
    // from one of them; one killed with messages in flight leaves them to the other once
    // its claims run out: none is lost, none goes out more than twice, and the receipts
    // still find their messages.
    void twoProcessesOneKilled()
    {
        if (!TestStore::onPostgresql())
            QSKIP("several processes share a PostgreSQL store only");
        ServiceRig second(*m_rig);
        second.appendConfig(link(u"main"_s, u"secret1"_s, {}, second));
        QString why;
        QVERIFY2(second.start(why), qPrintable(why));
        QVERIFY(!m_smsc->waitFor(u"bind transceiver quillet ok"_s, 1).isEmpty());
        QVERIFY(m_smsc->command(u"slow 3000"_s));
        QStringList texts;
        for (int i = 0; i < 20; ++i) {
            texts.append(u"k%1"_s.arg(i, 2, 10, QLatin1Char('0')));
            QVERIFY(send(u"13800138000"_s, texts.last()));
        }
        QVERIFY(QTest::qWaitFor(
            [&] {
                return probe().count(u"SELECT count(*) FROM mt WHERE claimed_by IS NOT NULL"_s)
                    == 20;
            },
            Wait));
        m_rig->kill();
        QVERIFY(m_smsc->command(u"slow 0"_s));
        QVERIFY(statesBecome(QStringList(20, u"delivered"_s)));
        QStringList submitted;
        for (const QString &line : m_smsc->waitFor(u"submit"_s, 20))
            submitted.append(line.section(u' ', 7));
        for (const QString &text : std::as_const(texts)) {
            const qsizetype times = submitted.count(text);
            QVERIFY2(times >= 1 && times <= 2, qPrintable(text));
        }
        QCOMPARE(second.terminate(), 0);
        QVERIFY2(m_rig->start(why), qPrintable(why));
    }
};

QTEST_GUILESS_MAIN(TestSmscLink)
#include "tst_smsclink.moc"
