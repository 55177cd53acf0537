#include "service/servicetokens.h"

#include "gateway/local/store.h"
#include "service/servicestore.h"
#include "service/servicetexts.h"

using namespace Qt::StringLiterals;

using Operator::TokenOutcome;

Status ServiceTokens::issueToken(const QString &name, const QString &role, const QString &accountNo,
                                 Operator::IssuedToken &issued)
{
    issued = {};
    if (!ServiceStore::acceptableName(name)) {
        issued.outcome = TokenOutcome::BadName;
        return Status::ok();
    }
    if (role != Wire::roleName(Wire::Role::Application)) {
        issued.outcome = TokenOutcome::RoleNotAllowed;
        return Status::ok();
    }
    QUILLET_TRY_VALUE(const ServiceStore::Issued made,
                      m_store.issue(name, Wire::Role::Application, accountNo));
    switch (made.refused) {
    case ServiceStore::Issued::Refused::None:
        issued.outcome = TokenOutcome::Done;
        issued.token = made.secret;
        break;
    case ServiceStore::Issued::Refused::NameTaken:
        issued.outcome = TokenOutcome::NameTaken;
        break;
    case ServiceStore::Issued::Refused::NoSuchAccount:
        issued.outcome = TokenOutcome::NoSuchAccount;
        break;
    }
    return Status::ok();
}

Status ServiceTokens::revokeToken(const QString &name, Operator::RevokedToken &revoked)
{
    QUILLET_TRY_VALUE(const ServiceStore::Revoked done,
                      m_store.revoke(name, /*applicationOnly=*/true));
    switch (done) {
    case ServiceStore::Revoked::Done:
        revoked.outcome = TokenOutcome::Done;
        break;
    case ServiceStore::Revoked::NoSuchToken:
        revoked.outcome = TokenOutcome::NoSuchToken;
        break;
    case ServiceStore::Revoked::NotAnApplication:
        revoked.outcome = TokenOutcome::RoleNotAllowed;
        break;
    }
    return Status::ok();
}

Status ServiceTokens::tokens(const Operator::Page &page,
                             Operator::Listing<Operator::TokenSummary> &listing)
{
    listing = {};
    // The cursor is the last token's id, as the listing wrote it.
    qint64 afterId = 0;
    if (!page.after.isEmpty()) {
        bool numeric = false;
        afterId = page.after.toLongLong(&numeric);
        if (!numeric || afterId < 1)
            return Status::failure(Store::InvalidArgument, ServiceTexts::badTokenCursor());
    }
    const int limit = page.limit >= 1 && page.limit <= Operator::MaxPageSize
        ? page.limit
        : Operator::MaxPageSize;
    // One more than the page, to know whether another follows.
    QList<ServiceStore::Listed> found;
    QUILLET_TRY(m_store.list(found, afterId, limit + 1));
    const bool more = found.size() > limit;
    if (more)
        found.resize(limit);
    for (const ServiceStore::Listed &t : std::as_const(found)) {
        listing.entries.append(
            { t.name, Wire::roleName(t.role), t.accountNo, t.issuedAtMs, t.revokedAtMs });
    }
    if (more)
        listing.next = QString::number(found.constLast().id);
    if (page.after.isEmpty()) {
        QUILLET_TRY_VALUE(listing.total, m_store.count());
    }
    return Status::ok();
}
