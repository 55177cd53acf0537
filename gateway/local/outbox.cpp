#include "gateway/local/outbox.h"

#include "gateway/local/localsteps.h"

#include <QSqlQuery>

using namespace Qt::StringLiterals;
using namespace LocalSteps;

namespace {

using Decision = Store::Decision;

const QString EventColumns
    = u"o.id, (SELECT number FROM accounts a WHERE a.id = o.account_id), o.type, o.subject_id, "
      u"o.state, o.at, o.attempts, o.delivery, o.last_error, "
      u"(SELECT url FROM callbacks c WHERE c.account_id = o.account_id), "
      u"(SELECT secret_sealed FROM callbacks c WHERE c.account_id = o.account_id), "
      u"o.account_id FROM outbox o"_s;

Outbox::Event readEvent(const QSqlQuery &q)
{
    Outbox::Event event;
    event.id = q.value(0).toLongLong();
    event.accountNo = q.value(1).toString();
    event.type = q.value(2).toString();
    event.subject = q.value(3).toLongLong();
    event.state = textOrEmpty(q.value(4));
    event.at = Store::msSinceEpoch(q.value(5));
    event.attempts = q.value(6).toInt();
    event.delivery = q.value(7).toString();
    event.lastError = textOrEmpty(q.value(8));
    event.url = textOrEmpty(q.value(9));
    event.sealedSecret = q.value(10).toByteArray();
    event.accountId = q.value(11).toLongLong();
    return event;
}

} // namespace

Outbox::Outbox(LocalGateway &gateway, QString process)
    : m_gateway(gateway)
    , m_store(gateway.store())
    , m_process(std::move(process))
{
}

Result<bool> Outbox::setCallback(const QString &accountNo, const Callback &callback)
{
    const qint64 now = m_gateway.nowMs();
    bool set = false;
    const Result<Decision> done = m_store.transaction([&]() -> Result<Decision> {
        QSqlQuery *q = nullptr;
        QUILLET_TRY(m_store.step(q, u"SELECT id FROM accounts WHERE number = ?"_s, { accountNo }));
        set = q->next();
        const qint64 accountId = set ? q->value(0).toLongLong() : 0;
        q->finish();
        if (!set)
            return Decision::RollBack;
        QUILLET_TRY(m_store.step(
            q,
            u"INSERT INTO callbacks (account_id, url, on_state, on_arrival, secret_sealed, "
            u"created_at) VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (account_id) DO UPDATE SET "
            u"url = excluded.url, on_state = excluded.on_state, "
            u"on_arrival = excluded.on_arrival, secret_sealed = excluded.secret_sealed, "
            u"created_at = excluded.created_at"_s,
            { accountId, callback.url, int(callback.onState), int(callback.onArrival),
              callback.sealedSecret, m_store.time(now) }));
        return Decision::Commit;
    });
    QUILLET_TRY(done.status());
    return set;
}

Result<bool> Outbox::removeCallback(const QString &accountNo)
{
    bool removed = false;
    const Result<Decision> done = m_store.transaction([&]() -> Result<Decision> {
        QSqlQuery *q = nullptr;
        QUILLET_TRY(m_store.step(q,
                                 u"DELETE FROM callbacks WHERE account_id = "
                                 u"(SELECT id FROM accounts WHERE number = ?)"_s,
                                 { accountNo }));
        removed = q->numRowsAffected() == 1;
        return commitWhen(removed);
    });
    QUILLET_TRY(done.status());
    return removed;
}

Result<std::optional<Outbox::Callback>> Outbox::callback(const QString &accountNo)
{
    QSqlQuery *q = nullptr;
    QUILLET_TRY(m_store.step(q,
                             u"SELECT url, on_state, on_arrival, secret_sealed FROM callbacks "
                             u"WHERE account_id = (SELECT id FROM accounts WHERE number = ?)"_s,
                             { accountNo }));
    std::optional<Callback> found;
    if (q->next())
        found = Callback { q->value(0).toString(), q->value(1).toInt() == 1,
                           q->value(2).toInt() == 1, q->value(3).toByteArray() };
    q->finish();
    return found;
}

