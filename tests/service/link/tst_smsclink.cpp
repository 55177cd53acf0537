// quillet-gatewayd bound to the SMSC simulator: what the SMSC sees of the console's
// sends, what its answers and receipts make of the messages, what arrives from it, and
// how the link lives through refusals, throttling, drops and a dead peer. One simulator
// and one service for the suite; every test starts on an emptied store.

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
    // A second SMSC, reached by a transmitter and a receiver.
    std::unique_ptr<SmscSimulator> m_split;
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
        // Bound never: its password is wrong. It takes no message of the tests.
        m_rig->appendConfig(link(u"wrong"_s, u"guess"_s, u"routes=+999"_s, *m_rig));
        m_split = std::make_unique<SmscSimulator>();
        QVERIFY(m_split->start());
        QVERIFY(m_split->command(u"receipts 0 DELIVRD"_s));
        m_rig->appendConfig(link(u"split"_s, u"secret1"_s,
                                 u"routes=+7\nbind=transmitter_receiver\nrate=5"_s, *m_rig,
                                 m_split.get()));
        m_console = m_rig->issue(u"console"_s, u"desk"_s);
        m_operator = m_rig->issue(u"operator"_s, u"ops"_s);
        QString why;
        QVERIFY2(m_rig->start(why), qPrintable(why));
        QVERIFY(!m_smsc->waitFor(u"bind transceiver quillet ok"_s, 1).isEmpty());
        QVERIFY(!m_split->waitFor(u"bind transmitter quillet ok"_s, 1).isEmpty());
        QVERIFY(!m_split->waitFor(u"bind receiver quillet ok"_s, 1).isEmpty());
    }

    void init()
    {
        QVERIFY(m_smsc->command(u"receipts 0 DELIVRD"_s));
        QVERIFY(m_smsc->command(u"receipt-style tlv"_s));
        QVERIFY(m_rig->emptyStore());
        m_smsc->clear();
        m_split->clear();
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

    // A receipt's state, read from its TLVs or from its text alone; a rejection gives
    // the money back.
    void receiptToState_data()
    {
        QTest::addColumn<QString>("stat");
        QTest::addColumn<QString>("style");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("balance");
        QTest::newRow("delivered, TLVs") << u"DELIVRD"_s << u"tlv"_s << u"delivered"_s << u"9.90"_s;
        QTest::newRow("delivered, text")
            << u"DELIVRD"_s << u"text"_s << u"delivered"_s << u"9.90"_s;
        QTest::newRow("undeliverable")
            << u"UNDELIV"_s << u"text"_s << u"undeliverable"_s << u"9.90"_s;
        QTest::newRow("expired") << u"EXPIRED"_s << u"tlv"_s << u"expired"_s << u"9.90"_s;
        QTest::newRow("rejected: refunded")
            << u"REJECTD"_s << u"text"_s << u"rejected"_s << u"10.00"_s;
    }
    void receiptToState()
    {
        QFETCH(QString, stat);
        QFETCH(QString, style);
        QFETCH(QString, state);
        QFETCH(QString, balance);
        QVERIFY(m_smsc->command(u"receipts 0 "_s + stat));
        QVERIFY(m_smsc->command(u"receipt-style "_s + style));
        QVERIFY(send(u"13800138000"_s, u"hi"_s));
        QVERIFY(statesBecome({ state }));
        QCOMPARE(this->balance(), balance);
    }

    // The SMSC's answer to submit_sm: throttling is tried again until it goes (sent
    // once), a permanent error rejects and refunds.
    void submitAnswers_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("state");
        QTest::addColumn<int>("refused");
        QTest::addColumn<QString>("balance");
        QTest::newRow("throttled twice") << u"throttle 2"_s << u"delivered"_s << 2 << u"9.90"_s;
        QTest::newRow("queue full") << u"reject 1 14"_s << u"delivered"_s << 1 << u"9.90"_s;
        QTest::newRow("refused for good") << u"reject 1 45"_s << u"rejected"_s << 1 << u"10.00"_s;
    }
    void submitAnswers()
    {
        QFETCH(QString, command);
        QFETCH(QString, state);
        QFETCH(int, refused);
        QFETCH(QString, balance);
        QVERIFY(m_smsc->command(command));
        QVERIFY(send(u"13800138000"_s, u"hi"_s));
        QVERIFY(statesBecome({ state }));
        // The store may hear of it before the simulator's lines reach the test.
        QCOMPARE(m_smsc->waitFor(u"submit-refused"_s, refused).size(), refused);
        const int accepted = state == u"delivered"_s ? 1 : 0;
        QCOMPARE(m_smsc->waitFor(u"submit"_s, accepted).size(), accepted);
        QCOMPARE(this->balance(), balance);
    }

    // A message from the network reaches the account's receive listing, once, joined,
    // decoded; forwarding and the automatic reply go out over the link; one for no
    // account is kept for the operator. What the SMSC sends again is stored once, a
    // phone's second message of the same text is a message of its own.
    void arrivals_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("times");
        QTest::addColumn<QString>("extension");
        QTest::addColumn<QStringList>("waiting");
        QTest::addColumn<int>("unmatched");
        const QString a = QString(153, u'a');
        QTest::newRow("GSM") << u"mo"_s << 1 << u"5"_s << QStringList { u"hello"_s } << 0;
        QTest::newRow("UCS-2") << u"mo"_s << 1 << QString() << QStringList { u"你好"_s } << 0;
        QTest::newRow("Latin-1") << u"mo-latin1"_s << 1 << QString() << QStringList { u"café"_s }
                                 << 0;
        QTest::newRow("sent again with its sequence number")
            << u"mo-twice"_s << 1 << QString() << QStringList { u"once"_s } << 0;
        QTest::newRow("sent again after the session dropped before its answer")
            << u"mo-drop"_s << 1 << QString() << QStringList { u"once"_s } << 0;
        QTest::newRow("the same text twice from a phone")
            << u"mo"_s << 2 << QString() << QStringList { u"yes"_s, u"yes"_s } << 0;
        QTest::newRow("three parts")
            << u"mo"_s << 1 << QString() << QStringList { a + a + u"end"_s } << 0;
        QTest::newRow("no such account") << u"mo"_s << 1 << u"!"_s << QStringList() << 1;
    }
    void arrivals()
    {
        QFETCH(QString, command);
        QFETCH(int, times);
        QFETCH(QString, extension);
        QFETCH(QStringList, waiting);
        QFETCH(int, unmatched);
        QCOMPARE(call(u"setForwarding"_s, "\"phoneNo\":\"13900000000\"").value(u"outcome"_s), -1);
        QCOMPARE(call(u"setAutoReply"_s, "\"reply\":\"thanks\"").value(u"outcome"_s), -1);
        const StoreProbe store = probe();
        const QString number = store.rows(u"SELECT service_number FROM accounts"_s).value(0);
        // A destination that begins with no service number.
        const QString to = extension == u"!"_s ? u"42"_s : number + extension;
        const QString text = waiting.value(0, u"lost?"_s);
        for (int i = 0; i < times; ++i)
            QVERIFY(m_smsc->command(command + u" 13800138000 "_s + to + u' ' + text));
        if (waiting.isEmpty()) {
            QVERIFY(QTest::qWaitFor(
                [&] { return store.count(u"SELECT count(*) FROM link_unmatched"_s) == 1; }, Wait));
        } else {
            // The forwarded copies and the replies go out and are delivered.
            QVERIFY(statesBecome(QStringList(2 * waiting.size(), u"delivered"_s)));
        }
        // Answered, each as often as it was sent (but where the session was gone).
        const int answers = int(m_smsc->events(u"mo"_s).size()) - (command == u"mo-drop"_s ? 1 : 0);
        QCOMPARE(m_smsc->waitFor(u"mo-resp"_s, answers).size(), answers);
        QCOMPARE(store.rows(u"SELECT text FROM mo ORDER BY id"_s), waiting);
        QCOMPARE(store.rows(u"SELECT extension FROM mo"_s), QStringList(waiting.size(), extension));
        QCOMPARE(store.count(u"SELECT count(*) FROM link_unmatched"_s), unmatched);
        if (waiting.isEmpty())
            return;
        QStringList phones;
        (void)QTest::qWaitFor([&] {
            phones.clear();
            for (const QString &line : m_smsc->events(u"submit"_s))
                phones.append(line.section(u' ', 3, 3));
            phones.sort();
            phones.removeDuplicates();
            return phones.size() == 2;
        });
        QCOMPARE(phones, (QStringList { u"13800138000"_s, u"13900000000"_s }));
        const QJsonObject received = call(u"receiveMessages"_s, {});
        QCOMPARE(received.value(u"total"_s).toString(), QString::number(waiting.size()));
    }

    // The connection drops with the window full of unanswered messages: each goes out
    // again once the link is bound again, and none is lost.
    void droppedWithAFullWindow()
    {
        QVERIFY(m_smsc->command(u"slow 5000"_s));
        for (int i = 0; i < 12; ++i)
            QVERIFY(send(u"13800138000"_s, u"m%1"_s.arg(i, 2, 10, QLatin1Char('0'))));
        // The window holds ten unanswered; the other two wait in the queue.
        const auto claimed = [&] {
            return probe().count(u"SELECT count(*) FROM mt WHERE claimed_by IS NOT NULL"_s);
        };
        QVERIFY(QTest::qWaitFor([&] { return claimed() == 10; }, Wait));
        QTest::qWait(300);
        QCOMPARE(claimed(), 10);
        QVERIFY(m_smsc->command(u"drop"_s));
        QVERIFY(m_smsc->command(u"slow 0"_s));
        QVERIFY(statesBecome(QStringList(12, u"delivered"_s)));
        QStringList texts;
        for (const QString &line : m_smsc->waitFor(u"submit"_s, 12))
            texts.append(line.section(u' ', 7));
        texts.sort();
        QStringList expected;
        for (int i = 0; i < 12; ++i)
            expected.append(u"m%1"_s.arg(i, 2, 10, QLatin1Char('0')));
        QCOMPARE(texts, expected);
    }

    // The window counts parts, not messages: of a message in twelve parts, ten go out
    // unanswered, and the rest once answers come.
    void windowHoldsParts()
    {
        // Answers late, but within the link's time-out (1 s).
        QVERIFY(m_smsc->command(u"slow 600"_s));
        QVERIFY(send(u"13800138000"_s, QString(12 * 153, u'w')));
        QCOMPARE(m_smsc->waitFor(u"submit"_s, 10).size(), 10);
        QTest::qWait(300);
        QCOMPARE(m_smsc->events(u"submit"_s).size(), 10);
        QVERIFY(m_smsc->command(u"slow 0"_s));
        QVERIFY(statesBecome({ u"delivered"_s }));
        QCOMPARE(m_smsc->events(u"submit"_s).size(), 12);
    }

    // A peer that stops answering is noticed by enquire_link and left; the link binds
    // again once it answers, and what was sent meanwhile goes out.
    void deadPeer()
    {
        const qsizetype binds = m_smsc->events(u"bind transceiver quillet ok"_s).size();
        QVERIFY(m_smsc->command(u"mute"_s));
        QVERIFY(send(u"13800138000"_s, u"later"_s));
        QVERIFY(QTest::qWaitFor(
            [&] {
                return probe().rows(u"SELECT state FROM link_status WHERE link = 'main'"_s)
                    == QStringList { u"waiting"_s };
            },
            Wait));
        QVERIFY(m_smsc->command(u"unmute"_s));
        QVERIFY(statesBecome({ u"delivered"_s }));
        QCOMPARE(m_smsc->waitFor(u"bind transceiver quillet ok"_s, int(binds) + 1).size(),
                 binds + 1);
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

    // A link bound as a transmitter and a receiver: messages out by the one, receipts and
    // arrivals in by the other.
    void transmitterAndReceiver()
    {
        QVERIFY(send(u"+79001234567"_s, u"privet"_s));
        QVERIFY(statesBecome({ u"delivered"_s }));
        QCOMPARE(m_split->waitFor(u"submit"_s, 1).value(0).section(u' ', 3),
                 u"79001234567 00 00 - privet"_s);
        const QString number = probe().rows(u"SELECT service_number FROM accounts"_s).value(0);
        QVERIFY(m_split->command(u"mo 79001234567 "_s + number + u" da"_s));
        QVERIFY(QTest::qWaitFor(
            [&] {
                return probe().rows(u"SELECT sender || ' ' || text FROM mo"_s)
                    == QStringList { u"79001234567 da"_s };
            },
            Wait));
        QCOMPARE(m_smsc->events(u"submit"_s), QStringList());
    }

    // No more than `rate` messages a second go out, however many wait.
    void rateCap()
    {
        for (int i = 0; i < 6; ++i)
            QVERIFY(send(u"+79001234567"_s, u"r%1"_s.arg(i)));
        QVERIFY(!m_split->waitFor(u"submit"_s, 1).isEmpty());
        QTest::qWait(500);
        // Five a second: the first, and two or three more in half a second.
        const qsizetype early = m_split->events(u"submit"_s).size();
        QVERIFY2(early <= 4, qPrintable(QString::number(early)));
        QVERIFY(statesBecome(QStringList(6, u"delivered"_s)));
    }

    // A refused bind is tried again after a back-off that grows, never in a tight loop;
    // the operator sees why.
    void refusedBind()
    {
        QTest::qWait(1200);
        // 400 ms apart by now (and the time each try takes): at most 4 in 1.2 s.
        const qsizetype refusals = m_smsc->events(u"bind transceiver quillet refused"_s).size();
        QVERIFY2(refusals >= 2 && refusals <= 4, qPrintable(QString::number(refusals)));
        QCOMPARE(probe().rows(u"SELECT state || ' ' || last_error FROM link_status WHERE link = "
                              u"'wrong'"_s),
                 QStringList { u"waiting SMSC status 0x0000000e"_s });
    }
};

QTEST_GUILESS_MAIN(TestSmscLink)
#include "tst_smsclink.moc"
