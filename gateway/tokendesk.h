#pragma once

// The service's tokens as the operator tool reaches them through quillet-gatewayd's
// operator routes. Tokens live in the service's own tables, beside the store but not the
// gateway's: no local component has them, so only the service implements this, and the
// operator tool carries it over the wire.
//
//   OperatorTool ── TokenDesk ── RemoteBackend ── the wire ── service: ServiceTokens
//                                                              (the service's tables)
//
// From afar only application tokens are issued and revoked: an operator token that leaked
// must not be able to mint operator or console tokens that outlive its own revocation.
// Those are issued on the service's host (quillet-gatewayd token issue). Every token is
// listed, never its secret.

#include "gateway/operatorreports.h"

class TokenDesk {
public:
    virtual ~TokenDesk() = default;

    // `role` as its name; a role other than "application" answers RoleNotAllowed, an
    // account that is not one NoSuchAccount. Nothing is issued unless the outcome is Done.
    virtual Status issueToken(const QString &name, const QString &role, const QString &accountNo,
                              Operator::IssuedToken &issued)
        = 0;
    // The active application token of that name: Done, NoSuchToken, or RoleNotAllowed for
    // an active token of another role (which stays active).
    virtual Status revokeToken(const QString &name, Operator::RevokedToken &revoked) = 0;
    // Every token, active and revoked, in the order they were issued; one page at a time.
    virtual Status tokens(const Operator::Page &page,
                          Operator::Listing<Operator::TokenSummary> &listing)
        = 0;
};
