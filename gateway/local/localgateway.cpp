#include "localgateway.h"

#include "inputrules.h"
#include "localtexts.h"
#include "segmentcounter.h"
#include "sendtime.h"

#include <QRegularExpression>
#include <QSqlQuery>

using namespace Qt::StringLiterals;

namespace {

const QString ServiceNumberPrefix = u"10690"_s;
const QString ReceiveTimeFormat = u"yyyy-MM-dd HH:mm:ss"_s;
constexpr int ServiceNumberDigits = 7;

Bool16 toBool16(bool done)
{
    return done ? True16 : False16;
}

QString textOrEmpty(const QVariant &value)
{
    return value.isNull() ? QString() : value.toString();
}

Status hashingFailed()
{
    return Status::failure(Store::Unavailable, LocalTexts::hashingFailed());
}

bool particularsAcceptable(const RegisterParticulars &p)
{
    const QString *fields[]
        = { &p.province, &p.city,  &p.trade, &p.company, &p.contactName, &p.telephone,
            &p.mobile,   &p.email, &p.fax,   &p.address, &p.postcode };
    return std::all_of(std::begin(fields), std::end(fields), [](const QString *field) {
        return field->size() <= InputRules::MaxParticularLength && InputRules::isWellFormed(*field);
    });
}

bool isNewPassword(const QString &password)
{
    return !password.isEmpty() && password.size() <= InputRules::MaxPasswordLength
        && InputRules::isWellFormed(password);
}

} // namespace

LocalGateway::LocalGateway(std::unique_ptr<Store> store, Options options)
    : m_store(std::move(store))
    , m_clock(options.clock ? std::move(options.clock) : Clock(&QDateTime::currentDateTime))
    , m_hasher(options.hashCost)
{
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
    return m_store->transaction([&](bool &keep) -> Status {
        QSqlQuery *update = nullptr;
        QUILLET_TRY(m_store->step(update,
                                  u"UPDATE mt SET state = 'delivered', delivered_at = due_at "
                                  u"WHERE state = 'scheduled' AND due_at <= ?"_s,
                                  { m_store->time(now) }));
        keep = true;
        return Status::ok();
    });
}

Status LocalGateway::findAccount(const QString &accountNo, std::optional<Account> &account)
{
    account.reset();
    if (!InputRules::isAccountNumber(accountNo))
        return Status::ok();
    QSqlQuery q = m_store->query();
    QUILLET_TRY(m_store->run(q,
                             u"SELECT id, password_hash, service_number, balance, signed_on, "
                             u"forwarding_phone, auto_reply FROM accounts WHERE number = ?"_s,
                             { accountNo }));
    if (!q.next())
        return Status::ok();
    Account found;
    found.id = q.value(0).toLongLong();
    found.passwordHash = q.value(1).toString();
    found.serviceNumber = q.value(2).toString();
    found.balance = q.value(3).toLongLong();
    found.signedOn = q.value(4).toLongLong() == 1;
    found.forwardingPhone = textOrEmpty(q.value(5));
    found.autoReply = textOrEmpty(q.value(6));
    account = std::move(found);
    return Status::ok();
}

Status LocalGateway::findSignedOn(const QString &accountNo, std::optional<Account> &account)
{
    QUILLET_TRY(findAccount(accountNo, account));
    if (account && !account->signedOn)
        account.reset();
    return Status::ok();
}

// ---- accounts ----------------------------------------------------------------------

Status LocalGateway::Register(const RegisterParticulars &particulars, Bool16 &outcome)
{
    QUILLET_TRY(deliverDue());
    bool done = false;
    QUILLET_TRY(registerAccount(particulars, done));
    outcome = toBool16(done);
    return Status::ok();
}

