// The link in process, between an SMSC the test plays byte by byte and a store of the
// test's own, on a clock the test moves: the window across parts, the rate and the pause
// after throttling, the SMSC's answers, back-off, what a drop hands back and leaves in
// doubt, late answers, a transmitter beside a receiver. Each in milliseconds.

#include "service/link/smsclink.h"
#include "tests/service/link/rawsmsc.h"

#include <QDateTime>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr int Wait = 5'000;

// Hands out what the test queued, in order; a message handed back for a retry is
// queued again at the end, its try counted.
class FakeStore : public LinkStore {
public:
    Result<QList<Outgoing>> claim(const QString & /*link*/, int most, qint64 /*leaseMs*/,
                                  const ClaimRules & /*rules*/) override
    {
        const QList<Outgoing> claimed = queued.first(std::min<qsizetype>(most, queued.size()));
        queued.remove(0, claimed.size());
        if (!claimed.isEmpty())
            claims.append(int(claimed.size()));
        held += claimed;
        return claimed;
    }
    Result<QList<Doubtful>> record(const QString & /*link*/, const QList<Answer> &some,
                                   const ReceiptRules & /*rules*/) override
    {
        calls.append(u"record"_s);
        for (const Answer &answer : some) {
            answers.append(answer);
            const auto message = std::find_if(held.begin(), held.end(),
                                              [&](const Outgoing &m) { return m.id == answer.id; });
            if (message == held.end())
                continue;
            if (answer.kind == Answer::Kind::Retry && requeue)
                queued.append({ message->id, message->phone, message->text, message->tries + 1,
                                message->source });
            held.erase(message);
        }
        return QList<Doubtful>();
    }
    QList<Stored> deliver(const QString & /*link*/, const QList<Delivery> &deliveries,
                          int /*partsPerSource*/, const ReceiptRules & /*rules*/) override
    {
        calls.append(u"deliver"_s);
        delivered += deliveries;
        QList<Stored> stored;
        for (const Delivery &delivery : deliveries)
            stored.append({ Status::ok(),
                            delivery.receipt && !receiptForms.isEmpty()
                                ? std::optional(receiptForms.takeFirst())
                                : std::nullopt });
        return stored;
    }
    Status doubt(const QString & /*link*/, const QList<QByteArray> &digests,
                 qint64 /*forMs*/) override
    {
        doubted += digests;
        return Status::ok();
    }
    Result<int> tidy(const QString & /*link*/, const Tidy & /*tidy*/) override { return 0; }
    Status together(const std::function<Status()> &work) override
    {
        const Status inside = work();
        return commits ? inside : Status::failure(Status::Timeout, u"the commit failed"_s);
    }
    Status writeState(const LinkState &state) override
    {
        states.append(state.state + u' ' + state.lastError);
        return Status::ok();
    }

    QList<Outgoing> queued;
    QList<Outgoing> held;
    QList<Answer> answers;
    QList<Delivery> delivered;
    QList<IdForm> receiptForms; // how each receipt is found, in turn
    QList<QByteArray> doubted;
    QStringList calls;
    QStringList states;
    QList<int> claims; // how many each claim that found any took
    bool requeue = true; // false: a message handed back is another process's
    bool commits = true; // false: what together() ran is undone
};

// An answer as the rows write it: "submitted ID ID", "retry REASON", "rejected REASON".
QString said(const LinkStore::Answer &answer)
{
    switch (answer.kind) {
    case LinkStore::Answer::Kind::Submitted:
        return (QStringList { u"submitted"_s } + answer.smscIds).join(u' ');
    case LinkStore::Answer::Kind::Retry:
        return u"retry "_s + answer.reason;
    case LinkStore::Answer::Kind::Rejected:
        return u"rejected "_s + answer.reason;
    }
    return {};
}

} // namespace

