#include "gateway/local/linkqueue.h"

#include "gateway/local/localoperator.h"
#include "gateway/local/localsteps.h"

#include <QSqlQuery>

using namespace Qt::StringLiterals;
using namespace LocalSteps;

namespace {

using Decision = Store::Decision;

const QString MessageReference = u"mt:"_s;

bool isFinal(const QString &state)
{
    return state == u"delivered"_s || state == u"undeliverable"_s || state == u"expired"_s
        || state == u"rejected"_s;
}

} // namespace

LinkQueue::LinkQueue(LocalGateway &gateway, QString process)
    : m_gateway(gateway)
    , m_store(*gateway.m_store)
    , m_process(std::move(process))
{
}

Result<QList<LinkQueue::Outgoing>> LinkQueue::claim(const QString &link, int most, qint64 leaseMs)
{
    QList<Outgoing> claimed;
    if (most < 1)
        return claimed;
    QUILLET_TRY(m_gateway.deliverDue());
    const qint64 now = m_gateway.nowMs();
    // A look first, outside any transaction: the links ask often, and mostly find
    // nothing, which should not cost the write lock.
    const QString due = u" FROM mt WHERE state = 'queued' AND link = ? AND next_try_at <= ? "
                        u"AND (claimed_until IS NULL OR claimed_until <= ?)"_s;
    {
        QSqlQuery *q = nullptr;
        QUILLET_TRY(m_store.step(q, u"SELECT 1"_s + due + u" LIMIT 1"_s,
                                 { link, m_store.time(now), m_store.time(now) }));
        const bool waiting = q->next();
        q->finish();
        if (!waiting)
            return claimed;
    }
    const Result<Decision> done = m_store.transaction([&]() -> Result<Decision> {
        claimed.clear();
        QSqlQuery *q = nullptr;
        QUILLET_TRY(m_store.step(q,
                                 u"SELECT id, phone, text, tries, (SELECT service_number FROM "
                                 u"accounts WHERE accounts.id = mt.account_id)"_s
                                     + due + u" ORDER BY next_try_at, id LIMIT ?"_s
                                     + m_store.lockRowsSkippingHeld(),
                                 { link, m_store.time(now), m_store.time(now), most }));
        while (q->next())
            claimed.append({ q->value(0).toLongLong(), q->value(1).toString(),
                             q->value(2).toString(), q->value(3).toInt(), q->value(4).toString() });
        q->finish();
        if (claimed.isEmpty())
            return Decision::RollBack;
        for (const Outgoing &message : std::as_const(claimed)) {
            QUILLET_TRY(m_store.step(q,
                                     u"UPDATE mt SET claimed_by = ?, claimed_until = ? "
                                     u"WHERE id = ?"_s,
                                     { m_process, m_store.time(now + leaseMs), message.id }));
        }
        return Decision::Commit;
    });
    QUILLET_TRY(done.status());
    return claimed;
}

Status LinkQueue::record(const QString &link, const QList<Answer> &answers)
{
    if (answers.isEmpty())
        return Status::ok();
    const qint64 now = m_gateway.nowMs();
    return m_store
        .transaction([&]() -> Result<Decision> {
            for (const Answer &answer : answers) {
                QSqlQuery *q = nullptr;
                const QString held = u" WHERE id = ? AND state = 'queued' AND claimed_by = ?"_s;
                switch (answer.kind) {
                case Answer::Kind::Submitted:
                    QUILLET_TRY(m_store.step(q,
                                             u"UPDATE mt SET state = 'submitted', reason = NULL, "
                                             u"tries = tries + 1, claimed_by = NULL, "
                                             u"claimed_until = NULL"_s
                                                 + held,
                                             { answer.id, m_process }));
                    break;
                case Answer::Kind::Retry:
                    QUILLET_TRY(m_store.step(
                        q,
                        u"UPDATE mt SET reason = ?, tries = tries + 1, "
                        u"next_try_at = ?, claimed_by = NULL, "
                        u"claimed_until = NULL"_s
                            + held,
                        { answer.reason, m_store.time(answer.retryAt), answer.id, m_process }));
                    break;
                case Answer::Kind::Rejected:
                    QUILLET_TRY(m_store.step(q,
                                             u"UPDATE mt SET state = 'rejected', reason = ?, "
                                             u"tries = tries + 1, claimed_by = NULL, "
                                             u"claimed_until = NULL"_s
                                                 + held,
                                             { answer.reason, answer.id, m_process }));
                    break;
                }
                if (q->numRowsAffected() != 1)
                    continue; // no longer ours: another process has it
                if (answer.kind == Answer::Kind::Rejected)
                    QUILLET_TRY(refund(answer.id, now));
                if (answer.kind != Answer::Kind::Submitted)
                    continue;
                for (qsizetype i = 0; i < answer.smscIds.size(); ++i) {
                    QUILLET_TRY(m_store.step(q,
                                             u"INSERT INTO mt_parts (mt_id, part, smsc_id, state) "
                                             u"VALUES (?, ?, ?, 'submitted')"_s,
                                             { answer.id, int(i + 1), answer.smscIds.at(i) }));
                }
                // Receipts that came before their answer was written.
                for (const QString &id : answer.smscIds) {
                    QUILLET_TRY(m_store.step(q,
                                             u"SELECT id, state, source, destination, text "
                                             u"FROM link_unmatched WHERE kind = 'receipt' AND "
                                             u"link = ? AND smsc_id = ? ORDER BY id"_s,
                                             { link, id }));
                    QList<std::pair<qint64, Receipt>> early;
                    while (q->next())
                        early.append({ q->value(0).toLongLong(),
                                       { id, q->value(1).toString(), q->value(2).toString(),
                                         q->value(3).toString(), q->value(4).toString() } });
                    q->finish();
                    for (const auto &[row, receipt] : std::as_const(early)) {
                        QUILLET_TRY(applyReceipt(link, receipt).status());
                        QUILLET_TRY(
                            m_store.step(q, u"DELETE FROM link_unmatched WHERE id = ?"_s, { row }));
                    }
                }
            }
            return Decision::Commit;
        })
        .status();
}

