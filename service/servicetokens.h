#pragma once

// The operator's calls on the service's tokens, on the worker's ServiceStore: what the
// operator tool reaches with `token issue|revoke|list --server` (see gateway/tokendesk.h).
// Inside a keyed call's transaction the store's own transactions are savepoints of it, so
// a token issued is remembered with its answer or not at all.

#include "gateway/tokendesk.h"

class ServiceStore;

class ServiceTokens final : public TokenDesk {
public:
    explicit ServiceTokens(ServiceStore &store)
        : m_store(store)
    {
    }

    Status issueToken(const QString &name, const QString &role, const QString &accountNo,
                      Operator::IssuedToken &issued) override;
    Status revokeToken(const QString &name, Operator::RevokedToken &revoked) override;
    Status tokens(const Operator::Page &page,
                  Operator::Listing<Operator::TokenSummary> &listing) override;

private:
    ServiceStore &m_store;
};
