#include "service/link/smsclink.h"

#include "service/link/linktexts.h"
#include "service/link/smppsession.h"
#include "service/link/smstext.h"

#include <QCryptographicHash>
#include <QDateTime>

using namespace Qt::StringLiterals;

namespace {

using Answer = LinkQueue::Answer;
constexpr int PollMs = 250;
constexpr int StateEveryMs = 5'000;
constexpr int ThrottlePauseMs = 1'000;
constexpr qint64 RetryFirstMs = 1'000;
constexpr qint64 RetryMostMs = 60'000;
constexpr int TidyEveryMs = 60'000;
constexpr int TidyMost = 1'000;
// How many answered sequence numbers a session remembers, and answered arrivals the link.
constexpr qsizetype SequencesKept = 4'096;
constexpr qsizetype RecentAnswersKept = 10'000;
// How long an arrival a dropped session left in doubt is taken for the SMSC sending it
// again: long enough for the link to bind again and the SMSC to send what it holds, and
// short, since a phone's own second message of the same text is lost within it.
constexpr qint64 DoubtMs = 60'000;

bool isTransient(quint32 status)
{
    return status == Smpp::Status::Throttled || status == Smpp::Status::QueueFull;
}

// A receipt's final state in the gateway's words, from its message_state TLV or the
// stat of its text; empty for a state on the way.
QString receiptState(const Smpp::ShortMessage &message, const QByteArray &stat)
{
    if (message.messageState) {
        switch (*message.messageState) {
        case 2:
            return u"delivered"_s;
        case 3:
            return u"expired"_s;
        case 4:
        case 5:
            return u"undeliverable"_s;
        case 8:
            return u"rejected"_s;
        default:
            return {};
        }
    }
    const QByteArray word = stat.toUpper();
    if (word == "DELIVRD")
        return u"delivered"_s;
    if (word == "EXPIRED")
        return u"expired"_s;
    if (word == "UNDELIV" || word == "DELETED")
        return u"undeliverable"_s;
    if (word == "REJECTD")
        return u"rejected"_s;
    return {};
}

// A phone as the gateway writes it: international numbers with their +.
QString phoneOf(const Smpp::Address &address)
{
    const QString digits = QString::fromLatin1(address.digits);
    return address.ton == 1 && !digits.startsWith(u'+') ? u'+' + digits : digits;
}

// A message id as the gateway keeps and matches it: no longer than SMPP allows, so that
// an SMSC that writes more still finds its receipts.
QString smscIdOf(const QByteArray &id)
{
    return QString::fromLatin1(id.left(Smpp::MaxMessageId));
}

// What a deliver_sm says, in the store's words: a receipt, or a message from a phone.
LinkQueue::Delivery deliveryOf(const Smpp::Pdu &pdu)
{
    const Smpp::ShortMessage &message = pdu.message;
    LinkQueue::Delivery delivery;
    if ((message.esmClass & Smpp::EsmTypeMask) == Smpp::EsmDeliveryReceipt) {
        const std::optional<SmsText::ReceiptText> text = SmsText::receiptText(message.payload);
        LinkQueue::Receipt receipt;
        receipt.smscId = smscIdOf(
            message.receiptedMessageId.isEmpty() && text ? text->id : message.receiptedMessageId);
        receipt.state = receiptState(message, text ? text->stat : QByteArray());
        receipt.source = phoneOf(message.source);
        receipt.destination = phoneOf(message.destination);
        receipt.text = QString::fromLatin1(message.payload);
        delivery.receipt = receipt;
        return delivery;
    }
    LinkQueue::Arrival &arrival = delivery.arrival;
    arrival.source = phoneOf(message.source);
    arrival.destination = QString::fromLatin1(message.destination.digits);
    arrival.smscId = smscIdOf(message.receiptedMessageId);
    const std::optional<SmsText::Incoming> text
        = SmsText::decode(message.dataCoding, message.esmClass, message.payload);
    if (text) {
        arrival.text = text->text;
        if (text->concatenation && text->concatenation->total > 1) {
            arrival.reference = text->concatenation->reference;
            arrival.total = text->concatenation->total;
            arrival.part = text->concatenation->sequence;
        }
    } else {
        arrival.text = QString::fromLatin1(message.payload.toHex());
        arrival.unreadable = true;
    }
    QCryptographicHash digest(QCryptographicHash::Sha256);
    QByteArray identity = message.source.digits;
    identity.append('\0').append(message.destination.digits).append('\0');
    identity.append(char(message.dataCoding)).append(char(message.esmClass));
    digest.addData(identity);
    digest.addData(message.payload);
    arrival.digest = digest.result();
    return delivery;
}

Smpp::Address destinationOf(const QString &phone)
{
    Smpp::Address address;
    address.npi = 1;
    if (phone.startsWith(u'+')) {
        address.ton = 1;
        address.digits = phone.mid(1).toLatin1();
    } else {
        address.digits = phone.toLatin1();
    }
    return address;
}

} // namespace