Status LocalGateway::registerAccount(const RegisterParticulars &p, bool &done)
{
    if (!InputRules::isAccountNumber(p.accountNo) || p.password.isEmpty()
        || !particularsAcceptable(p))
        return Status::ok();
    const QVariantList particulars
        = { p.province, p.city,  p.trade, p.company, p.contactName, p.telephone,
            p.mobile,   p.email, p.fax,   p.address, p.postcode };
    // Two attempts: a first registration that loses a race with another process's
    // registration of the same number signs on as a known account instead.
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::optional<Account> existing;
        QUILLET_TRY(findAccount(p.accountNo, existing));
        if (existing) {
            if (p.password.size() > InputRules::MaxPasswordLength
                || !PasswordHasher::verify(existing->passwordHash, p.password))
                return Status::ok();
            return m_store->transaction([&](bool &keep) -> Status {
                QSqlQuery q = m_store->query();
                QVariantList values = particulars;
                values << existing->id << existing->passwordHash;
                QUILLET_TRY(m_store->run(
                    q,
                    u"UPDATE accounts SET province = ?, city = ?, trade = ?, company = ?, "
                    u"contact_name = ?, telephone = ?, mobile = ?, email = ?, fax = ?, "
                    u"address = ?, postcode = ?, signed_on = 1 "
                    u"WHERE id = ? AND password_hash = ?"_s,
                    values));
                keep = done = q.numRowsAffected() == 1;
                return Status::ok();
            });
        }
        if (!isNewPassword(p.password))
            return Status::ok();
        QString hash;
        if (!m_hasher.hash(p.password, hash))
            return hashingFailed();
        bool raced = false;
        Status written = m_store->transaction([&](bool &keep) -> Status {
            QUILLET_TRY(m_store->lockRegistrations());
            QSqlQuery q = m_store->query();
            QUILLET_TRY(
                m_store->run(q, u"SELECT 1 FROM accounts WHERE number = ?"_s, { p.accountNo }));
            if (q.next()) {
                raced = true;
                return Status::ok();
            }
            QUILLET_TRY(m_store->run(q, u"SELECT COALESCE(MAX(id), 0) + 1 FROM accounts"_s));
            const qint64 id = q.next() ? q.value(0).toLongLong() : 1;
            q.finish();
            const QString serviceNumber = ServiceNumberPrefix
                + QString::number(id).rightJustified(ServiceNumberDigits, u'0');
            QVariantList values = { id, p.accountNo, hash };
            values << particulars << serviceNumber << m_store->time(nowMs());
            QUILLET_TRY(m_store->run(
                q,
                u"INSERT INTO accounts (id, number, password_hash, province, city, trade, "
                u"company, contact_name, telephone, mobile, email, fax, address, postcode, "
                u"service_number, balance, signed_on, created_at) "
                u"VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0, 1, ?)"_s,
                values));
            keep = done = true;
            return Status::ok();
        });
        if (written.failed())
            return written;
        if (!raced)
            return Status::ok();
    }
    return Status::ok();
}

Status LocalGateway::updateSignedOn(const QString &accountNo, const QString &sql,
                                    const QVariantList &values, bool &done)
{
    if (!InputRules::isAccountNumber(accountNo))
        return Status::ok();
    return m_store->transaction([&](bool &keep) -> Status {
        QSqlQuery q = m_store->query();
        QVariantList bound = values;
        bound << accountNo;
        QUILLET_TRY(m_store->run(q, sql, bound));
        keep = done = q.numRowsAffected() == 1;
        return Status::ok();
    });
}

Status LocalGateway::Deregister(const QString &accountNo, Bool16 &outcome)
{
    QUILLET_TRY(deliverDue());
    bool done = false;
    QUILLET_TRY(updateSignedOn(
        accountNo, u"UPDATE accounts SET signed_on = 0 WHERE number = ? AND signed_on = 1"_s, {},
        done));
    outcome = toBool16(done);
    return Status::ok();
}

Status LocalGateway::ChangePassword(const QString &accountNo, const QString &newPassword,
                                    Bool16 &outcome)
{
    QUILLET_TRY(deliverDue());
    bool done = false;
    std::optional<Account> account;
    QUILLET_TRY(findSignedOn(accountNo, account));
    if (account && isNewPassword(newPassword)) {
        QString hash;
        if (!m_hasher.hash(newPassword, hash))
            return hashingFailed();
        QUILLET_TRY(updateSignedOn(
            accountNo,
            u"UPDATE accounts SET password_hash = ? WHERE number = ? AND signed_on = 1"_s, { hash },
            done));
    }
    outcome = toBool16(done);
    return Status::ok();
}

Status LocalGateway::QueryBalance(const QString &accountNo, QString &balance)
{
    QUILLET_TRY(deliverDue());
    std::optional<Account> account;
    QUILLET_TRY(findSignedOn(accountNo, account));
    balance = account ? formatYuan(account->balance) : QString();
    return Status::ok();
}