class TestLink : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<RawSmsc> m_smsc;
    std::unique_ptr<FakeStore> m_store;
    LinkSettings m_settings;
    qint64 m_now = 0;
    QStringList m_log;
    SmscLink::Log m_logTo = [this](const QString &line) { m_log.append(line); };
    LinkObserver m_nobody;
    std::unique_ptr<SmscLink> m_link;
    qint64 m_nextId = 1;
    quint32 m_barrier = 1'000'000;

    // The link started against the raw SMSC, with a second saved up for its rate; true
    // once `binds` sessions are bound (launch: once it is started).
    bool start(int binds = 1)
    {
        return launch() && spin([&] { return m_smsc->binds() >= binds; }, Wait);
    }
    bool launch()
    {
        if (!m_smsc->isListening() && !m_smsc->listen())
            return false;
        m_settings.port = m_smsc->port();
        m_link = std::make_unique<SmscLink>(m_settings, *m_store, m_logTo, m_nobody, nullptr,
                                            [this] { return m_now; });
        m_now += 1'000;
        m_link->start();
        return true;
    }

    qint64 queue(const QString &text, const QString &phone = u"13800138000"_s)
    {
        m_store->queued.append({ m_nextId, phone, text, 0, u"1069"_s });
        m_link->wake();
        return m_nextId++;
    }

    // Once the link has answered an enquire_link written now, it has done all it would
    // with what the SMSC wrote before.
    bool settled()
    {
        const quint32 sequence = ++m_barrier;
        m_smsc->write(Raw::pdu(Raw::Command::EnquireLink, sequence));
        return spin([&] { return m_smsc->firstOf(Raw::Command::EnquireLinkResp, sequence) >= 0; },
                    Wait);
    }

    qsizetype submits() const { return m_smsc->of(Raw::Command::SubmitSm).size(); }

    QStringList answers() const
    {
        QStringList out;
        for (const LinkStore::Answer &answer : std::as_const(m_store->answers))
            out.append(said(answer));
        return out;
    }

