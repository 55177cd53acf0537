#include "service/link/smsclink.h"

#include "service/link/linktexts.h"
#include "service/link/smppmapping.h"
#include "service/link/smppsession.h"

#include <QDateTime>
#include <QElapsedTimer>

using namespace Qt::StringLiterals;

namespace {

using Answer = LinkStore::Answer;
constexpr int PollMs = 250;
// Answers wait this long for others to be written with them, and deliver_sm for others to
// be written and answered with them, unless this many came first: one transaction, and
// one flush to the disk, for many.
constexpr int GatherMs = 2;
constexpr qsizetype DeliveriesGathered = SmppSession::PdusPerTurn;
constexpr int StateEveryMs = 1'000;
constexpr int UnchangedEveryMs = 5'000;
constexpr qint64 RetryFirstMs = 1'000;
constexpr qint64 RetryMostMs = 60'000;
constexpr int TidyEveryMs = 60'000;
constexpr int TidyMost = 1'000;
// Receipts in a row that needed their id converted before the link says so.
constexpr int ConvertedToTell = 10;
// How many answered sequence numbers a session remembers, and answered arrivals the link.
constexpr qsizetype SequencesKept = 4'096;
constexpr qsizetype RecentAnswersKept = 10'000;
// How long an arrival a dropped session left in doubt is taken for the SMSC sending it
// again: long enough for the link to bind again and the SMSC to send what it holds, and
// short, since a phone's own second message of the same text is lost within it.
constexpr qint64 DoubtMs = 60'000;

SmscLink::Clock steadyClock()
{
    QElapsedTimer timer;
    timer.start();
    return [timer] { return timer.elapsed(); };
}

Answer answer(Answer::Kind kind, const QString &reason = {}, qint64 retryAt = 0)
{
    Answer made;
    made.kind = kind;
    made.reason = reason;
    made.retryAt = retryAt;
    return made;
}

} // namespace

SmscLink::SmscLink(const LinkSettings &settings, LinkStore &store, const Log &log,
                   LinkObserver &observer, QObject *parent, Clock clock)
    : QObject(parent)
    , m_settings(settings)
    , m_store(store)
    , m_log(log)
    , m_observer(observer)
    , m_clock(clock ? std::move(clock) : steadyClock())
    , m_window(settings.window, settings.ratePerSecond, m_clock)
{
    enter(LinkObserver::State::Stopped);
    m_reconnect.setSingleShot(true);
    connect(&m_reconnect, &QTimer::timeout, this, &SmscLink::connectSessions);
    m_flush.setSingleShot(true);
    m_flush.setInterval(GatherMs);
    connect(&m_flush, &QTimer::timeout, this, &SmscLink::flush);
    m_deliverLater.setSingleShot(true);
    m_deliverLater.setInterval(GatherMs);
    connect(&m_deliverLater, &QTimer::timeout, this, [this] { writeDeliveries(); });
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
    m_state = LinkObserver::nameOf(state);
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
    m_downSince = m_clock();
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
    writeDeliveries(false);
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
        connect(session, &SmppSession::unbinding, this, [this] { writeDeliveries(false); });
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
    m_downSince = -1;
    m_throttledSince = -1;
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
    writeDeliveries(false); // stored; their answers may not reach the SMSC, which then doubts them
    handBackAll(LinkTexts::linkDown());
    flush();
    doubtRecentAnswers();
    dropSessions();
    m_boundSince.reset();
    if (m_downSince < 0)
        m_downSince = m_clock();
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
    for (;;) {
        const std::optional<qint64> wait = m_window.wait(session->outstanding());
        if (!wait)
            return; // an answer frees the window, and pumps
        if (*wait > 0) {
            m_pumpLater.start(int(*wait));
            return;
        }
        // What the window has room for now, or more (claimAhead): answers free the window
        // one at a time, and a claim for each would cost a transaction each.
        int most = std::max(m_window.room(session->outstanding()), claimAhead());
        // Throttled through while its fallback takes its messages, the link sends one
        // message a fallback_after_s, to learn when its SMSC takes them again.
        if (m_pending.isEmpty() && leftToFallback()) {
            const qint64 next = m_probedAt + m_settings.fallbackAfterMs;
            if (m_probedAt >= 0 && m_clock() < next) {
                m_pumpLater.start(int(next - m_clock()));
                return;
            }
            m_probedAt = m_clock();
            most = 1;
        }
        if (m_pending.isEmpty() && !claimMore(most))
            return;
        const Part part = m_pending.takeFirst();
        const quint32 sequence = session->nextSequence();
        const QByteArray pdu = Smpp::submitSm(sequence, part.pdu);
        if (pdu.isEmpty()) {
            finish(part.message, answer(Answer::Kind::Rejected, LinkTexts::tooLongForSmpp()));
            continue;
        }
        m_window.take();
        m_inFlight.insert(sequence, part);
        windowChanged();
        session->request(sequence, pdu);
        ++m_sent;
    }
}