// ---- recharge ------------------------------------------------------------------------

Status LocalGateway::Recharge(const QString &accountNo, const QString &cardNo,
                              const QString &cardPassword, Bool16 &outcome)
{
    QUILLET_TRY(deliverDue());
    bool done = false;
    QUILLET_TRY(recharge(accountNo, cardNo, cardPassword, done));
    outcome = toBool16(done);
    return Status::ok();
}

Status LocalGateway::recordRechargeFailure(qint64 accountId)
{
    return m_store->transaction([&](bool &keep) -> Status {
        QSqlQuery q = m_store->query();
        QUILLET_TRY(m_store->run(q,
                                 u"INSERT INTO recharge_failures (account_id, at) VALUES (?, ?)"_s,
                                 { accountId, m_store->time(nowMs()) }));
        keep = true;
        return Status::ok();
    });
}

Status LocalGateway::recharge(const QString &accountNo, const QString &cardNo,
                              const QString &cardPassword, bool &done)
{
    std::optional<Account> account;
    QUILLET_TRY(findSignedOn(accountNo, account));
    if (!account)
        return Status::ok();

    const qint64 now = nowMs();
    const qint64 windowStart = now - RechargeWindowSeconds * 1000;
    {
        QSqlQuery q = m_store->query();
        QUILLET_TRY(m_store->run(
            q, u"SELECT count(*) FROM recharge_failures WHERE account_id = ? AND at > ?"_s,
            { account->id, m_store->time(windowStart) }));
        if (q.next() && q.value(0).toLongLong() >= RechargeFailureLimit)
            return Status::ok(); // locked out: not even looked at, and not counted
    }

    // The card is checked outside the write lock (the slow hash would hold it up for
    // everyone); the conditional update below decides who spends it.
    qint64 cardId = 0;
    qint64 value = 0;
    bool usable = false;
    if (!cardNo.isEmpty() && cardNo.size() <= InputRules::MaxCardFieldLength
        && cardPassword.size() <= InputRules::MaxCardFieldLength) {
        QSqlQuery q = m_store->query();
        QUILLET_TRY(m_store->run(
            q,
            u"SELECT id, password_hash, value FROM cards WHERE number = ? AND spent_by IS NULL"_s,
            { cardNo }));
        if (q.next()) {
            cardId = q.value(0).toLongLong();
            value = q.value(2).toLongLong();
            usable = PasswordHasher::verify(q.value(1).toString(), cardPassword);
        }
    }
    if (!usable)
        return recordRechargeFailure(account->id);
    if (account->balance + value > MaxBalanceFen)
        return Status::ok(); // the card stays unspent

    bool spent = false;
    Status written = m_store->transaction([&](bool &keep) -> Status {
        QSqlQuery q = m_store->query();
        QUILLET_TRY(m_store->run(q,
                                 u"SELECT balance FROM accounts WHERE id = ? AND signed_on = 1"_s
                                     + m_store->lockRow(),
                                 { account->id }));
        if (!q.next() || q.value(0).toLongLong() + value > MaxBalanceFen)
            return Status::ok();
        q.finish();
        QUILLET_TRY(m_store->run(q,
                                 u"UPDATE cards SET spent_by = ?, spent_at = ? "
                                 u"WHERE id = ? AND spent_by IS NULL"_s,
                                 { account->id, m_store->time(now), cardId }));
        if (q.numRowsAffected() != 1) {
            spent = true; // another attempt spent it first
            return Status::ok();
        }
        QUILLET_TRY(
            m_store->run(q,
                         u"INSERT INTO ledger (account_id, amount, reason, reference, at) "
                         u"VALUES (?, ?, 'recharge', ?, ?)"_s,
                         { account->id, value, QString(u"card:"_s + cardNo), m_store->time(now) }));
        keep = done = true;
        return Status::ok();
    });
    if (written.failed())
        return written;
    if (spent)
        return recordRechargeFailure(account->id);
    return Status::ok();
}

// ---- sending -------------------------------------------------------------------------

Status LocalGateway::SendMessage(const QString &accountNo, const QString &phoneNo,
                                 const QString &text, Bool16 &outcome)
{
    QUILLET_TRY(deliverDue());
    bool done = false;
    QUILLET_TRY(send(accountNo, phoneNo, text, std::nullopt, done));
    outcome = toBool16(done);
    return Status::ok();
}

