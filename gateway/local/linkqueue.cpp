#include "gateway/local/linkqueue.h"

#include "gateway/local/localoperator.h"
#include "gateway/local/localsteps.h"
#include "gateway/local/localtexts.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QSet>
#include <QSqlQuery>

#include <set>
#include <vector>

using namespace Qt::StringLiterals;
using namespace LocalSteps;

namespace {

using Decision = Store::Decision;

const QString MessageReference = u"mt:"_s;

using ReceiptState = LinkStore::ReceiptState;

// A receipt's state as the store writes it, in a part's and its message's state and in
// an unmatched receipt's entry; the empty word while the part is on its way.
constexpr std::pair<ReceiptState, QLatin1StringView> ReceiptWords[] = {
    { ReceiptState::OnItsWay, QLatin1StringView() },
    { ReceiptState::Delivered, QLatin1StringView("delivered") },
    { ReceiptState::Undeliverable, QLatin1StringView("undeliverable") },
    { ReceiptState::Expired, QLatin1StringView("expired") },
    { ReceiptState::Rejected, QLatin1StringView("rejected") },
};

QString wordOf(ReceiptState state)
{
    for (const auto &[each, word] : ReceiptWords) {
        if (each == state)
            return word;
    }
    return {};
}

ReceiptState receiptStateOf(const QString &word)
{
    for (const auto &[state, each] : ReceiptWords) {
        if (each == word)
            return state;
    }
    return ReceiptState::OnItsWay;
}

using IdForm = LinkStore::IdForm;
using ReceiptIds = LinkStore::ReceiptIds;

// An id as the store's _key indexes read it (ltrim(lower(smsc_id), '0')): letters in
// lower case, leading zeros off. Empty for an id of zeros, or of anything but printable
// ASCII (where the engines' lower() may differ): such an id is matched as given only.
QString keyOf(const QString &id)
{
    QString key;
    key.reserve(id.size());
    for (const QChar c : id) {
        if (c.unicode() < 0x21 || c.unicode() > 0x7e)
            return {};
        if (!key.isEmpty() || c != u'0')
            key.append(c.toLower());
    }
    return key;
}

// `count` placeholders for a statement's list: "?, ?, ?", or of rows "(?, ?), (?, ?)".
QString marks(qsizetype count, const QString &mark = u"?"_s)
{
    return QStringList(count, mark).join(u", "_s);
}

// Where the receipts kept as unmatched lie that give one of `ids` ids (values after the
// link), as given or in one of `keys` keys (values after the ids).
QString unmatchedReceiptsOf(qsizetype ids, qsizetype keys)
{
    const QString keyed
        = keys > 0 ? u" OR ltrim(lower(smsc_id), '0') IN (%1)"_s.arg(marks(keys)) : QString();
    return u" FROM link_unmatched WHERE kind = 'receipt' AND link = ? AND (smsc_id IN (%1)%2)"_s
        .arg(marks(ids), keyed);
}

// An id of hex digits written in decimal, and one of decimal digits in hex; nothing
// where the digits do not allow it or the number passes 64 bits.
QString hexAsDecimal(const QString &id)
{
    static const QRegularExpression hex(u"^[0-9A-Fa-f]{1,64}$"_s);
    bool ok = false;
    const qulonglong value = hex.match(id).hasMatch() ? id.toULongLong(&ok, 16) : 0;
    return ok ? QString::number(value) : QString();
}

QString decimalAsHex(const QString &id)
{
    static const QRegularExpression decimal(u"^[0-9]{1,64}$"_s);
    bool ok = false;
    const qulonglong value = decimal.match(id).hasMatch() ? id.toULongLong(&ok, 10) : 0;
    return ok ? QString::number(value, 16) : QString();
}

bool allows(ReceiptIds ids, IdForm form)
{
    switch (ids) {
    case ReceiptIds::Auto:
        return true;
    case ReceiptIds::Exact:
        return form == IdForm::Exact;
    case ReceiptIds::HexToDecimal:
        return form == IdForm::Exact || form == IdForm::HexToDecimal;
    case ReceiptIds::DecimalToHex:
        return form == IdForm::Exact || form == IdForm::DecimalToHex;
    }
    return false;
}

// What a receipt's id is looked for as, in order: an exact id, else a key.
struct Candidate {
    IdForm form;
    QString value;
};

QList<Candidate> candidatesOf(const LinkStore::Receipt &receipt, ReceiptIds ids)
{
    QList<Candidate> out;
    const auto add = [&](IdForm form, const QString &value) {
        if (!value.isEmpty() && allows(ids, form))
            out.append({ form, value });
    };
    for (const QString &id : { receipt.smscId, receipt.textId }) {
        if (id.isEmpty())
            continue;
        add(IdForm::Exact, id);
        add(IdForm::CaseOrZeros, keyOf(id));
        add(IdForm::HexToDecimal, keyOf(hexAsDecimal(id)));
        add(IdForm::DecimalToHex, keyOf(decimalAsHex(id)));
    }
    return out;
}

// The keys of the receipts that `answerId` would be found by: the same search turned
// around (a receipt in decimal finds an answer in hex when its hex is the answer's).
QStringList receiptKeysFor(const QString &answerId, ReceiptIds ids)
{
    QStringList keys;
    const auto add = [&](IdForm form, const QString &key) {
        if (!key.isEmpty() && allows(ids, form) && !keys.contains(key))
            keys.append(key);
    };
    add(IdForm::CaseOrZeros, keyOf(answerId));
    add(IdForm::HexToDecimal, keyOf(decimalAsHex(answerId)));
    add(IdForm::DecimalToHex, keyOf(hexAsDecimal(answerId)));
    return keys;
}

// What arrivals_seen holds of an arrival: the SMSC's id with what it sent, or what it
// sent alone while a dropped session leaves its answer in doubt.
QString idMark(const QString &smscId, const QByteArray &digest)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(smscId.toUtf8());
    hash.addData(QByteArrayView("\0", 1));
    hash.addData(digest);
    return u"id:"_s + QString::fromLatin1(hash.result().toHex());
}

