#pragma once

// Where the operator tool's commands are carried out: the local gateway's own store, or
// quillet-gatewayd's operator routes. Both hand back the same reports, so the tool's
// output does not depend on where the work was done.
//
//   OperatorTool ── OperatorBackend ──┬─ LocalBackend ── LocalGateway (a store file)
//                                     └─ RemoteBackend ── the wire ── service
//
// The reports are the operator's own (operatorreports.h): the remote path needs nothing
// of the local component.

#include "gateway/operatorreports.h"

#include <memory>

class OperatorBackend {
public:
    virtual ~OperatorBackend() = default;

    // Local: the cards are committed only after `publish` returned true. Through the
    // service: the service has committed them before `publish` is called.
    virtual bool commitsCardsBeforeListing() const = 0;
    virtual Status issueCards(qint64 valueFen, int count, const Operator::CardPublisher &publish)
        = 0;
    virtual Status receiveFromHandset(const QString &from, const QString &to,
                                      const QString &extension, const QString &text,
                                      Operator::MoReport &report)
        = 0;
    // On a failure Status the report counts what arrived before it.
    virtual Status receiveFromHandset(const QString &from, const QString &to,
                                      const QString &extension, const QString &text, qint64 count,
                                      Operator::MoBulkReport &report)
        = 0;
    // One page of a listing at a time (see Operator::Page).
    virtual Status handsetMessages(const QString &phone, const Operator::Page &page,
                                   Operator::Listing<Operator::HandsetMessage> &listing)
        = 0;
    virtual Status accounts(const Operator::Page &page,
                            Operator::Listing<Operator::AccountSummary> &listing)
        = 0;
    // Messages to phones, by the time they were submitted; a state or an account that is
    // not one is an InvalidArgument failure.
    virtual Status messages(const Operator::MessageFilter &filter, const Operator::Page &page,
                            Operator::Listing<Operator::MessageSummary> &listing)
        = 0;
    // By link, then process.
    virtual Status links(const Operator::Page &page,
                         Operator::Listing<Operator::LinkSummary> &listing)
        = 0;
    // Oldest first.
    virtual Status unmatched(const Operator::Page &page,
                             Operator::Listing<Operator::UnmatchedEntry> &listing)
        = 0;
    // Deletes the unmatched entries up to and including `throughId`, so that those that
    // came after the operator's listing stay; `cleared` says how many went.
    virtual Status clearUnmatched(qint64 throughId, qint64 &cleared) = 0;
    // Callback events not yet delivered by id, or (`delivery` "dead") the dead ones only;
    // another `delivery` is an InvalidArgument failure.
    virtual Status callbackEvents(const QString &delivery, const Operator::Page &page,
                                  Operator::Listing<Operator::CallbackEvent> &listing)
        = 0;
    // Sends an event again as soon as a dispatcher can (0: every dead one), unless one is
    // sending it now; `taken` says how many.
    virtual Status replayCallbacks(qint64 id, qint64 &taken) = 0;
    // New SMPP credentials for an account (an empty `systemId`: its default), replacing
    // any it had; a system_id that is not one is an InvalidArgument failure.
    virtual Status setSmppCredentials(const QString &accountNo, const QString &systemId,
                                      Operator::SmppCredentials &made)
        = 0;
    // The account's SMPP credentials end, and every bind they hold; `revoked` is 1, or 0
    // when it had none.
    virtual Status revokeSmppCredentials(const QString &accountNo, qint64 &revoked) = 0;
    // The SMPP binds of every service process, by id.
    virtual Status smppBinds(const Operator::Page &page,
                             Operator::Listing<Operator::SmppBind> &listing)
        = 0;
    // Every page at once, for a caller that knows the listing is small.
    Status handsetMessages(const QString &phone, QList<Operator::HandsetMessage> &messages)
    {
        return Operator::wholeListing(messages, [&](const auto &page, auto &listing) {
            return handsetMessages(phone, page, listing);
        });
    }
    Status accounts(QList<Operator::AccountSummary> &list)
    {
        return Operator::wholeListing(
            list, [&](const auto &page, auto &listing) { return accounts(page, listing); });
    }
    Status messages(const Operator::MessageFilter &filter, QList<Operator::MessageSummary> &list)
    {
        return Operator::wholeListing(
            list, [&](const auto &page, auto &listing) { return messages(filter, page, listing); });
    }
    Status links(QList<Operator::LinkSummary> &list)
    {
        return Operator::wholeListing(
            list, [&](const auto &page, auto &listing) { return links(page, listing); });
    }
    Status callbackEvents(const QString &delivery, QList<Operator::CallbackEvent> &list)
    {
        return Operator::wholeListing(list, [&](const auto &page, auto &listing) {
            return callbackEvents(delivery, page, listing);
        });
    }
    Status smppBinds(QList<Operator::SmppBind> &list)
    {
        return Operator::wholeListing(
            list, [&](const auto &page, auto &listing) { return smppBinds(page, listing); });
    }
    Status unmatched(QList<Operator::UnmatchedEntry> &list)
    {
        return Operator::wholeListing(
            list, [&](const auto &page, auto &listing) { return unmatched(page, listing); });
    }
};