Status LocalGateway::SendScheduledMessage(const QString &accountNo, const QString &phoneNo,
                                          const QString &text, const QString &sendTime,
                                          Bool16 &outcome)
{
    QUILLET_TRY(deliverDue());
    bool done = false;
    QUILLET_TRY(send(accountNo, phoneNo, text, sendTime, done));
    outcome = toBool16(done);
    return Status::ok();
}

Status LocalGateway::insertMessage(qint64 accountId, const QString &phone, const QString &text,
                                   int segments, qint64 cost, const QString &origin, qint64 dueMs,
                                   const QString &state, const QVariant &reason)
{
    const qint64 now = nowMs();
    const QVariant deliveredAt = state == u"delivered"_s ? m_store->time(dueMs) : QVariant();
    QSqlQuery *q = nullptr;
    QUILLET_TRY(m_store->step(q,
                              u"INSERT INTO mt (account_id, phone, text, segments, cost, origin, "
                              u"submitted_at, due_at, state, reason, delivered_at) "
                              u"VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"_s,
                              { accountId, phone, text, segments, cost, origin, m_store->time(now),
                                m_store->time(dueMs), state, reason, deliveredAt }));
    if (cost == 0)
        return Status::ok();
    const qint64 messageId = q->lastInsertId().toLongLong();
    QUILLET_TRY(m_store->step(
        q,
        u"INSERT INTO ledger (account_id, amount, reason, reference, at) "
        u"VALUES (?, ?, 'send', ?, ?)"_s,
        { accountId, -cost, QString(u"mt:"_s + QString::number(messageId)), m_store->time(now) }));
    return Status::ok();
}

Status LocalGateway::send(const QString &accountNo, const QString &phoneNo, const QString &text,
                          const std::optional<QString> &sendTime, bool &done)
{
    QStringList phones;
    if (!InputRules::isAccountNumber(accountNo) || !InputRules::isMessageText(text)
        || !InputRules::splitRecipients(phoneNo, phones))
        return Status::ok();
    const qint64 now = nowMs();
    qint64 due = now;
    if (sendTime) {
        const QDateTime parsed = SendTime::parse(*sendTime);
        if (!SendTime::withinWindow(parsed, m_clock()))
            return Status::ok();
        due = parsed.toMSecsSinceEpoch();
    }
    const QString state = due > now ? u"scheduled"_s : u"delivered"_s;
    const int segments = SegmentCounter::segments(text);
    const qint64 each = segments * FenPerSegment;
    const qint64 cost = each * phones.size();

    return m_store->transaction([&](bool &keep) -> Status {
        QSqlQuery *q = nullptr;
        QUILLET_TRY(
            m_store->step(q,
                          u"SELECT id, balance FROM accounts WHERE number = ? AND signed_on = 1"_s
                              + m_store->lockRow(),
                          { accountNo }));
        if (!q->next())
            return Status::ok();
        const qint64 accountId = q->value(0).toLongLong();
        const qint64 balance = q->value(1).toLongLong();
        q->finish();
        if (balance < cost)
            return Status::ok();
        for (const QString &phone : std::as_const(phones))
            QUILLET_TRY(insertMessage(accountId, phone, text, segments, each, u"send"_s, due, state,
                                      QVariant()));
        keep = done = true;
        return Status::ok();
    });
}

Status LocalGateway::sendOnBehalf(qint64 accountId, qint64 &balance, const QString &phone,
                                  const QString &text, const QString &origin, ReplyState &state)
{
    const qint64 now = nowMs();
    if (!InputRules::isMessageText(text)) {
        state = ReplyState::NotSentTooLong;
        return insertMessage(accountId, phone, text, 1, 0, origin, now, u"not_sent"_s,
                             u"too_long"_s);
    }
    const int segments = SegmentCounter::segments(text);
    const qint64 cost = segments * FenPerSegment;
    if (balance < cost) {
        state = ReplyState::NotSentBalance;
        return insertMessage(accountId, phone, text, segments, 0, origin, now, u"not_sent"_s,
                             u"insufficient_balance"_s);
    }
    state = ReplyState::Delivered;
    balance -= cost;
    return insertMessage(accountId, phone, text, segments, cost, origin, now, u"delivered"_s,
                         QVariant());
}

// ---- receiving -----------------------------------------------------------------------