QString doubtMark(const QByteArray &digest)
{
    return u"doubt:"_s + QString::fromLatin1(digest.toHex());
}

const QString WaitingPartKey = u" WHERE link = ? AND source = ? AND destination = ? AND "
                               u"reference = ? AND total = ?"_s;

} // namespace

LinkQueue::LinkQueue(LocalGateway &gateway, QString process, LocalGateway::Clock clock)
    : m_gateway(gateway)
    , m_store(gateway.store())
    , m_process(std::move(process))
    , m_clock(std::move(clock))
{
}

qint64 LinkQueue::nowMs() const
{
    return m_clock().toMSecsSinceEpoch();
}

Result<QList<LinkStore::Outgoing>> LinkQueue::claim(const QString &link, int most, qint64 leaseMs,
                                                    const ClaimRules &rules)
{
    QList<Outgoing> claimed;
    if (most < 1)
        return claimed;
    QUILLET_TRY(m_gateway.deliverDue());
    const qint64 now = nowMs();
    const QStringList links = QStringList { link } + rules.standingIn;
    QVariantList values;
    for (const QString &each : links)
        values.append(each);
    values += { m_store.time(now), m_store.time(now), m_store.time(now) };
    // Past its validity a message goes to no SMSC: tidy() expires and refunds it.
    QString due = u" FROM mt WHERE state = 'queued' AND link IN (%1) AND next_try_at <= ? "
                  u"AND (claimed_until IS NULL OR claimed_until <= ?) "
                  u"AND (valid_until IS NULL OR valid_until > ?)"_s.arg(marks(links.size()));
    if (rules.validityMs > 0) {
        due += u" AND (valid_until IS NOT NULL OR due_at > ?)"_s;
        values.append(m_store.time(now - rules.validityMs));
    }
    // A look first, outside any transaction: the links ask often, and mostly find
    // nothing, which should not cost the write lock. In the claim's order, so that it
    // reads the queue's index as the claim does: without an order, PostgreSQL would
    // rather read the table until it met a queued message.
    {
        QSqlQuery *q = nullptr;
        QUILLET_TRY(
            m_store.step(q, u"SELECT 1"_s + due + u" ORDER BY next_try_at, id LIMIT 1"_s, values));
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
                                 u"accounts WHERE accounts.id = mt.account_id), valid_until, "
                                 u"due_at, concat_ref, concat_ref_bits, concat_total, concat_seq"_s
                                     + due + u" ORDER BY next_try_at, id LIMIT ?"_s
                                     + m_store.lockRowsSkippingHeld(),
                                 values + QVariantList { most }));
        while (q->next()) {
            Outgoing message { q->value(0).toLongLong(),
                               q->value(1).toString(),
                               q->value(2).toString(),
                               q->value(3).toInt(),
                               q->value(4).toString(),
                               0,
                               std::nullopt };
            if (!q->value(5).isNull())
                message.validUntilMs = Store::msSinceEpoch(q->value(5));
            else if (rules.validityMs > 0)
                message.validUntilMs = Store::msSinceEpoch(q->value(6)) + rules.validityMs;
            if (!q->value(7).isNull())
                message.part = Part { quint16(q->value(7).toInt()), q->value(8).toInt() == 16,
                                      q->value(9).toInt(), q->value(10).toInt() };
            claimed.append(message);
        }
        q->finish();
        if (claimed.isEmpty())
            return Decision::RollBack;
        QVariantList ids { m_process, m_store.time(now + leaseMs), link };
        for (const Outgoing &message : std::as_const(claimed))
            ids.append(message.id);
        QUILLET_TRY(m_store.step(q,
                                 u"UPDATE mt SET claimed_by = ?, claimed_until = ?, link = ? "
                                 u"WHERE id IN (%1)"_s.arg(marks(claimed.size())),
                                 ids));
        return Decision::Commit;
    });
    QUILLET_TRY(done.status());
    return claimed;
}

Result<QList<LinkStore::Doubtful>>
LinkQueue::record(const QString &link, const QList<Answer> &answers, const ReceiptRules &rules)
{
    QList<Doubtful> doubtful;
    if (answers.isEmpty())
        return doubtful;
    const qint64 now = nowMs();
    const Result<Decision> done = m_store.transaction([&]() -> Result<Decision> {
        doubtful.clear();
        QList<const Answer *> submitted;
        for (const Answer &answer : answers) {
            if (answer.kind == Answer::Kind::Submitted)
                submitted.append(&answer);
            else
                QUILLET_TRY(recordOne(link, answer, now, rules, doubtful));
        }
        // In groups whose values stay well within either engine's limit for a statement.
        QList<const Answer *> group;
        qsizetype parts = 0;
        for (const Answer *answer : std::as_const(submitted)) {
            if (!group.isEmpty() && parts + answer->smscIds.size() > MostPartsAtOnce) {
                QUILLET_TRY(recordSubmitted(link, group, now, rules, doubtful));
                group.clear();
                parts = 0;
            }
            group.append(answer);
            parts += answer->smscIds.size();
        }
        if (!group.isEmpty())
            QUILLET_TRY(recordSubmitted(link, group, now, rules, doubtful));
        return Decision::Commit;
    });
    QUILLET_TRY(done.status());
    return doubtful;
}

