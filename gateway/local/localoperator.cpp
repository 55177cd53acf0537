#include "gateway/local/localoperator.h"

#include "gateway/local/inputrules.h"
#include "gateway/local/localsteps.h"
#include "gateway/local/localtexts.h"
#include "gateway/local/outbox.h"
#include "gateway/local/segmentcounter.h"
#include "gateway/local/smppaccounts.h"
#include "gateway/local/timecursor.h"

#include <QSqlQuery>

#include <algorithm>
#include <limits>

using namespace Qt::StringLiterals;
using namespace LocalSteps;

namespace {

void tally(LocalGateway::ReplyState state, qint64 &delivered, qint64 &notSent)
{
    if (state == LocalGateway::ReplyState::Delivered)
        ++delivered;
    else if (state != LocalGateway::ReplyState::None)
        ++notSent;
}

} // namespace

LocalOperator::OnBehalf LocalOperator::onBehalf(const QString &phone, const QString &text,
                                                const QString &origin)
{
    OnBehalf message { phone, text, origin };
    message.tooLong = !InputRules::isMessageText(text);
    if (!message.tooLong)
        message.segments = SegmentCounter::segments(text);
    return message;
}

Result<LocalGateway::ReplyState> LocalOperator::sendOnBehalf(qint64 accountId, qint64 &balance,
                                                             const OnBehalf &message)
{
    const qint64 now = m_gateway.nowMs();
    if (message.tooLong) {
        QUILLET_TRY(m_gateway.insertMessage(accountId, message.phone, message.text, 1, 0,
                                            message.origin, now, u"not_sent"_s, u"too_long"_s));
        return ReplyState::NotSentTooLong;
    }
    const qint64 cost = message.segments * FenPerSegment;
    if (balance < cost) {
        QUILLET_TRY(m_gateway.insertMessage(accountId, message.phone, message.text,
                                            message.segments, 0, message.origin, now, u"not_sent"_s,
                                            u"insufficient_balance"_s));
        return ReplyState::NotSentBalance;
    }
    balance -= cost;
    QUILLET_TRY(m_gateway.insertMessage(accountId, message.phone, message.text, message.segments,
                                        cost, message.origin, now, u"delivered"_s, QVariant()));
    return ReplyState::Delivered;
}

// ---- the operator's side ---------------------------------------------------------------

Status LocalOperator::issueCards(qint64 valueFen, int count, QList<IssuedCard> &cards)
{
    cards.clear();
    return issueCards(valueFen, count, [&cards](const QList<IssuedCard> &made) {
        cards = made;
        return true;
    });
}

// The slow hashes are made before the write lock is taken (or taken from
// prepareCards()); the listing is published under it, so that cards nobody saw never
// exist.
Status LocalOperator::issueCards(qint64 valueFen, int count, const CardPublisher &publish)
{
    QUILLET_TRY(m_gateway.deliverDue());
    if (valueFen <= 0 || valueFen > MaxCardValueFen || count < 1 || count > MaxCardsPerIssue)
        return Status::ok();
    std::optional<Prepared::Cards> prepared
        = std::exchange(m_gateway.m_prepared.cards, std::nullopt);
    if (!prepared || prepared->valueFen != valueFen || prepared->cards.size() != count) {
        QUILLET_TRY_VALUE(prepared, m_gateway.makeCards(valueFen, count));
    }
    QList<IssuedCard> &made = prepared->cards;
    return m_gateway.m_store
        ->transaction([&]() -> Result<Decision> {
            const qint64 now = m_gateway.nowMs();
            for (qsizetype i = 0; i < made.size(); ++i) {
                QUILLET_TRY_VALUE(made[i].number, freeCardNumber());
                QSqlQuery *q = nullptr;
                QUILLET_TRY(m_gateway.m_store->step(
                    q,
                    u"INSERT INTO cards (number, password_hash, value, issued_at) "
                    u"VALUES (?, ?, ?, ?)"_s,
                    { made[i].number, prepared->hashes.at(i), valueFen,
                      m_gateway.m_store->time(now) }));
            }
            return commitWhen(publish(std::as_const(made)));
        })
        .status();
}