// Only the earliest pending event of a message is due: a later state waits until the
// one before it is delivered (or dead), so an application never sees them out of order.
Result<QList<Outbox::Event>> Outbox::claim(int most, qint64 leaseMs, const QList<Settled> &settled)
{
    QList<Event> claimed;
    if (most < 1 && settled.isEmpty())
        return claimed;
    const qint64 now = m_gateway.nowMs();
    const QString due
        = u" WHERE o.delivery = 'pending' AND (o.next_try_at IS NULL OR o.next_try_at <= ?) "
          u"AND (o.claimed_until IS NULL OR o.claimed_until <= ?) "
          u"AND o.destination = 'callback' "
          u"AND EXISTS (SELECT 1 FROM callbacks c WHERE c.account_id = o.account_id) "
          u"AND NOT EXISTS (SELECT 1 FROM outbox e WHERE e.subject_id = o.subject_id "
          u"AND e.type = o.type AND e.destination = o.destination "
          u"AND e.delivery = 'pending' AND e.id < o.id)"_s;
    // A look first, outside any transaction: the dispatcher asks often and mostly finds
    // nothing, which should not cost the write lock.
    if (settled.isEmpty()) {
        QSqlQuery *q = nullptr;
        QUILLET_TRY(m_store.step(q, u"SELECT 1 FROM outbox o"_s + due + u" LIMIT 1"_s,
                                 { m_store.time(now), m_store.time(now) }));
        const bool waiting = q->next();
        q->finish();
        if (!waiting)
            return claimed;
    }
    const Result<Decision> done = m_store.transaction([&]() -> Result<Decision> {
        claimed.clear();
        QUILLET_TRY_VALUE(const int held, settleHeld(settled, now));
        if (most < 1)
            return commitWhen(held > 0);
        QSqlQuery *q = nullptr;
        QUILLET_TRY(m_store.step(q,
                                 u"SELECT "_s + EventColumns + due + u" ORDER BY o.id LIMIT ?"_s
                                     + m_store.lockRowsSkippingHeld(),
                                 { m_store.time(now), m_store.time(now), most }));
        while (q->next())
            claimed.append(readEvent(*q));
        q->finish();
        for (const Event &event : std::as_const(claimed)) {
            QUILLET_TRY(m_store.step(q,
                                     u"UPDATE outbox SET claimed_by = ?, claimed_until = ? "
                                     u"WHERE id = ?"_s,
                                     { m_process, m_store.time(now + leaseMs), event.id }));
        }
        return commitWhen(held > 0 || !claimed.isEmpty());
    });
    QUILLET_TRY(done.status());
    return claimed;
}

