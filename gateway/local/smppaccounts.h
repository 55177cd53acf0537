#pragma once

// Accounts' SMPP credentials and the binds they hold, in the store.
//
//   operator ── set() ── a system_id and a new password, shown once; the hash is kept
//            ── revoke() ── the credentials and the rows of their binds go
//            ── binds() ── every process's binds that were seen lately
//   SMPP server ── holder(system_id) ── the account and the hash to check (off the loop)
//               ── openBind() ── touchBind() every little while (false: revoked, end it)
//               ── closeBind()
//
// A process killed with binds open leaves rows no one touches again: they stop being
// listed once StaleMs has passed, and the next bind anywhere clears them.

#include "gateway/local/localgateway.h"
#include "gateway/operatorreports.h"

#include <QString>

#include <optional>

class SmppAccounts {
public:
    // SMPP's limits: a system_id of 15 octets, a password of 8.
    static constexpr int MaxSystemId = 15;
    static constexpr int PasswordLength = 8;
    // A bind's row is written again at least this often, and is gone from sight past
    // StaleMs without.
    static constexpr qint64 TouchEveryMs = 10'000;
    static constexpr qint64 StaleMs = 60'000;

    explicit SmppAccounts(LocalGateway &gateway);

    // 1 to MaxSystemId printable ASCII characters, no space.
    static bool isSystemId(const QString &systemId);
    // The account's number without its dashes: 14 characters.
    static QString defaultSystemId(const QString &accountNo);

    // Draws and hashes the password the next set() on `gateway` takes, so that a caller
    // in a write transaction does not hash there.
    static void prepare(LocalGateway &gateway);
    // New credentials for the account (an empty `systemId`: the default), replacing any it
    // had; the binds the old ones held end. The password is the prepared one, else drawn
    // and hashed here.
    Result<Operator::SmppCredentials> set(const QString &accountNo, const QString &systemId);
    // False when the account had none.
    Result<bool> revoke(const QString &accountNo);
    Status binds(const Operator::Page &page, Operator::Listing<Operator::SmppBind> &listing);

    struct Holder {
        qint64 accountId = 0;
        QString accountNo;
        QString systemId;
        QString passwordHash;
    };
    Result<std::optional<Holder>> holder(const QString &systemId);
    // The bind's id.
    Result<qint64> openBind(qint64 accountId, const QString &process, const QString &mode,
                            const QString &address);
    struct Counts {
        qint64 submitted = 0;
        qint64 receipts = 0;
        qint64 arrivals = 0;
    };
    // False when the bind's row is gone: its credentials were revoked or made again.
    Result<bool> touchBind(qint64 bindId, const Counts &counts);
    Status closeBind(qint64 bindId);

private:
    LocalGateway &m_gateway;
    Store &m_store;
};
