#pragma once

// The operator's commands on the local gateway: the operator tool's on a store of its
// choosing, and the service's on each worker's gateway.

#include "gateway/local/localgateway.h"
#include "gateway/local/localoperator.h"
#include "gateway/operatorbackend.h"

#include <memory>

class LocalBackend final : public OperatorBackend {
public:
    explicit LocalBackend(std::unique_ptr<LocalGateway> gateway)
        : m_owned(std::move(gateway))
        , m_desk(*m_owned)
    {
    }
    // On a gateway that outlives this object.
    explicit LocalBackend(LocalGateway &gateway)
        : m_desk(gateway)
    {
    }

    bool commitsCardsBeforeListing() const override { return false; }
    Status issueCards(qint64 valueFen, int count,
                      const LocalGateway::CardPublisher &publish) override
    {
        return m_desk.issueCards(valueFen, count, publish);
    }
    Status receiveFromHandset(const QString &from, const QString &to, const QString &extension,
                              const QString &text, LocalGateway::MoReport &report) override
    {
        return m_desk.receiveFromHandset(from, to, extension, text, report);
    }
    Status receiveFromHandset(const QString &from, const QString &to, const QString &extension,
                              const QString &text, qint64 count,
                              LocalGateway::MoBulkReport &report) override
    {
        return m_desk.receiveFromHandset(from, to, extension, text, count, report);
    }
    Status handsetMessages(const QString &phone, const LocalGateway::Page &page,
                           LocalGateway::Listing<LocalGateway::HandsetMessage> &listing) override
    {
        return m_desk.handsetMessages(phone, page, listing);
    }
    Status accounts(const LocalGateway::Page &page,
                    LocalGateway::Listing<LocalGateway::AccountSummary> &listing) override
    {
        return m_desk.accounts(page, listing);
    }
    Status messages(const Operator::MessageFilter &filter, const LocalGateway::Page &page,
                    LocalGateway::Listing<Operator::MessageSummary> &listing) override
    {
        return m_desk.messages(filter, page, listing);
    }
    Status links(const LocalGateway::Page &page,
                 LocalGateway::Listing<Operator::LinkSummary> &listing) override
    {
        return m_desk.links(page, listing);
    }
    Status unmatched(const LocalGateway::Page &page,
                     LocalGateway::Listing<Operator::UnmatchedEntry> &listing) override
    {
        return m_desk.unmatched(page, listing);
    }
    Status clearUnmatched(qint64 throughId, qint64 &cleared) override
    {
        return m_desk.clearUnmatched(throughId, cleared);
    }
    Status callbackEvents(const QString &delivery, const LocalGateway::Page &page,
                          LocalGateway::Listing<Operator::CallbackEvent> &listing) override
    {
        return m_desk.callbackEvents(delivery, page, listing);
    }
    Status replayCallbacks(qint64 id, qint64 &taken) override
    {
        return m_desk.replayCallbacks(id, taken);
    }
    Status setSmppCredentials(const QString &accountNo, const QString &systemId,
                              Operator::SmppCredentials &made) override
    {
        return m_desk.setSmppCredentials(accountNo, systemId, made);
    }
    Status revokeSmppCredentials(const QString &accountNo, qint64 &revoked) override
    {
        return m_desk.revokeSmppCredentials(accountNo, revoked);
    }
    Status smppBinds(const Operator::Page &page,
                     Operator::Listing<Operator::SmppBind> &listing) override
    {
        return m_desk.smppBinds(page, listing);
    }

private:
    std::unique_ptr<LocalGateway> m_owned;
    LocalOperator m_desk;
};
