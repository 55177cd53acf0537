#include "gateway/local/localgateway.h"

#include "gateway/local/inputrules.h"
#include "gateway/local/localsteps.h"
#include "gateway/local/localtexts.h"
#include "gateway/local/segmentcounter.h"
#include "gateway/local/sendtime.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QSqlRecord>

#include <algorithm>

using namespace Qt::StringLiterals;
using namespace LocalSteps;

namespace {

const QString ServiceNumberPrefix = u"10690"_s;
constexpr int ServiceNumberDigits = 7;

// A receive listing's time, "yyyy-MM-dd HH:mm:ss" in local time, digit by digit:
// QDateTime::toString reads its format afresh for every call, which costs more than
// the rest of a listed message.
QString receiveTime(qint64 msSinceEpoch)
{
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(msSinceEpoch);
    const QDate date = at.date();
    const QTime time = at.time();
    if (date.year() < 1000 || date.year() > 9999)
        return at.toString(u"yyyy-MM-dd HH:mm:ss"_s);
    char16_t text[] = u"0000-00-00 00:00:00";
    const auto put = [&text](int from, int value, int digits) {
        for (int i = from + digits - 1; i >= from; --i, value /= 10)
            text[i] = char16_t(u'0' + value % 10);
    };
    put(0, date.year(), 4);
    put(5, date.month(), 2);
    put(8, date.day(), 2);
    put(11, time.hour(), 2);
    put(14, time.minute(), 2);
    put(17, time.second(), 2);
    return QString::fromUtf16(text, std::size(text) - 1);
}

bool particularsAcceptable(const RegisterParticulars &p)
{
    const QString *fields[]
        = { &p.province, &p.city,  &p.trade, &p.company, &p.contactName, &p.telephone,
            &p.mobile,   &p.email, &p.fax,   &p.address, &p.postcode };
    return std::all_of(std::begin(fields), std::end(fields), [](const QString *field) {
        return field->size() <= InputRules::MaxParticularLength && InputRules::isWellFormed(*field)
            && InputRules::isPlainText(*field);
    });
}

QVariantList particularValues(const RegisterParticulars &p)
{
    return { p.province, p.city,  p.trade, p.company, p.contactName, p.telephone,
             p.mobile,   p.email, p.fax,   p.address, p.postcode };
}

bool isNewPassword(const QString &password)
{
    return !password.isEmpty() && password.size() <= InputRules::MaxPasswordLength
        && InputRules::isWellFormed(password);
}

bool cardFieldsPlausible(const QString &cardNo, const QString &cardPassword)
{
    return !cardNo.isEmpty() && cardNo.size() <= InputRules::MaxCardFieldLength
        && cardPassword.size() <= InputRules::MaxCardFieldLength;
}

} // namespace

LocalGateway::LocalGateway(std::unique_ptr<Store> store, Options options)
    : m_store(std::move(store))
    , m_clock(options.clock ? std::move(options.clock) : Options().clock)
    , m_hasher(options.hashCost)
    , m_route(std::move(options.route))
    , m_queued(std::move(options.queued))
    // The one statement does not route: with links, each message is routed on its own.
    , m_sendsAtOnce(!m_store->sendAtOnce().isEmpty() && !m_route)
{
}

void LocalGateway::notifyQueued()
{
    if (m_store->inTransaction())
        return;
    if (std::exchange(m_queuedAny, false) && m_queued)
        m_queued();
}

Status LocalGateway::open(const QString &storePath, std::unique_ptr<LocalGateway> &gateway,
                          Options options)
{
    std::unique_ptr<Store> store;
    QUILLET_TRY(Store::open(storePath, store));
    gateway.reset(new LocalGateway(std::move(store), std::move(options)));
    return Status::ok();
}

Status LocalGateway::open(const StoreLocation &location, std::unique_ptr<LocalGateway> &gateway,
                          Options options)
{
    std::unique_ptr<Store> store;
    QUILLET_TRY(Store::open(location, store));
    gateway.reset(new LocalGateway(std::move(store), std::move(options)));
    return Status::ok();
}

qint64 LocalGateway::nowMs() const
{
    return m_clock().toMSecsSinceEpoch();
}

QString LocalGateway::formatYuan(qint64 fen)
{
    const QString sign = fen < 0 ? u"-"_s : QString();
    const qint64 magnitude = fen < 0 ? -fen : fen;
    return sign + QString::number(magnitude / 100) + u'.'
        + QString::number(magnitude % 100).rightJustified(2, u'0');
}

bool LocalGateway::parseYuan(const QString &text, qint64 &fen)
{
    static const QRegularExpression pattern(u"^([0-9]{1,9})(?:\\.([0-9]{1,2}))?$"_s);
    const QRegularExpressionMatch match = pattern.match(text.trimmed());
    if (!match.hasMatch())
        return false;
    const QString fraction = match.captured(2).leftJustified(2, u'0');
    fen = match.captured(1).toLongLong() * 100 + fraction.toLongLong();
    return true;
}

