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

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

const QString Account = u"ABC-DEF-GHI-00001"_s;
const QByteArray ServiceNumber = "106900000001";
constexpr int Wait = 10'000;

void put32(QByteArray &bytes, qsizetype at, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = char(value >> (24 - 8 * i));
}

// A submit_sm_resp that takes the message, with any id: Smpp::response() refuses one
// longer than SMPP allows, as the link must not.
QByteArray submitTaken(quint32 sequence, const QByteArray &id)
{
    QByteArray pdu(16, '\0');
    put32(pdu, 4, quint32(Smpp::Command::SubmitSmResp));
    put32(pdu, 12, sequence);
    pdu += id + '\0';
    put32(pdu, 0, quint32(pdu.size()));
    return pdu;
}

// A delivery receipt for `id`, in its TLVs (of any length) or in its text alone.
QByteArray receiptFor(quint32 sequence, const QByteArray &id, bool tlv)
{
    Smpp::ShortMessage m;
    m.source.digits = "13800138000";
    m.destination.digits = ServiceNumber;
    m.esmClass = Smpp::EsmDeliveryReceipt;
    m.payload = "id:" + id + " sub:001 dlvrd:001 stat:DELIVRD err:000 text:";
    if (!tlv)
        return Smpp::deliverSm(sequence, m);
    m.payload = "-";
    QByteArray pdu = Smpp::deliverSm(sequence, m);
    const QByteArray value = id + '\0';
    pdu += QByteArray::fromHex("001e") + char(value.size() >> 8) + char(value.size() & 0xff) + value
        + QByteArray::fromHex("0427000102");
    put32(pdu, 0, quint32(pdu.size()));
    return pdu;
}

QByteArray arrival(quint32 sequence, const QByteArray &text)
{
    Smpp::ShortMessage m;
    m.source.digits = "13800138000";
    m.destination.digits = ServiceNumber;
    m.payload = text;
    return Smpp::deliverSm(sequence, m);
}

// The SMSC side of one session, as the test scripts it: it binds whoever asks, keeps the
// header of every PDU it reads in order, answers enquire_link, answers submit_sm with
// `submitId` unless told to keep quiet, and writes whatever the test hands it.
class RawSmsc {
public:
    RawSmsc()
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] { accept(); });
    }
    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return m_server.serverPort(); }
    bool bound() const { return m_bound; }

    void write(const QByteArray &bytes) { m_socket->write(bytes); }
    // From now on nothing more is read, and the system takes little for it: what the
    // link writes piles up in its socket.
    void stopReading()
    {
        m_socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        m_socket->setReadBufferSize(1);
        m_reading = false;
    }

    // The deliver_sm answered with status 0, and the status of one's answer.
    qsizetype answeredOk() const
    {
        return std::count_if(received.cbegin(), received.cend(), [](const Smpp::Header &h) {
            return h.command == quint32(Smpp::Command::DeliverSmResp) && h.status == 0;
        });
    }
    std::optional<quint32> answerTo(quint32 sequence) const
    {
        const auto found = std::find_if(
            received.cbegin(), received.cend(), [sequence](const Smpp::Header &h) {
                return h.command == quint32(Smpp::Command::DeliverSmResp) && h.sequence == sequence;
            });
        return found == received.cend() ? std::nullopt : std::optional<quint32>(found->status);
    }

    QList<Smpp::Header> received;
    QByteArray submitId = "1";
    // Called for each PDU read, after it was answered.
    std::function<void(const Smpp::Header &)> onPdu;