// What the rate lets go in a tenth of a second, up to a window.
int SmscLink::claimAhead() const
{
    return std::min(m_settings.window, std::max(1, m_settings.ratePerSecond / 10));
}

// Takes up to `most` messages from the queue and splits them into their parts; false
// when none is waiting.
bool SmscLink::claimMore(int most)
{
    // The answers waiting are written in the claim's transaction.
    Result<QList<LinkStore::Outgoing>> claimed = QList<LinkStore::Outgoing>();
    const Status written = m_store.together([&] {
        flush();
        claimed = claimFromStore(most);
        return claimed.status();
    });
    take(written, claimed);
    return !m_pending.isEmpty();
}

Result<QList<LinkStore::Outgoing>> SmscLink::claimFromStore(int most)
{
    const Result<QList<LinkStore::Outgoing>> claimed = m_store.claim(
        m_settings.name, most, m_settings.leaseMs, { m_settings.validityMs, m_standingIn });
    m_queueLooksEmpty = !claimed.failed() && claimed->size() < most;
    return claimed;
}

// What a claim in a transaction that ended `written` found, split into parts to send.
void SmscLink::take(const Status &written, const Result<QList<LinkStore::Outgoing>> &claimed)
{
    // A claim whose transaction did not commit holds nothing: none of it may be sent.
    const Status &failed = written.failed() ? written : claimed.status();
    if (failed.failed()) {
        m_log(LinkTexts::storeFailed(m_settings.name, failed.description()));
        return;
    }
    for (const LinkStore::Outgoing &message : *claimed) {
        const QList<Smpp::ShortMessage> parts
            = SmppMapping::partsOf(message, m_settings.sourceTon, m_settings.sourceNpi);
        // A text no concatenation header can number would otherwise be held until the
        // link drops, and claimed again for ever.
        if (parts.isEmpty()) {
            finish(message.id, answer(Answer::Kind::Rejected, LinkTexts::tooLongForSmpp()));
            continue;
        }
        m_messages.insert(message.id,
                          { message.id, message.tries, int(parts.size()),
                            QStringList(parts.size(), QString()), 0 });
        for (int i = 0; i < parts.size(); ++i)
            m_pending.append({ message.id, i, parts.at(i) });
    }
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
    if (message != m_messages.end()) {
        const SmppMapping::SubmitAnswer said = SmppMapping::answerOf(pdu);
        switch (said.kind) {
        case SmppMapping::SubmitAnswer::Kind::Taken:
            m_throttledSince = -1;
            message->smscIds[index] = said.smscId;
            if (++message->accepted == message->parts) {
                Answer submitted = answer(Answer::Kind::Submitted);
                submitted.smscIds = message->smscIds;
                finish(id, submitted);
                m_observer.submitted(m_settings.name);
            }
            break;
        case SmppMapping::SubmitAnswer::Kind::Later:
            if (m_throttledSince < 0 || m_clock() - m_lastThrottledAt > throttledLapseMs())
                m_throttledSince = m_clock();
            m_lastThrottledAt = m_clock();
            m_window.throttled();
            // While the fallback takes this link's messages, one the SMSC would not take
            // is the fallback's at once.
            if (leftToFallback())
                finish(id, answer(Answer::Kind::Retry, LinkTexts::throttled(), now()));
            else
                retryLater(id, LinkTexts::throttled());
            break;
        case SmppMapping::SubmitAnswer::Kind::Refused:
            finish(id, answer(Answer::Kind::Rejected, LinkTexts::smscStatus(said.status)));
            break;
        }
    }
    pumpSoon();
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
    pumpSoon();
}