Status LocalGateway::answer(Bool16 &outcome, const std::function<Result<bool>()> &work)
{
    QUILLET_TRY(deliverDue());
    const Result<bool> done = work();
    notifyQueued();
    QUILLET_TRY(done.status());
    outcome = *done ? True16 : False16;
    return Status::ok();
}

Status LocalGateway::answer(QString &text, const std::function<Result<QString>()> &work)
{
    QUILLET_TRY(deliverDue());
    notifyQueued();
    QUILLET_TRY_VALUE(text, work());
    return Status::ok();
}

namespace {

// A due message is delivered to its handset, or queued for its link. Rows another
// transaction holds are passed over: that one is delivering them, and a transaction that
// waited for them could be holding rows the other waits for.
QString dueStatement(const Store &store)
{
    return u"UPDATE mt SET state = CASE WHEN link IS NULL THEN 'delivered' ELSE 'queued' END, "
           u"delivered_at = CASE WHEN link IS NULL THEN due_at END, "
           u"done_at = CASE WHEN link IS NULL THEN due_at END, next_try_at = due_at "
           u"WHERE id IN (SELECT id FROM mt WHERE state = 'scheduled' AND due_at <= ?"_s
        + store.lockRowsSkippingHeld() + u")"_s;
}

} // namespace

Status LocalGateway::deliverDue()
{
    const qint64 now = nowMs();
    QSqlQuery *q = nullptr;
    QUILLET_TRY(
        m_store->step(q, u"SELECT 1 FROM mt WHERE state = 'scheduled' AND due_at <= ? LIMIT 1"_s,
                      { m_store->time(now) }));
    const bool due = q->next();
    q->finish();
    if (!due)
        return Status::ok();
    return m_store
        ->transaction([&]() -> Result<Decision> {
            QSqlQuery *update = nullptr;
            QUILLET_TRY(m_store->step(update, dueStatement(*m_store), { m_store->time(now) }));
            m_queuedAny = m_queuedAny || m_queued;
            return Decision::Commit;
        })
        .status();
}

Result<std::optional<LocalGateway::Account>> LocalGateway::findAccount(const QString &accountNo)
{
    if (!InputRules::isAccountNumber(accountNo))
        return std::optional<Account>();
    return findAccountBy(u"number"_s, accountNo);
}

// Outside a transaction the kept statement is finished at once, so that it holds no
// read snapshot between operations.
Result<std::optional<LocalGateway::Account>> LocalGateway::findAccountBy(const QString &column,
                                                                         const QString &value)
{
    QSqlQuery *q = nullptr;
    QUILLET_TRY(m_store->step(q,
                              u"SELECT id, number, password_hash, service_number, balance, "
                              u"signed_on, forwarding_phone, auto_reply, waiting FROM accounts "
                              u"WHERE "_s
                                  + column + u" = ?"_s,
                              { value }));
    std::optional<Account> account;
    if (q->next()) {
        account.emplace();
        account->id = q->value(0).toLongLong();
        account->number = q->value(1).toString();
        account->passwordHash = q->value(2).toString();
        account->serviceNumber = q->value(3).toString();
        account->balance = q->value(4).toLongLong();
        account->signedOn = q->value(5).toLongLong() == 1;
        account->forwardingPhone = textOrEmpty(q->value(6));
        account->autoReply = textOrEmpty(q->value(7));
        account->waiting = q->value(8).toLongLong();
    }
    q->finish();
    return account;
}

Result<std::optional<LocalGateway::Account>> LocalGateway::findSignedOn(const QString &accountNo)
{
    QUILLET_TRY_VALUE(std::optional<Account> account, findAccount(accountNo));
    if (account && !account->signedOn)
        account.reset();
    return account;
}

Result<bool> LocalGateway::changeAccount(const QString &accountNo, const QString &sql,
                                         QVariantList values)
{
    if (!InputRules::isAccountNumber(accountNo))
        return false;
    values << accountNo;
    QUILLET_TRY_VALUE(const Decision decision, m_store->transaction([&]() -> Result<Decision> {
        QSqlQuery *q = nullptr;
        QUILLET_TRY(m_store->step(q, sql, values));
        return commitWhen(q->numRowsAffected() == 1);
    }));
    return committed(decision);
}

// ---- accounts ----------------------------------------------------------------------

Status LocalGateway::Register(const RegisterParticulars &particulars, Bool16 &outcome)
{
    return answer(outcome, [&] { return signOnOrOpen(particulars); });
}

// A known account signs on when its password verifies; an unknown one is opened.
// Two rounds: an opening that loses a race with another process's opening of the same
// number signs on as a known account instead.
Result<bool> LocalGateway::signOnOrOpen(const RegisterParticulars &p)
{
    if (!InputRules::isAccountNumber(p.accountNo) || p.password.isEmpty()
        || !particularsAcceptable(p))
        return false;
    for (int round = 0; round < 2; ++round) {
        QUILLET_TRY_VALUE(const std::optional<Account> existing, findAccount(p.accountNo));
        if (existing)
            return signOnKnown(*existing, p);
        if (!isNewPassword(p.password))
            return false;
        QString hash;
        if (!hashPassword(p.password, hash))
            return hashingFailed();
        QUILLET_TRY_VALUE(const Opening opening, openAccount(p, hash));
        if (opening == Opening::Opened)
            return true;
    }
    return false;
}