Status LocalGateway::ReceiveMessages(const QString &accountNo, Variant &total, Variant &current,
                                     Variant &messages, Bool16 &outcome)
{
    QUILLET_TRY(deliverDue());
    return receive(accountNo, std::nullopt, total, current, messages, outcome);
}

Status LocalGateway::ReceiveMessagesNet(const QString &accountNo, Variant &total, Variant &current,
                                        Variant &messages, const QString &extension,
                                        Bool16 &outcome)
{
    QUILLET_TRY(deliverDue());
    if (extension.isEmpty())
        return receive(accountNo, std::nullopt, total, current, messages, outcome);
    if (!InputRules::isExtension(extension)) {
        outcome = False16;
        return Status::ok();
    }
    return receive(accountNo, extension, total, current, messages, outcome);
}

Status LocalGateway::receive(const QString &accountNo, const std::optional<QString> &extension,
                             Variant &total, Variant &current, Variant &messages, Bool16 &outcome)
{
    bool done = false;
    qint64 waiting = 0;
    TextTable table;
    if (InputRules::isAccountNumber(accountNo)) {
        Status written = m_store->transaction([&](bool &keep) -> Status {
            QSqlQuery q = m_store->query();
            QUILLET_TRY(m_store->run(
                q,
                u"SELECT id, service_number FROM accounts WHERE number = ? AND signed_on = 1"_s
                    + m_store->lockRow(),
                { accountNo }));
            if (!q.next())
                return Status::ok();
            const qint64 accountId = q.value(0).toLongLong();
            const QString serviceNumber = q.value(1).toString();
            q.finish();

            const QString filter = extension ? u" AND extension = ?"_s : QString();
            QVariantList values = { accountId };
            if (extension)
                values << *extension;
            QUILLET_TRY(m_store->run(
                q, u"SELECT count(*) FROM mo WHERE account_id = ? AND state = 'waiting'"_s + filter,
                values));
            waiting = q.next() ? q.value(0).toLongLong() : 0;
            q.finish();

            QUILLET_TRY(m_store->run(q,
                                     u"SELECT id, extension, sender, text, sent_at FROM mo "
                                     u"WHERE account_id = ? AND state = 'waiting'"_s
                                         + filter + u" ORDER BY sent_at, id LIMIT ?"_s,
                                     values << ReceiveBatch));
            QList<qint64> ids;
            QList<QStringList> rows;
            while (q.next()) {
                ids.append(q.value(0).toLongLong());
                rows.append({ serviceNumber + q.value(1).toString(), q.value(2).toString(),
                              q.value(3).toString(),
                              QDateTime::fromMSecsSinceEpoch(Store::msSinceEpoch(q.value(4)))
                                  .toString(ReceiveTimeFormat) });
            }
            q.finish();

            const qint64 fetchedAt = nowMs();
            for (qint64 id : std::as_const(ids)) {
                QUILLET_TRY(m_store->run(q,
                                         u"UPDATE mo SET state = 'fetched', fetched_at = ? "
                                         u"WHERE id = ? AND state = 'waiting'"_s,
                                         { m_store->time(fetchedAt), id }));
                if (q.numRowsAffected() != 1)
                    return Status::ok(); // cannot happen under the write lock; change nothing
            }
            table = TextTable(rows.size(), 4);
            for (qsizetype r = 0; r < rows.size(); ++r) {
                for (qsizetype c = 0; c < 4; ++c)
                    table.set(r, c, rows.at(r).at(c));
            }
            keep = done = true;
            return Status::ok();
        });
        if (written.failed())
            return written;
    }
    if (done) {
        total = Variant(QString::number(waiting));
        current = Variant(QString::number(table.rows()));
        messages = Variant(std::move(table));
    }
    outcome = toBool16(done);
    return Status::ok();
}

// ---- forwarding and automatic reply ---------------------------------------------------

Status LocalGateway::SetForwarding(const QString &accountNo, const QString &phoneNo,
                                   Bool16 &outcome)
{
    QUILLET_TRY(deliverDue());
    bool done = false;
    const QString phone = phoneNo.trimmed();
    if (InputRules::isPhone(phone))
        QUILLET_TRY(updateSignedOn(
            accountNo,
            u"UPDATE accounts SET forwarding_phone = ? WHERE number = ? AND signed_on = 1"_s,
            { phone }, done));
    outcome = toBool16(done);
    return Status::ok();
}