// A fresh number until it is not taken; with 16 random digits a clash is rare enough
// that a few tries always do.
Result<QString> LocalOperator::freeCardNumber()
{
    for (;;) {
        const QString number = PasswordHasher::randomDigits(CardNumberDigits);
        if (number.size() != CardNumberDigits)
            return Status::failure(Store::Unavailable, LocalTexts::randomFailed());
        QSqlQuery *q = nullptr;
        QUILLET_TRY(
            m_gateway.m_store->step(q, u"SELECT 1 FROM cards WHERE number = ?"_s, { number }));
        const bool taken = q->next();
        q->finish();
        if (!taken)
            return number;
    }
}

LocalGateway::MoOutcome LocalOperator::checkArrival(const QString &from, const QString &to,
                                                    const QString &extension,
                                                    const QString &text) const
{
    if (!InputRules::isPhone(from))
        return MoOutcome::BadSender;
    if (!extension.isEmpty() && !InputRules::isExtension(extension))
        return MoOutcome::BadExtension;
    if (!InputRules::isMessageText(text))
        return MoOutcome::BadText;
    const bool serviceNumber = to.size() <= 32 && InputRules::isPhone(to) && !to.startsWith(u'+');
    if (!InputRules::isAccountNumber(to) && !serviceNumber)
        return MoOutcome::UnknownAccount;
    return MoOutcome::Arrived;
}

// Holds that account's row until the transaction ends (the balance that pays for a
// forwarded copy or a reply).
Status LocalOperator::lockRecipient(const QString &to)
{
    return m_gateway.m_store->lockAccount(
        InputRules::isAccountNumber(to) ? u"number"_s : u"service_number"_s, to);
}

// The account a handset names by its account number or its service number.
Result<std::optional<LocalGateway::Account>> LocalOperator::findRecipient(const QString &to)
{
    return m_gateway.findAccountBy(
        InputRules::isAccountNumber(to) ? u"number"_s : u"service_number"_s, to);
}

// What an arrival of `text` sets off for the account as it stands: forwarding and the
// automatic reply act only while the account is signed on.
LocalOperator::Arrival LocalOperator::arrival(const Account &account, const QString &from,
                                              const QString &extension, const QString &text)
{
    Arrival arrival { from, extension, text, std::nullopt, std::nullopt };
    if (!account.signedOn)
        return arrival; // it waits; nothing acts for a signed-off account
    if (!account.forwardingPhone.isEmpty())
        arrival.forward = onBehalf(account.forwardingPhone, LocalTexts::forwardedText(from, text),
                                   u"forward"_s);
    if (!account.autoReply.isEmpty())
        arrival.reply = onBehalf(from, account.autoReply, u"auto_reply"_s);
    return arrival;
}

// The message waits for the account; a forwarded copy and an automatic reply follow.
Result<LocalOperator::Effects> LocalOperator::arrive(const Account &account, qint64 &balance,
                                                     const Arrival &arrival)
{
    QSqlQuery *q = nullptr;
    QUILLET_TRY(
        m_gateway.m_store->step(q,
                                u"INSERT INTO mo (account_id, sender, extension, text, sent_at, "
                                u"state) VALUES (?, ?, ?, ?, ?, 'waiting')"_s,
                                { account.id, arrival.from, arrival.extension, arrival.text,
                                  m_gateway.m_store->time(m_gateway.nowMs()) }));
    Effects effects;
    if (arrival.forward) {
        QUILLET_TRY_VALUE(effects.forwarded, sendOnBehalf(account.id, balance, *arrival.forward));
    }
    if (arrival.reply) {
        QUILLET_TRY_VALUE(effects.autoReplied, sendOnBehalf(account.id, balance, *arrival.reply));
    }
    return effects;
}