// The particulars are updated with the sign-on, unless the password changed meanwhile.
Result<bool> LocalGateway::signOnKnown(const Account &account, const RegisterParticulars &p)
{
    if (p.password.size() > InputRules::MaxPasswordLength
        || !verifyPassword(account.passwordHash, p.password))
        return false;
    QVariantList values = particularValues(p);
    values << account.id << account.passwordHash;
    QUILLET_TRY_VALUE(const Decision decision, m_store->transaction([&]() -> Result<Decision> {
        QSqlQuery *q = nullptr;
        QUILLET_TRY(m_store->step(q,
                                  u"UPDATE accounts SET province = ?, city = ?, trade = ?, "
                                  u"company = ?, contact_name = ?, telephone = ?, mobile = ?, "
                                  u"email = ?, fax = ?, address = ?, postcode = ?, signed_on = 1 "
                                  u"WHERE id = ? AND password_hash = ?"_s,
                                  values));
        return commitWhen(q->numRowsAffected() == 1);
    }));
    return committed(decision);
}

// A new account, signed on, with the next service number.
Result<LocalGateway::Opening> LocalGateway::openAccount(const RegisterParticulars &p,
                                                        const QString &hash)
{
    QUILLET_TRY_VALUE(const Decision decision, m_store->transaction([&]() -> Result<Decision> {
        QUILLET_TRY(m_store->lockRegistrations());
        QSqlQuery *q = nullptr;
        QUILLET_TRY(
            m_store->step(q, u"SELECT 1 FROM accounts WHERE number = ?"_s, { p.accountNo }));
        if (q->next())
            return Decision::RollBack;
        QUILLET_TRY(m_store->step(q, u"SELECT COALESCE(MAX(id), 0) + 1 FROM accounts"_s));
        const qint64 id = q->next() ? q->value(0).toLongLong() : 1;
        const QString serviceNumber
            = ServiceNumberPrefix + QString::number(id).rightJustified(ServiceNumberDigits, u'0');
        QVariantList values = { id, p.accountNo, hash };
        values << particularValues(p) << serviceNumber << m_store->time(nowMs());
        QUILLET_TRY(m_store->step(
            q,
            u"INSERT INTO accounts (id, number, password_hash, province, city, trade, "
            u"company, contact_name, telephone, mobile, email, fax, address, postcode, "
            u"service_number, balance, signed_on, created_at) "
            u"VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0, 1, ?)"_s,
            values));
        return Decision::Commit;
    }));
    return committed(decision) ? Opening::Opened : Opening::Raced;
}

Status LocalGateway::Deregister(const QString &accountNo, Bool16 &outcome)
{
    return answer(outcome, [&] {
        return changeAccount(
            accountNo, u"UPDATE accounts SET signed_on = 0 WHERE number = ? AND signed_on = 1"_s);
    });
}

Status LocalGateway::ChangePassword(const QString &accountNo, const QString &newPassword,
                                    Bool16 &outcome)
{
    return answer(outcome, [&] { return changePassword(accountNo, newPassword); });
}

Result<bool> LocalGateway::changePassword(const QString &accountNo, const QString &newPassword)
{
    QUILLET_TRY_VALUE(const std::optional<Account> account, findSignedOn(accountNo));
    if (!account || !isNewPassword(newPassword))
        return false;
    QString hash;
    if (!hashPassword(newPassword, hash))
        return hashingFailed();
    return changeAccount(
        accountNo, u"UPDATE accounts SET password_hash = ? WHERE number = ? AND signed_on = 1"_s,
        { hash });
}

Status LocalGateway::QueryBalance(const QString &accountNo, QString &balance)
{
    return answer(balance, [&]() -> Result<QString> {
        QUILLET_TRY_VALUE(const std::optional<Account> account, findSignedOn(accountNo));
        return account ? formatYuan(account->balance) : QString();
    });
}

// ---- recharge ------------------------------------------------------------------------

Status LocalGateway::Recharge(const QString &accountNo, const QString &cardNo,
                              const QString &cardPassword, Bool16 &outcome)
{
    return answer(outcome, [&] { return rechargeWithCard(accountNo, cardNo, cardPassword); });
}

// A signed-on account that is not locked out spends a card whose password verifies,
// unless the balance would grow too large. A wrong card counts as a failed attempt.
Result<bool> LocalGateway::rechargeWithCard(const QString &accountNo, const QString &cardNo,
                                            const QString &cardPassword)
{
    QUILLET_TRY_VALUE(const std::optional<Account> account, findSignedOn(accountNo));
    if (!account)
        return false;
    const qint64 now = nowMs();
    QUILLET_TRY_VALUE(const std::optional<qint64> attempt, reserveAttempt(account->id, now));
    if (!attempt)
        return false; // locked out: not even looked at, and not counted
    QUILLET_TRY_VALUE(const std::optional<Card> card, checkCard(cardNo, cardPassword));
    if (!card)
        return false; // the reserved attempt stays: it failed
    QUILLET_TRY_VALUE(const Spending spending,
                      spendCard(account->id, *card, cardNo, *attempt, now));
    return spending == Spending::Spent;
}