namespace {

// A message the SMSC took, no longer claimed.
const QString MovedToSubmitted
    = u"UPDATE mt SET state = 'submitted', reason = NULL, tries = tries + 1, "
      u"claimed_by = NULL, claimed_until = NULL, accepted_at = ?"_s;
// The oldest part of another message (%2) of the link (a value) that the SMSC took with
// the id %1 and that still waits for its receipt.
const QString PartWithTheId
    = u"SELECT p.mt_id FROM mt_parts p JOIN mt ON mt.id = p.mt_id WHERE p.smsc_id = %1 AND "
      u"mt.link = ? AND p.state = 'submitted' AND p.mt_id <> %2 ORDER BY p.mt_id LIMIT 1"_s;

// The part a receipt's id finds, of those the SMSC gave that id: the oldest still waiting
// for its receipt, else the newest.
const QString ReceiptOrder = u" ORDER BY CASE WHEN p.state = 'submitted' THEN 0 ELSE 1 END, "
                             u"CASE WHEN p.state = 'submitted' THEN p.mt_id ELSE -p.mt_id END, "
                             u"p.part LIMIT 1"_s;

} // namespace

Status LinkQueue::recordOne(const QString &link, const Answer &answer, qint64 now,
                            const ReceiptRules &rules, QList<Doubtful> &doubtful)
{
    QSqlQuery *q = nullptr;
    const QString held = u" WHERE id = ? AND state = 'queued' AND claimed_by = ?"_s;
    switch (answer.kind) {
    case Answer::Kind::Submitted:
        QUILLET_TRY(
            m_store.step(q, MovedToSubmitted + held, { m_store.time(now), answer.id, m_process }));
        break;
    case Answer::Kind::Retry:
        QUILLET_TRY(
            m_store.step(q,
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
                                 u"claimed_until = NULL, done_at = ?"_s
                                     + held,
                                 { answer.reason, m_store.time(now), answer.id, m_process }));
        break;
    }
    if (q->numRowsAffected() != 1)
        return Status::ok(); // no longer ours: another process has it
    if (answer.kind == Answer::Kind::Rejected)
        return refund(answer.id, now);
    if (answer.kind != Answer::Kind::Submitted)
        return Status::ok();
    for (qsizetype i = 0; i < answer.smscIds.size(); ++i) {
        const QString &smscId = answer.smscIds.at(i);
        Doubtful part { answer.id, int(i + 1), smscId, 0 };
        if (!smscId.isEmpty()) {
            QUILLET_TRY(
                m_store.step(q, PartWithTheId.arg(u"?"_s, u"?"_s), { smscId, link, answer.id }));
            if (q->next())
                part.heldBy = q->value(0).toLongLong();
            q->finish();
        }
        QUILLET_TRY(m_store.step(q,
                                 u"INSERT INTO mt_parts (mt_id, part, smsc_id, state) "
                                 u"VALUES (?, ?, ?, 'submitted')"_s,
                                 { answer.id, part.part, smscId }));
        if (smscId.isEmpty() || part.heldBy != 0) {
            QUILLET_TRY(keepDoubtful(link, part));
            doubtful.append(part);
        }
    }
    // Receipts that came before their answer was written.
    for (const QString &id : answer.smscIds) {
        if (!id.isEmpty())
            QUILLET_TRY(applyEarlyReceipts(link, id, rules));
    }
    return Status::ok();
}