Status LocalOperator::receiveFromHandset(const QString &from, const QString &to,
                                         const QString &extension, const QString &text,
                                         MoReport &report)
{
    report = MoReport();
    QUILLET_TRY(m_gateway.deliverDue());
    report.outcome = checkArrival(from, to, extension, text);
    if (report.outcome != MoOutcome::Arrived)
        return Status::ok();
    report.outcome = MoOutcome::UnknownAccount;
    const Result<Decision> written = m_gateway.m_store->transaction([&]() -> Result<Decision> {
        QUILLET_TRY(lockRecipient(to));
        QUILLET_TRY_VALUE(const std::optional<Account> account, findRecipient(to));
        if (!account)
            return Decision::RollBack;
        report.accountNo = account->number;
        report.serviceNumber = account->serviceNumber + extension;
        const Arrival once = arrival(*account, from, extension, text);
        if (once.forward)
            report.forwardingPhone = once.forward->phone;
        qint64 balance = account->balance;
        QUILLET_TRY_VALUE(const Effects effects, arrive(*account, balance, once));
        report.forwarded = effects.forwarded;
        report.autoReplied = effects.autoReplied;
        report.outcome = MoOutcome::Arrived;
        return Decision::Commit;
    });
    m_gateway.notifyQueued();
    return written.status();
}

// Each batch reads the account afresh, so a change of its settings or balance by
// another process between batches is seen by the next one.
Status LocalOperator::receiveFromHandset(const QString &from, const QString &to,
                                         const QString &extension, const QString &text,
                                         qint64 count, MoBulkReport &report)
{
    report = MoBulkReport();
    QUILLET_TRY(m_gateway.deliverDue());
    if (count < 1 || count > MaxBulkArrivals)
        return Status::failure(Status::SubscriptOutOfRange,
                               LocalTexts::arrivalCountOutOfRange(count, MaxBulkArrivals));
    report.outcome = checkArrival(from, to, extension, text);
    if (report.outcome != MoOutcome::Arrived)
        return Status::ok();
    report.outcome = MoOutcome::UnknownAccount;
    while (report.arrived < count) {
        const qint64 batch = std::min(ArrivalsPerTransaction, count - report.arrived);
        MoBulkReport counted;
        const Result<Decision> written = m_gateway.m_store->transaction([&]() -> Result<Decision> {
            QUILLET_TRY(lockRecipient(to));
            QUILLET_TRY_VALUE(const std::optional<Account> account, findRecipient(to));
            if (!account)
                return Decision::RollBack;
            counted.accountNo = account->number;
            counted.serviceNumber = account->serviceNumber + extension;
            const Arrival once = arrival(*account, from, extension, text);
            if (once.forward)
                counted.forwardingPhone = once.forward->phone;
            qint64 balance = account->balance;
            for (qint64 i = 0; i < batch; ++i) {
                QUILLET_TRY_VALUE(const Effects effects, arrive(*account, balance, once));
                tally(effects.forwarded, counted.forwardedDelivered, counted.forwardedNotSent);
                tally(effects.autoReplied, counted.repliesDelivered, counted.repliesNotSent);
            }
            return Decision::Commit;
        });
        m_gateway.notifyQueued();
        QUILLET_TRY(written.status());
        if (!committed(*written))
            return Status::ok(); // no such account
        report.outcome = MoOutcome::Arrived;
        report.accountNo = counted.accountNo;
        report.serviceNumber = counted.serviceNumber;
        if (!counted.forwardingPhone.isEmpty())
            report.forwardingPhone = counted.forwardingPhone;
        report.arrived += batch;
        report.forwardedDelivered += counted.forwardedDelivered;
        report.forwardedNotSent += counted.forwardedNotSent;
        report.repliesDelivered += counted.repliesDelivered;
        report.repliesNotSent += counted.repliesNotSent;
    }
    return Status::ok();
}

namespace {

int pageLimit(const LocalGateway::Page &page)
{
    return page.limit >= 1 && page.limit <= LocalGateway::MaxPageSize ? page.limit
                                                                      : LocalGateway::MaxPageSize;
}

} // namespace