// Every card check is reserved before the card is looked at, in a short transaction
// that counts it as a failed attempt until it is settled. However many processes try at
// once, at most RechargeFailureLimit checks per account get through in any window, and
// the slow hash still runs outside the write lock. Gives the reservation, or nothing
// when the account is locked out.
Result<std::optional<qint64>> LocalGateway::reserveAttempt(qint64 accountId, qint64 now)
{
    std::optional<qint64> attempt;
    const Result<Decision> written = m_store->transaction([&]() -> Result<Decision> {
        QUILLET_TRY(m_store->lockAccount(u"id"_s, accountId));
        QSqlQuery *q = nullptr;
        QUILLET_TRY(m_store->step(
            q, u"SELECT count(*) FROM recharge_failures WHERE account_id = ? AND at > ?"_s,
            { accountId, m_store->time(now - RechargeWindowSeconds * 1000) }));
        if (q->next() && q->value(0).toLongLong() >= RechargeFailureLimit)
            return Decision::RollBack;
        QUILLET_TRY_VALUE(attempt,
                          m_store->insert(u"INSERT INTO recharge_failures (account_id, at) "
                                          u"VALUES (?, ?)"_s,
                                          { accountId, m_store->time(now) }));
        return Decision::Commit;
    });
    QUILLET_TRY(written.status());
    if (!committed(*written))
        return std::optional<qint64>();
    return attempt;
}

// The card is checked outside the write lock (the slow hash would hold it up for
// everyone); the conditional update in spendCard() decides who spends it.
Result<std::optional<LocalGateway::Card>> LocalGateway::checkCard(const QString &cardNo,
                                                                  const QString &cardPassword)
{
    if (!cardFieldsPlausible(cardNo, cardPassword))
        return std::optional<Card>();
    QSqlQuery *q = nullptr;
    QUILLET_TRY(m_store->step(
        q, u"SELECT id, password_hash, value FROM cards WHERE number = ? AND spent_by IS NULL"_s,
        { cardNo }));
    std::optional<Card> card;
    if (q->next()) {
        const QString hash = q->value(1).toString();
        if (verifyPassword(hash, cardPassword))
            card = Card { q->value(0).toLongLong(), q->value(2).toLongLong() };
    }
    q->finish();
    return card;
}

// Settles the reserved attempt: a card spent, or one the balance has no room for, takes
// it back; a card another attempt spent first leaves it counted as failed.
Result<LocalGateway::Spending> LocalGateway::spendCard(qint64 accountId, const Card &card,
                                                       const QString &cardNo, qint64 attempt,
                                                       qint64 now)
{
    Spending spending = Spending::Refused;
    const Result<Decision> written = m_store->transaction([&]() -> Result<Decision> {
        QSqlQuery *q = nullptr;
        QUILLET_TRY(m_store->step(q,
                                  u"SELECT balance FROM accounts WHERE id = ? AND signed_on = 1"_s
                                      + m_store->lockRows(),
                                  { accountId }));
        const bool room = q->next() && q->value(0).toLongLong() + card.value <= MaxBalanceFen;
        q->finish();
        if (room) {
            QUILLET_TRY(m_store->step(q,
                                      u"UPDATE cards SET spent_by = ?, spent_at = ? "
                                      u"WHERE id = ? AND spent_by IS NULL"_s,
                                      { accountId, m_store->time(now), card.id }));
            if (q->numRowsAffected() != 1) {
                spending = Spending::TakenFirst; // another attempt spent it first
                return Decision::RollBack;
            }
            QUILLET_TRY(m_store->step(
                q,
                u"INSERT INTO ledger (account_id, amount, reason, reference, at) "
                u"VALUES (?, ?, 'recharge', ?, ?)"_s,
                { accountId, card.value, QString(u"card:"_s + cardNo), m_store->time(now) }));
            spending = Spending::Spent;
        }
        QUILLET_TRY(m_store->step(q, u"DELETE FROM recharge_failures WHERE id = ?"_s, { attempt }));
        return Decision::Commit;
    });
    QUILLET_TRY(written.status());
    return spending;
}

// ---- sending -------------------------------------------------------------------------

Status LocalGateway::SendMessage(const QString &accountNo, const QString &phoneNo,
                                 const QString &text, Bool16 &outcome)
{
    return answerSend(outcome, accountNo, phoneNo, text, std::nullopt);
}

Status LocalGateway::SendScheduledMessage(const QString &accountNo, const QString &phoneNo,
                                          const QString &text, const QString &sendTime,
                                          Bool16 &outcome)
{
    return answerSend(outcome, accountNo, phoneNo, text, sendTime);
}