SmscLink::SmscLink(const LinkSettings &settings, LinkQueue &queue, const Log &log,
                   LinkObserver &observer, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_queue(queue)
    , m_log(log)
    , m_observer(observer)
{
    enter(LinkObserver::State::Stopped);
    m_clock.start();
    m_reconnect.setSingleShot(true);
    connect(&m_reconnect, &QTimer::timeout, this, &SmscLink::connectSessions);
    m_flush.setSingleShot(true);
    m_flush.setInterval(0);
    connect(&m_flush, &QTimer::timeout, this, &SmscLink::flush);
    m_poll.setInterval(PollMs);
    connect(&m_poll, &QTimer::timeout, this, &SmscLink::pump);
    m_pumpLater.setSingleShot(true);
    connect(&m_pumpLater, &QTimer::timeout, this, &SmscLink::pump);
    m_stateTimer.setInterval(StateEveryMs);
    connect(&m_stateTimer, &QTimer::timeout, this, &SmscLink::writeState);
    m_tidy.setSingleShot(true);
    connect(&m_tidy, &QTimer::timeout, this, &SmscLink::tidy);
}

SmscLink::~SmscLink() = default;

void SmscLink::enter(LinkObserver::State state)
{
    switch (state) {
    case LinkObserver::State::Stopped:
        m_state = LinkTexts::stateStopped();
        break;
    case LinkObserver::State::Connecting:
        m_state = LinkTexts::stateConnecting();
        break;
    case LinkObserver::State::Bound:
        m_state = LinkTexts::stateBound();
        break;
    case LinkObserver::State::Waiting:
        m_state = LinkTexts::stateWaiting();
        break;
    }
    m_observer.linkState(m_settings.name, state);
}

void SmscLink::windowChanged()
{
    m_observer.windowInUse(m_settings.name, int(m_inFlight.size()));
}

qint64 SmscLink::now() const
{
    return QDateTime::currentMSecsSinceEpoch();
}

void SmscLink::start()
{
    m_stopped = false;
    m_backoffMs = m_settings.reconnectMinMs;
    m_stateTimer.start();
    m_tidy.start(0);
    connectSessions();
}

void SmscLink::stop()
{
    m_stopped = true;
    m_reconnect.stop();
    m_poll.stop();
    m_stateTimer.stop();
    m_tidy.stop();
    handBackAll(LinkTexts::linkDown());
    flush();
    dropSessions();
    enter(LinkObserver::State::Stopped);
    m_boundSince.reset();
}

void SmscLink::wake()
{
    if (isBound())
        m_pumpLater.start(0);
}

SmppSession *SmscLink::sender() const
{
    return m_transmitter;
}

bool SmscLink::isBound() const
{
    return m_transmitter && m_transmitter->isBound() && (!m_receiver || m_receiver->isBound());
}

void SmscLink::connectSessions()
{
    if (m_stopped)
        return;
    dropSessions();
    enter(LinkObserver::State::Connecting);
    m_log(LinkTexts::connecting(m_settings.name, m_settings.host, m_settings.port));
    const bool split = m_settings.bind == LinkSettings::Bind::TransmitterReceiver;
    const auto make = [this](SmppSession::Mode mode) {
        auto *session = new SmppSession(m_settings, mode, this);
        connect(session, &SmppSession::bound, this, &SmscLink::sessionBound);
        connect(session, &SmppSession::bindRefused, this, &SmscLink::refused);
        connect(session, &SmppSession::lost, this, &SmscLink::sessionLost);
        connect(session, &SmppSession::answered, this, &SmscLink::answered);
        connect(session, &SmppSession::timedOut, this, &SmscLink::timedOut);
        connect(
            session, &SmppSession::incoming, this,
            [this, session](const QList<Smpp::Pdu> &deliveries) { incoming(session, deliveries); });
        session->open();
        return session;
    };
    m_transmitter = make(split ? SmppSession::Mode::Transmitter : SmppSession::Mode::Transceiver);
    if (split)
        m_receiver = make(SmppSession::Mode::Receiver);
}

void SmscLink::dropSessions()
{
    m_answeredSequences.clear();
    m_sequenceOrder.clear();
    for (QPointer<SmppSession> *session : { &m_transmitter, &m_receiver }) {
        if (*session) {
            (*session)->disconnect(this);
            (*session)->close();
            (*session)->deleteLater();
        }
        *session = nullptr;
    }
}

void SmscLink::sessionBound()
{
    if (!isBound())
        return;
    m_backoffMs = m_settings.reconnectMinMs;
    enter(LinkObserver::State::Bound);
    m_boundSince = now();
    m_lastError.clear();
    m_log(LinkTexts::bound(m_settings.name,
                           m_receiver ? u"transmitter and receiver"_s : u"transceiver"_s));
    writeState();
    m_poll.start();
    pump();
}

void SmscLink::refused(quint32 status)
{
    m_lastError = LinkTexts::smscStatus(status);
    m_log(LinkTexts::bindRefused(m_settings.name, status, m_backoffMs));
    sessionLost(QString());
}

// Any session's end ends the link: what it held goes back to the queue, and it is
// bound again after the back-off, which doubles up to its most while binds fail.
void SmscLink::sessionLost(const QString &why)
{
    if (!why.isEmpty()) {
        m_lastError = why;
        m_log(LinkTexts::linkLost(m_settings.name, why, m_backoffMs));
    }
    m_poll.stop();
    m_pumpLater.stop();
    handBackAll(LinkTexts::linkDown());
    flush();
    doubtRecentAnswers();
    dropSessions();
    m_boundSince.reset();
    if (m_stopped)
        return;
    enter(LinkObserver::State::Waiting);
    writeState();
    m_reconnect.start(m_backoffMs);
    m_backoffMs = std::min(m_backoffMs * 2, m_settings.reconnectMaxMs);
}

void SmscLink::pump()
{
    SmppSession *session = sender();
    if (m_stopped || !isBound() || !session)
        return;
    const qint64 at = m_clock.elapsed();
    if (at < m_pausedUntil) {
        m_pumpLater.start(int(m_pausedUntil - at));
        return;
    }
    const double rate = m_settings.ratePerSecond;
    const double most = std::max(1.0, rate / 10.0);
    m_tokens = std::min(most, m_tokens + double(at - m_tokensAt) * rate / 1000.0);
    m_tokensAt = at;
    while (session->outstanding() < m_settings.window) {
        if (m_pending.isEmpty() && !claimMore(m_settings.window - session->outstanding()))
            return;
        if (m_tokens < 1.0) {
            m_pumpLater.start(int((1.0 - m_tokens) * 1000.0 / rate) + 1);
            return;
        }
        const Part part = m_pending.takeFirst();
        const quint32 sequence = session->nextSequence();
        const QByteArray pdu = Smpp::submitSm(sequence, part.pdu);
        if (pdu.isEmpty()) {
            Answer rejected;
            rejected.kind = Answer::Kind::Rejected;
            rejected.reason = LinkTexts::tooLongForSmpp();
            finish(part.message, rejected);
            continue;
        }
        m_tokens -= 1.0;
        m_inFlight.insert(sequence, part);
        windowChanged();
        session->request(sequence, pdu);
        ++m_sent;
    }
}

// Takes messages from the queue, as many as the window has room for, and splits them
// into their parts; false when none is waiting.
bool SmscLink::claimMore(int room)
{
    const Result<QList<LinkQueue::Outgoing>> claimed
        = m_queue.claim(m_settings.name, room, m_settings.leaseMs);
    if (claimed.failed()) {
        m_log(LinkTexts::storeFailed(m_settings.name, claimed.status().description()));
        return false;
    }
    for (const LinkQueue::Outgoing &message : *claimed) {
        const SmsText::Outgoing out = SmsText::encode(message.text, quint8(message.id & 0xFF));
        Message held;
        held.id = message.id;
        held.tries = message.tries;
        held.parts = int(out.parts.size());
        held.smscIds = QStringList(out.parts.size(), QString());
        m_messages.insert(message.id, held);
        for (int i = 0; i < out.parts.size(); ++i) {
            Part part;
            part.message = message.id;
            part.index = i;
            part.pdu.source
                = { m_settings.sourceTon, m_settings.sourceNpi, message.source.toLatin1() };
            part.pdu.destination = destinationOf(message.phone);
            part.pdu.esmClass = out.esmClass;
            part.pdu.registeredDelivery = 1;
            part.pdu.dataCoding = out.dataCoding;
            part.pdu.payload = out.parts.at(i);
            m_pending.append(part);
        }
    }
    return !m_pending.isEmpty();
}

void SmscLink::answered(const Smpp::Pdu &pdu)
{
    const auto part = m_inFlight.find(pdu.header.sequence);
    if (part == m_inFlight.end())
        return;
    const qint64 id = part->message;
    const int index = part->index;
    m_inFlight.erase(part);
    windowChanged();
    const auto message = m_messages.find(id);
    if (message == m_messages.end()) {
        pump();
        return;
    }
    const quint32 status = pdu.header.status;
    if (status == Smpp::Status::Ok
        && Smpp::Command(pdu.header.command) == Smpp::Command::SubmitSmResp) {
        message->smscIds[index] = smscIdOf(pdu.id);
        if (++message->accepted == message->parts) {
            Answer submitted;
            submitted.kind = Answer::Kind::Submitted;
            submitted.smscIds = message->smscIds;
            finish(id, submitted);
            m_observer.submitted(m_settings.name);
        }
    } else if (isTransient(status)) {
        m_pausedUntil = m_clock.elapsed() + ThrottlePauseMs;
        retryLater(id, LinkTexts::throttled());
    } else {
        Answer rejected;
        rejected.kind = Answer::Kind::Rejected;
        rejected.reason = LinkTexts::smscStatus(status ? status : Smpp::Status::SystemError);
        finish(id, rejected);
    }
    pump();
}

void SmscLink::timedOut(quint32 sequence)
{
    const auto part = m_inFlight.find(sequence);
    if (part == m_inFlight.end())
        return;
    const qint64 id = part->message;
    m_inFlight.erase(part);
    windowChanged();
    if (m_messages.contains(id))
        retryLater(id, LinkTexts::noAnswer());
    pump();
}

// Tried again after a back-off that doubles with each try, up to a minute.
void SmscLink::retryLater(qint64 id, const QString &why)
{
    const int tries = m_messages.value(id).tries;
    Answer later;
    later.kind = Answer::Kind::Retry;
    later.reason = why;
    later.retryAt = now() + std::min(RetryMostMs, RetryFirstMs << std::min(tries, 6));
    finish(id, later);
}

void SmscLink::finish(qint64 id, LinkQueue::Answer answer)
{
    answer.id = id;
    m_messages.remove(id);
    m_pending.removeIf([id](const Part &part) { return part.message == id; });
    m_answers.append(std::move(answer));
    m_flush.start();
}

// Everything claimed goes back to the queue, due at once: an answer that may still come
// is not waited for, so a message may go out once more.
void SmscLink::handBackAll(const QString &why)
{
    const QList<qint64> held = m_messages.keys();
    for (const qint64 id : held) {
        Answer back;
        back.kind = Answer::Kind::Retry;
        back.reason = why;
        back.retryAt = now();
        finish(id, back);
    }
    m_inFlight.clear();
    windowChanged();
    m_pending.clear();
}

void SmscLink::flush()
{
    if (m_answers.isEmpty())
        return;
    const QList<Answer> answers = std::exchange(m_answers, {});
    const Result<QList<LinkQueue::Doubtful>> recorded = m_queue.record(m_settings.name, answers);
    if (recorded.failed()) {
        m_log(LinkTexts::storeFailed(m_settings.name, recorded.status().description()));
        return;
    }
    for (const LinkQueue::Doubtful &part : *recorded)
        m_log(LinkTexts::doubtfulId(m_settings.name, part.message, part.part, part.smscId,
                                    part.heldBy));
}

// A turn's deliver_sm: written in one transaction, then each answered, with an error
// when the store failed it, so that the SMSC sends it again later. One the SMSC sends
// again on the same session with the same sequence number, after an answer it did not
// wait for, is answered without being written twice.
void SmscLink::incoming(SmppSession *session, const QList<Smpp::Pdu> &deliveries)
{
    m_received += deliveries.size();
    flush(); // a receipt finds the answers of this turn written
    QList<LinkQueue::Delivery> all;
    all.reserve(deliveries.size());
    // Where each one's outcome comes from: its place among those written, or -1 for one
    // answered before; one sent twice within the turn has the first's.
    QList<qsizetype> written(deliveries.size(), -1);
    QList<LinkQueue::Delivery> fresh;
    QHash<quint32, qsizetype> inTurn;
    for (qsizetype i = 0; i < deliveries.size(); ++i) {
        const quint32 sequence = deliveries.at(i).header.sequence;
        all.append(deliveryOf(deliveries.at(i)));
        const LinkQueue::Delivery &delivery = all.last();
        if (delivery.receipt) {
            m_observer.receiptReceived(m_settings.name);
        } else {
            m_observer.arrivalReceived(m_settings.name);
            const auto before = m_answeredSequences.constFind(
                std::make_pair(static_cast<const SmppSession *>(session), sequence));
            if (before != m_answeredSequences.cend() && *before == delivery.arrival.digest)
                continue;
            const auto earlier = inTurn.constFind(sequence);
            if (earlier != inTurn.cend()
                && all.at(*earlier).arrival.digest == delivery.arrival.digest) {
                written[i] = written.at(*earlier);
                continue;
            }
            inTurn.insert(sequence, i);
        }
        written[i] = fresh.size();
        fresh.append(delivery);
    }
    const QList<Status> stored = m_queue.deliver(m_settings.name, fresh, m_settings.partsPerSource);
    QList<Status> outcomes(deliveries.size(), Status::ok());
    for (qsizetype i = 0; i < deliveries.size(); ++i) {
        if (written.at(i) >= 0)
            outcomes[i] = stored.value(written.at(i), Status::ok());
    }
    if (!fresh.isEmpty())
        m_observer.deliveriesWritten(m_settings.name, int(fresh.size()));
    const qint64 at = m_clock.elapsed();
    QStringList failures; // each once a turn, however many deliveries it failed
    for (qsizetype i = 0; i < deliveries.size(); ++i) {
        const Smpp::Pdu &pdu = deliveries.at(i);
        const Status &outcome = outcomes.at(i);
        if (outcome.failed() && !failures.contains(outcome.description())) {
            failures.append(outcome.description());
            m_log(LinkTexts::storeFailed(m_settings.name, outcome.description()));
        }
        session->reply(Smpp::bare(Smpp::Command::DeliverSmResp, pdu.header.sequence,
                                  outcome.failed() ? Smpp::Status::SystemError : Smpp::Status::Ok));
        if (outcome.failed() || all.at(i).receipt)
            continue;
        const QByteArray &digest = all.at(i).arrival.digest;
        const auto key
            = std::make_pair(static_cast<const SmppSession *>(session), pdu.header.sequence);
        if (!m_answeredSequences.contains(key))
            m_sequenceOrder.append(key);
        m_answeredSequences.insert(key, digest);
        m_recentAnswers.append({ at, digest });
    }
    while (m_sequenceOrder.size() > SequencesKept)
        m_answeredSequences.remove(m_sequenceOrder.takeFirst());
    const qint64 old = at - m_settings.responseTimeoutMs;
    const auto kept = std::find_if(m_recentAnswers.cbegin(), m_recentAnswers.cend(),
                                   [old](const auto &answer) { return answer.first > old; });
    m_recentAnswers.erase(m_recentAnswers.cbegin(), kept);
    if (m_recentAnswers.size() > RecentAnswersKept)
        m_recentAnswers.remove(0, m_recentAnswers.size() - RecentAnswersKept);
}

// The session dropped: the arrivals answered within the response time-out before it may
// not have had their answers reach the SMSC, which then sends them again once bound.
void SmscLink::doubtRecentAnswers()
{
    if (m_recentAnswers.isEmpty())
        return;
    QList<QByteArray> digests;
    const qint64 old = m_clock.elapsed() - m_settings.responseTimeoutMs;
    for (const auto &[at, digest] : std::as_const(m_recentAnswers)) {
        if (at > old)
            digests.append(digest);
    }
    m_recentAnswers.clear();
    if (const Status s = m_queue.doubt(m_settings.name, digests, DoubtMs); s.failed())
        m_log(LinkTexts::storeFailed(m_settings.name, s.description()));
}

// What the link keeps of the SMSC's arrivals stays bounded: parts that waited too long
// for the rest of their message go to the operator, and unmatched entries past their
// retention go.
void SmscLink::tidy()
{
    const qint64 at = now();
    const Result<int> done = m_queue.tidy(m_settings.name, at - m_settings.partsWaitMs,
                                          at - m_settings.unmatchedKeepMs, TidyMost);
    if (done.failed())
        m_log(LinkTexts::storeFailed(m_settings.name, done.status().description()));
    m_tidy.start(!done.failed() && *done >= TidyMost ? 0 : TidyEveryMs);
}

LinkQueue::LinkState SmscLink::state() const
{
    LinkQueue::LinkState state;
    state.link = m_settings.name;
    state.state = m_state;
    state.boundSinceMs = m_boundSince;
    state.outstanding = int(m_inFlight.size());
    state.sent = m_sent;
    state.received = m_received;
    state.lastError = m_lastError;
    return state;
}

void SmscLink::writeState()
{
    if (const Status s = m_queue.writeState(state()); s.failed())
        m_log(LinkTexts::storeFailed(m_settings.name, s.description()));
}
