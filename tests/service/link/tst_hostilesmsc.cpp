// The link against an SMSC that the test plays byte by byte, in process: one that floods
// the session and reads none of its answers, a burst of arrivals in one write, message
// ids longer than SMPP allows, and a store that refuses an arrival. Nothing it sends
// may cost memory without bound, stop the link, lose a message or give one away.

#include "gateway/local/linkqueue.h"
#include "gateway/local/localoperator.h"
#include "service/link/smppsession.h"
#include "service/link/smsclink.h"
#include "tests/gateway/local/storeprobe.h"
#include "tests/gateway/local/teststore.h"
#include "tests/service/link/rawsmsc.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

const QString Account = u"ABC-DEF-GHI-00001"_s;
constexpr int Wait = 10'000;

// A delivery receipt for `id`, in its TLVs (receipted_message_id of any length, and
// message_state 2, delivered) or in its text alone.
QByteArray receiptFor(quint32 sequence, const QByteArray &id, bool tlv)
{
    Raw::Message m;
    m.esmClass = 0x04;
    m.shortMessage = "id:" + id + " sub:001 dlvrd:001 stat:DELIVRD err:000 text:";
    if (tlv) {
        m.shortMessage = "-";
        m.tlvs = Raw::tlv(0x001E, id + '\0') + Raw::tlv(0x0427, QByteArray(1, '\x02'));
    }
    return Raw::deliverSm(sequence, m);
}

QByteArray arrival(quint32 sequence, const QByteArray &text)
{
    Raw::Message m;
    m.shortMessage = text;
    return Raw::deliverSm(sequence, m);
}

class Batches : public LinkObserver {
public:
    void deliveriesWritten(const QString & /*link*/, int deliveries) override
    {
        sizes.append(deliveries);
    }
    QList<int> sizes;
};

} // namespace

class TestHostileSmsc : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TestStore> m_store;
    std::unique_ptr<LocalGateway> m_gateway;
    std::unique_ptr<LinkQueue> m_queue;
    std::unique_ptr<RawSmsc> m_smsc;
    LinkSettings m_settings;
    Batches m_batches;
    QStringList m_log;
    SmscLink::Log m_logTo = [this](const QString &line) { m_log.append(line); };
    std::unique_ptr<SmscLink> m_link;

    // A funded account, its link bound to the raw SMSC.
    bool bind()
    {
        m_store = std::make_unique<TestStore>();
        LocalGateway::Options options;
        options.hashCost = PasswordHasher::fastest();
        options.route = [](const QString &) { return u"main"_s; };
        QList<LocalGateway::IssuedCard> cards;
        RegisterParticulars p;
        p.accountNo = Account;
        p.password = u"pw"_s;
        Bool16 registered = 0;
        Bool16 recharged = 0;
        if (LocalGateway::open(m_store->location(), m_gateway, options).failed()
            || LocalOperator(*m_gateway).issueCards(1000, 1, cards).failed()
            || m_gateway->Register(p, registered).failed()
            || m_gateway->Recharge(Account, cards[0].number, cards[0].password, recharged).failed())
            return false;
        m_queue = std::make_unique<LinkQueue>(*m_gateway, u"test"_s);
        m_smsc = std::make_unique<RawSmsc>();
        if (!m_smsc->listen())
            return false;
        m_settings.port = m_smsc->port();
        m_link = std::make_unique<SmscLink>(m_settings, *m_queue, m_logTo, m_batches);
        m_link->start();
        return spin([this] { return m_smsc->bound(); }, Wait);
    }

    bool send(const QString &text)
    {
        Bool16 sent = 0;
        if (m_gateway->SendMessage(Account, u"13800138000"_s, text, sent).failed())
            return false;
        m_link->wake();
        return sent == True16;
    }