// A handset listing's cursor is the last message's delivery time and id, in the order
// the listing has: "<milliseconds>.<id>".
Status LocalOperator::handsetMessages(const QString &phone, const Page &page,
                                      Listing<HandsetMessage> &listing)
{
    listing = {};
    QUILLET_TRY(m_gateway.deliverDue());
    const int limit = pageLimit(page);
    const QString select = u"SELECT a.service_number, m.text, m.delivered_at, m.id FROM mt m "
                           u"JOIN accounts a ON a.id = m.account_id "
                           u"WHERE m.phone = ? AND m.state = 'delivered' "_s;
    const QString order = u" ORDER BY m.delivered_at, m.id LIMIT ?"_s;
    QSqlQuery *q = nullptr;
    if (page.after.isEmpty()) {
        QUILLET_TRY(m_gateway.m_store->step(q,
                                            u"SELECT count(*) FROM mt WHERE phone = ? AND state = "
                                            u"'delivered'"_s,
                                            { phone }));
        listing.total = q->next() ? q->value(0).toLongLong() : 0;
        q->finish();
        QUILLET_TRY(m_gateway.m_store->step(q, select + order, { phone, limit + 1 }));
    } else {
        const QStringList parts = page.after.split(u'.');
        bool timeOk = false;
        bool idOk = false;
        const qint64 atMs = parts.value(0).toLongLong(&timeOk);
        const qint64 id = parts.value(1).toLongLong(&idOk);
        if (parts.size() != 2 || !timeOk || !idOk)
            return Status::failure(Store::InvalidArgument, LocalTexts::badCursor());
        const QVariant at = m_gateway.m_store->time(atMs);
        QUILLET_TRY(m_gateway.m_store->step(
            q, select + u"AND (m.delivered_at > ? OR (m.delivered_at = ? AND m.id > ?))"_s + order,
            { phone, at, at, id, limit + 1 }));
    }
    QString lastId;
    while (q->next()) {
        if (listing.entries.size() == limit) {
            const HandsetMessage &last = listing.entries.constLast();
            listing.next = QString::number(last.deliveredAt.toMSecsSinceEpoch()) + u'.' + lastId;
            break;
        }
        listing.entries.append(
            { q->value(0).toString(), q->value(1).toString(),
              QDateTime::fromMSecsSinceEpoch(Store::msSinceEpoch(q->value(2))) });
        lastId = q->value(3).toString();
    }
    q->finish();
    return Status::ok();
}

Status LocalOperator::handsetMessages(const QString &phone, QList<HandsetMessage> &messages)
{
    return Operator::wholeListing(messages,
                                  [&](const Page &page, Listing<HandsetMessage> &listing) {
                                      return handsetMessages(phone, page, listing);
                                  });
}

Status LocalOperator::accounts(const Page &page, Listing<AccountSummary> &listing)
{
    listing = {};
    QUILLET_TRY(m_gateway.deliverDue());
    const int limit = pageLimit(page);
    QSqlQuery *q = nullptr;
    if (page.after.isEmpty()) {
        QUILLET_TRY(m_gateway.m_store->step(q, u"SELECT count(*) FROM accounts"_s));
        listing.total = q->next() ? q->value(0).toLongLong() : 0;
        q->finish();
    }
    QUILLET_TRY(
        m_gateway.m_store->step(q,
                                u"SELECT number, service_number, mobile, balance, signed_on, "
                                u"forwarding_phone, auto_reply, waiting FROM accounts "
                                u"WHERE number > ? ORDER BY number LIMIT ?"_s,
                                { page.after, limit + 1 }));
    while (q->next()) {
        if (listing.entries.size() == limit) {
            listing.next = listing.entries.constLast().number;
            break;
        }
        AccountSummary summary;
        summary.number = q->value(0).toString();
        summary.serviceNumber = q->value(1).toString();
        summary.mobile = q->value(2).toString();
        summary.balanceFen = q->value(3).toLongLong();
        summary.signedOn = q->value(4).toLongLong() == 1;
        summary.forwardingPhone = textOrEmpty(q->value(5));
        summary.autoReply = textOrEmpty(q->value(6));
        summary.waiting = q->value(7).toLongLong();
        listing.entries.append(summary);
    }
    q->finish();
    return Status::ok();
}

Status LocalOperator::accounts(QList<AccountSummary> &list)
{
    return Operator::wholeListing(list, [&](const Page &page, Listing<AccountSummary> &listing) {
        return accounts(page, listing);
    });
}