// Where the store makes a send in one statement, that statement delivers what is due as
// well, and the separate look first is saved. A send refused before it reaches the store
// delivers afterwards instead: it wrote nothing, so the order makes no difference.
Status LocalGateway::answerSend(Bool16 &outcome, const QString &accountNo, const QString &phoneNo,
                                const QString &text, const std::optional<QString> &sendTime)
{
    if (!m_sendsAtOnce)
        return answer(outcome, [&] { return submit(accountNo, phoneNo, text, sendTime); });
    const std::optional<Send> send = checkSend(accountNo, phoneNo, text, sendTime);
    if (!send) {
        QUILLET_TRY(deliverDue());
        outcome = False16;
        return Status::ok();
    }
    QUILLET_TRY_VALUE(const bool done, submitAtOnce(*send));
    m_queuedAny = m_queuedAny || m_queued;
    notifyQueued();
    outcome = done ? True16 : False16;
    return Status::ok();
}

Status LocalGateway::insertMessage(qint64 accountId, const QString &phone, const QString &text,
                                   int segments, qint64 cost, const QString &origin, qint64 dueMs,
                                   const QString &state, const QVariant &reason)
{
    return insertMessage(accountId, phone, text, segments, cost, origin, dueMs, state, reason,
                         Given())
        .status();
}

Result<qint64> LocalGateway::insertMessage(qint64 accountId, const QString &phone,
                                           const QString &text, int segments, qint64 cost,
                                           const QString &origin, qint64 dueMs,
                                           const QString &state, const QVariant &reason,
                                           const Given &given)
{
    const qint64 now = nowMs();
    // A message that goes out at once or later leaves by its link when it has one: then
    // it is queued for that link when due, instead of delivered.
    QString stored = state;
    QVariant link;
    QVariant nextTry;
    if (m_route && (state == u"delivered"_s || state == u"scheduled"_s)) {
        if (const QString name = m_route(phone); !name.isEmpty()) {
            link = name;
            nextTry = m_store->time(dueMs);
            if (state == u"delivered"_s)
                stored = u"queued"_s;
            m_queuedAny = true;
        }
    }
    const QVariant deliveredAt = stored == u"delivered"_s ? m_store->time(dueMs) : QVariant();
    // Born final: delivered at once, or not sent.
    const QVariant doneAt = stored == u"not_sent"_s ? m_store->time(now) : deliveredAt;
    const std::optional<LinkStore::Part> &part = given.part;
    QUILLET_TRY_VALUE(
        const qint64 messageId,
        m_store->insert(u"INSERT INTO mt (account_id, phone, text, segments, cost, "
                        u"origin, submitted_at, due_at, state, reason, "
                        u"delivered_at, done_at, link, next_try_at, reference, valid_until, "
                        u"smpp_receipt, concat_ref, concat_ref_bits, concat_total, concat_seq) "
                        u"VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"_s,
                        { accountId,
                          phone,
                          text,
                          segments,
                          cost,
                          origin,
                          m_store->time(now),
                          m_store->time(dueMs),
                          stored,
                          reason,
                          deliveredAt,
                          doneAt,
                          link,
                          nextTry,
                          given.reference,
                          given.validUntil,
                          given.smppReceipt,
                          part ? QVariant(int(part->reference)) : QVariant(),
                          part ? QVariant(part->wideReference ? 16 : 8) : QVariant(),
                          part ? QVariant(part->total) : QVariant(),
                          part ? QVariant(part->sequence) : QVariant() }));
    if (cost == 0)
        return messageId;
    QSqlQuery *q = nullptr;
    QUILLET_TRY(m_store->step(
        q,
        u"INSERT INTO ledger (account_id, amount, reason, reference, at) "
        u"VALUES (?, ?, 'send', ?, ?)"_s,
        { accountId, -cost, QString(u"mt:"_s + QString::number(messageId)), m_store->time(now) }));
    return messageId;
}

// One charged message per recipient, all or none: the balance must cover them all.
// A scheduled one waits until its time; any other is delivered at once.
std::optional<LocalGateway::Send> LocalGateway::checkSend(const QString &accountNo,
                                                          const QString &phoneNo,
                                                          const QString &text,
                                                          const std::optional<QString> &sendTime)
{
    Send send;
    send.accountNo = accountNo;
    send.text = text;
    if (!InputRules::isAccountNumber(accountNo) || !InputRules::isMessageText(text)
        || !InputRules::splitRecipients(phoneNo, send.phones))
        return std::nullopt;
    send.now = nowMs();
    send.due = send.now;
    if (sendTime) {
        const QDateTime parsed = SendTime::parse(*sendTime);
        // The window is a year of the user's calendar.
        if (!SendTime::withinWindow(parsed, m_clock().toLocalTime()))
            return std::nullopt;
        send.due = parsed.toMSecsSinceEpoch();
    }
    send.state = send.due > send.now ? u"scheduled"_s : u"delivered"_s;
    send.segments = SegmentCounter::segments(text);
    send.cost = send.segments * FenPerSegment * send.phones.size();
    return send;
}