Status LinkQueue::refund(qint64 id, qint64 now)
{
    QSqlQuery *q = nullptr;
    return m_store.step(q,
                        u"INSERT INTO ledger (account_id, amount, reason, reference, at) "
                        u"SELECT account_id, cost, 'refund', ?, ? FROM mt "
                        u"WHERE id = ? AND cost > 0"_s,
                        { QString(MessageReference + QString::number(id)), m_store.time(now), id });
}

Result<bool> LinkQueue::receipt(const QString &link, const Receipt &receipt)
{
    bool matched = false;
    const Result<Decision> done = m_store.transaction([&]() -> Result<Decision> {
        QUILLET_TRY_VALUE(matched, applyReceipt(link, receipt));
        if (matched)
            return Decision::Commit;
        QSqlQuery *q = nullptr;
        QUILLET_TRY(
            m_store.step(q,
                         u"INSERT INTO link_unmatched (link, kind, source, destination, "
                         u"smsc_id, state, text, at) VALUES (?, 'receipt', ?, ?, ?, ?, ?, ?)"_s,
                         { link, receipt.source, receipt.destination, receipt.smscId, receipt.state,
                           receipt.text, m_store.time(m_gateway.nowMs()) }));
        return Decision::Commit;
    });
    QUILLET_TRY(done.status());
    return matched;
}

// A part's final state moves its message on: any part that failed fails the message,
// and it is delivered once every part is.
Result<bool> LinkQueue::applyReceipt(const QString &link, const Receipt &receipt)
{
    QSqlQuery *q = nullptr;
    QUILLET_TRY(m_store.step(q,
                             u"SELECT p.mt_id, p.part FROM mt_parts p JOIN mt ON mt.id = p.mt_id "
                             u"WHERE p.smsc_id = ? AND mt.link = ?"_s,
                             { receipt.smscId, link }));
    if (!q->next()) {
        q->finish();
        return false;
    }
    const qint64 id = q->value(0).toLongLong();
    const int part = q->value(1).toInt();
    q->finish();
    if (!isFinal(receipt.state))
        return true;
    QUILLET_TRY(m_store.step(q,
                             u"UPDATE mt_parts SET state = ? WHERE mt_id = ? AND part = ? "
                             u"AND state = 'submitted'"_s,
                             { receipt.state, id, part }));
    const qint64 now = m_gateway.nowMs();
    if (receipt.state != u"delivered"_s) {
        QUILLET_TRY(m_store.step(q,
                                 u"UPDATE mt SET state = ? WHERE id = ? "
                                 u"AND state IN ('queued', 'submitted')"_s,
                                 { receipt.state, id }));
        if (q->numRowsAffected() == 1 && receipt.state == u"rejected"_s)
            QUILLET_TRY(refund(id, now));
        return true;
    }
    QUILLET_TRY(m_store.step(q,
                             u"UPDATE mt SET state = 'delivered', delivered_at = ? "
                             u"WHERE id = ? AND state = 'submitted' AND NOT EXISTS "
                             u"(SELECT 1 FROM mt_parts WHERE mt_id = ? AND state <> 'delivered')"_s,
                             { m_store.time(now), id, id }));
    return true;
}

// The account whose service number is the longest that begins `destination`; the rest
// of it is the extension.
Result<std::optional<QString>> LinkQueue::serviceNumberOf(const QString &destination)
{
    QStringList prefixes;
    for (qsizetype length = std::min<qsizetype>(destination.size(), 32); length > 0; --length)
        prefixes.append(destination.left(length));
    if (prefixes.isEmpty())
        return std::optional<QString>();
    QStringList marks(prefixes.size(), u"?"_s);
    QVariantList values;
    for (const QString &prefix : std::as_const(prefixes))
        values.append(prefix);
    QSqlQuery *q = nullptr;
    QUILLET_TRY(
        m_store.step(q,
                     u"SELECT service_number FROM accounts WHERE service_number IN (%1) "
                     u"ORDER BY length(service_number) DESC LIMIT 1"_s.arg(marks.join(u", "_s)),
                     values));
    std::optional<QString> found;
    if (q->next())
        found = q->value(0).toString();
    q->finish();
    return found;
}