namespace {

// A cursor of the links' listing, ordered by link, then process, two texts of any
// characters: the link's length, a colon, then both texts, "<n>:<link><process>".
QString linkCursor(const QString &link, const QString &process)
{
    return QString::number(link.size()) + u':' + link + process;
}

bool readLinkCursor(const QString &cursor, QString &link, QString &process)
{
    const qsizetype colon = cursor.indexOf(u':');
    bool ok = false;
    const qsizetype length = colon > 0 ? cursor.left(colon).toLongLong(&ok) : -1;
    const QString rest = cursor.mid(colon + 1);
    if (!ok || length < 0 || length > rest.size())
        return false;
    link = rest.left(length);
    process = rest.mid(length);
    return true;
}

Status badCursor()
{
    return Status::failure(Store::InvalidArgument, LocalTexts::badCursor());
}

} // namespace

// One statement a page: the page's messages, each joined with its parts in order, so a
// message comes in as many rows as it has parts (one when it has none).
Status LocalOperator::messages(const MessageFilter &filter, const Page &page,
                               Listing<MessageSummary> &listing)
{
    listing = {};
    if (!filter.state.isEmpty() && !Operator::messageStates().contains(filter.state)) {
        QStringList states;
        for (const QLatin1StringView state : Operator::messageStates())
            states.append(state);
        return Status::failure(Store::InvalidArgument,
                               LocalTexts::unknownMessageState(filter.state, states));
    }
    if (!filter.accountNo.isEmpty() && !InputRules::isAccountNumber(filter.accountNo))
        return Status::failure(Store::InvalidArgument,
                               LocalTexts::badAccountNumber(filter.accountNo));
    if (filter.sinceMs && (*filter.sinceMs < 0 || *filter.sinceMs > Operator::LatestTimeMs))
        return Status::failure(Store::InvalidArgument, LocalTexts::timeOutOfRange(*filter.sinceMs));
    QUILLET_TRY(m_gateway.deliverDue());
    const int limit = pageLimit(page);
    Store &store = *m_gateway.m_store;
    QStringList conditions;
    QVariantList values;
    if (!filter.accountNo.isEmpty()) {
        conditions.append(u"a.number = ?"_s);
        values.append(filter.accountNo);
    }
    if (!filter.state.isEmpty()) {
        conditions.append(u"m.state = ?"_s);
        values.append(filter.state);
    }
    if (filter.sinceMs) {
        conditions.append(u"m.submitted_at >= ?"_s);
        values.append(store.time(*filter.sinceMs));
    }
    const QString from = u" FROM mt m JOIN accounts a ON a.id = m.account_id"_s;
    const auto where = [&conditions] {
        return conditions.isEmpty() ? QString() : u" WHERE "_s + conditions.join(u" AND "_s);
    };
    QSqlQuery *q = nullptr;
    if (page.after.isEmpty()) {
        QUILLET_TRY(store.step(q, u"SELECT count(*)"_s + from + where(), values));
        listing.total = q->next() ? q->value(0).toLongLong() : 0;
        q->finish();
    } else {
        qint64 atMs = 0;
        qint64 id = 0;
        if (!TimeCursor::read(page.after, atMs, id))
            return badCursor();
        const QVariant at = store.time(atMs);
        conditions.append(u"(m.submitted_at > ? OR (m.submitted_at = ? AND m.id > ?))"_s);
        values += QVariantList { at, at, id };
    }
    values.append(limit + 1);
    QUILLET_TRY(store.step(
        q,
        u"SELECT s.id, s.number, s.phone, s.text, s.state, s.link, s.tries, s.reason, "
        u"s.submitted_at, p.smsc_id FROM (SELECT m.id, a.number, m.phone, m.text, m.state, "
        u"m.link, m.tries, m.reason, m.submitted_at"_s
            + from + where()
            + u" ORDER BY m.submitted_at, m.id LIMIT ?) s "
              u"LEFT JOIN mt_parts p ON p.mt_id = s.id ORDER BY s.submitted_at, s.id, p.part"_s,
        values));
    while (q->next()) {
        const qint64 id = q->value(0).toLongLong();
        if (listing.entries.isEmpty() || listing.entries.constLast().id != id) {
            if (listing.entries.size() == limit) {
                const MessageSummary &last = listing.entries.constLast();
                listing.next = TimeCursor::write(last.submittedAtMs, last.id);
                break;
            }
            MessageSummary message;
            message.id = id;
            message.accountNo = q->value(1).toString();
            message.phone = q->value(2).toString();
            message.text = q->value(3).toString();
            message.state = q->value(4).toString();
            message.link = textOrEmpty(q->value(5));
            message.tries = q->value(6).toInt();
            message.reason = textOrEmpty(q->value(7));
            message.submittedAtMs = Store::msSinceEpoch(q->value(8));
            listing.entries.append(message);
        }
        if (!q->value(9).isNull())
            listing.entries.last().smscIds.append(q->value(9).toString());
    }
    q->finish();
    return Status::ok();
}