Status LocalGateway::CancelForwarding(const QString &accountNo, Bool16 &outcome)
{
    QUILLET_TRY(deliverDue());
    bool done = false;
    QUILLET_TRY(updateSignedOn(accountNo,
                               u"UPDATE accounts SET forwarding_phone = NULL WHERE number = ? "
                               u"AND signed_on = 1 AND forwarding_phone IS NOT NULL"_s,
                               {}, done));
    outcome = toBool16(done);
    return Status::ok();
}

Status LocalGateway::GetForwarding(const QString &accountNo, QString &phoneNo)
{
    QUILLET_TRY(deliverDue());
    std::optional<Account> account;
    QUILLET_TRY(findSignedOn(accountNo, account));
    phoneNo = account ? account->forwardingPhone : QString();
    return Status::ok();
}

Status LocalGateway::SetAutoReply(const QString &accountNo, const QString &reply, Bool16 &outcome)
{
    QUILLET_TRY(deliverDue());
    bool done = false;
    if (InputRules::isMessageText(reply))
        QUILLET_TRY(updateSignedOn(
            accountNo, u"UPDATE accounts SET auto_reply = ? WHERE number = ? AND signed_on = 1"_s,
            { reply }, done));
    outcome = toBool16(done);
    return Status::ok();
}

Status LocalGateway::CancelAutoReply(const QString &accountNo, Bool16 &outcome)
{
    QUILLET_TRY(deliverDue());
    bool done = false;
    QUILLET_TRY(updateSignedOn(accountNo,
                               u"UPDATE accounts SET auto_reply = NULL WHERE number = ? "
                               u"AND signed_on = 1 AND auto_reply IS NOT NULL"_s,
                               {}, done));
    outcome = toBool16(done);
    return Status::ok();
}

Status LocalGateway::GetAutoReply(const QString &accountNo, QString &reply)
{
    QUILLET_TRY(deliverDue());
    std::optional<Account> account;
    QUILLET_TRY(findSignedOn(accountNo, account));
    reply = account ? account->autoReply : QString();
    return Status::ok();
}

// ---- the operator's side ---------------------------------------------------------------

Status LocalGateway::issueCards(qint64 valueFen, int count, QList<IssuedCard> &cards)
{
    cards.clear();
    QUILLET_TRY(deliverDue());
    if (valueFen <= 0 || valueFen > MaxCardValueFen || count < 1 || count > MaxCardsPerIssue)
        return Status::ok();
    QList<IssuedCard> made;
    QStringList hashes;
    for (int i = 0; i < count; ++i) {
        IssuedCard card;
        card.password = PasswordHasher::randomDigits(CardPasswordDigits);
        card.valueFen = valueFen;
        QString hash;
        if (card.password.size() != CardPasswordDigits)
            return Status::failure(Store::Unavailable, LocalTexts::randomFailed());
        if (!m_hasher.hash(card.password, hash))
            return hashingFailed();
        made.append(card);
        hashes.append(hash);
    }
    Status written = m_store->transaction([&](bool &keep) -> Status {
        QSqlQuery q = m_store->query();
        const qint64 now = nowMs();
        for (qsizetype i = 0; i < made.size(); ++i) {
            // A fresh number until it is not taken; with 16 random digits a clash is
            // rare enough that a few tries always do.
            for (;;) {
                made[i].number = PasswordHasher::randomDigits(CardNumberDigits);
                if (made[i].number.size() != CardNumberDigits)
                    return Status::failure(Store::Unavailable, LocalTexts::randomFailed());
                QUILLET_TRY(
                    m_store->run(q, u"SELECT 1 FROM cards WHERE number = ?"_s, { made[i].number }));
                const bool taken = q.next();
                q.finish();
                if (!taken)
                    break;
            }
            QUILLET_TRY(
                m_store->run(q,
                             u"INSERT INTO cards (number, password_hash, value, issued_at) "
                             u"VALUES (?, ?, ?, ?)"_s,
                             { made[i].number, hashes.at(i), valueFen, m_store->time(now) }));
        }
        keep = true;
        return Status::ok();
    });
    if (written.failed())
        return written;
    cards = std::move(made);
    return Status::ok();
}