// The rows are claimed first, alone (PostgreSQL locks no row of the nullable side of an
// outer join), and what a deliver_sm says is read after.
Result<QList<Outbox::SmppEvent>> Outbox::claimSmpp(const QList<qint64> &accountIds, int most,
                                                   qint64 leaseMs, qint64 keepMs, bool sweep,
                                                   const QList<Settled> &settled)
{
    QList<SmppEvent> claimed;
    if (!sweep && settled.isEmpty() && (most < 1 || accountIds.isEmpty()))
        return claimed;
    const qint64 now = m_gateway.nowMs();
    QStringList ids;
    for (const qint64 id : accountIds)
        ids.append(QString::number(id));
    const QString due = u" WHERE o.destination = 'smpp' AND o.delivery = 'pending' "
                        u"AND o.account_id IN ("_s
        + ids.join(u", "_s)
        + u") AND (o.next_try_at IS NULL OR o.next_try_at <= ?) "
          u"AND (o.claimed_until IS NULL OR o.claimed_until <= ?) "
          u"AND (o.type <> 'arrival' OR EXISTS (SELECT 1 FROM mo "
          u"WHERE mo.id = o.subject_id AND mo.state = 'waiting')) "
          u"AND NOT EXISTS (SELECT 1 FROM outbox e WHERE e.subject_id = o.subject_id "
          u"AND e.type = o.type AND e.destination = o.destination "
          u"AND e.delivery = 'pending' AND e.id < o.id)"_s;
    const bool claiming = most > 0 && !accountIds.isEmpty();
    // A look first, outside any transaction, as claim() does.
    if (!sweep && settled.isEmpty()) {
        QSqlQuery *q = nullptr;
        QUILLET_TRY(m_store.step(q, u"SELECT 1 FROM outbox o"_s + due + u" LIMIT 1"_s,
                                 { m_store.time(now), m_store.time(now) }));
        const bool waiting = q->next();
        q->finish();
        if (!waiting)
            return claimed;
    }
    const Result<Decision> done = m_store.transaction([&]() -> Result<Decision> {
        claimed.clear();
        QUILLET_TRY_VALUE(const int held, settleHeld(settled, now));
        QSqlQuery *q = nullptr;
        int swept = 0;
        if (sweep) {
            const QString free
                = u"UPDATE outbox SET delivery = 'dead', last_error = ?, claimed_by = NULL, "
                  u"claimed_until = NULL WHERE destination = 'smpp' AND delivery = 'pending' "
                  u"AND (claimed_until IS NULL OR claimed_until <= ?) AND "_s;
            QUILLET_TRY(
                m_store.step(q, free + u"at <= ? AND (expires_at IS NULL OR expires_at <= ?)"_s,
                             { u"expired"_s, m_store.time(now), m_store.time(now - keepMs),
                               m_store.time(now) }));
            swept += q->numRowsAffected();
            QUILLET_TRY(m_store.step(q,
                                     free
                                         + u"type = 'arrival' AND NOT EXISTS (SELECT 1 FROM mo "
                                           u"WHERE mo.id = outbox.subject_id "
                                           u"AND mo.state = 'waiting')"_s,
                                     { u"taken by another consumer"_s, m_store.time(now) }));
            swept += q->numRowsAffected();
        }
        QList<qint64> taken;
        if (claiming) {
            QUILLET_TRY(m_store.step(q,
                                     u"SELECT o.id FROM outbox o"_s + due
                                         + u" ORDER BY o.id LIMIT ?"_s
                                         + m_store.lockRowsSkippingHeld(),
                                     { m_store.time(now), m_store.time(now), most }));
            while (q->next())
                taken.append(q->value(0).toLongLong());
            q->finish();
        }
        for (const qint64 id : std::as_const(taken)) {
            QUILLET_TRY(m_store.step(q,
                                     u"UPDATE outbox SET claimed_by = ?, claimed_until = ? "
                                     u"WHERE id = ?"_s,
                                     { m_process, m_store.time(now + leaseMs), id }));
            QUILLET_TRY(m_store.step(
                q,
                u"SELECT o.id, o.account_id, o.type, o.subject_id, o.state, o.at, o.attempts, "
                u"CASE WHEN o.type = 'arrival' THEN mo.sender ELSE mt.phone END, "
                u"CASE WHEN o.type = 'arrival' THEN a.service_number || mo.extension "
                u"ELSE a.service_number END, "
                u"CASE WHEN o.type = 'arrival' THEN mo.text ELSE mt.text END, mt.submitted_at, "
                u"CASE WHEN mt.state = o.state THEN mt.done_at END "
                u"FROM outbox o JOIN accounts a ON a.id = o.account_id "
                u"LEFT JOIN mt ON o.type = 'message.state' AND mt.id = o.subject_id "
                u"LEFT JOIN mo ON o.type = 'arrival' AND mo.id = o.subject_id "
                u"WHERE o.id = ?"_s,
                { id }));
            if (q->next()) {
                SmppEvent event;
                event.id = q->value(0).toLongLong();
                event.accountId = q->value(1).toLongLong();
                event.arrival = q->value(2).toString() == u"arrival"_s;
                event.subject = q->value(3).toLongLong();
                event.state = textOrEmpty(q->value(4));
                event.at = Store::msSinceEpoch(q->value(5));
                event.attempts = q->value(6).toInt();
                event.from = textOrEmpty(q->value(7));
                event.to = textOrEmpty(q->value(8));
                event.text = textOrEmpty(q->value(9));
                event.submittedAt = q->value(10).isNull() ? 0 : Store::msSinceEpoch(q->value(10));
                if (!q->value(11).isNull())
                    event.doneAt = Store::msSinceEpoch(q->value(11));
                claimed.append(event);
            }
            q->finish();
        }
        return commitWhen(held > 0 || swept > 0 || !taken.isEmpty());
    });
    QUILLET_TRY(done.status());
    return claimed;
}

Result<int> Outbox::settleHeld(const QList<Settled> &settled, qint64 now)
{
    int held = 0;
    for (const Settled &event : settled) {
        QSqlQuery *q = nullptr;
        if (event.delivered) {
            QUILLET_TRY(m_store.step(q,
                                     u"UPDATE outbox SET delivery = 'delivered', delivered_at = ?, "
                                     u"attempts = attempts + 1, last_error = NULL, "
                                     u"claimed_by = NULL, claimed_until = NULL "
                                     u"WHERE id = ? AND delivery = 'pending' AND claimed_by = ?"_s,
                                     { m_store.time(now), event.id, m_process }));
        } else {
            QUILLET_TRY(m_store.step(
                q,
                u"UPDATE outbox SET delivery = ?, next_try_at = ?, attempts = attempts + 1, "
                u"last_error = ?, claimed_by = NULL, claimed_until = NULL "
                u"WHERE id = ? AND delivery = 'pending' AND claimed_by = ?"_s,
                { event.retryAt ? u"pending"_s : u"dead"_s,
                  event.retryAt ? m_store.time(*event.retryAt) : m_store.time(0), event.error,
                  event.id, m_process }));
        }
        const bool wasHeld = q->numRowsAffected() == 1;
        held += wasHeld ? 1 : 0;
        // Counted and fetched by the trigger on mo, as a receive call's arrivals are.
        if (wasHeld && event.delivered && event.arrival) {
            QUILLET_TRY(m_store.step(q,
                                     u"UPDATE mo SET state = 'fetched', fetched_at = ? "
                                     u"WHERE state = 'waiting' AND id = (SELECT subject_id "
                                     u"FROM outbox WHERE id = ? AND type = 'arrival')"_s,
                                     { m_store.time(now), event.id }));
        }
    }
    return held;
}