Result<bool> LocalGateway::submit(const QString &accountNo, const QString &phoneNo,
                                  const QString &text, const std::optional<QString> &sendTime)
{
    const std::optional<Send> send = checkSend(accountNo, phoneNo, text, sendTime);
    if (!send)
        return false;
    QUILLET_TRY_VALUE(const Decision decision, m_store->transaction([&]() -> Result<Decision> {
        QSqlQuery *q = nullptr;
        QUILLET_TRY(m_store->step(q,
                                  u"SELECT id, balance FROM accounts "
                                  u"WHERE number = ? AND signed_on = 1"_s
                                      + m_store->lockRows(),
                                  { send->accountNo }));
        if (!q->next())
            return Decision::RollBack;
        const qint64 accountId = q->value(0).toLongLong();
        if (q->value(1).toLongLong() < send->cost)
            return Decision::RollBack;
        q->finish();
        for (const QString &phone : std::as_const(send->phones))
            QUILLET_TRY(insertMessage(accountId, phone, send->text, send->segments,
                                      send->segments * FenPerSegment, u"send"_s, send->due,
                                      send->state, QVariant()));
        return Decision::Commit;
    }));
    return committed(decision);
}

// The same send as one statement of the store's engine (Store::sendAtOnce), which
// delivers what is due besides.
Result<bool> LocalGateway::submitAtOnce(const Send &send)
{
    QUILLET_TRY_VALUE(const std::vector<RiddenSend> ridden,
                      sendsRiding(QJsonArray { inputOf(send) }, SendRider()));
    return !ridden.empty() && ridden.front().sent;
}

QJsonObject LocalGateway::inputOf(const Send &send)
{
    const auto time = &Store::timeText;
    const QJsonValue delivered
        = send.state == u"delivered"_s ? QJsonValue(time(send.due)) : QJsonValue();
    return QJsonObject { { "account"_L1, send.accountNo },
                         { "needs"_L1, double(send.cost) },
                         { "text"_L1, send.text },
                         { "segments"_L1, send.segments },
                         { "cost"_L1, double(send.segments * FenPerSegment) },
                         { "submitted"_L1, time(send.now) },
                         { "due"_L1, time(send.due) },
                         { "state"_L1, send.state },
                         { "delivered"_L1, delivered },
                         { "phones"_L1, send.phones.join(u',') } };
}

std::optional<QJsonObject> LocalGateway::sendInput(const QString &accountNo, const QString &phoneNo,
                                                   const QString &text,
                                                   const std::optional<QString> &sendTime)
{
    if (!m_sendsAtOnce)
        return std::nullopt;
    const std::optional<Send> send = checkSend(accountNo, phoneNo, text, sendTime);
    if (!send)
        return std::nullopt;
    return inputOf(*send);
}

Result<std::vector<LocalGateway::RiddenSend>> LocalGateway::sendsRiding(QJsonArray sends,
                                                                        const SendRider &rider)
{
    std::vector<qsizetype> recipients;
    recipients.reserve(size_t(sends.size()));
    for (qsizetype n = 0; n < sends.size(); ++n) {
        QJsonObject send = sends.at(n).toObject();
        QUILLET_TRY(m_store->checkValues(send.toVariantMap().values()));
        send.insert("n"_L1, double(n));
        recipients.push_back(send.value("phones"_L1).toString().count(u',') + 1);
        sends.replace(n, send);
    }
    QSqlQuery *q = nullptr;
    QUILLET_TRY(
        m_store->step(q, m_store->sendAtOnce(rider),
                      { QString::fromUtf8(QJsonDocument(sends).toJson(QJsonDocument::Compact)) }));
    std::vector<RiddenSend> ridden(recipients.size());
    while (q->next()) {
        const qsizetype n = q->value(0).toLongLong();
        if (n < 0 || n >= qsizetype(ridden.size()))
            continue;
        ridden[size_t(n)].sent = q->value(1).toLongLong() == recipients[size_t(n)];
        for (int i = 3; i < q->record().count(); ++i)
            ridden[size_t(n)].columns.append(q->value(i));
    }
    q->finish();
    m_queuedAny = m_queuedAny || m_queued;
    notifyQueued();
    return ridden;
}

// ---- receiving -----------------------------------------------------------------------

Status LocalGateway::ReceiveMessages(const QString &accountNo, Variant &total, Variant &current,
                                     Variant &messages, Bool16 &outcome)
{
    return answer(outcome,
                  [&] { return receiveBatch(accountNo, std::nullopt, total, current, messages); });
}

Status LocalGateway::ReceiveMessagesNet(const QString &accountNo, Variant &total, Variant &current,
                                        Variant &messages, const QString &extension,
                                        Bool16 &outcome)
{
    return answer(outcome, [&]() -> Result<bool> {
        if (extension.isEmpty())
            return receiveBatch(accountNo, std::nullopt, total, current, messages);
        if (!InputRules::isExtension(extension))
            return false;
        return receiveBatch(accountNo, extension, total, current, messages);
    });
}

