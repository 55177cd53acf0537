#include "gateway/local/messageview.h"

#include "gateway/local/localgateway.h"
#include "gateway/local/store.h"

#include <QDateTime>
#include <QJsonArray>
#include <QSqlQuery>

using namespace Qt::StringLiterals;

namespace {

QJsonValue utc(std::optional<qint64> ms)
{
    if (!ms)
        return QJsonValue::Null;
    return Store::timeText(*ms);
}

std::optional<qint64> timeOrNone(const QVariant &value)
{
    return value.isNull() ? std::nullopt : std::optional(Store::msSinceEpoch(value));
}

} // namespace

QJsonObject MessageView::toJson() const
{
    QJsonArray partList;
    for (const Part &part : parts)
        partList.append(QJsonObject { { "state"_L1, part.state }, { "smscId"_L1, part.smscId } });
    return {
        { "id"_L1, QString::number(id) },
        { "to"_L1, to },
        { "text"_L1, text },
        { "reference"_L1, reference.isEmpty() ? QJsonValue::Null : QJsonValue(reference) },
        { "state"_L1, state },
        { "parts"_L1, partList },
        { "price"_L1, LocalGateway::formatYuan(priceFen) },
        { "refunded"_L1, LocalGateway::formatYuan(refundedFen) },
        { "createdAt"_L1, utc(createdAtMs) },
        { "sendAt"_L1, utc(sendAtMs) },
        { "doneAt"_L1, utc(doneAtMs) },
        { "validUntil"_L1, utc(validUntilMs) },
    };
}

Result<std::optional<MessageView>> MessageView::read(Store &store, qint64 accountId, qint64 id)
{
    QUILLET_TRY_VALUE(const QList<MessageView> found,
                      readMany(store, accountId, u"m.id = ?"_s, { id }, 1));
    if (found.isEmpty())
        return std::optional<MessageView>();
    return std::optional(found.constFirst());
}

// One statement: the messages, each joined with its parts in order (one row when it has
// none), and the refund its ledger row made, found by the reference every refund of a
// message carries (one at most, see ledger_refund_once).
Result<QList<MessageView>> MessageView::readMany(Store &store, qint64 accountId,
                                                 const QString &where, const QVariantList &values,
                                                 int limit)
{
    QVariantList bound { accountId };
    bound += values;
    bound.append(limit);
    // Kept by its text: a send reads each message it made back this way.
    QSqlQuery *q = nullptr;
    QUILLET_TRY(store.step(
        q,
        u"SELECT s.id, s.phone, s.text, s.reference, s.state, s.cost, s.submitted_at, s.due_at, "
        u"s.done_at, s.valid_until, (SELECT coalesce(sum(l.amount), 0) FROM ledger l "
        u"WHERE l.reason = 'refund' AND l.reference = 'mt:' || s.id), p.state, p.smsc_id, "
        u"s.segments "
        u"FROM (SELECT m.id, m.phone, m.text, m.reference, m.state, m.cost, m.submitted_at, "
        u"m.due_at, m.done_at, m.valid_until, m.segments FROM mt m WHERE m.account_id = ? AND "_s
            + where
            + u" ORDER BY m.submitted_at, m.id LIMIT ?) s "
              u"LEFT JOIN mt_parts p ON p.mt_id = s.id ORDER BY s.submitted_at, s.id, p.part"_s,
        bound));
    QList<MessageView> views;
    while (q->next()) {
        const qint64 id = q->value(0).toLongLong();
        if (views.isEmpty() || views.constLast().id != id) {
            MessageView view;
            view.id = id;
            view.to = q->value(1).toString();
            view.text = q->value(2).toString();
            view.reference = q->value(3).toString();
            view.state = q->value(4).toString();
            view.priceFen = q->value(5).toLongLong();
            view.createdAtMs = Store::msSinceEpoch(q->value(6));
            view.sendAtMs = Store::msSinceEpoch(q->value(7));
            view.doneAtMs = timeOrNone(q->value(8));
            view.validUntilMs = timeOrNone(q->value(9));
            view.refundedFen = q->value(10).toLongLong();
            view.segments = q->value(13).toInt();
            views.append(view);
        }
        if (!q->value(11).isNull())
            views.last().parts.append({ q->value(11).toString(), q->value(12).toString() });
    }
    q->finish();
    return views;
}