Status LocalGateway::receiveFromHandset(const QString &from, const QString &to,
                                        const QString &extension, const QString &text,
                                        MoReport &report)
{
    report = MoReport();
    QUILLET_TRY(deliverDue());
    if (!InputRules::isPhone(from)) {
        report.outcome = MoOutcome::BadSender;
        return Status::ok();
    }
    if (!extension.isEmpty() && !InputRules::isExtension(extension)) {
        report.outcome = MoOutcome::BadExtension;
        return Status::ok();
    }
    if (!InputRules::isMessageText(text)) {
        report.outcome = MoOutcome::BadText;
        return Status::ok();
    }
    report.outcome = MoOutcome::UnknownAccount;
    const bool byNumber = InputRules::isAccountNumber(to);
    if (!byNumber && !(to.size() <= 32 && InputRules::isPhone(to) && !to.startsWith(u'+')))
        return Status::ok();

    return m_store->transaction([&](bool &keep) -> Status {
        QSqlQuery q = m_store->query();
        QUILLET_TRY(m_store->run(q,
                                 u"SELECT id, number, service_number, balance, forwarding_phone, "
                                 u"auto_reply FROM accounts WHERE "_s
                                     + (byNumber ? u"number = ?"_s : u"service_number = ?"_s)
                                     + m_store->lockRow(),
                                 { to }));
        if (!q.next())
            return Status::ok();
        const qint64 accountId = q.value(0).toLongLong();
        report.accountNo = q.value(1).toString();
        report.serviceNumber = q.value(2).toString() + extension;
        qint64 balance = q.value(3).toLongLong();
        const QString forwardingPhone = textOrEmpty(q.value(4));
        const QString autoReply = textOrEmpty(q.value(5));
        q.finish();

        QUILLET_TRY(m_store->run(q,
                                 u"INSERT INTO mo (account_id, sender, extension, text, sent_at, "
                                 u"state) VALUES (?, ?, ?, ?, ?, 'waiting')"_s,
                                 { accountId, from, extension, text, m_store->time(nowMs()) }));
        if (!forwardingPhone.isEmpty()) {
            report.forwardingPhone = forwardingPhone;
            QUILLET_TRY(sendOnBehalf(accountId, balance, forwardingPhone,
                                     LocalTexts::forwardedText(from, text), u"forward"_s,
                                     report.forwarded));
        }
        if (!autoReply.isEmpty())
            QUILLET_TRY(sendOnBehalf(accountId, balance, from, autoReply, u"auto_reply"_s,
                                     report.autoReplied));
        report.outcome = MoOutcome::Arrived;
        keep = true;
        return Status::ok();
    });
}

Status LocalGateway::handsetMessages(const QString &phone, QList<HandsetMessage> &messages)
{
    messages.clear();
    QUILLET_TRY(deliverDue());
    QSqlQuery q = m_store->query();
    QUILLET_TRY(m_store->run(q,
                             u"SELECT a.service_number, m.text, m.delivered_at FROM mt m "
                             u"JOIN accounts a ON a.id = m.account_id "
                             u"WHERE m.phone = ? AND m.state = 'delivered' "
                             u"ORDER BY m.delivered_at, m.id"_s,
                             { phone }));
    while (q.next())
        messages.append({ q.value(0).toString(), q.value(1).toString(),
                          QDateTime::fromMSecsSinceEpoch(Store::msSinceEpoch(q.value(2))) });
    return Status::ok();
}

Status LocalGateway::accounts(QList<AccountSummary> &list)
{
    list.clear();
    QUILLET_TRY(deliverDue());
    QSqlQuery q = m_store->query();
    QUILLET_TRY(m_store->run(q,
                             u"SELECT number, service_number, mobile, balance, signed_on, "
                             u"forwarding_phone, auto_reply, "
                             u"(SELECT count(*) FROM mo WHERE mo.account_id = accounts.id "
                             u"AND mo.state = 'waiting') FROM accounts ORDER BY number"_s));
    while (q.next()) {
        AccountSummary summary;
        summary.number = q.value(0).toString();
        summary.serviceNumber = q.value(1).toString();
        summary.mobile = q.value(2).toString();
        summary.balanceFen = q.value(3).toLongLong();
        summary.signedOn = q.value(4).toLongLong() == 1;
        summary.forwardingPhone = textOrEmpty(q.value(5));
        summary.autoReply = textOrEmpty(q.value(6));
        summary.waiting = q.value(7).toLongLong();
        list.append(summary);
    }
    return Status::ok();
}
