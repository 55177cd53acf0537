#include "gateway/local/smppaccounts.h"

#include "gateway/local/localtexts.h"
#include "gateway/local/passwordhasher.h"
#include "gateway/local/store.h"

#include <QSqlQuery>

using namespace Qt::StringLiterals;

namespace {

using Decision = Store::Decision;

// Letters and digits a person copies without mistaking one for another.
constexpr QLatin1StringView PasswordAlphabet
    = "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnpqrstuvwxyz23456789"_L1;

} // namespace

SmppAccounts::SmppAccounts(LocalGateway &gateway)
    : m_gateway(gateway)
    , m_store(gateway.store())
{
}

bool SmppAccounts::isSystemId(const QString &systemId)
{
    if (systemId.isEmpty() || systemId.size() > MaxSystemId)
        return false;
    return std::all_of(systemId.cbegin(), systemId.cend(),
                       [](QChar c) { return c.unicode() > 0x20 && c.unicode() < 0x7F; });
}

QString SmppAccounts::defaultSystemId(const QString &accountNo)
{
    QString id = accountNo;
    id.remove(u'-');
    return id.left(MaxSystemId);
}

void SmppAccounts::prepare(LocalGateway &gateway)
{
    const QString password = PasswordHasher::randomText(PasswordLength, PasswordAlphabet);
    QString hash;
    if (password.size() == PasswordLength && gateway.m_hasher.hash(password, hash))
        gateway.m_prepared.smppPassword = LocalGateway::Prepared::Hashed { password, hash };
}

// The hash is made before the write lock is taken, so that nobody waits on it meanwhile.
Result<Operator::SmppCredentials> SmppAccounts::set(const QString &accountNo,
                                                    const QString &systemId)
{
    using Outcome = Operator::SmppCredentials::Outcome;
    Operator::SmppCredentials made;
    made.systemId = systemId.isEmpty() ? defaultSystemId(accountNo) : systemId;
    if (!isSystemId(made.systemId))
        return Status::failure(Store::InvalidArgument, LocalTexts::badSystemId(made.systemId));
    if (!m_gateway.m_prepared.smppPassword)
        prepare(m_gateway);
    const std::optional<LocalGateway::Prepared::Hashed> drawn
        = std::exchange(m_gateway.m_prepared.smppPassword, std::nullopt);
    if (!drawn)
        return Status::failure(Store::Unavailable, LocalTexts::randomFailed());
    const QString &password = drawn->password;
    const QString &hash = drawn->hash;
    const qint64 now = m_gateway.nowMs();
    QUILLET_TRY_VALUE(const Decision decision, m_store.transaction([&]() -> Result<Decision> {
        QSqlQuery *q = nullptr;
        QUILLET_TRY(m_store.step(q, u"SELECT id FROM accounts WHERE number = ?"_s, { accountNo }));
        if (!q->next()) {
            made.outcome = Outcome::NoAccount;
            return Decision::RollBack;
        }
        const qint64 account = q->value(0).toLongLong();
        q->finish();
        QUILLET_TRY(m_store.step(
            q, u"SELECT 1 FROM smpp_credentials WHERE system_id = ? AND account_id <> ?"_s,
            { made.systemId, account }));
        if (q->next()) {
            made.outcome = Outcome::SystemIdTaken;
            return Decision::RollBack;
        }
        q->finish();
        QUILLET_TRY(
            m_store.step(q, u"DELETE FROM smpp_credentials WHERE account_id = ?"_s, { account }));
        QUILLET_TRY(m_store.step(q, u"DELETE FROM smpp_binds WHERE account_id = ?"_s, { account }));
        QUILLET_TRY(m_store.step(q,
                                 u"INSERT INTO smpp_credentials (account_id, system_id, "
                                 u"password_hash, created_at) VALUES (?, ?, ?, ?)"_s,
                                 { account, made.systemId, hash, m_store.time(now) }));
        made.outcome = Outcome::Made;
        return Decision::Commit;
    }));
    (void)decision;
    if (made.outcome == Outcome::Made)
        made.password = password;
    return made;
}

Result<bool> SmppAccounts::revoke(const QString &accountNo)
{
    bool revoked = false;
    QUILLET_TRY_VALUE(const Decision decision, m_store.transaction([&]() -> Result<Decision> {
        QSqlQuery *q = nullptr;
        QUILLET_TRY(m_store.step(q,
                                 u"DELETE FROM smpp_binds WHERE account_id = "
                                 u"(SELECT id FROM accounts WHERE number = ?)"_s,
                                 { accountNo }));
        QUILLET_TRY(m_store.step(q,
                                 u"DELETE FROM smpp_credentials WHERE account_id = "
                                 u"(SELECT id FROM accounts WHERE number = ?)"_s,
                                 { accountNo }));
        revoked = q->numRowsAffected() == 1;
        return revoked ? Decision::Commit : Decision::RollBack;
    }));
    (void)decision;
    return revoked;
}