// The count of waiting messages and the oldest batch of them, which are marked fetched
// in the same transaction. The three slots are written only when that commits. The
// commit does not wait for the disk: a power cut can only make the newest batches
// waiting again, to be received once more, and draining a backlog is not held to one
// disk flush per batch.
Result<bool> LocalGateway::receiveBatch(const QString &accountNo,
                                        const std::optional<QString> &extension, Variant &total,
                                        Variant &current, Variant &messages)
{
    if (!InputRules::isAccountNumber(accountNo))
        return false;
    qint64 waiting = 0;
    TextTable table;
    const Store::Work work = [&]() -> Result<Decision> {
        QUILLET_TRY(m_store->lockAccount(u"number"_s, accountNo));
        QUILLET_TRY_VALUE(const std::optional<Account> account, findSignedOn(accountNo));
        if (!account)
            return Decision::RollBack;
        QUILLET_TRY_VALUE(waiting, countWaiting(*account, extension));
        QUILLET_TRY_VALUE(const std::optional<TextTable> batch, takeOldest(*account, extension));
        if (!batch)
            return Decision::RollBack;
        table = *batch;
        return Decision::Commit;
    };
    QUILLET_TRY_VALUE(const Decision decision, m_store->transaction(work, Store::Flush::Later));
    if (!committed(decision))
        return false;
    total = Variant(QString::number(waiting));
    current = Variant(QString::number(table.rows()));
    messages = Variant(std::move(table));
    return true;
}

// The counters kept with every arrival and fetch; nothing here grows with the backlog.
Result<qint64> LocalGateway::countWaiting(const Account &account,
                                          const std::optional<QString> &extension)
{
    if (!extension)
        return account.waiting;
    QSqlQuery *q = nullptr;
    QUILLET_TRY(m_store->step(
        q, u"SELECT waiting FROM waiting_counts WHERE account_id = ? AND extension = ?"_s,
        { account.id, *extension }));
    return q->next() ? q->value(0).toLongLong() : 0;
}

Result<std::optional<TextTable>> LocalGateway::takeOldest(const Account &account,
                                                          const std::optional<QString> &extension)
{
    QSqlQuery *q = nullptr;
    if (extension)
        QUILLET_TRY(m_store->step(q,
                                  u"SELECT id, extension, sender, text, sent_at FROM mo "
                                  u"WHERE account_id = ? AND state = 'waiting' AND extension = ? "
                                  u"ORDER BY sent_at, id LIMIT ?"_s,
                                  { account.id, *extension, ReceiveBatch }));
    else
        QUILLET_TRY(m_store->step(q,
                                  u"SELECT id, extension, sender, text, sent_at FROM mo "
                                  u"WHERE account_id = ? AND state = 'waiting' "
                                  u"ORDER BY sent_at, id LIMIT ?"_s,
                                  { account.id, ReceiveBatch }));
    QList<qint64> ids;
    QList<QStringList> rows;
    while (q->next()) {
        ids.append(q->value(0).toLongLong());
        rows.append({ account.serviceNumber + q->value(1).toString(), q->value(2).toString(),
                      q->value(3).toString(), receiveTime(Store::msSinceEpoch(q->value(4))) });
    }
    q->finish();

    // One statement marks the whole batch: each statement that fires triggers pays for
    // a statement journal of the pages it touches, and the batch shares its pages.
    if (!ids.isEmpty()) {
        QVariantList values = { m_store->time(nowMs()) };
        for (qint64 id : std::as_const(ids))
            values.append(id);
        QUILLET_TRY(m_store->step(q,
                                  u"UPDATE mo SET state = 'fetched', fetched_at = ? "
                                  u"WHERE state = 'waiting' AND id IN (?"_s
                                      + u", ?"_s.repeated(ids.size() - 1) + u')',
                                  values));
        if (q->numRowsAffected() != ids.size())
            return std::optional<TextTable>(); // cannot happen under the write lock
    }
    TextTable table(rows.size(), 4);
    for (qsizetype r = 0; r < rows.size(); ++r) {
        for (qsizetype c = 0; c < 4; ++c)
            table.set(r, c, rows.at(r).at(c));
    }
    return std::optional<TextTable>(std::move(table));
}

// ---- forwarding and automatic reply ---------------------------------------------------

Status LocalGateway::SetForwarding(const QString &accountNo, const QString &phoneNo,
                                   Bool16 &outcome)
{
    return answer(outcome, [&]() -> Result<bool> {
        const QString phone = phoneNo.trimmed();
        if (!InputRules::isPhone(phone))
            return false;
        return changeAccount(
            accountNo,
            u"UPDATE accounts SET forwarding_phone = ? WHERE number = ? AND signed_on = 1"_s,
            { phone });
    });
}