// Once the turn's answers are all read: the room they freed together is claimed for in
// one transaction, not one each.
void SmscLink::pumpSoon()
{
    m_pumpLater.start(0);
}

// Tried again after a back-off that doubles with each try, up to a minute.
void SmscLink::retryLater(qint64 id, const QString &why)
{
    const int tries = m_messages.value(id).tries;
    finish(id,
           answer(Answer::Kind::Retry, why,
                  now() + std::min(RetryMostMs, RetryFirstMs << std::min(tries, 6))));
}

void SmscLink::finish(qint64 id, Answer answer)
{
    answer.id = id;
    m_messages.remove(id);
    m_pending.removeIf([id](const Part &part) { return part.message == id; });
    m_answers.append(std::move(answer));
    if (!m_flush.isActive())
        m_flush.start();
}

// Everything claimed goes back to the queue, due at once: an answer that may still come
// is not waited for, so a message may go out once more.
void SmscLink::handBackAll(const QString &why)
{
    const QList<qint64> held = m_messages.keys();
    for (const qint64 id : held)
        finish(id, answer(Answer::Kind::Retry, why, now()));
    m_inFlight.clear();
    windowChanged();
    m_pending.clear();
}

void SmscLink::flush()
{
    m_flush.stop();
    if (m_answers.isEmpty())
        return;
    const QList<Answer> answers = std::exchange(m_answers, {});
    const Result<QList<LinkStore::Doubtful>> recorded
        = m_store.record(m_settings.name, answers, m_settings.receipts);
    if (recorded.failed()) {
        m_log(LinkTexts::storeFailed(m_settings.name, recorded.status().description()));
        return;
    }
    for (const LinkStore::Doubtful &part : *recorded)
        m_log(LinkTexts::doubtfulId(m_settings.name, part.message, part.part, part.smscId,
                                    part.heldBy));
}

void SmscLink::incoming(SmppSession *session, const QList<Smpp::Pdu> &deliveries)
{
    m_received += deliveries.size();
    if (m_incoming.size() + deliveries.size() > DeliveriesGathered)
        writeDeliveries();
    for (const Smpp::Pdu &pdu : deliveries)
        m_incoming.append({ session, pdu });
    if (m_incoming.size() >= DeliveriesGathered)
        writeDeliveries();
    else if (!m_deliverLater.isActive())
        m_deliverLater.start();
}

