#pragma once

// Where the operator tool's commands are carried out: the local gateway's own store, or
// quillet-gatewayd's operator routes. Both hand back the same reports, so the tool's
// output does not depend on where the work was done.
//
//   OperatorTool ── OperatorBackend ──┬─ LocalBackend ── LocalGateway (a store file)
//                                     └─ RemoteBackend ── RemoteGateway::call ── service

#include "localgateway.h"

#include <memory>

class OperatorBackend {
public:
    virtual ~OperatorBackend() = default;

    // Local: the cards are committed only after `publish` returned true. Through the
    // service: the service has committed them before `publish` is called.
    virtual bool commitsCardsBeforeListing() const = 0;
    virtual Status issueCards(qint64 valueFen, int count,
                              const LocalGateway::CardPublisher &publish)
        = 0;
    virtual Status receiveFromHandset(const QString &from, const QString &to,
                                      const QString &extension, const QString &text,
                                      LocalGateway::MoReport &report)
        = 0;
    // On a failure Status the report counts what arrived before it.
    virtual Status receiveFromHandset(const QString &from, const QString &to,
                                      const QString &extension, const QString &text, qint64 count,
                                      LocalGateway::MoBulkReport &report)
        = 0;
    // One page of a listing at a time (see LocalGateway::Page).
    virtual Status handsetMessages(const QString &phone, const LocalGateway::Page &page,
                                   LocalGateway::Listing<LocalGateway::HandsetMessage> &listing)
        = 0;
    virtual Status accounts(const LocalGateway::Page &page,
                            LocalGateway::Listing<LocalGateway::AccountSummary> &listing)
        = 0;
    // Every page at once, for a caller that knows the listing is small.
    Status handsetMessages(const QString &phone, QList<LocalGateway::HandsetMessage> &messages)
    {
        return LocalGateway::wholeListing(messages, [&](const auto &page, auto &listing) {
            return handsetMessages(phone, page, listing);
        });
    }
    Status accounts(QList<LocalGateway::AccountSummary> &list)
    {
        return LocalGateway::wholeListing(
            list, [&](const auto &page, auto &listing) { return accounts(page, listing); });
    }
};

class LocalBackend final : public OperatorBackend {
public:
    explicit LocalBackend(std::unique_ptr<LocalGateway> gateway)
        : m_gateway(std::move(gateway))
    {
    }

    bool commitsCardsBeforeListing() const override { return false; }
    Status issueCards(qint64 valueFen, int count,
                      const LocalGateway::CardPublisher &publish) override
    {
        return m_gateway->issueCards(valueFen, count, publish);
    }
    Status receiveFromHandset(const QString &from, const QString &to, const QString &extension,
                              const QString &text, LocalGateway::MoReport &report) override
    {
        return m_gateway->receiveFromHandset(from, to, extension, text, report);
    }
    Status receiveFromHandset(const QString &from, const QString &to, const QString &extension,
                              const QString &text, qint64 count,
                              LocalGateway::MoBulkReport &report) override
    {
        return m_gateway->receiveFromHandset(from, to, extension, text, count, report);
    }
    Status handsetMessages(const QString &phone, const LocalGateway::Page &page,
                           LocalGateway::Listing<LocalGateway::HandsetMessage> &listing) override
    {
        return m_gateway->handsetMessages(phone, page, listing);
    }
    Status accounts(const LocalGateway::Page &page,
                    LocalGateway::Listing<LocalGateway::AccountSummary> &listing) override
    {
        return m_gateway->accounts(page, listing);
    }

private:
    std::unique_ptr<LocalGateway> m_gateway;
};
