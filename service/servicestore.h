#pragma once

// The service's own tables, kept in the gateway's store next to the accounts:
//
//   service_tokens    name, role, BLAKE2b hash of the token, issued / revoked times
//   service_requests  (token, name derived from the Idempotency-Key) -> operation, keyed
//                     fingerprint of the request and the answer given, sealed with the
//                     key (see requestkey.h); kept 24 hours
//   service_signons   (token, account): the accounts each console token signed on
//   service_token_accounts  (token -> account): an application token's one account
//
// A token is shown once when issued; only its hash is kept. Tokens are 256 random bits,
// so a fast hash is enough: nobody can guess one from its hash.
//
// A console token acts only on the accounts it signed on itself (register with the
// account's password). The account's own signed-on mark, which forwarding and the
// automatic reply go by, holds while any token's sign-on does.
//
// They are an extension of the store (Store::Extension), written once for every engine.
// An application token's row in service_tokens says role 'console', since that table's
// list of roles cannot grow without being made again on SQLite; its row in
// service_token_accounts is what makes it an application's, and the store at version 3
// is refused by a service that does not know that (see Store::Extension::newer). Without
// its account row a token would be a console token signed on nowhere: the least a token
// can do.
//
// Their version is the meta row `service_schema_version`, apart from the gateway's own
// schema version. On SQLite open() makes them when missing. On PostgreSQL the role the
// service runs as may not create tables: initialize(), run as the schema's owner,
// makes them and grants the gateway's runtime role what the service needs of them.

#include "gateway/local/store.h"
#include "gateway/local/storelocation.h"
#include "gateway/result.h"
#include "protocol/wire.h"
#include "service/requestkey.h"

#include <QJsonObject>
#include <QString>

#include <memory>
#include <optional>

class QSqlQuery;
class Store;

class ServiceStore {
public:
    static constexpr qint64 KeyLifetimeMs = 24LL * 60 * 60 * 1000;
    static constexpr QLatin1StringView TokenPrefix { "qgt_" };

    struct Token {
        qint64 id = 0;
        QString name;
        Wire::Role role = Wire::Role::Console;
        QString accountNo; // an application token's account
    };

    struct Remembered {
        // Keyed with the request's key: equal only for the same key and the same request.
        QString fingerprint;
        QByteArray answer;
        // Older than KeyLifetimeMs: no longer an answer, only a record to replace.
        bool expired = false;
    };

    static constexpr int SchemaVersion = 3;

    // Opens the store at `location`, checks the service's tables and, where whoever
    // opens the store may (SQLite), makes or migrates them.
    static Status open(const StoreLocation &location, std::unique_ptr<ServiceStore> &store);
    // The same on a store that is already open (a LocalGateway's), so that an answer is
    // remembered in the same transaction as the operation that produced it.
    static Status attach(Store &store, std::unique_ptr<ServiceStore> &service);
    // Creates or migrates the gateway's store and the service's tables; on PostgreSQL as
    // the schema's owner, granting the runtime role what the service needs.
    static Status initialize(const StoreLocation &location);
    ~ServiceStore();

    Store &store() { return *m_store; }

    // The token to hand out, or why there is none.
    struct Issued {
        enum class Refused { None, NameTaken, NoSuchAccount };
        Refused refused = Refused::None;
        QString secret;
    };
    // An application's token is bound to `accountNo`, which must be an account.
    Result<Issued> issue(const QString &name, Wire::Role role, const QString &accountNo = {});
    // Revokes the active token of that name; false when there is none. With
    // `applicationOnly`, a token of another role is left active and refused.
    enum class Revoked { Done, NoSuchToken, NotAnApplication };
    Result<Revoked> revoke(const QString &name, bool applicationOnly = false);
    struct Listed {
        qint64 id = 0;
        QString name;
        Wire::Role role;
        QString accountNo;
        qint64 issuedAtMs = 0;
        std::optional<qint64> revokedAtMs;
    };
    // Every token in the order they were issued; or, with a `limit`, at most that many
    // after the token `afterId`.
    Status list(QList<Listed> &tokens, qint64 afterId = 0, int limit = -1);
    // How many tokens there are, active or revoked.
    Result<qint64> count();

    // 1 to 64 printable characters: what a token may be named.
    static bool acceptableName(const QString &name);

    // The active token that `secret` is, if any.
    Status verify(const QString &secret, std::optional<Token> &token);

    // The record of the key, if any; a failure Status when it cannot be opened with it.
    Status remembered(qint64 tokenId, const RequestKey &key, std::optional<Remembered> &found);
    // The same, and in the same statement whether the token holds a sign-on of
    // `accountNo`: a keyed call that needs one asks the store once, not twice.
    Status remembered(qint64 tokenId, const RequestKey &key, std::optional<Remembered> &found,
                      const QString &accountNo, bool &signedOn);
    // Whether the token has not been revoked.
    Result<bool> stands(qint64 tokenId);

    // Keyed sends' checks that their tokens stand, the lookups of their keys, the tokens'
    // sign-ons of the accounts, and the records of their answers, as work that rides in
    // the sends' own statement (SendRider, on PostgreSQL): a send goes only when its
    // token stands, its key is new and the sign-on holds; a new key's answer
    // (`sentAnswer` when the send goes, else `refusedAnswer`) is recorded whenever the
    // token stands. Two calls of one key at once: the second fails to record it, and its
    // statement with it. rememberingSend() writes what the rider needs into a send's row.
    // The columns of each send: the record found (see rememberedIn), then whether the
    // token stands.
    static const SendRider &rememberingSends();
    void rememberingSend(QJsonObject &send, qint64 tokenId, const RequestKey &key,
                         const QString &operation, const QString &fingerprint,
                         const QByteArray &sentAnswer, const QByteArray &refusedAnswer) const;
    // The record of the key that statement found (its rider's `columns`), if any.
    Status rememberedIn(const QVariantList &columns, const RequestKey &key,
                        std::optional<Remembered> &found) const;
    // Records the answer, sealed; `replacing` an expired record of the same key.
    Status remember(qint64 tokenId, const RequestKey &key, const QString &operation,
                    const QString &fingerprint, const QByteArray &answer, bool replacing);

    // Sign-ons, inside the caller's write transaction (signedOn may run outside one).
    Result<bool> signedOn(qint64 tokenId, const QString &accountNo);
    Status signOn(qint64 tokenId, const QString &accountNo);
    // Ends the token's sign-on; gives how many other tokens' sign-ons of the account hold.
    Result<qint64> signOff(qint64 tokenId, const QString &accountNo);
    // Ends every sign-on of the account but the token's (its password changed).
    Status signOffOthers(qint64 tokenId, const QString &accountNo);
    // Drops remembered answers older than KeyLifetimeMs.
    Status forgetExpired();

    static QString hash(const QByteArray &data);

private:
    ServiceStore(std::unique_ptr<Store> owned, Store &store);
    Status readRemembered(QSqlQuery &q, const RequestKey &key, std::optional<Remembered> &found,
                          bool onRow = false);

    std::unique_ptr<Store> m_owned;
    Store *m_store;
};