Status LocalOperator::links(const Page &page, Listing<LinkSummary> &listing)
{
    listing = {};
    QUILLET_TRY(m_gateway.deliverDue());
    const int limit = pageLimit(page);
    Store &store = *m_gateway.m_store;
    const QString select = u"SELECT link, process, state, since, outstanding, sent, received, "
                           u"last_error, updated_at, standing_in FROM link_status"_s;
    const QString order = u" ORDER BY link, process LIMIT ?"_s;
    QSqlQuery *q = nullptr;
    if (page.after.isEmpty()) {
        QUILLET_TRY(store.step(q, u"SELECT count(*) FROM link_status"_s));
        listing.total = q->next() ? q->value(0).toLongLong() : 0;
        q->finish();
        QUILLET_TRY(store.step(q, select + order, { limit + 1 }));
    } else {
        QString link;
        QString process;
        if (!readLinkCursor(page.after, link, process))
            return badCursor();
        QUILLET_TRY(store.step(q,
                               select + u" WHERE link > ? OR (link = ? AND process > ?)"_s + order,
                               { link, link, process, limit + 1 }));
    }
    while (q->next()) {
        if (listing.entries.size() == limit) {
            const LinkSummary &last = listing.entries.constLast();
            listing.next = linkCursor(last.link, last.process);
            break;
        }
        LinkSummary summary;
        summary.link = q->value(0).toString();
        summary.process = q->value(1).toString();
        summary.state = q->value(2).toString();
        if (!q->value(3).isNull())
            summary.boundSinceMs = Store::msSinceEpoch(q->value(3));
        summary.outstanding = q->value(4).toLongLong();
        summary.sent = q->value(5).toLongLong();
        summary.received = q->value(6).toLongLong();
        summary.lastError = q->value(7).toString();
        summary.updatedAtMs = Store::msSinceEpoch(q->value(8));
        summary.standingIn = q->value(9).toString();
        listing.entries.append(summary);
    }
    q->finish();
    return Status::ok();
}

Status LocalOperator::clearUnmatched(qint64 throughId, qint64 &cleared)
{
    cleared = 0;
    QUILLET_TRY(m_gateway.deliverDue());
    Store &store = *m_gateway.m_store;
    qint64 deleted = 0;
    const Result<Decision> done = store.transaction([&]() -> Result<Decision> {
        QSqlQuery *q = nullptr;
        QUILLET_TRY(store.step(q, u"DELETE FROM link_unmatched WHERE id <= ?"_s, { throughId }));
        deleted = q->numRowsAffected();
        return Decision::Commit;
    });
    QUILLET_TRY(done.status());
    cleared = deleted;
    return Status::ok();
}