// The same as recordOne() for each, in four statements for them all: one look for
// receipts that came early, the messages moved on, the ids looked for among the parts
// already sent, and the parts written. Where an answer must see what the one before it
// wrote (an id given twice, a message answered twice) or a receipt came early (rare: a
// receipt applied may settle a part of an answer after it), they are written one by one.
Status LinkQueue::recordSubmitted(const QString &link, const QList<const Answer *> &answers,
                                  qint64 now, const ReceiptRules &rules, QList<Doubtful> &doubtful)
{
    const auto oneByOne = [&]() -> Status {
        for (const Answer *answer : answers)
            QUILLET_TRY(recordOne(link, *answer, now, rules, doubtful));
        return Status::ok();
    };
    QSet<qint64> messages;
    QSet<QString> ids;
    QStringList keys;
    for (const Answer *answer : answers) {
        if (messages.contains(answer->id))
            return oneByOne();
        messages.insert(answer->id);
        for (const QString &id : answer->smscIds) {
            if (id.isEmpty())
                continue;
            if (ids.contains(id))
                return oneByOne();
            ids.insert(id);
            keys += receiptKeysFor(id, rules.ids);
        }
    }
    QSqlQuery *q = nullptr;
    QVariantList values { link };
    if (!ids.isEmpty()) {
        for (const QString &id : std::as_const(ids))
            values.append(id);
        for (const QString &key : std::as_const(keys))
            values.append(key);
        QUILLET_TRY(m_store.step(
            q, u"SELECT 1"_s + unmatchedReceiptsOf(ids.size(), keys.size()) + u" LIMIT 1"_s,
            values));
        const bool early = q->next();
        q->finish();
        if (early)
            return oneByOne();
    }
    values = { m_store.time(now), m_process };
    for (const Answer *answer : answers)
        values.append(answer->id);
    QUILLET_TRY(m_store.step(q,
                             MovedToSubmitted
                                 + u" WHERE state = 'queued' AND claimed_by = ? AND id IN (%1) "
                                   u"RETURNING id"_s.arg(marks(answers.size())),
                             values));
    QSet<qint64> ours; // the others are no longer ours: another process has them
    while (q->next())
        ours.insert(q->value(0).toLongLong());
    q->finish();
    QList<Doubtful> parts;
    for (const Answer *answer : answers) {
        if (!ours.contains(answer->id))
            continue;
        for (qsizetype i = 0; i < answer->smscIds.size(); ++i)
            parts.append(Doubtful { answer->id, int(i + 1), answer->smscIds.at(i), 0 });
    }
    if (parts.isEmpty())
        return Status::ok();
    values = { link };
    qsizetype looked = 0;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (parts.at(i).smscId.isEmpty())
            continue;
        values += { i, parts.at(i).message, parts.at(i).smscId };
        ++looked;
    }
    if (looked > 0) {
        QUILLET_TRY(m_store.step(
            q,
            u"SELECT v.column1, (%1) FROM (VALUES %2) AS v"_s.arg(
                PartWithTheId.arg(u"v.column3"_s, u"v.column2"_s),
                marks(looked, u"(CAST(? AS bigint), CAST(? AS bigint), CAST(? AS text))"_s)),
            values));
        while (q->next())
            parts[q->value(0).toLongLong()].heldBy = q->value(1).toLongLong();
        q->finish();
    }
    values.clear();
    for (const Doubtful &part : std::as_const(parts)) {
        values.append(part.message);
        values.append(part.part);
        values.append(part.smscId);
    }
    QUILLET_TRY(m_store.step(q,
                             u"INSERT INTO mt_parts (mt_id, part, smsc_id, state) VALUES %1"_s.arg(
                                 marks(parts.size(), u"(?, ?, ?, 'submitted')"_s)),
                             values));
    for (const Doubtful &part : std::as_const(parts)) {
        if (part.smscId.isEmpty() || part.heldBy != 0) {
            QUILLET_TRY(keepDoubtful(link, part));
            doubtful.append(part);
        }
    }
    return Status::ok();
}