Status LocalGateway::CancelForwarding(const QString &accountNo, Bool16 &outcome)
{
    return answer(outcome, [&] {
        return changeAccount(accountNo,
                             u"UPDATE accounts SET forwarding_phone = NULL WHERE number = ? "
                             u"AND signed_on = 1 AND forwarding_phone IS NOT NULL"_s);
    });
}

Status LocalGateway::GetForwarding(const QString &accountNo, QString &phoneNo)
{
    return answer(phoneNo, [&]() -> Result<QString> {
        QUILLET_TRY_VALUE(const std::optional<Account> account, findSignedOn(accountNo));
        return account ? account->forwardingPhone : QString();
    });
}

Status LocalGateway::SetAutoReply(const QString &accountNo, const QString &reply, Bool16 &outcome)
{
    return answer(outcome, [&]() -> Result<bool> {
        if (!InputRules::isMessageText(reply))
            return false;
        return changeAccount(
            accountNo, u"UPDATE accounts SET auto_reply = ? WHERE number = ? AND signed_on = 1"_s,
            { reply });
    });
}

Status LocalGateway::CancelAutoReply(const QString &accountNo, Bool16 &outcome)
{
    return answer(outcome, [&] {
        return changeAccount(accountNo,
                             u"UPDATE accounts SET auto_reply = NULL WHERE number = ? "
                             u"AND signed_on = 1 AND auto_reply IS NOT NULL"_s);
    });
}

Status LocalGateway::GetAutoReply(const QString &accountNo, QString &reply)
{
    return answer(reply, [&]() -> Result<QString> {
        QUILLET_TRY_VALUE(const std::optional<Account> account, findSignedOn(accountNo));
        return account ? account->autoReply : QString();
    });
}

Result<LocalGateway::Prepared::Cards> LocalGateway::makeCards(qint64 valueFen, int count) const
{
    Prepared::Cards made { valueFen, {}, {} };
    for (int i = 0; i < count; ++i) {
        IssuedCard card;
        card.password = PasswordHasher::randomDigits(CardPasswordDigits);
        card.valueFen = valueFen;
        QString hash;
        if (card.password.size() != CardPasswordDigits)
            return Status::failure(Store::Unavailable, LocalTexts::randomFailed());
        if (!m_hasher.hash(card.password, hash))
            return hashingFailed();
        made.cards.append(card);
        made.hashes.append(hash);
    }
    return made;
}

// ---- work made ahead -------------------------------------------------------------------

bool LocalGateway::hashPassword(const QString &password, QString &hash)
{
    if (m_prepared.hashed && m_prepared.hashed->password == password) {
        hash = std::exchange(m_prepared.hashed, std::nullopt)->hash;
        return true;
    }
    return m_hasher.hash(password, hash);
}

bool LocalGateway::verifyPassword(const QString &hash, const QString &password)
{
    if (m_prepared.verdict && m_prepared.verdict->hash == hash
        && m_prepared.verdict->password == password)
        return std::exchange(m_prepared.verdict, std::nullopt)->verified;
    return PasswordHasher::verify(hash, password);
}

// A known account's password is checked against its hash as it is now; should the hash
// change before the call, the call checks again. An unknown account's password is
// hashed for its opening.
void LocalGateway::prepareSignOn(const QString &accountNo, const QString &password)
{
    if (!InputRules::isAccountNumber(accountNo) || password.isEmpty()
        || password.size() > InputRules::MaxPasswordLength)
        return;
    const Result<std::optional<Account>> found = findAccount(accountNo);
    if (found.failed())
        return;
    if (*found) {
        const QString &hash = (*found)->passwordHash;
        m_prepared.verdict
            = Prepared::Verdict { hash, password, PasswordHasher::verify(hash, password) };
        return;
    }
    prepareNewPassword(password);
}

void LocalGateway::prepareNewPassword(const QString &password)
{
    QString hash;
    if (isNewPassword(password) && m_hasher.hash(password, hash))
        m_prepared.hashed = Prepared::Hashed { password, hash };
}

void LocalGateway::prepareCardCheck(const QString &cardNo, const QString &cardPassword)
{
    if (!cardFieldsPlausible(cardNo, cardPassword))
        return;
    QSqlQuery *q = nullptr;
    if (m_store
            ->step(q, u"SELECT password_hash FROM cards WHERE number = ? AND spent_by IS NULL"_s,
                   { cardNo })
            .failed())
        return;
    const QString hash = q->next() ? q->value(0).toString() : QString();
    q->finish();
    if (!hash.isEmpty())
        m_prepared.verdict
            = Prepared::Verdict { hash, cardPassword, PasswordHasher::verify(hash, cardPassword) };
}

Status LocalGateway::prepareCards(qint64 valueFen, int count)
{
    if (valueFen <= 0 || valueFen > MaxCardValueFen || count < 1 || count > MaxCardsPerIssue)
        return Status::ok();
    QUILLET_TRY_VALUE(m_prepared.cards, makeCards(valueFen, count));
    return Status::ok();
}

void LocalGateway::forgetPrepared()
{
    m_prepared = Prepared();
}