private:
    void accept()
    {
        m_socket = m_server.nextPendingConnection();
        QObject::connect(m_socket, &QTcpSocket::readyRead, [this] { read(); });
    }

    void read()
    {
        if (!m_reading)
            return;
        m_buffer += m_socket->readAll();
        for (;;) {
            const Smpp::Peek peek = Smpp::header(m_buffer);
            if (!peek.complete || quint32(m_buffer.size()) < peek.header.length)
                return;
            m_buffer.remove(0, peek.header.length);
            const Smpp::Header &h = peek.header;
            received.append(h);
            switch (Smpp::Command(h.command)) {
            case Smpp::Command::BindTransceiver:
                write(Smpp::response(Smpp::Command::BindTransceiverResp, h.sequence, 0, "raw"));
                m_bound = true;
                break;
            case Smpp::Command::EnquireLink:
                write(Smpp::bare(Smpp::Command::EnquireLinkResp, h.sequence));
                break;
            case Smpp::Command::SubmitSm:
                write(submitTaken(h.sequence, submitId));
                break;
            default:
                break;
            }
            if (onPdu)
                onPdu(h);
        }
    }

    QTcpServer m_server;
    QTcpSocket *m_socket = nullptr;
    QByteArray m_buffer;
    bool m_reading = true;
    bool m_bound = false;
};

class Batches : public LinkObserver {
public:
    void deliveriesWritten(const QString & /*link*/, int deliveries) override
    {
        sizes.append(deliveries);
    }
    QList<int> sizes;
};

// Where in `received` a PDU of `command` (and `sequence`, unless 0) first and last is.
qsizetype firstOf(const QList<Smpp::Header> &received, Smpp::Command command, quint32 sequence = 0)
{
    for (qsizetype i = 0; i < received.size(); ++i) {
        if (received.at(i).command == quint32(command)
            && (sequence == 0 || received.at(i).sequence == sequence))
            return i;
    }
    return -1;
}

// Runs the event loop until `done` holds or `ms` passed, never sleeping while events wait
// (QTest::qWaitFor sleeps between its rounds, which a session's turns would wait for).
template<typename Done> bool spin(Done done, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

qsizetype lastOf(const QList<Smpp::Header> &received, Smpp::Command command)
{
    for (qsizetype i = received.size() - 1; i >= 0; --i) {
        if (received.at(i).command == quint32(command))
            return i;
    }
    return -1;
}

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
            flood += Smpp::bare(Smpp::Command::EnquireLink, i);
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
                burst += Smpp::bare(Smpp::Command::EnquireLink, Enquiry);
        }
        bool sent = false;
        m_smsc->onPdu = [&](const Smpp::Header &h) {
            if (!sent && h.command == quint32(Smpp::Command::DeliverSmResp))
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
        const QList<Smpp::Header> &received = m_smsc->received;
        const qsizetype last = lastOf(received, Smpp::Command::DeliverSmResp);
        const qsizetype enquiry = firstOf(received, Smpp::Command::EnquireLinkResp, Enquiry);
        const qsizetype submit = firstOf(received, Smpp::Command::SubmitSm);
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
        m_smsc->write(arrival(1, "last") + Smpp::bare(Smpp::Command::Unbind, 2));
        const QList<Smpp::Header> &received = m_smsc->received;
        QVERIFY(spin([&] { return firstOf(received, Smpp::Command::UnbindResp, 2) >= 0; }, Wait));
        const qsizetype answer = firstOf(received, Smpp::Command::DeliverSmResp, 1);
        QVERIFY(answer >= 0);
        QCOMPARE(received.at(answer).status, Smpp::Status::Ok);
        QVERIFY(answer < firstOf(received, Smpp::Command::UnbindResp, 2));
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
        QCOMPARE(*answer(1), Smpp::Status::SystemError);
        QCOMPARE(*answer(2), Smpp::Status::Ok);
        QCOMPARE(probe.rows(u"SELECT text FROM mo"_s), QStringList { u"fine"_s });
        QVERIFY(probe.exec(TestStore::onPostgresql() ? u"DROP TRIGGER refuse_boom ON mo"_s
                                                     : u"DROP TRIGGER refuse_boom"_s));
        m_smsc->write(arrival(3, "boom"));
        QVERIFY(spin([&] { return answer(3).has_value(); }, Wait));
        QCOMPARE(*answer(3), Smpp::Status::Ok);
        QCOMPARE(probe.rows(u"SELECT text FROM mo ORDER BY id"_s),
                 QStringList({ u"fine"_s, u"boom"_s }));
    }
};

QTEST_GUILESS_MAIN(TestHostileSmsc)
#include "tst_hostilesmsc.moc"
