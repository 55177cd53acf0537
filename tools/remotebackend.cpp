#include "tools/remotebackend.h"

#include "gateway/remote/remotegateway.h"
#include "tools/tooltexts.h"

using namespace Qt::StringLiterals;

RemoteBackend::RemoteBackend(std::unique_ptr<RemoteGateway> gateway, QUrl url)
    : m_gateway(std::move(gateway))
    , m_url(std::move(url))
{
}

RemoteBackend::~RemoteBackend() = default;

Status RemoteBackend::open(const Settings &settings, std::unique_ptr<RemoteBackend> &backend)
{
    RemoteGateway::Settings remote;
    remote.url = settings.url;
    remote.caFile = settings.caFile;
    QUILLET_TRY(RemoteGateway::readTokenFile(settings.tokenFile, remote.token));
    if (remote.token.isEmpty())
        return Status::failure(RemoteGateway::BadSettings, ToolTexts::EmptyToken);
    std::unique_ptr<RemoteGateway> gateway;
    QUILLET_TRY(RemoteGateway::create(remote, gateway));
    backend.reset(new RemoteBackend(std::move(gateway), settings.url));
    return Status::ok();
}

Status RemoteBackend::malformed() const
{
    return Status::failure(RemoteGateway::Unavailable,
                           ToolTexts::malformedAnswer(m_url.toDisplayString()));
}

Status RemoteBackend::send(const Wire::Operation &operation, const QJsonObject &request,
                           QJsonObject &answer)
{
    return m_gateway->send(operation, request, answer);
}

Status RemoteBackend::issueCards(qint64 valueFen, int count, const Operator::CardPublisher &publish)
{
    // The service made exactly the cards asked for, or it answered a failure.
    bool asked = true;
    const Operator::CardPublisher checked = [&](const QList<Operator::IssuedCard> &cards) {
        asked = cards.size() == count;
        return asked && publish(cards);
    };
    QUILLET_TRY(Wire::invoke<&OperatorBackend::issueCards>(*this, valueFen, count, checked));
    return asked ? Status::ok() : malformed();
}

Status RemoteBackend::receiveFromHandset(const QString &from, const QString &to,
                                         const QString &extension, const QString &text,
                                         Operator::MoReport &report)
{
    return Wire::invoke<Wire::ReceiveFromHandset>(*this, from, to, extension, text, report);
}

Status RemoteBackend::receiveFromHandset(const QString &from, const QString &to,
                                         const QString &extension, const QString &text,
                                         qint64 count, Operator::MoBulkReport &report)
{
    report = {};
    for (qint64 i = 0; i < count; ++i) {
        Operator::MoReport one;
        QUILLET_TRY(receiveFromHandset(from, to, extension, text, one));
        if (one.outcome != Operator::MoOutcome::Arrived) {
            if (report.arrived == 0) {
                report.outcome = one.outcome;
                return Status::ok();
            }
            return Status::failure(RemoteGateway::Unavailable,
                                   ToolTexts::arrivalsRefusedPartWay(report.arrived));
        }
        report.outcome = Operator::MoOutcome::Arrived;
        report.accountNo = one.accountNo;
        report.serviceNumber = one.serviceNumber;
        ++report.arrived;
        if (!one.forwardingPhone.isEmpty())
            report.forwardingPhone = one.forwardingPhone;
        if (one.forwarded == Operator::ReplyState::Delivered)
            ++report.forwardedDelivered;
        else if (one.forwarded != Operator::ReplyState::None)
            ++report.forwardedNotSent;
        if (one.autoReplied == Operator::ReplyState::Delivered)
            ++report.repliesDelivered;
        else if (one.autoReplied != Operator::ReplyState::None)
            ++report.repliesNotSent;
    }
    return Status::ok();
}

Status RemoteBackend::handsetMessages(const QString &phone, const Operator::Page &page,
                                      Operator::Listing<Operator::HandsetMessage> &listing)
{
    listing = {};
    return Wire::invoke<Wire::HandsetMessages>(*this, phone, page, listing);
}

Status RemoteBackend::accounts(const Operator::Page &page,
                               Operator::Listing<Operator::AccountSummary> &listing)
{
    listing = {};
    return Wire::invoke<Wire::Accounts>(*this, page, listing);
}

Status RemoteBackend::messages(const Operator::MessageFilter &filter, const Operator::Page &page,
                               Operator::Listing<Operator::MessageSummary> &listing)
{
    listing = {};
    return Wire::invoke<Wire::Messages>(*this, filter, page, listing);
}

Status RemoteBackend::links(const Operator::Page &page,
                            Operator::Listing<Operator::LinkSummary> &listing)
{
    listing = {};
    return Wire::invoke<Wire::Links>(*this, page, listing);
}

Status RemoteBackend::unmatched(const Operator::Page &page,
                                Operator::Listing<Operator::UnmatchedEntry> &listing)
{
    listing = {};
    return Wire::invoke<Wire::Unmatched>(*this, page, listing);
}

Status RemoteBackend::clearUnmatched(qint64 throughId, qint64 &cleared)
{
    return Wire::invoke<&OperatorBackend::clearUnmatched>(*this, throughId, cleared);
}

Status RemoteBackend::callbackEvents(const QString &delivery, const Operator::Page &page,
                                     Operator::Listing<Operator::CallbackEvent> &listing)
{
    listing = {};
    return Wire::invoke<Wire::CallbackEvents>(*this, delivery, page, listing);
}

Status RemoteBackend::replayCallbacks(qint64 id, qint64 &taken)
{
    return Wire::invoke<&OperatorBackend::replayCallbacks>(*this, id, taken);
}

Status RemoteBackend::issueToken(const QString &name, const QString &role, const QString &accountNo,
                                 Operator::IssuedToken &issued)
{
    QUILLET_TRY(Wire::invoke<&TokenDesk::issueToken>(*this, name, role, accountNo, issued));
    // A token is shown only when one was issued, and then it is one.
    if ((issued.outcome == Operator::TokenOutcome::Done) == issued.token.isEmpty())
        return malformed();
    return Status::ok();
}

Status RemoteBackend::revokeToken(const QString &name, Operator::RevokedToken &revoked)
{
    return Wire::invoke<&TokenDesk::revokeToken>(*this, name, revoked);
}

Status RemoteBackend::tokens(const Operator::Page &page,
                             Operator::Listing<Operator::TokenSummary> &listing)
{
    listing = {};
    return Wire::invoke<&TokenDesk::tokens>(*this, page, listing);
}

Status RemoteBackend::setSmppCredentials(const QString &accountNo, const QString &systemId,
                                         Operator::SmppCredentials &made)
{
    return Wire::invoke<&OperatorBackend::setSmppCredentials>(*this, accountNo, systemId, made);
}

Status RemoteBackend::revokeSmppCredentials(const QString &accountNo, qint64 &revoked)
{
    return Wire::invoke<&OperatorBackend::revokeSmppCredentials>(*this, accountNo, revoked);
}

Status RemoteBackend::smppBinds(const Operator::Page &page,
                                Operator::Listing<Operator::SmppBind> &listing)
{
    listing = {};
    return Wire::invoke<Wire::SmppBinds>(*this, page, listing);
}
