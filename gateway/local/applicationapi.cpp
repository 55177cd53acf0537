#include "gateway/local/applicationapi.h"

#include "gateway/local/inputrules.h"
#include "gateway/local/localsteps.h"
#include "gateway/local/localtexts.h"
#include "gateway/local/segmentcounter.h"
#include "gateway/local/sendtime.h"
#include "gateway/local/store.h"
#include "gateway/local/timecursor.h"

#include <QSet>
#include <QSqlQuery>

using namespace Qt::StringLiterals;

namespace {

using Decision = Store::Decision;

// What a cancel may take back: a message no SMSC has taken. A queued one held by a link
// is not, even when the lease ran out: the process that holds it may be handing it over
// at this moment; only a link's own answer (try again later) lets go of it.
const QString Cancellable = u"(state = 'scheduled' OR (state = 'queued' AND claimed_by IS NULL))"_s;

} // namespace

ApplicationApi::ApplicationApi(LocalGateway &gateway)
    : m_gateway(gateway)
    , m_store(*gateway.m_store)
{
}

Result<std::optional<qint64>> ApplicationApi::accountId(const QString &accountNo)
{
    QSqlQuery q = m_store.query();
    QUILLET_TRY(m_store.run(q, u"SELECT id FROM accounts WHERE number = ?"_s, { accountNo }));
    if (!q.next())
        return std::optional<qint64>();
    return std::optional(q.value(0).toLongLong());
}

Result<std::optional<ApplicationApi::Account>> ApplicationApi::account(const QString &accountNo)
{
    QSqlQuery q = m_store.query();
    QUILLET_TRY(
        m_store.run(q, u"SELECT number, balance, service_number FROM accounts WHERE number = ?"_s,
                    { accountNo }));
    if (!q.next())
        return std::optional<Account>();
    return std::optional(
        Account { q.value(0).toString(), q.value(1).toLongLong(), q.value(2).toString() });
}

Result<std::optional<MessageView>> ApplicationApi::message(const QString &accountNo, qint64 id)
{
    QUILLET_TRY(m_gateway.deliverDue());
    QUILLET_TRY_VALUE(const std::optional<qint64> owner, accountId(accountNo));
    if (!owner)
        return std::optional<MessageView>();
    return MessageView::read(m_store, *owner, id);
}

Status ApplicationApi::messages(const QString &accountNo, const Filter &filter,
                                const Operator::Page &page, Operator::Listing<MessageView> &listing)
{
    listing = {};
    if (!filter.state.isEmpty() && !Operator::messageStates().contains(filter.state)) {
        QStringList states;
        for (const QLatin1StringView state : Operator::messageStates())
            states.append(state);
        return Status::failure(Store::InvalidArgument,
                               LocalTexts::unknownMessageState(filter.state, states));
    }
    if (filter.sinceMs && (*filter.sinceMs < 0 || *filter.sinceMs > Operator::LatestTimeMs))
        return Status::failure(Store::InvalidArgument, LocalTexts::timeOutOfRange(*filter.sinceMs));
    QUILLET_TRY(m_gateway.deliverDue());
    QUILLET_TRY_VALUE(const std::optional<qint64> owner, accountId(accountNo));
    if (!owner)
        return Status::ok();
    const int limit = page.limit >= 1 && page.limit <= Operator::MaxPageSize
        ? page.limit
        : Operator::MaxPageSize;
    QStringList conditions { u"1 = 1"_s };
    QVariantList values;
    if (!filter.state.isEmpty()) {
        conditions.append(u"m.state = ?"_s);
        values.append(filter.state);
    }
    if (filter.sinceMs) {
        conditions.append(u"m.submitted_at >= ?"_s);
        values.append(m_store.time(*filter.sinceMs));
    }
    if (page.after.isEmpty()) {
        QSqlQuery q = m_store.query();
        QUILLET_TRY(m_store.run(q,
                                u"SELECT count(*) FROM mt m WHERE m.account_id = ? AND "_s
                                    + conditions.join(u" AND "_s),
                                QVariantList { *owner } + values));
        listing.total = q.next() ? q.value(0).toLongLong() : 0;
    } else {
        qint64 atMs = 0;
        qint64 id = 0;
        if (!TimeCursor::read(page.after, atMs, id))
            return Status::failure(Store::InvalidArgument, LocalTexts::badCursor());
        const QVariant at = m_store.time(atMs);
        conditions.append(u"(m.submitted_at > ? OR (m.submitted_at = ? AND m.id > ?))"_s);
        values += QVariantList { at, at, id };
    }
    QUILLET_TRY_VALUE(
        QList<MessageView> views,
        MessageView::readMany(m_store, *owner, conditions.join(u" AND "_s), values, limit + 1));
    if (views.size() > limit) {
        views.resize(limit);
        listing.next = TimeCursor::write(views.constLast().createdAtMs, views.constLast().id);
    }
    listing.entries = std::move(views);
    return Status::ok();
}

