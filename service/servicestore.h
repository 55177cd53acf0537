#pragma once

// The service's own tables, kept in the gateway's store next to the accounts:
//
//   service_tokens    name, role, BLAKE2b hash of the token, issued / revoked times
//   service_requests  (token, Idempotency-Key) -> operation, request fingerprint and the
//                     answer given, kept 24 hours
//
// A token is shown once when issued; only its hash is kept. Tokens are 256 random bits,
// so a fast hash is enough: nobody can guess one from its hash.
//
// Their version is the meta row `service_schema_version`, apart from the gateway's own
// schema version. On SQLite open() makes them when missing. On PostgreSQL the role the
// service runs as may not create tables: initialize(), run as the schema's owner,
// makes them and grants the gateway's runtime role what the service needs of them.

#include "result.h"
#include "storelocation.h"
#include "wire.h"

#include <QString>

#include <memory>
#include <optional>

class Store;

class ServiceStore {
public:
    static constexpr qint64 KeyLifetimeMs = 24LL * 60 * 60 * 1000;
    static constexpr QLatin1StringView TokenPrefix { "qgt_" };

    struct Token {
        qint64 id = 0;
        QString name;
        Wire::Role role = Wire::Role::Console;
    };

    struct Remembered {
        QString fingerprint;
        QByteArray answer;
    };

    static constexpr int SchemaVersion = 1;

    // Opens the store at `location`, checks the service's tables and, on SQLite, makes
    // them when missing.
    static Status open(const StoreLocation &location, std::unique_ptr<ServiceStore> &store);
    // The same on a store that is already open (a LocalGateway's), so that an answer is
    // remembered in the same transaction as the operation that produced it.
    static Status attach(Store &store, StoreLocation::Engine engine,
                         std::unique_ptr<ServiceStore> &service);
    // Creates or migrates the gateway's store and the service's tables; on PostgreSQL as
    // the schema's owner, granting the runtime role what the service needs.
    static Status initialize(const StoreLocation &location);
    ~ServiceStore();

    Store &store() { return *m_store; }

    // `issued` is the token to hand out; false in `done` when an active token already
    // has that name.
    Status issue(const QString &name, Wire::Role role, QString &issued, bool &done);
    // Revokes the active token of that name; false in `done` when there is none.
    Status revoke(const QString &name, bool &done);
    struct Listed {
        QString name;
        Wire::Role role;
        qint64 issuedAtMs = 0;
        std::optional<qint64> revokedAtMs;
    };
    Status list(QList<Listed> &tokens);

    // The active token that `secret` is, if any.
    Status verify(const QString &secret, std::optional<Token> &token);

    // The answer remembered for the key, if any. Inside a write transaction the key is
    // held until the transaction ends, so a repeat sent while the first call still runs
    // waits for it and then finds its answer.
    Status remembered(qint64 tokenId, const QString &key, std::optional<Remembered> &found);
    // An expired record of the same key gives way to the new one.
    Status remember(qint64 tokenId, const QString &key, const QString &operation,
                    const QString &fingerprint, const QByteArray &answer);
    // Drops remembered answers older than KeyLifetimeMs.
    Status forgetExpired();

    static QString hash(const QByteArray &data);

private:
    ServiceStore(std::unique_ptr<Store> owned, Store &store, StoreLocation::Engine engine);
    // The version the meta row records; 0 when there is none.
    Result<int> version();
    Status settle();
    Status createTables();

    std::unique_ptr<Store> m_owned;
    Store *m_store;
    StoreLocation::Engine m_engine;
};