private Q_SLOTS:
    void init()
    {
        m_settings = LinkSettings();
        m_settings.name = u"main"_s;
        m_settings.host = u"127.0.0.1"_s;
        m_settings.systemId = "quillet";
        m_settings.password = "secret1";
        m_settings.responseTimeoutMs = 2'000;
        m_settings.reconnectMinMs = 100;
        m_settings.reconnectMaxMs = 400;
        m_batches.sizes.clear();
        m_log.clear();
    }

    void cleanup()
    {
        if (m_link)
            m_link->stop();
        m_link.reset();
        m_smsc.reset();
        m_queue.reset();
        m_gateway.reset();
        m_store.reset();
    }

    // An SMSC that writes enquire_link in bulk and reads none of the answers: the session
    // stops reading once a few windows of answers wait, holds that much and no more, and
    // leaves the peer once it has taken none of them for the response time-out.
    void floodThatReadsNothing()
    {
        m_settings.window = 1; // four windows of answers: 16 KiB
        m_settings.responseTimeoutMs = 300;
        RawSmsc smsc;
        QVERIFY(smsc.listen());
        m_settings.port = smsc.port();
        SmppSession session(m_settings, SmppSession::Mode::Transceiver);
        QSignalSpy lost(&session, &SmppSession::lost);
        session.open();
        QVERIFY(spin([&] { return session.isBound(); }, Wait));
        smsc.stopReading();
        QByteArray flood;
        for (quint32 i = 1; i <= 200'000; ++i)
            flood += Raw::pdu(Raw::Command::EnquireLink, i);
        smsc.write(flood); // 3.2 MB
        qint64 most = 0;
        QVERIFY(spin(
            [&] {
                most = std::max(most, session.heldBytes());
                return !lost.isEmpty();
            },
            Wait));
        QVERIFY2(most < 256 * 1024LL, qPrintable(QString::number(most)));
        QCOMPARE(lost.first().at(0).toString(), u"the SMSC took none of our answers in time"_s);
    }

    // 1,000 arrivals in one write, an enquire_link among them: each turn of the event
    // loop writes at most 128 of them in one transaction and answers them; the
    // enquire_link is answered, and a message sent meanwhile goes out, before the burst
    // is all answered; every arrival is stored once and answered 0.
    void burstOfArrivals()
    {
        QVERIFY(bind());
        constexpr int Arrivals = 1'000;
        constexpr quint32 Enquiry = 500'000;
        QByteArray burst;
        for (int i = 1; i <= Arrivals; ++i) {
            burst += arrival(quint32(i), QByteArray::number(i));
            if (i == Arrivals / 2)
                burst += Raw::pdu(Raw::Command::EnquireLink, Enquiry);
        }
        bool sent = false;
        m_smsc->onPdu = [&](const Raw::Pdu &p) {
            if (!sent && p.command == Raw::Command::DeliverSmResp)
                sent = send(u"meanwhile"_s);
        };
        m_smsc->write(burst);
        QVERIFY(spin([&] { return m_smsc->answeredOk() == Arrivals; }, 30'000));
        QVERIFY(sent);
        int written = 0;
        for (const int size : std::as_const(m_batches.sizes)) {
            QVERIFY2(size <= 128, qPrintable(QString::number(size)));
            written += size;
        }
        QCOMPARE(written, Arrivals);
        const qsizetype last = m_smsc->lastOf(Raw::Command::DeliverSmResp);
        const qsizetype enquiry = m_smsc->firstOf(Raw::Command::EnquireLinkResp, Enquiry);
        const qsizetype submit = m_smsc->firstOf(Raw::Command::SubmitSm);
        QVERIFY2(enquiry >= 0 && enquiry < last, qPrintable(QString::number(enquiry)));
        QVERIFY2(submit >= 0 && submit < last, qPrintable(QString::number(submit)));
        const StoreProbe probe(m_store->url());
        QCOMPARE(probe.count(u"SELECT count(DISTINCT text) FROM mo"_s), Arrivals);
        QCOMPARE(probe.count(u"SELECT count(*) FROM mo"_s), Arrivals);
    }

    // The SMSC takes a message with an id longer than SMPP allows: the message is
    // submitted with the id cut to 64 octets, never refunded, and its receipt (by its TLVs
    // or its text alone, the id as long) finds it.
    void acceptedWithALongId_data()
    {
        QTest::addColumn<bool>("tlv");
        QTest::newRow("receipt in its TLVs") << true;
        QTest::newRow("receipt in its text") << false;
    }
    void acceptedWithALongId()
    {
        QFETCH(bool, tlv);
        QVERIFY(bind());
        const QByteArray id = QByteArray(64, 'a') + "bcdefg";
        m_smsc->submitId = id;
        QVERIFY(send(u"hi"_s));
        const StoreProbe probe(m_store->url());
        const auto states = [&] { return probe.rows(u"SELECT state FROM mt"_s); };
        QVERIFY(spin([&] { return states() == QStringList { u"submitted"_s }; }, Wait));
        QCOMPARE(probe.rows(u"SELECT smsc_id FROM mt_parts"_s), QStringList { QString(64, u'a') });
        m_smsc->write(receiptFor(7, id, tlv));
        QVERIFY(spin([&] { return states() == QStringList { u"delivered"_s }; }, Wait));
        QCOMPARE(probe.count(u"SELECT count(*) FROM ledger WHERE reason = 'refund'"_s), 0);
        QCOMPARE(probe.count(u"SELECT count(*) FROM link_unmatched"_s), 0);
    }

    // A deliver_sm the SMSC sends again with its sequence number, after an answer it gave
    // up waiting for, is answered again and stored once, whether it comes in the same
    // turn or after the answer; another with the same text and another number is a
    // message of its own.
    void sentAgainWithItsSequence_data()
    {
        QTest::addColumn<bool>("afterTheAnswer");
        QTest::newRow("in the same write") << false;
        QTest::newRow("after the answer") << true;
    }
    void sentAgainWithItsSequence()
    {
        QFETCH(bool, afterTheAnswer);
        QVERIFY(bind());
        const auto answers = [&] { return m_smsc->answeredOk(); };
        m_smsc->write(arrival(5, "again"));
        if (afterTheAnswer)
            QVERIFY(spin([&] { return answers() == 1; }, Wait));
        m_smsc->write(arrival(5, "again"));
        QVERIFY(spin([&] { return answers() == 2; }, Wait));
        m_smsc->write(arrival(6, "again"));
        QVERIFY(spin([&] { return answers() == 3; }, Wait));
        const StoreProbe probe(m_store->url());
        QCOMPARE(probe.rows(u"SELECT text FROM mo"_s), QStringList({ u"again"_s, u"again"_s }));
    }

    // An SMSC that unbinds right after an arrival, in the same write, gets it stored and
    // answered before its unbind is.
    void unbindAfterAnArrival()
    {
        QVERIFY(bind());
        m_smsc->write(arrival(1, "last") + Raw::pdu(Raw::Command::Unbind, 2));
        QVERIFY(spin([&] { return m_smsc->firstOf(Raw::Command::UnbindResp, 2) >= 0; }, Wait));
        const qsizetype answer = m_smsc->firstOf(Raw::Command::DeliverSmResp, 1);
        QVERIFY(answer >= 0);
        QCOMPARE(m_smsc->received.at(answer).status, 0U);
        QVERIFY(answer < m_smsc->firstOf(Raw::Command::UnbindResp, 2));
        QCOMPARE(StoreProbe(m_store->url()).rows(u"SELECT text FROM mo"_s),
                 QStringList { u"last"_s });
    }

    // A store that fails under an arrival gets it answered with an error, and the SMSC's
    // sending it again stores it, once.
    void storeRefusesAnArrival()
    {
        QVERIFY(bind());
        const StoreProbe probe(m_store->url());
        QVERIFY(probe.exec(TestStore::onPostgresql()
                               ? u"CREATE TRIGGER refuse_boom BEFORE INSERT ON mo FOR EACH ROW "
                                 u"WHEN (NEW.text = 'boom') EXECUTE FUNCTION "
                                 u"refuse('the disk is full')"_s
                               : u"CREATE TRIGGER refuse_boom BEFORE INSERT ON mo WHEN NEW.text "
                                 u"= 'boom' BEGIN SELECT RAISE(ABORT, 'the disk is full'); END"_s));
        const auto answer = [&](quint32 sequence) { return m_smsc->answerTo(sequence); };
        m_smsc->write(arrival(1, "boom") + arrival(2, "fine"));
        QVERIFY(spin([&] { return answer(1) && answer(2); }, Wait));
        QCOMPARE(*answer(1), 0x08U); // ESME_RSYSERR
        QCOMPARE(*answer(2), 0U);
        QCOMPARE(probe.rows(u"SELECT text FROM mo"_s), QStringList { u"fine"_s });
        QVERIFY(probe.exec(TestStore::onPostgresql() ? u"DROP TRIGGER refuse_boom ON mo"_s
                                                     : u"DROP TRIGGER refuse_boom"_s));
        m_smsc->write(arrival(3, "boom"));
        QVERIFY(spin([&] { return answer(3).has_value(); }, Wait));
        QCOMPARE(*answer(3), 0U);
        QCOMPARE(probe.rows(u"SELECT text FROM mo ORDER BY id"_s),
                 QStringList({ u"fine"_s, u"boom"_s }));
    }
};

QTEST_GUILESS_MAIN(TestHostileSmsc)
#include "tst_hostilesmsc.moc"