// The deliver_sm gathered: written in one transaction, then each answered, with an error
// when the store failed it, so that the SMSC sends it again later. One the SMSC sends
// again on the same session with the same sequence number, after an answer it did not
// wait for, is answered without being written twice.
void SmscLink::writeDeliveries(bool mayClaim)
{
    m_deliverLater.stop();
    if (m_incoming.isEmpty())
        return;
    const QList<Incoming> deliveries = std::exchange(m_incoming, {});
    QList<LinkStore::Delivery> all;
    all.reserve(deliveries.size());
    // Where each one's outcome comes from: its place among those written, or -1 for one
    // answered before; one sent twice among these has the first's.
    QList<qsizetype> written(deliveries.size(), -1);
    QList<LinkStore::Delivery> fresh;
    using Key = std::pair<const SmppSession *, quint32>;
    QHash<Key, qsizetype> gathered;
    for (qsizetype i = 0; i < deliveries.size(); ++i) {
        const Key key { deliveries.at(i).session.data(), deliveries.at(i).pdu.header.sequence };
        all.append(SmppMapping::deliveryOf(deliveries.at(i).pdu.message));
        const LinkStore::Delivery &delivery = all.last();
        if (delivery.receipt) {
            m_observer.receiptReceived(m_settings.name);
        } else {
            m_observer.arrivalReceived(m_settings.name);
            const auto before = m_answeredSequences.constFind(key);
            if (before != m_answeredSequences.cend() && *before == delivery.arrival.digest)
                continue;
            const auto earlier = gathered.constFind(key);
            if (earlier != gathered.cend()
                && all.at(*earlier).arrival.digest == delivery.arrival.digest) {
                written[i] = written.at(*earlier);
                continue;
            }
            gathered.insert(key, i);
        }
        written[i] = fresh.size();
        fresh.append(delivery);
    }
    // The answers read before them first, in the same transaction: a receipt finds its
    // message submitted.
    // With nothing claimed left to send, the next messages are claimed in it too (not as
    // the link stops or its SMSC unbinds, which would only hand them back): a
    // receipt for each message would otherwise put a transaction of its own between
    // every two claims.
    const bool claim
        = mayClaim && isBound() && m_pending.isEmpty() && !m_queueLooksEmpty && !leftToFallback();
    QList<LinkStore::Stored> stored;
    Result<QList<LinkStore::Outgoing>> claimed = QList<LinkStore::Outgoing>();
    const Status together = m_store.together([&] {
        flush();
        stored = m_store.deliver(m_settings.name, fresh, m_settings.partsPerSource,
                                 m_settings.receipts);
        if (claim)
            claimed = claimFromStore(claimAhead());
        return Status::ok();
    });
    if (together.failed())
        stored = QList<LinkStore::Stored>(fresh.size(), LinkStore::Stored { together, {} });
    if (claim) {
        take(together, claimed);
        pumpSoon();
    }
    QList<Status> outcomes(deliveries.size(), Status::ok());
    for (qsizetype i = 0; i < deliveries.size(); ++i) {
        if (written.at(i) >= 0)
            outcomes[i] = stored.value(written.at(i)).status;
    }
    for (const LinkStore::Stored &one : stored) {
        if (one.matchedBy)
            receiptMatched(*one.matchedBy);
    }
    if (!fresh.isEmpty())
        m_observer.deliveriesWritten(m_settings.name, int(fresh.size()));
    const qint64 at = m_clock();
    QStringList failures; // each once a write, however many deliveries it failed
    for (qsizetype i = 0; i < deliveries.size(); ++i) {
        SmppSession *session = deliveries.at(i).session;
        const Smpp::Pdu &pdu = deliveries.at(i).pdu;
        const Status &outcome = outcomes.at(i);
        if (outcome.failed() && !failures.contains(outcome.description())) {
            failures.append(outcome.description());
            m_log(LinkTexts::storeFailed(m_settings.name, outcome.description()));
        }
        if (!session)
            continue; // gone, and its SMSC sends what it did not hear answered again
        session->reply(Smpp::bare(Smpp::Command::DeliverSmResp, pdu.header.sequence,
                                  outcome.failed() ? Smpp::Status::SystemError : Smpp::Status::Ok));
        if (outcome.failed() || all.at(i).receipt)
            continue;
        const QByteArray &digest = all.at(i).arrival.digest;
        const Key key { session, pdu.header.sequence };
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

// A link whose SMSC keeps writing its receipts' ids in another base says so once: the
// operator may pin the conversion (or ask the SMSC why).
void SmscLink::receiptMatched(LinkStore::IdForm form)
{
    m_observer.receiptMatched(m_settings.name, form);
    const bool converted
        = form == LinkStore::IdForm::HexToDecimal || form == LinkStore::IdForm::DecimalToHex;
    m_convertedInARow = converted ? m_convertedInARow + 1 : 0;
    if (m_convertedInARow == ConvertedToTell && !m_toldConversion) {
        m_toldConversion = true;
        m_log(LinkTexts::receiptIdsConverted(m_settings.name, LinkStore::nameOf(form)));
    }
}

// The session dropped: the arrivals answered within the response time-out before it may
// not have had their answers reach the SMSC, which then sends them again once bound.
void SmscLink::doubtRecentAnswers()
{
    if (m_recentAnswers.isEmpty())
        return;
    QList<QByteArray> digests;
    const qint64 old = m_clock() - m_settings.responseTimeoutMs;
    for (const auto &[at, digest] : std::as_const(m_recentAnswers)) {
        if (at > old)
            digests.append(digest);
    }
    m_recentAnswers.clear();
    if (const Status s = m_store.doubt(m_settings.name, digests, DoubtMs); s.failed())
        m_log(LinkTexts::storeFailed(m_settings.name, s.description()));
}

// What the link keeps of the SMSC's arrivals stays bounded: parts that waited too long
// for the rest of their message go to the operator, and unmatched entries past their
// retention go.
void SmscLink::tidy()
{
    const qint64 at = now();
    const Result<int> done
        = m_store.tidy(m_settings.name,
                       { at - m_settings.partsWaitMs, at - m_settings.unmatchedKeepMs,
                         at - m_settings.receiptWaitMs, TidyMost, m_settings.validityMs });
    if (done.failed())
        m_log(LinkTexts::storeFailed(m_settings.name, done.status().description()));
    m_tidy.start(!done.failed() && *done >= TidyMost ? 0 : TidyEveryMs);
}

bool SmscLink::downLongerThan(qint64 ms) const
{
    const qint64 now = m_clock();
    if (m_downSince >= 0)
        return now - m_downSince > ms;
    // Throttled, until a while without throttling: left to its fallback, the link learns
    // of its SMSC only from a probe, and a fallback that takes every message first leaves
    // it none to probe with.
    return m_throttledSince >= 0 && now - m_throttledSince > ms
        && now - m_lastThrottledAt <= throttledLapseMs();
}

// Longer than a message ever waits between two tries, so that a link its SMSC keeps
// throttling stays throttled.
qint64 SmscLink::throttledLapseMs() const
{
    return std::max(RetryMostMs, 2 * m_settings.fallbackAfterMs);
}

bool SmscLink::leftToFallback() const
{
    return isBound() && !m_settings.fallback.isEmpty()
        && downLongerThan(m_settings.fallbackAfterMs);
}

void SmscLink::standIn(const QStringList &links)
{
    if (links == m_standingIn)
        return;
    m_log(LinkTexts::standingIn(m_settings.name, links));
    m_standingIn = links;
    m_observer.standingIn(m_settings.name, links);
    wake();
}

LinkStore::LinkState SmscLink::state() const
{
    LinkStore::LinkState state;
    state.link = m_settings.name;
    state.state = m_state;
    state.boundSinceMs = m_boundSince;
    state.outstanding = int(m_inFlight.size());
    state.sent = m_sent;
    state.received = m_received;
    state.lastError = m_lastError;
    state.standingIn = m_standingIn;
    return state;
}

// Written when anything in it changed, so the operator's counts are at most StateEveryMs
// old, and else every UnchangedEveryMs, so its time says the process is alive.
void SmscLink::writeState()
{
    const LinkStore::LinkState now = state();
    if (m_written && *m_written == now && m_clock() - m_writtenAt < UnchangedEveryMs)
        return;
    if (const Status s = m_store.writeState(now); s.failed()) {
        m_log(LinkTexts::storeFailed(m_settings.name, s.description()));
        return;
    }
    m_written = now;
    m_writtenAt = m_clock();
}