ApplicationApi::Field ApplicationApi::refusedField(const Send &send) const
{
    if (send.to.isEmpty() || send.to.size() > MaxRecipients
        || !std::all_of(send.to.cbegin(), send.to.cend(), &InputRules::isPhone))
        return Field::To;
    if (!InputRules::isMessageText(send.text))
        return Field::Text;
    // A part goes out as it came, beside its header: it cannot be split again.
    if (send.part
        && (send.part->total < 1 || send.part->total > 255 || send.part->sequence < 1
            || send.part->sequence > send.part->total
            || (!send.part->wideReference && send.part->reference > 0xFF)
            || !SegmentCounter::fitsBeside(send.text, send.part->wideReference ? 7 : 6)))
        return Field::Text;
    // The window of a scheduled send, on the gateway's clock.
    if (send.sendAtMs
        && !SendTime::withinWindow(QDateTime::fromMSecsSinceEpoch(*send.sendAtMs, Qt::UTC),
                                   m_gateway.m_clock().toLocalTime()))
        return Field::SendAt;
    if (send.validitySeconds
        && (*send.validitySeconds < 1 || *send.validitySeconds > MaxValiditySeconds))
        return Field::Validity;
    if (send.reference.size() > MaxReferenceLength || !InputRules::isPlainText(send.reference)
        || !InputRules::isWellFormed(send.reference))
        return Field::Reference;
    return Field::None;
}

// The console's send with ids: the same prices, segments and routes, all recipients or
// none. The balance is read under the account's lock, so that two sends at once cannot
// both spend it.
Result<ApplicationApi::Sent> ApplicationApi::send(const QString &accountNo, const Send &send)
{
    Sent sent;
    sent.field = refusedField(send);
    if (sent.field != Field::None) {
        sent.refused = Sent::Refused::Invalid;
        return sent;
    }
    QUILLET_TRY(m_gateway.deliverDue());
    const qint64 now = m_gateway.nowMs();
    const qint64 due = send.sendAtMs ? qMax(*send.sendAtMs, now) : now;
    // Repeated numbers go once, as the console's list of recipients does.
    QStringList phones;
    QSet<QString> seen;
    for (const QString &phone : send.to) {
        if (!seen.contains(phone)) {
            seen.insert(phone);
            phones.append(phone);
        }
    }
    const int segments = send.part ? 1 : SegmentCounter::segments(send.text);
    const qint64 price = segments * LocalGateway::FenPerSegment;
    const qint64 cost = price * phones.size();
    const QString state = due > now ? u"scheduled"_s : u"delivered"_s;
    LocalGateway::Given given;
    if (!send.reference.isEmpty())
        given.reference = send.reference;
    given.smppReceipt = send.smppReceipt;
    given.part = send.part;
    if (send.validitySeconds)
        given.validUntil = m_store.time(due + *send.validitySeconds * 1000);
    QList<qint64> ids;
    QUILLET_TRY_VALUE(const Decision decision, m_store.transaction([&]() -> Result<Decision> {
        ids.clear();
        QSqlQuery *q = nullptr;
        QUILLET_TRY(m_store.step(
            q, u"SELECT id, balance FROM accounts WHERE number = ?"_s + m_store.lockRows(),
            { accountNo }));
        if (!q->next()) {
            sent.refused = Sent::Refused::NoAccount;
            return Decision::RollBack;
        }
        const qint64 owner = q->value(0).toLongLong();
        const qint64 balance = q->value(1).toLongLong();
        q->finish();
        if (balance < cost) {
            sent.refused = Sent::Refused::InsufficientBalance;
            sent.balanceFen = balance;
            return Decision::RollBack;
        }
        for (const QString &phone : std::as_const(phones)) {
            QUILLET_TRY_VALUE(const qint64 id,
                              m_gateway.insertMessage(owner, phone, send.text, segments, price,
                                                      u"api"_s, due, state, QVariant(), given));
            ids.append(id);
        }
        sent.balanceFen = balance - cost;
        for (const qint64 id : std::as_const(ids)) {
            QUILLET_TRY_VALUE(const std::optional<MessageView> view,
                              MessageView::read(m_store, owner, id));
            if (view)
                sent.messages.append(*view);
        }
        return Decision::Commit;
    }));
    (void)decision;
    return sent;
}