// Beside the receipts and arrivals that matched nothing, for the operator to see: the
// part's message, from its account's service number to its phone.
Status LinkQueue::keepDoubtful(const QString &link, const Doubtful &doubtful)
{
    const QString state = doubtful.heldBy != 0
        ? LocalTexts::smscIdHeldBy(doubtful.part, doubtful.heldBy)
        : LocalTexts::noSmscId(doubtful.part);
    QSqlQuery *q = nullptr;
    return m_store.step(q,
                        u"INSERT INTO link_unmatched (link, kind, source, destination, smsc_id, "
                        u"state, text, at) SELECT ?, 'answer', coalesce((SELECT service_number "
                        u"FROM accounts WHERE accounts.id = mt.account_id), ''), phone, ?, ?, "
                        u"text, ? FROM mt WHERE id = ?"_s,
                        { link, doubtful.smscId, state, m_store.time(nowMs()), doubtful.message });
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

// Receipts kept as unmatched because they came before the answer that gives `smscId`,
// in whatever form they wrote it.
Status LinkQueue::applyEarlyReceipts(const QString &link, const QString &smscId,
                                     const ReceiptRules &rules)
{
    const QStringList keys = receiptKeysFor(smscId, rules.ids);
    QVariantList values { link, smscId };
    for (const QString &key : keys)
        values.append(key);
    QSqlQuery *q = nullptr;
    QUILLET_TRY(m_store.step(q,
                             u"SELECT id, smsc_id, state, source, destination, text"_s
                                 + unmatchedReceiptsOf(1, keys.size()) + u" ORDER BY id"_s,
                             values));
    QList<std::pair<qint64, Receipt>> early;
    while (q->next())
        early.append({ q->value(0).toLongLong(),
                       { q->value(1).toString(),
                         receiptStateOf(q->value(2).toString()),
                         q->value(3).toString(),
                         q->value(4).toString(),
                         q->value(5).toString(),
                         {} } });
    q->finish();
    for (const auto &[row, receipt] : std::as_const(early)) {
        QUILLET_TRY_VALUE(const std::optional<IdForm> matched, applyReceipt(link, receipt, rules));
        if (matched)
            QUILLET_TRY(m_store.step(q, u"DELETE FROM link_unmatched WHERE id = ?"_s, { row }));
    }
    return Status::ok();
}

Result<std::optional<LinkStore::IdForm>> LinkQueue::receiptIn(const QString &link,
                                                              const Receipt &receipt,
                                                              const ReceiptRules &rules, qint64 now)
{
    QUILLET_TRY_VALUE(const std::optional<IdForm> matched, applyReceipt(link, receipt, rules));
    if (matched)
        return matched;
    QSqlQuery *q = nullptr;
    QUILLET_TRY(m_store.step(q,
                             u"INSERT INTO link_unmatched (link, kind, source, destination, "
                             u"smsc_id, state, text, at) VALUES (?, 'receipt', ?, ?, ?, ?, ?, ?)"_s,
                             { link, receipt.source, receipt.destination, receipt.smscId,
                               wordOf(receipt.state), receipt.text, m_store.time(now) }));
    return std::optional<IdForm>();
}

// A part's final state moves its message on: any part that failed fails the message,
// and it is delivered once every part is (or by any part's receipt, where the SMSC sends
// one for the whole message). An id the SMSC gave more than once finds the oldest part
// still waiting for its receipt (receipts come about in the order their messages went),
// else the newest; an SMSC that gave no id can be matched by nothing. A message that
// ended unknown is still settled by its receipt.
Result<std::optional<LinkStore::IdForm>>
LinkQueue::applyReceipt(const QString &link, const Receipt &receipt, const ReceiptRules &rules)
{
    QSqlQuery *q = nullptr;
    qint64 id = 0;
    int part = 0;
    std::optional<IdForm> matched;
    for (const Candidate &candidate : candidatesOf(receipt, rules.ids)) {
        const QString where = candidate.form == IdForm::Exact
            ? u"p.smsc_id = ?"_s
            : u"ltrim(lower(p.smsc_id), '0') = ?"_s;
        QUILLET_TRY(m_store.step(q,
                                 u"SELECT p.mt_id, p.part FROM mt_parts p JOIN mt ON "
                                 u"mt.id = p.mt_id WHERE "_s
                                     + where + u" AND mt.link = ?"_s + ReceiptOrder,
                                 { candidate.value, link }));
        if (q->next()) {
            id = q->value(0).toLongLong();
            part = q->value(1).toInt();
            matched = candidate.form;
        }
        q->finish();
        if (matched)
            break;
    }
    if (!matched || receipt.state == ReceiptState::OnItsWay)
        return matched;
    const QString state = wordOf(receipt.state);
    QUILLET_TRY(m_store.step(q,
                             u"UPDATE mt_parts SET state = ? WHERE mt_id = ? AND part = ? "
                             u"AND state = 'submitted'"_s,
                             { state, id, part }));
    const qint64 now = nowMs();
    if (receipt.state != ReceiptState::Delivered) {
        QUILLET_TRY(m_store.step(q,
                                 u"UPDATE mt SET state = ?, done_at = ? WHERE id = ? "
                                 u"AND state IN ('queued', 'submitted', 'unknown')"_s,
                                 { state, m_store.time(now), id }));
        if (q->numRowsAffected() == 1 && receipt.state == ReceiptState::Rejected)
            QUILLET_TRY(refund(id, now));
        return matched;
    }
    QUILLET_TRY(m_store.step(q, deliveredWhere(rules).arg(u"= ?"_s),
                             { m_store.time(now), m_store.time(now), id }));
    return matched;
}

// Messages (%1: `= ?` or `IN (...)`) delivered, once every part is (or any, by the rules).
QString LinkQueue::deliveredWhere(const ReceiptRules &rules)
{
    const QString everyPart = rules.anyPart
        ? QString()
        : u" AND NOT EXISTS (SELECT 1 FROM mt_parts WHERE mt_id = mt.id "
          u"AND state <> 'delivered')"_s;
    return u"UPDATE mt SET state = 'delivered', delivered_at = ?, done_at = ? "
           u"WHERE id %1 AND state IN ('submitted', 'unknown')"_s
        + everyPart;
}

// A turn's receipts that say delivered (each with an id, see deliver()) at once, where
// each finds a part of its own by its id as given: one look for them all, the parts and
// then their messages moved on. False, with nothing written, where one is found by none
// (or only in another form) or two find one part: those go one by one.
Result<bool> LinkQueue::deliveredTogether(const QString &link, const QList<Receipt> &receipts,
                                          const ReceiptRules &rules)
{
    if (receipts.size() < 2)
        return false;
    QVariantList values { link, link };
    for (qsizetype i = 0; i < receipts.size(); ++i)
        values += { i, receipts.at(i).smscId };
    const QString found = u"(SELECT p.%1 FROM mt_parts p JOIN mt ON mt.id = p.mt_id "
                          u"WHERE p.smsc_id = v.column2 AND mt.link = ?"_s
        + ReceiptOrder + u")"_s;
    QSqlQuery *q = nullptr;
    QUILLET_TRY(m_store.step(q,
                             u"SELECT v.column1, %1, %2 FROM (VALUES %3) AS v"_s.arg(
                                 found.arg(u"mt_id"_s), found.arg(u"part"_s),
                                 marks(receipts.size(), u"(CAST(? AS bigint), CAST(? AS text))"_s)),
                             values));
    std::set<std::pair<qint64, int>> parts;
    std::set<qint64> messages;
    while (q->next()) {
        if (q->value(1).isNull())
            continue;
        parts.insert({ q->value(1).toLongLong(), q->value(2).toInt() });
        messages.insert(q->value(1).toLongLong());
    }
    q->finish();
    // One found by none, or two of one part (an id given twice): one by one.
    if (qsizetype(parts.size()) != receipts.size())
        return false;
    const qint64 now = nowMs();
    values.clear();
    for (const auto &[message, part] : std::as_const(parts))
        values += { message, part };
    QUILLET_TRY(m_store.step(q,
                             u"UPDATE mt_parts SET state = 'delivered' WHERE state = 'submitted' "
                             u"AND (mt_id, part) IN (VALUES %1)"_s.arg(
                                 marks(parts.size(), u"(CAST(? AS bigint), CAST(? AS integer))"_s)),
                             values));
    values = { m_store.time(now), m_store.time(now) };
    for (const qint64 message : std::as_const(messages))
        values.append(message);
    QUILLET_TRY(m_store.step(
        q, deliveredWhere(rules).arg(u"IN (%1)"_s.arg(marks(qsizetype(messages.size())))), values));
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
    QVariantList values;
    for (const QString &prefix : std::as_const(prefixes))
        values.append(prefix);
    QSqlQuery *q = nullptr;
    QUILLET_TRY(
        m_store.step(q,
                     u"SELECT service_number FROM accounts WHERE service_number IN (%1) "
                     u"ORDER BY length(service_number) DESC LIMIT 1"_s.arg(marks(prefixes.size())),
                     values));
    std::optional<QString> found;
    if (q->next())
        found = q->value(0).toString();
    q->finish();
    return found;
}

QList<LinkStore::Stored> LinkQueue::deliver(const QString &link, const QList<Delivery> &deliveries,
                                            int partsPerSource, const ReceiptRules &rules)
{
    QList<Stored> outcomes;
    if (deliveries.isEmpty())
        return outcomes;
    const qint64 now = nowMs();
    const Result<Decision> written = m_store.transaction([&]() -> Result<Decision> {
        outcomes.clear();
        QUILLET_TRY(forgetMarks(link, now));
        // Mostly receipts that each say delivered: together, in a savepoint that a refusal
        // undoes for them all to go one by one. Arrivals beside them touch no part, and go
        // one by one as ever; any other receipt beside them may, and all go one by one.
        QList<Receipt> receipts;
        std::vector<bool> inReceipts(size_t(deliveries.size()), false);
        bool othersArrive = true;
        for (qsizetype i = 0; i < deliveries.size(); ++i) {
            const std::optional<Receipt> &receipt = deliveries.at(i).receipt;
            if (receipt && receipt->state == ReceiptState::Delivered
                && !receipt->smscId.isEmpty()) {
                receipts.append(*receipt);
                inReceipts[size_t(i)] = true;
            } else if (receipt) {
                othersArrive = false;
            }
        }
        bool together = false;
        if (othersArrive) {
            const Result<Decision> tried = m_store.transaction([&]() -> Result<Decision> {
                QUILLET_TRY_VALUE(together, deliveredTogether(link, receipts, rules));
                return together ? Decision::Commit : Decision::RollBack;
            });
            together = together && !tried.failed();
        }
        // Each in a savepoint of its own: one the store refuses is undone alone.
        for (qsizetype i = 0; i < deliveries.size(); ++i) {
            if (together && inReceipts[size_t(i)]) {
                outcomes.append({ Status::ok(), IdForm::Exact });
                continue;
            }
            const Delivery &delivery = deliveries.at(i);
            std::optional<IdForm> matched;
            const Result<Decision> one = m_store.transaction([&]() -> Result<Decision> {
                if (delivery.receipt) {
                    QUILLET_TRY_VALUE(matched, receiptIn(link, *delivery.receipt, rules, now));
                } else {
                    QUILLET_TRY(arriveIn(link, delivery.arrival, partsPerSource, now).status());
                }
                return Decision::Commit;
            });
            outcomes.append({ one.status(), one.failed() ? std::nullopt : matched });
        }
        return Decision::Commit;
    });
    if (written.failed())
        return QList<Stored>(deliveries.size(), Stored { written.status(), std::nullopt });
    return outcomes;
}

Status LinkQueue::forgetMarks(const QString &link, qint64 now)
{
    QSqlQuery *q = nullptr;
    return m_store.step(q, u"DELETE FROM arrivals_seen WHERE link = ? AND expires_at < ?"_s,
                        { link, m_store.time(now) });
}

// Whether the SMSC sent this arrival before: its own id with the same content within
// RepeatWindowMs, or, without an id, the content of an arrival whose answer a dropped
// session left in doubt (each doubt stands for one arrival). The marks that ran out are
// gone already (forgetMarks).
Result<bool> LinkQueue::seenBefore(const QString &link, const Arrival &arrival, qint64 now)
{
    QSqlQuery *q = nullptr;
    if (!arrival.smscId.isEmpty()) {
        QUILLET_TRY(m_store.step(
            q,
            u"INSERT INTO arrivals_seen (link, mark, expires_at) "
            u"VALUES (?, ?, ?) ON CONFLICT DO NOTHING"_s,
            { link, idMark(arrival.smscId, arrival.digest), m_store.time(now + RepeatWindowMs) }));
        return q->numRowsAffected() != 1;
    }
    QUILLET_TRY(m_store.step(q, u"DELETE FROM arrivals_seen WHERE link = ? AND mark = ?"_s,
                             { link, doubtMark(arrival.digest) }));
    return q->numRowsAffected() == 1;
}

Result<LinkQueue::Arrived> LinkQueue::arriveIn(const QString &link, const Arrival &arrival,
                                               int partsPerSource, qint64 now)
{
    QUILLET_TRY_VALUE(const bool again, seenBefore(link, arrival, now));
    if (again)
        return Arrived::Repeated;
    QUILLET_TRY_VALUE(const std::optional<QString> serviceNumber,
                      serviceNumberOf(arrival.destination));
    QString text = arrival.text;
    if (arrival.total > 1) {
        // The parts for one account are joined one transaction at a time: two processes
        // each given one of the last two parts would otherwise each miss the other's.
        if (serviceNumber)
            QUILLET_TRY(m_store.lockAccount(u"service_number"_s, *serviceNumber));
        const QVariantList message { link, arrival.source, arrival.destination,
                                     int(arrival.reference), arrival.total };
        QSqlQuery *q = nullptr;
        QUILLET_TRY(m_store.step(
            q, u"SELECT text FROM arrival_parts"_s + WaitingPartKey + u" AND part = ?"_s,
            message + QVariantList { arrival.part }));
        const std::optional<QString> waiting
            = q->next() ? std::optional<QString>(q->value(0).toString()) : std::nullopt;
        q->finish();
        if (waiting == arrival.text)
            return Arrived::PartKept; // the same part again
        // A part of that number already waits with another text: it belongs to an
        // earlier message of the same reference that never completed, which goes to the
        // operator rather than be joined with this one.
        if (waiting)
            QUILLET_TRY(moveMessage(link, arrival.source, arrival.destination,
                                    int(arrival.reference), arrival.total)
                            .status());
        QUILLET_TRY(
            m_store.step(q,
                         u"INSERT INTO arrival_parts (link, source, destination, "
                         u"reference, total, part, text, at) VALUES (?, ?, ?, ?, ?, "
                         u"?, ?, ?)"_s,
                         message + QVariantList { arrival.part, arrival.text, m_store.time(now) }));
        QUILLET_TRY(m_store.step(
            q, u"SELECT text FROM arrival_parts"_s + WaitingPartKey + u" ORDER BY part"_s,
            message));
        QStringList parts;
        while (q->next())
            parts.append(q->value(0).toString());
        q->finish();
        if (parts.size() < arrival.total) {
            QUILLET_TRY(capParts(link, arrival.source, partsPerSource));
            return Arrived::PartKept;
        }
        QUILLET_TRY(m_store.step(q, u"DELETE FROM arrival_parts"_s + WaitingPartKey, message));
        text = parts.join(QString());
    }
    if (serviceNumber && !arrival.unreadable) {
        LocalOperator::MoReport report;
        QUILLET_TRY(LocalOperator(m_gateway).receiveFromHandset(
            arrival.source, *serviceNumber, arrival.destination.mid(serviceNumber->size()), text,
            report));
        if (report.outcome == LocalOperator::MoOutcome::Arrived)
            return Arrived::Stored;
    }
    QSqlQuery *q = nullptr;
    QUILLET_TRY(m_store.step(
        q,
        u"INSERT INTO link_unmatched (link, kind, source, destination, "
        u"smsc_id, state, text, at) VALUES (?, 'arrival', ?, ?, ?, '', "
        u"?, ?)"_s,
        { link, arrival.source, arrival.destination, arrival.smscId, text, m_store.time(now) }));
    return Arrived::Unmatched;
}

// At most `partsPerSource` parts wait from one sender: the oldest incomplete messages
// make room.
Status LinkQueue::capParts(const QString &link, const QString &source, int partsPerSource)
{
    QSqlQuery *q = nullptr;
    QUILLET_TRY(m_store.step(q,
                             u"SELECT count(*) FROM arrival_parts WHERE link = ? AND source = ?"_s,
                             { link, source }));
    qint64 waiting = q->next() ? q->value(0).toLongLong() : 0;
    q->finish();
    while (waiting > partsPerSource) {
        QUILLET_TRY(m_store.step(q,
                                 u"SELECT destination, reference, total FROM arrival_parts "
                                 u"WHERE link = ? AND source = ? ORDER BY at, destination, "
                                 u"reference, total LIMIT 1"_s,
                                 { link, source }));
        if (!q->next()) {
            q->finish();
            break;
        }
        const QString destination = q->value(0).toString();
        const int reference = q->value(1).toInt();
        const int total = q->value(2).toInt();
        q->finish();
        QUILLET_TRY_VALUE(const int moved,
                          moveMessage(link, source, destination, reference, total));
        if (moved == 0)
            break;
        waiting -= moved;
    }
    return Status::ok();
}

// Every waiting part of one message goes to link_unmatched, each with its text; gives
// how many.
Result<int> LinkQueue::moveMessage(const QString &link, const QString &source,
                                   const QString &destination, int reference, int total)
{
    QSqlQuery *q = nullptr;
    QUILLET_TRY(m_store.step(
        q, u"SELECT part, text, at FROM arrival_parts"_s + WaitingPartKey + u" ORDER BY part"_s,
        { link, source, destination, reference, total }));
    QList<WaitingPart> parts;
    while (q->next())
        parts.append({ source, destination, reference, total, q->value(0).toInt(),
                       q->value(1).toString(), q->value(2) });
    q->finish();
    int moved = 0;
    for (const WaitingPart &part : std::as_const(parts)) {
        QUILLET_TRY_VALUE(const bool done, moveToUnmatched(link, part));
        moved += done ? 1 : 0;
    }
    return moved;
}

// Only the transaction that took the part out writes its entry: another process moving
// the same part at the same time finds it gone.
Result<bool> LinkQueue::moveToUnmatched(const QString &link, const WaitingPart &part)
{
    QSqlQuery *q = nullptr;
    QUILLET_TRY(m_store.step(
        q, u"DELETE FROM arrival_parts"_s + WaitingPartKey + u" AND part = ?"_s,
        { link, part.source, part.destination, part.reference, part.total, part.part }));
    if (q->numRowsAffected() != 1)
        return false;
    QUILLET_TRY(m_store.step(q,
                             u"INSERT INTO link_unmatched (link, kind, source, destination, "
                             u"smsc_id, state, text, at) VALUES (?, 'part', ?, ?, '', ?, ?, ?)"_s,
                             { link, part.source, part.destination,
                               LocalTexts::waitingPart(part.part, part.total, part.reference),
                               part.text, part.at }));
    return true;
}

Status LinkQueue::doubt(const QString &link, const QList<QByteArray> &digests, qint64 forMs)
{
    if (digests.isEmpty())
        return Status::ok();
    const qint64 until = nowMs() + forMs;
    return m_store
        .transaction([&]() -> Result<Decision> {
            QSqlQuery *q = nullptr;
            for (const QByteArray &digest : digests) {
                QUILLET_TRY(m_store.step(q,
                                         u"INSERT INTO arrivals_seen (link, mark, expires_at) "
                                         u"VALUES (?, ?, ?) ON CONFLICT (link, mark) DO UPDATE "
                                         u"SET expires_at = excluded.expires_at"_s,
                                         { link, doubtMark(digest), m_store.time(until) }));
            }
            return Decision::Commit;
        })
        .status();
}

// Queued messages of `link` past their validity that no process holds: expired, and
// refunded, since no SMSC had them.
Result<int> LinkQueue::expire(const QString &link, qint64 validityMs, int most)
{
    const qint64 now = nowMs();
    QString past = u"valid_until <= ?"_s;
    QVariantList values { link, m_store.time(now), m_store.time(now) };
    if (validityMs > 0) {
        past = u"(valid_until <= ? OR (valid_until IS NULL AND due_at <= ?))"_s;
        values.append(m_store.time(now - validityMs));
    }
    QSqlQuery *q = nullptr;
    QUILLET_TRY(m_store.step(q,
                             u"SELECT id FROM mt WHERE state = 'queued' AND link = ? AND "
                             u"(claimed_until IS NULL OR claimed_until <= ?) AND "_s
                                 + past + u" ORDER BY id LIMIT ?"_s,
                             values + QVariantList { most }));
    QList<qint64> ids;
    while (q->next())
        ids.append(q->value(0).toLongLong());
    q->finish();
    for (const qint64 id : std::as_const(ids)) {
        QUILLET_TRY(m_store.step(
            q,
            u"UPDATE mt SET state = 'expired', reason = ?, "
            u"claimed_by = NULL, claimed_until = NULL, done_at = ? "
            u"WHERE id = ? AND state = 'queued' AND (claimed_until IS NULL "
            u"OR claimed_until <= ?)"_s,
            { LocalTexts::notSentInTime(), m_store.time(now), id, m_store.time(now) }));
        if (q->numRowsAffected() == 1)
            QUILLET_TRY(refund(id, now));
    }
    return int(ids.size());
}

Result<int> LinkQueue::tidy(const QString &link, const Tidy &tidy)
{
    int done = 0;
    const Result<Decision> tidied = m_store.transaction([&]() -> Result<Decision> {
        done = 0;
        QSqlQuery *q = nullptr;
        QUILLET_TRY(m_store.step(q,
                                 u"SELECT source, destination, reference, total, part, text, at "
                                 u"FROM arrival_parts WHERE link = ? AND at < ? ORDER BY at "
                                 u"LIMIT ?"_s,
                                 { link, m_store.time(tidy.partsBefore), tidy.most }));
        QList<WaitingPart> parts;
        while (q->next())
            parts.append({ q->value(0).toString(), q->value(1).toString(), q->value(2).toInt(),
                           q->value(3).toInt(), q->value(4).toInt(), q->value(5).toString(),
                           q->value(6) });
        q->finish();
        for (const WaitingPart &part : std::as_const(parts)) {
            QUILLET_TRY_VALUE(const bool moved, moveToUnmatched(link, part));
            done += moved ? 1 : 0;
        }
        QUILLET_TRY(m_store.step(q,
                                 u"DELETE FROM link_unmatched WHERE id IN (SELECT id FROM "
                                 u"link_unmatched WHERE link = ? AND at < ? ORDER BY id "
                                 u"LIMIT ?)"_s,
                                 { link, m_store.time(tidy.unmatchedBefore), tidy.most }));
        done += q->numRowsAffected();
        QUILLET_TRY(m_store.step(
            q,
            u"UPDATE mt SET state = 'unknown', done_at = ? WHERE id IN "
            u"(SELECT id FROM mt WHERE link = ? AND state = 'submitted' AND "
            u"accepted_at < ? ORDER BY accepted_at LIMIT ?)"_s,
            { m_store.time(nowMs()), link, m_store.time(tidy.acceptedBefore), tidy.most }));
        done += q->numRowsAffected();
        QUILLET_TRY_VALUE(const int expired, expire(link, tidy.validityMs, tidy.most));
        done += expired;
        return Decision::Commit;
    });
    QUILLET_TRY(tidied.status());
    return done;
}

Status LinkQueue::together(const std::function<Status()> &work)
{
    return m_store
        .transaction([&]() -> Result<Decision> {
            (void)work(); // each call inside answers for itself
            return Decision::Commit;
        })
        .status();
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
                    u"received, last_error, updated_at, standing_in) "
                    u"VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
                    u"ON CONFLICT (link, process) DO UPDATE SET state = excluded.state, "
                    u"since = excluded.since, outstanding = excluded.outstanding, "
                    u"sent = excluded.sent, received = excluded.received, "
                    u"last_error = excluded.last_error, updated_at = excluded.updated_at, "
                    u"standing_in = excluded.standing_in"_s,
                    { state.link, m_process, state.state,
                      state.boundSinceMs ? m_store.time(*state.boundSinceMs) : QVariant(),
                      state.outstanding, state.sent, state.received, state.lastError,
                      m_store.time(nowMs()), state.standingIn.join(u',') }));
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