private Q_SLOTS:
    void init()
    {
        m_settings = LinkSettings();
        m_settings.name = u"main"_s;
        m_settings.host = u"127.0.0.1"_s;
        m_settings.systemId = "quillet";
        m_settings.password = "secret1";
        m_settings.ratePerSecond = 1'000;
        m_settings.responseTimeoutMs = 2'000;
        m_settings.reconnectMinMs = 20;
        m_settings.reconnectMaxMs = 80;
        m_smsc = std::make_unique<RawSmsc>();
        m_store = std::make_unique<FakeStore>();
        m_log.clear();
    }

    void cleanup()
    {
        if (m_link)
            m_link->stop();
        m_link.reset();
        m_smsc.reset();
    }

    // The window counts parts: of a message in twelve, ten go out unanswered and the
    // rest as answers come, in any order; each part's id is kept in its place.
    void windowHoldsParts()
    {
        m_smsc->holdSubmits = true;
        QVERIFY(start());
        queue(QString(qsizetype(12) * 153, u'w'));
        QVERIFY(spin([&] { return submits() == 10; }, Wait));
        QVERIFY(settled());
        QCOMPARE(submits(), 10);
        const QList<quint32> first = m_smsc->heldSubmits;
        m_smsc->answer(first.at(1), 0, "p2");
        QVERIFY(spin([&] { return submits() == 11; }, Wait));
        QVERIFY(settled());
        QCOMPARE(submits(), 11);
        m_smsc->answer(first.at(0), 0, "p1");
        QVERIFY(spin([&] { return submits() == 12; }, Wait));
        for (int i = 11; i >= 2; --i)
            m_smsc->answer(m_smsc->heldSubmits.at(i - 2), 0, "p" + QByteArray::number(i + 1));
        QVERIFY(spin([&] { return !m_store->answers.isEmpty(); }, Wait));
        QStringList ids;
        for (int i = 1; i <= 12; ++i)
            ids.append(u"p%1"_s.arg(i));
        QCOMPARE(answers(), QStringList { u"submitted "_s + ids.join(u' ') });
    }

    // Answers free the window one at a time: once the parts claimed are all sent, the link
    // claims a window's worth, not what one answer freed, which would cost a transaction
    // a message.
    void claimsAWindowAtATime()
    {
        m_smsc->holdSubmits = true;
        for (int i = 0; i < 25; ++i)
            m_store->queued.append({ m_nextId++, u"13800138000"_s, u"m"_s, 0, u"1069"_s });
        QVERIFY(start());
        for (int answered = 0; answered < 25; ++answered) {
            QVERIFY(spin([&] { return !m_smsc->heldSubmits.isEmpty(); }, Wait));
            m_smsc->answer(m_smsc->heldSubmits.first(), 0);
            QVERIFY(settled());
        }
        QCOMPARE(m_store->claims, QList<int>({ 10, 10, 5 }));
    }

    // A claim whose transaction did not commit holds nothing: none of it goes to the SMSC.
    void uncommittedClaimSendsNothing()
    {
        m_store->commits = false;
        QVERIFY(start());
        queue(u"m"_s);
        QVERIFY(spin([&] { return !m_store->claims.isEmpty(); }, Wait));
        QVERIFY(settled());
        QCOMPARE(submits(), 0);
    }

    // The SMSC's answer to a message: taken, asked for again later (after a back-off
    // that doubles with each try up to a minute), or refused for good.
    void submitAnswers_data()
    {
        QTest::addColumn<quint32>("status");
        QTest::addColumn<int>("tries");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<qint64>("retryInS");
        QTest::newRow("taken") << 0U << 0 << u"submitted 1"_s << qint64(0);
        QTest::newRow("throttled, first try")
            << 0x58U << 0 << u"retry throttled by the SMSC"_s << qint64(1);
        QTest::newRow("queue full, fourth try")
            << 0x14U << 3 << u"retry throttled by the SMSC"_s << qint64(8);
        QTest::newRow("throttled, tenth try: a minute")
            << 0x58U << 9 << u"retry throttled by the SMSC"_s << qint64(60);
        QTest::newRow("refused for good")
            << 0x45U << 0 << u"rejected SMSC status 0x00000045"_s << qint64(0);
    }
    void submitAnswers()
    {
        QFETCH(quint32, status);
        QFETCH(int, tries);
        QFETCH(QString, answer);
        QFETCH(qint64, retryInS);
        m_smsc->submitStatus = status;
        m_store->queued.append({ 1, u"13800138000"_s, u"hi"_s, tries, u"1069"_s });
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        QVERIFY(start());
        QVERIFY(spin([&] { return !m_store->answers.isEmpty(); }, Wait));
        QCOMPARE(answers(), QStringList { answer });
        if (retryInS > 0)
            QCOMPARE((m_store->answers.at(0).retryAt - before) / 1000, retryInS);
    }

    // What may go when: "queue" a message, "=N" submit_sm seen, and no more once the link
    // has settled; "+MS" moves the link's clock and wakes it; "throttle" and "take" say
    // how the SMSC answers from then on.
    void pacing_data()
    {
        QTest::addColumn<int>("rate");
        QTest::addColumn<QStringList>("steps");
        QTest::newRow("ten a second: one each tenth of a second")
            << 10 << QStringList { u"queue"_s, u"queue"_s, u"queue"_s, u"=1"_s,   u"+50"_s,
                                   u"=1"_s,    u"+50"_s,   u"=2"_s,    u"+100"_s, u"=3"_s };
        QTest::newRow("throttled: nothing for a second, then the retry and the next")
            << 1'000 << QStringList { u"throttle"_s, u"queue"_s, u"=1"_s, u"take"_s, u"queue"_s,
                                      u"+999"_s,     u"=1"_s,    u"+1"_s, u"=3"_s };
    }
    void pacing()
    {
        QFETCH(int, rate);
        QFETCH(QStringList, steps);
        m_settings.ratePerSecond = rate;
        QVERIFY(start());
        for (const QString &step : std::as_const(steps)) {
            if (step == u"queue"_s) {
                queue(u"m"_s);
            } else if (step == u"throttle"_s || step == u"take"_s) {
                m_smsc->submitStatus = step == u"throttle"_s ? 0x58 : 0;
            } else if (step.startsWith(u'+')) {
                m_now += step.mid(1).toLongLong();
                m_link->wake();
            } else {
                const int expected = step.mid(1).toInt();
                QVERIFY2(spin([&] { return submits() >= expected; }, Wait), qPrintable(step));
                QVERIFY(settled());
                QCOMPARE(submits(), qsizetype(expected));
            }
        }
    }

    // A link throttled through for longer than its fallback waits is left to its
    // fallback; with nothing of its own to probe its SMSC with (the fallback took it all),
    // it is not left for ever, but until a minute without throttling.
    void throttledLapses()
    {
        m_settings.fallback = u"spare"_s;
        m_settings.fallbackAfterMs = 1'000;
        m_smsc->submitStatus = 0x58;
        m_store->requeue = false; // the fallback takes it
        QVERIFY(start());
        queue(u"m"_s);
        QVERIFY(spin([&] { return !m_store->answers.isEmpty(); }, Wait));
        m_now += 1'001;
        QVERIFY(m_link->downLongerThan(1'000));
        m_now += 58'999; // a minute, the longest a message waits between tries
        QVERIFY(m_link->downLongerThan(1'000));
        m_now += 1;
        QVERIFY(!m_link->downLongerThan(1'000));
    }

    // An answer that comes after the response time-out: the message was handed back for a
    // retry, and the late answer changes nothing.
    void lateAnswer()
    {
        m_settings.responseTimeoutMs = 150;
        m_smsc->holdSubmits = true;
        QVERIFY(start());
        queue(u"late"_s);
        QVERIFY(spin([&] { return !m_store->answers.isEmpty(); }, Wait));
        m_smsc->answer(m_smsc->heldSubmits.at(0), 0, "x");
        QVERIFY(settled());
        // Sent again and timed out again, maybe; never taken.
        const QStringList after = answers();
        QCOMPARE(after, QStringList(after.size(), u"retry the SMSC did not answer in time"_s));
    }

    // The connection drops with the window full: every message the link holds, sent or
    // not, is handed back at once and goes out again once bound again; none is lost.
    void handBackOnADrop()
    {
        m_smsc->holdSubmits = true;
        QVERIFY(start());
        const qint64 parts = queue(QString(qsizetype(12) * 153, u'w'));
        const qint64 first = queue(u"a"_s);
        const qint64 second = queue(u"b"_s);
        QVERIFY(spin([&] { return submits() == 10; }, Wait));
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        m_smsc->holdSubmits = false;
        m_smsc->dropAll();
        QVERIFY(spin([&] { return m_store->answers.size() == 3; }, Wait));
        QList<qint64> back;
        for (const LinkStore::Answer &answer : std::as_const(m_store->answers)) {
            QCOMPARE(said(answer), u"retry the link went down"_s);
            QVERIFY(answer.retryAt >= before && answer.retryAt < before + 1'000);
            back.append(answer.id);
        }
        std::sort(back.begin(), back.end());
        QCOMPARE(back, (QList<qint64> { parts, first, second }));
        QVERIFY(spin([&] { return m_store->answers.size() == 6; }, Wait));
        QCOMPARE(submits(), 24);
        QCOMPARE(m_smsc->binds(), 2);
    }

    // A refused bind is tried again after a back-off that doubles up to its most; a bind
    // puts it back to its least. The operator sees why.
    void backOff()
    {
        m_smsc->bindStatus = 0x0E;
        QVERIFY(m_smsc->listen());
        m_settings.port = m_smsc->port();
        m_link = std::make_unique<SmscLink>(m_settings, *m_store, m_logTo, m_nobody);
        m_link->start();
        const auto refusals = [&] { return m_log.filter(u"bind refused"_s); };
        QVERIFY(spin([&] { return refusals().size() >= 4; }, Wait));
        const QString refused
            = u"link main: bind refused (SMSC status 0x0000000e), trying again in "_s;
        QCOMPARE(refusals().first(4),
                 (QStringList { refused + u"0.02 s"_s, refused + u"0.04 s"_s, refused + u"0.08 s"_s,
                                refused + u"0.08 s"_s }));
        QCOMPARE(m_store->states.last(), u"waiting SMSC status 0x0000000e"_s);
        m_smsc->bindStatus = 0;
        QVERIFY(spin([&] { return m_smsc->bound(); }, Wait));
        m_smsc->dropAll();
        QVERIFY(spin([&] { return m_smsc->binds() == 2; }, Wait));
        const QStringList lost = m_log.filter(u"connecting again"_s);
        QCOMPARE(lost.size(), 1);
        QVERIFY2(lost.at(0).endsWith(u"connecting again in 0.02 s"_s), qPrintable(lost.at(0)));
    }

    // A peer that stops answering is noticed by enquire_link and left; the link binds
    // again once it answers, and what was queued meanwhile goes out.
    void deadPeer()
    {
        m_settings.enquireLinkMs = 50;
        m_settings.responseTimeoutMs = 150;
        QVERIFY(start());
        m_smsc->mute = true;
        queue(u"later"_s);
        QVERIFY(spin([&] { return !m_log.filter(u"did not answer"_s).isEmpty(); }, Wait));
        m_smsc->mute = false;
        // Tried while the SMSC was mute (once or more, as the link went down), then taken.
        QVERIFY(spin([&] { return answers().contains(u"submitted 1"_s); }, Wait));
        const QStringList tries = answers();
        QCOMPARE(tries.filter(u"retry "_s).size(), tries.size() - 1);
        QCOMPARE(tries.last(), u"submitted 1"_s);
    }

    // A link bound as a transmitter and a receiver: messages out by the one, what the
    // SMSC sends in by the other, answered there.
    void transmitterAndReceiver()
    {
        m_settings.bind = LinkSettings::Bind::TransmitterReceiver;
        QVERIFY(start(2));
        queue(u"privet"_s);
        QVERIFY(spin([&] { return submits() == 1; }, Wait));
        Raw::Message hello;
        hello.shortMessage = "da";
        m_smsc->write(Raw::deliverSm(7, hello));
        QVERIFY(spin([&] { return m_smsc->answerTo(7).has_value(); }, Wait));
        const int out = m_smsc->of(Raw::Command::SubmitSm).at(0).session;
        const int in = m_smsc->of(Raw::Command::DeliverSmResp).at(0).session;
        QCOMPARE(m_smsc->of(Raw::Command::BindTransmitter).at(0).session, out);
        QCOMPARE(m_smsc->of(Raw::Command::BindReceiver).at(0).session, in);
        QCOMPARE(m_store->delivered.size(), 1);
        QCOMPARE(m_store->delivered.at(0).arrival.text, u"da"_s);
    }

    // An answer and a receipt for it in one write: the answer is recorded first, so the
    // receipt finds its part.
    void answerRecordedBeforeItsReceipt()
    {
        m_smsc->holdSubmits = true;
        QVERIFY(start());
        queue(u"hi"_s);
        QVERIFY(spin([&] { return submits() == 1; }, Wait));
        Raw::Message receipt;
        receipt.esmClass = 0x04;
        receipt.shortMessage = "id:r1 stat:DELIVRD";
        m_smsc->write(
            Raw::pdu(Raw::Command::SubmitSmResp, m_smsc->heldSubmits.at(0), QByteArray("r1", 3))
            + Raw::deliverSm(3, receipt));
        QVERIFY(spin([&] { return m_smsc->answerTo(3).has_value(); }, Wait));
        QCOMPARE(m_store->calls, (QStringList { u"record"_s, u"deliver"_s }));
    }

    // What the SMSC may send unasked while a part waits for its answer: an unbind is
    // answered, the part handed back and the link bound again; a generic_nack for the
    // part refuses it, even one that says Ok.
    void smscEnds_data()
    {
        QTest::addColumn<quint32>("command");
        QTest::addColumn<quint32>("status");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("binds");
        QTest::newRow("unbind") << Raw::Command::Unbind << 0U << u"retry the link went down"_s << 2;
        QTest::newRow("generic_nack")
            << Raw::Command::GenericNack << 3U << u"rejected SMSC status 0x00000003"_s << 1;
        QTest::newRow("generic_nack saying Ok")
            << Raw::Command::GenericNack << 0U << u"rejected SMSC status 0x00000008"_s << 1;
    }
    void smscEnds()
    {
        QFETCH(quint32, command);
        QFETCH(quint32, status);
        QFETCH(QString, answer);
        QFETCH(int, binds);
        m_smsc->holdSubmits = true;
        QVERIFY(start());
        queue(u"hi"_s);
        QVERIFY(spin([&] { return submits() == 1; }, Wait));
        const quint32 sequence
            = command == Raw::Command::Unbind ? 77 : m_smsc->heldSubmits.value(0);
        m_smsc->write(Raw::pdu(command, sequence, {}, status));
        QVERIFY(spin([&] { return !m_store->answers.isEmpty(); }, Wait));
        QCOMPARE(answers(), QStringList { answer });
        QVERIFY(spin([&] { return m_smsc->binds() == binds; }, Wait));
        QCOMPARE(m_smsc->firstOf(Raw::Command::UnbindResp, 77) >= 0,
                 command == Raw::Command::Unbind);
    }

    // Over TLS the link binds to an SMSC whose certificate names the host it dialled and
    // comes from the CA it was given, and to no other.
    void tls_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("caFile");
        QTest::addColumn<bool>("binds");
        QTest::newRow("its CA, its name") << u"localhost"_s << u"ca.pem"_s << true;
        QTest::newRow("a name the certificate does not give")
            << u"127.0.0.1"_s << u"ca.pem"_s << false;
        QTest::newRow("a certificate of another CA")
            << u"localhost"_s << u"other-ca.pem"_s << false;
    }
    void tls()
    {
        QFETCH(QString, host);
        QFETCH(QString, caFile);
        QFETCH(bool, binds);
        QVERIFY(m_smsc->listenTls(QFINDTESTDATA("tls/smsc.pem"), QFINDTESTDATA("tls/smsc.key")));
        m_settings.host = host;
        m_settings.tls = true;
        m_settings.tlsCaFile = QFINDTESTDATA(u"tls/"_s + caFile);
        if (binds) {
            QVERIFY(start());
            queue(u"sealed"_s);
            QVERIFY(spin([&] { return submits() == 1; }, Wait));
            return;
        }
        QVERIFY(launch());
        QVERIFY(spin([&] { return !m_log.filter(u"TLS failed"_s).isEmpty(); }, Wait));
        QCOMPARE(m_smsc->binds(), 0);
    }

    // Receipts that keep finding their messages only by a converted id are told of once,
    // after ten in a row, not after nine, and not again.
    void conversionToldOnce()
    {
        const QList<LinkStore::IdForm> converted(10, LinkStore::IdForm::DecimalToHex);
        const QList<LinkStore::IdForm> exact { LinkStore::IdForm::Exact };
        m_store->receiptForms = converted.first(9) + exact + converted + exact + converted;
        QVERIFY(start());
        Raw::Message receipt;
        receipt.esmClass = 0x04;
        receipt.shortMessage = "id:1272882231 stat:DELIVRD";
        for (quint32 sequence = 1; sequence <= 31; ++sequence)
            m_smsc->write(Raw::deliverSm(sequence, receipt));
        QVERIFY(spin([&] { return m_smsc->answerTo(31).has_value(); }, Wait));
        QCOMPARE(m_store->receiptForms.size(), 0);
        QCOMPARE(
            m_log.filter(u"converted"_s),
            QStringList { u"link main: its receipts find their messages only with their ids "
                          u"converted (decimal_to_hex); receipt_ids in its section may pin the "
                          u"conversion"_s });
    }

    // A drop leaves the arrivals answered within the response time-out before it in
    // doubt, and only those: the SMSC may send them again.
    void doubtAfterADrop()
    {
        QVERIFY(start());
        Raw::Message m;
        m.shortMessage = "old";
        m_smsc->write(Raw::deliverSm(1, m));
        QVERIFY(spin([&] { return m_smsc->answerTo(1).has_value(); }, Wait));
        m_now += 1'000;
        m.shortMessage = "new";
        m_smsc->write(Raw::deliverSm(2, m));
        QVERIFY(spin([&] { return m_smsc->answerTo(2).has_value(); }, Wait));
        // The response time-out is 2 s: "old" was answered 2.5 s ago, "new" 1.5 s.
        m_now += 1'500;
        m_smsc->dropAll();
        QVERIFY(spin([&] { return !m_store->doubted.isEmpty(); }, Wait));
        QCOMPARE(m_store->delivered.size(), 2);
        QCOMPARE(m_store->doubted, QList<QByteArray> { m_store->delivered.at(1).arrival.digest });
    }

    // A message that cannot become submit_sm is rejected, not held: a phone longer than
    // SMPP's field, a text of more parts than a header numbers.
    void cannotBeSent_data()
    {
        QTest::addColumn<QString>("phone");
        QTest::addColumn<QString>("text");
        QTest::newRow("a phone of 21 digits") << QString(21, u'1') << u"hi"_s;
        QTest::newRow("256 parts") << u"13800138000"_s << QString(153 * 255 + 1, u'a');
    }
    void cannotBeSent()
    {
        QFETCH(QString, phone);
        QFETCH(QString, text);
        QVERIFY(start());
        queue(text, phone);
        QVERIFY(spin([&] { return !m_store->answers.isEmpty(); }, Wait));
        QCOMPARE(answers(), QStringList { u"rejected a part does not fit a submit_sm"_s });
        QCOMPARE(submits(), 0);
    }
};

QTEST_GUILESS_MAIN(TestLink)
#include "tst_link.moc"