Result<bool> Outbox::delivered(qint64 id)
{
    return settleOne({ id, true, {}, {} });
}

Result<bool> Outbox::failed(qint64 id, const QString &error, std::optional<qint64> retryAt)
{
    return settleOne({ id, false, error, retryAt });
}

Result<bool> Outbox::settleOne(const Settled &settled)
{
    int held = 0;
    const Result<Decision> done = m_store.transaction([&]() -> Result<Decision> {
        QUILLET_TRY_VALUE(held, settleHeld({ settled }, m_gateway.nowMs()));
        return commitWhen(held > 0);
    });
    QUILLET_TRY(done.status());
    return held == 1;
}

Result<std::optional<Outbox::Arrival>> Outbox::arrival(qint64 id)
{
    QSqlQuery *q = nullptr;
    QUILLET_TRY(m_store.step(q,
                             u"SELECT mo.id, mo.sender, a.service_number || mo.extension, mo.text, "
                             u"mo.sent_at FROM mo JOIN accounts a ON a.id = mo.account_id "
                             u"WHERE mo.id = ?"_s,
                             { id }));
    std::optional<Arrival> found;
    if (q->next())
        found = Arrival { q->value(0).toLongLong(), q->value(1).toString(), q->value(2).toString(),
                          q->value(3).toString(), Store::msSinceEpoch(q->value(4)) };
    q->finish();
    return found;
}

Result<QList<Outbox::Event>> Outbox::list(bool deadOnly, qint64 after, int limit)
{
    QList<Event> events;
    QSqlQuery *q = nullptr;
    QUILLET_TRY(m_store.step(
        q,
        u"SELECT "_s + EventColumns
            + (deadOnly ? u" WHERE o.delivery = 'dead'"_s : u" WHERE o.delivery <> 'delivered'"_s)
            + u" AND o.destination = 'callback' AND o.id > ? ORDER BY o.id LIMIT ?"_s,
        { after, limit }));
    while (q->next())
        events.append(readEvent(*q));
    q->finish();
    return events;
}

Result<int> Outbox::replay(std::optional<qint64> id)
{
    const qint64 now = m_gateway.nowMs();
    int taken = 0;
    const Result<Decision> done = m_store.transaction([&]() -> Result<Decision> {
        QSqlQuery *q = nullptr;
        const QString again = u"UPDATE outbox SET delivery = 'pending', next_try_at = NULL, "
                              u"attempts = 0, claimed_by = NULL, claimed_until = NULL "
                              u"WHERE destination = 'callback' AND "_s;
        // One a process is sending now is left to it: freed, a second would send it too.
        if (id)
            QUILLET_TRY(m_store.step(q,
                                     again
                                         + u"id = ? AND (delivery <> 'pending' "
                                           u"OR claimed_until IS NULL OR claimed_until <= ?)"_s,
                                     { *id, m_store.time(now) }));
        else
            QUILLET_TRY(m_store.step(q, again + u"delivery = 'dead'"_s));
        taken = q->numRowsAffected();
        return commitWhen(taken > 0);
    });
    QUILLET_TRY(done.status());
    return taken;
}

Result<QMap<QString, qint64>> Outbox::counts()
{
    QMap<QString, qint64> counted { { u"pending"_s, 0 }, { u"delivered"_s, 0 }, { u"dead"_s, 0 } };
    QSqlQuery *q = nullptr;
    QUILLET_TRY(
        m_store.step(q,
                     u"SELECT delivery, count(*) FROM outbox WHERE destination = 'callback' "
                     u"GROUP BY delivery"_s));
    while (q->next())
        counted[q->value(0).toString()] = q->value(1).toLongLong();
    q->finish();
    return counted;
}