// The rows are locked as they are read, so that two takers at once never both take one:
// the second waits, then reads what the first left.
Result<QList<ApplicationApi::Arrival>> ApplicationApi::nextArrivals(const QString &accountNo,
                                                                    int limit)
{
    QList<Arrival> taken;
    QUILLET_TRY(m_gateway.deliverDue());
    const qint64 now = m_gateway.nowMs();
    QUILLET_TRY_VALUE(const Decision decision, m_store.transaction([&]() -> Result<Decision> {
        taken.clear();
        QSqlQuery q = m_store.query();
        QUILLET_TRY(m_store.run(q,
                                u"SELECT mo.id, mo.sender, a.service_number || mo.extension, "
                                u"mo.text, mo.sent_at FROM mo JOIN accounts a "
                                u"ON a.id = mo.account_id WHERE a.number = ? AND "
                                u"mo.state = 'waiting' ORDER BY mo.sent_at, mo.id LIMIT ?"_s
                                    + m_store.lockRows(),
                                { accountNo, qBound(1, limit, MaxArrivals) }));
        while (q.next())
            taken.append({ q.value(0).toLongLong(), q.value(1).toString(), q.value(2).toString(),
                           q.value(3).toString(), Store::msSinceEpoch(q.value(4)) });
        if (taken.isEmpty())
            return Decision::RollBack;
        QVariantList values = { m_store.time(now) };
        for (const Arrival &arrival : std::as_const(taken))
            values.append(arrival.id);
        QUILLET_TRY(m_store.run(q,
                                u"UPDATE mo SET state = 'fetched', fetched_at = ? "
                                u"WHERE state = 'waiting' AND id IN (?"_s
                                    + u", ?"_s.repeated(taken.size() - 1) + u')',
                                values));
        if (q.numRowsAffected() != taken.size())
            return Status::failure(Store::Unavailable, LocalTexts::databaseError(u"mo"_s));
        return Decision::Commit;
    }));
    (void)decision;
    return taken;
}

// A conditional update decides: whatever a link or a due time did first, the cancel
// changes nothing unless the message is still one no SMSC has taken, and its refund is
// one ledger row (ledger_refund_once holds it to one besides).
Result<ApplicationApi::Cancelled> ApplicationApi::cancel(const QString &accountNo, qint64 id)
{
    Cancelled cancelled;
    QUILLET_TRY(m_gateway.deliverDue());
    const qint64 now = m_gateway.nowMs();
    QUILLET_TRY_VALUE(const Decision decision, m_store.transaction([&]() -> Result<Decision> {
        QUILLET_TRY_VALUE(const std::optional<qint64> owner, accountId(accountNo));
        if (!owner) {
            cancelled.outcome = Cancelled::Outcome::NotFound;
            return Decision::RollBack;
        }
        QSqlQuery *q = nullptr;
        QUILLET_TRY(m_store.step(q,
                                 u"UPDATE mt SET state = 'cancelled', next_try_at = NULL, "
                                 u"done_at = ? WHERE id = ? AND account_id = ? AND "_s
                                     + Cancellable,
                                 { m_store.time(now), id, *owner }));
        const bool taken = q->numRowsAffected() == 1;
        if (taken) {
            QUILLET_TRY(
                m_store.step(q,
                             u"INSERT INTO ledger (account_id, amount, reason, "
                             u"reference, at) SELECT account_id, cost, 'refund', ?, ? "
                             u"FROM mt WHERE id = ? AND cost > 0"_s,
                             { QString(u"mt:"_s + QString::number(id)), m_store.time(now), id }));
        }
        QUILLET_TRY_VALUE(const std::optional<MessageView> view,
                          MessageView::read(m_store, *owner, id));
        if (!view) {
            cancelled.outcome = Cancelled::Outcome::NotFound;
            return Decision::RollBack;
        }
        cancelled.message = *view;
        cancelled.outcome
            = taken ? Cancelled::Outcome::Cancelled : Cancelled::Outcome::NotCancellable;
        return taken ? Decision::Commit : Decision::RollBack;
    }));
    (void)decision;
    return cancelled;
}