Status SmppAccounts::binds(const Operator::Page &page,
                           Operator::Listing<Operator::SmppBind> &listing)
{
    listing = {};
    qint64 after = 0;
    if (!page.after.isEmpty()) {
        bool ok = false;
        after = page.after.toLongLong(&ok);
        if (!ok)
            return Status::failure(Store::InvalidArgument, LocalTexts::badCursor());
    }
    const int limit = page.limit >= 1 && page.limit <= Operator::MaxPageSize
        ? page.limit
        : Operator::MaxPageSize;
    const QVariant seen = m_store.time(m_gateway.nowMs() - StaleMs);
    QSqlQuery q = m_store.query();
    if (page.after.isEmpty()) {
        QUILLET_TRY(
            m_store.run(q, u"SELECT count(*) FROM smpp_binds WHERE seen_at >= ?"_s, { seen }));
        listing.total = q.next() ? q.value(0).toLongLong() : 0;
    }
    QUILLET_TRY(m_store.run(q,
                            u"SELECT b.id, a.number, c.system_id, b.mode, b.address, b.process, "
                            u"b.since, b.submitted, b.receipts, b.arrivals FROM smpp_binds b "
                            u"JOIN accounts a ON a.id = b.account_id "
                            u"LEFT JOIN smpp_credentials c ON c.account_id = b.account_id "
                            u"WHERE b.seen_at >= ? AND b.id > ? ORDER BY b.id LIMIT ?"_s,
                            { seen, after, limit + 1 }));
    while (q.next()) {
        if (listing.entries.size() == limit) {
            listing.next = QString::number(listing.entries.constLast().id);
            break;
        }
        listing.entries.append({ q.value(0).toLongLong(), q.value(1).toString(),
                                 q.value(2).toString(), q.value(3).toString(),
                                 q.value(4).toString(), q.value(5).toString(),
                                 Store::msSinceEpoch(q.value(6)), q.value(7).toLongLong(),
                                 q.value(8).toLongLong(), q.value(9).toLongLong() });
    }
    return Status::ok();
}

Result<std::optional<SmppAccounts::Holder>> SmppAccounts::holder(const QString &systemId)
{
    QSqlQuery q = m_store.query();
    QUILLET_TRY(m_store.run(q,
                            u"SELECT c.account_id, a.number, c.system_id, c.password_hash "
                            u"FROM smpp_credentials c JOIN accounts a ON a.id = c.account_id "
                            u"WHERE c.system_id = ?"_s,
                            { systemId }));
    if (!q.next())
        return std::optional<Holder>();
    return std::optional(Holder { q.value(0).toLongLong(), q.value(1).toString(),
                                  q.value(2).toString(), q.value(3).toString() });
}

Result<qint64> SmppAccounts::openBind(qint64 accountId, const QString &process, const QString &mode,
                                      const QString &address)
{
    const qint64 now = m_gateway.nowMs();
    qint64 id = 0;
    QUILLET_TRY_VALUE(const Decision decision, m_store.transaction([&]() -> Result<Decision> {
        QSqlQuery *q = nullptr;
        // What killed processes left behind.
        QUILLET_TRY(m_store.step(q, u"DELETE FROM smpp_binds WHERE seen_at < ?"_s,
                                 { m_store.time(now - StaleMs) }));
        QUILLET_TRY_VALUE(id,
                          m_store.insert(u"INSERT INTO smpp_binds (account_id, process, mode, "
                                         u"address, since, seen_at) VALUES (?, ?, ?, ?, ?, ?)"_s,
                                         { accountId, process, mode, address, m_store.time(now),
                                           m_store.time(now) }));
        return Decision::Commit;
    }));
    (void)decision;
    return id;
}

Result<bool> SmppAccounts::touchBind(qint64 bindId, const Counts &counts)
{
    bool there = false;
    QUILLET_TRY_VALUE(const Decision decision, m_store.transaction([&]() -> Result<Decision> {
        QSqlQuery *q = nullptr;
        QUILLET_TRY(m_store.step(q,
                                 u"UPDATE smpp_binds SET seen_at = ?, submitted = ?, receipts = ?, "
                                 u"arrivals = ? WHERE id = ?"_s,
                                 { m_store.time(m_gateway.nowMs()), counts.submitted,
                                   counts.receipts, counts.arrivals, bindId }));
        there = q->numRowsAffected() == 1;
        return Decision::Commit;
    }));
    (void)decision;
    return there;
}

Status SmppAccounts::closeBind(qint64 bindId)
{
    QUILLET_TRY_VALUE(const Decision decision, m_store.transaction([&]() -> Result<Decision> {
        QSqlQuery *q = nullptr;
        QUILLET_TRY(m_store.step(q, u"DELETE FROM smpp_binds WHERE id = ?"_s, { bindId }));
        return Decision::Commit;
    }));
    (void)decision;
    return Status::ok();
}