Result<LinkQueue::Arrived> LinkQueue::arrive(const QString &link, const Arrival &arrival)
{
    Arrived arrived = Arrived::Stored;
    const qint64 now = m_gateway.nowMs();
    const Result<Decision> written = m_store.transaction([&]() -> Result<Decision> {
        QSqlQuery *q = nullptr;
        QUILLET_TRY(m_store.step(q, u"DELETE FROM arrivals_seen WHERE link = ? AND at < ?"_s,
                                 { link, m_store.time(now - RepeatWindowMs) }));
        QUILLET_TRY(
            m_store.step(q,
                         u"INSERT INTO arrivals_seen (link, digest, at) VALUES (?, ?, ?) "
                         u"ON CONFLICT DO NOTHING"_s,
                         { link, QString::fromLatin1(arrival.digest.toHex()), m_store.time(now) }));
        if (q->numRowsAffected() != 1) {
            arrived = Arrived::Repeated;
            return Decision::Commit;
        }
        QString text = arrival.text;
        if (arrival.total > 1) {
            const QVariantList message { link, arrival.source, arrival.destination,
                                         int(arrival.reference), arrival.total };
            QUILLET_TRY(m_store.step(
                q,
                u"INSERT INTO arrival_parts (link, source, destination, "
                u"reference, total, part, text, at) VALUES (?, ?, ?, ?, ?, "
                u"?, ?, ?) ON CONFLICT DO NOTHING"_s,
                message + QVariantList { arrival.part, arrival.text, m_store.time(now) }));
            const QString same = u" WHERE link = ? AND source = ? AND destination = ? AND "
                                 u"reference = ? AND total = ?"_s;
            QUILLET_TRY(m_store.step(
                q, u"SELECT text FROM arrival_parts"_s + same + u" ORDER BY part"_s, message));
            QStringList parts;
            while (q->next())
                parts.append(q->value(0).toString());
            q->finish();
            if (parts.size() < arrival.total) {
                arrived = Arrived::PartKept;
                return Decision::Commit;
            }
            QUILLET_TRY(m_store.step(q, u"DELETE FROM arrival_parts"_s + same, message));
            text = parts.join(QString());
        }
        QUILLET_TRY_VALUE(const std::optional<QString> serviceNumber,
                          serviceNumberOf(arrival.destination));
        if (serviceNumber && !arrival.unreadable) {
            LocalOperator::MoReport report;
            QUILLET_TRY(LocalOperator(m_gateway).receiveFromHandset(
                arrival.source, *serviceNumber, arrival.destination.mid(serviceNumber->size()),
                text, report));
            if (report.outcome == LocalOperator::MoOutcome::Arrived)
                return Decision::Commit;
        }
        arrived = Arrived::Unmatched;
        QUILLET_TRY(
            m_store.step(q,
                         u"INSERT INTO link_unmatched (link, kind, source, destination, "
                         u"smsc_id, state, text, at) VALUES (?, 'arrival', ?, ?, '', '', "
                         u"?, ?)"_s,
                         { link, arrival.source, arrival.destination, text, m_store.time(now) }));
        return Decision::Commit;
    });
    QUILLET_TRY(written.status());
    return arrived;
}

Status LinkQueue::writeState(const LinkState &state)
{
    return m_store
        .transaction(
            [&]() -> Result<Decision> {
                QSqlQuery *q = nullptr;
                QUILLET_TRY(m_store.step(
                    q,
                    u"INSERT INTO link_status (link, process, state, since, outstanding, sent, "
                    u"received, last_error, updated_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?) "
                    u"ON CONFLICT (link, process) DO UPDATE SET state = excluded.state, "
                    u"since = excluded.since, outstanding = excluded.outstanding, "
                    u"sent = excluded.sent, received = excluded.received, "
                    u"last_error = excluded.last_error, updated_at = excluded.updated_at"_s,
                    { state.link, m_process, state.state,
                      state.boundSinceMs ? m_store.time(*state.boundSinceMs) : QVariant(),
                      state.outstanding, state.sent, state.received, state.lastError,
                      m_store.time(m_gateway.nowMs()) }));
                return Decision::Commit;
            },
            Store::Flush::Later)
        .status();
}

Status LinkQueue::forgetStates()
{
    return m_store
        .transaction([&]() -> Result<Decision> {
            QSqlQuery *q = nullptr;
            QUILLET_TRY(
                m_store.step(q, u"DELETE FROM link_status WHERE process = ?"_s, { m_process }));
            return Decision::Commit;
        })
        .status();
}