// By id, the oldest first: the order a dispatcher sends them in.
Status LocalOperator::callbackEvents(const QString &delivery, const Page &page,
                                     Listing<Operator::CallbackEvent> &listing)
{
    listing = {};
    if (!delivery.isEmpty() && delivery != u"dead"_s)
        return Status::failure(Store::InvalidArgument, LocalTexts::notADeliveryState(delivery));
    qint64 after = 0;
    if (!page.after.isEmpty()) {
        bool ok = false;
        after = page.after.toLongLong(&ok);
        if (!ok)
            return badCursor();
    }
    const int limit = pageLimit(page);
    Outbox outbox(m_gateway, {});
    QUILLET_TRY_VALUE(const QList<Outbox::Event> events,
                      outbox.list(!delivery.isEmpty(), after, limit + 1));
    if (page.after.isEmpty()) {
        QUILLET_TRY_VALUE(const auto counts, outbox.counts());
        listing.total
            = counts.value(u"dead"_s) + (delivery.isEmpty() ? counts.value(u"pending"_s) : 0);
    }
    for (const Outbox::Event &e : events) {
        if (listing.entries.size() == limit) {
            listing.next = QString::number(listing.entries.constLast().id);
            break;
        }
        listing.entries.append({ e.id, e.at, e.accountNo, e.type, e.subject, e.state, e.delivery,
                                 e.attempts, e.lastError, e.url });
    }
    return Status::ok();
}

Status LocalOperator::replayCallbacks(qint64 id, qint64 &taken)
{
    taken = 0;
    Outbox outbox(m_gateway, {});
    QUILLET_TRY_VALUE(const int replayed,
                      outbox.replay(id > 0 ? std::optional<qint64>(id) : std::nullopt));
    taken = replayed;
    return Status::ok();
}

Status LocalOperator::setSmppCredentials(const QString &accountNo, const QString &systemId,
                                         Operator::SmppCredentials &made)
{
    made = {};
    QUILLET_TRY(m_gateway.deliverDue());
    QUILLET_TRY_VALUE(made, SmppAccounts(m_gateway).set(accountNo, systemId));
    return Status::ok();
}

Status LocalOperator::revokeSmppCredentials(const QString &accountNo, qint64 &revoked)
{
    revoked = 0;
    QUILLET_TRY(m_gateway.deliverDue());
    QUILLET_TRY_VALUE(const bool ended, SmppAccounts(m_gateway).revoke(accountNo));
    revoked = ended ? 1 : 0;
    return Status::ok();
}

Status LocalOperator::smppBinds(const Page &page, Listing<Operator::SmppBind> &listing)
{
    QUILLET_TRY(m_gateway.deliverDue());
    return SmppAccounts(m_gateway).binds(page, listing);
}

// By id: the links keep entries as they come, and take a receipt's back out when its
// part turns up.
Status LocalOperator::unmatched(const Page &page, Listing<UnmatchedEntry> &listing)
{
    listing = {};
    QUILLET_TRY(m_gateway.deliverDue());
    const int limit = pageLimit(page);
    Store &store = *m_gateway.m_store;
    qint64 after = std::numeric_limits<qint64>::min();
    QSqlQuery *q = nullptr;
    if (page.after.isEmpty()) {
        QUILLET_TRY(store.step(q, u"SELECT count(*) FROM link_unmatched"_s));
        listing.total = q->next() ? q->value(0).toLongLong() : 0;
        q->finish();
    } else {
        bool ok = false;
        after = page.after.toLongLong(&ok);
        if (!ok)
            return badCursor();
    }
    QUILLET_TRY(store.step(q,
                           u"SELECT id, at, link, kind, source, destination, smsc_id, state, text "
                           u"FROM link_unmatched WHERE id > ? ORDER BY id LIMIT ?"_s,
                           { after, limit + 1 }));
    while (q->next()) {
        if (listing.entries.size() == limit) {
            listing.next = QString::number(listing.entries.constLast().id);
            break;
        }
        UnmatchedEntry entry;
        entry.id = q->value(0).toLongLong();
        entry.atMs = Store::msSinceEpoch(q->value(1));
        entry.link = q->value(2).toString();
        entry.kind = q->value(3).toString();
        entry.source = q->value(4).toString();
        entry.destination = q->value(5).toString();
        entry.smscId = q->value(6).toString();
        entry.state = q->value(7).toString();
        entry.text = q->value(8).toString();
        listing.entries.append(entry);
    }
    q->finish();
    return Status::ok();
}
