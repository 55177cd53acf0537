#pragma once

// The operator's commands carried to quillet-gatewayd's operator routes with an
// operator token, through the remote gateway component's HTTP client and wire format.
//
//   command ── Wire::invoke<&OperatorBackend::...> (calls.h) over the remote component's
//              HTTP client ── the answer, read by the same binding the service answers
//              from ── the operator's reports
//
// Every call that changes something carries an Idempotency-Key of its own and is tried
// again only with that key. `mo --count` is that many arrivals, one call each.

#include "gateway/operatorbackend.h"
#include "gateway/tokendesk.h"
#include "protocol/calls.h"

#include <QJsonObject>
#include <QUrl>

class RemoteGateway;

class RemoteBackend final : public OperatorBackend, public TokenDesk, private Wire::Transport {
public:
    struct Settings {
        QUrl url;
        QString tokenFile;
        QString caFile; // empty: the system's certificates
    };

    // Reads the token (refusing a file others can read) and checks the address.
    static Status open(const Settings &settings, std::unique_ptr<RemoteBackend> &backend);
    ~RemoteBackend() override;

    bool commitsCardsBeforeListing() const override { return true; }
    Status issueCards(qint64 valueFen, int count, const Operator::CardPublisher &publish) override;
    Status receiveFromHandset(const QString &from, const QString &to, const QString &extension,
                              const QString &text, Operator::MoReport &report) override;
    Status receiveFromHandset(const QString &from, const QString &to, const QString &extension,
                              const QString &text, qint64 count,
                              Operator::MoBulkReport &report) override;
    Status handsetMessages(const QString &phone, const Operator::Page &page,
                           Operator::Listing<Operator::HandsetMessage> &listing) override;
    Status accounts(const Operator::Page &page,
                    Operator::Listing<Operator::AccountSummary> &listing) override;
    Status messages(const Operator::MessageFilter &filter, const Operator::Page &page,
                    Operator::Listing<Operator::MessageSummary> &listing) override;
    Status links(const Operator::Page &page,
                 Operator::Listing<Operator::LinkSummary> &listing) override;
    Status unmatched(const Operator::Page &page,
                     Operator::Listing<Operator::UnmatchedEntry> &listing) override;
    Status clearUnmatched(qint64 throughId, qint64 &cleared) override;
    Status callbackEvents(const QString &delivery, const Operator::Page &page,
                          Operator::Listing<Operator::CallbackEvent> &listing) override;
    Status replayCallbacks(qint64 id, qint64 &taken) override;
    Status issueToken(const QString &name, const QString &role, const QString &accountNo,
                      Operator::IssuedToken &issued) override;
    Status revokeToken(const QString &name, Operator::RevokedToken &revoked) override;
    Status tokens(const Operator::Page &page,
                  Operator::Listing<Operator::TokenSummary> &listing) override;
    Status setSmppCredentials(const QString &accountNo, const QString &systemId,
                              Operator::SmppCredentials &made) override;
    Status revokeSmppCredentials(const QString &accountNo, qint64 &revoked) override;
    Status smppBinds(const Operator::Page &page,
                     Operator::Listing<Operator::SmppBind> &listing) override;

private:
    RemoteBackend(std::unique_ptr<RemoteGateway> gateway, QUrl url);
    // Wire::Transport: the remote component's, but for what a malformed answer is called.
    Status send(const Wire::Operation &operation, const QJsonObject &request,
                QJsonObject &answer) override;
    Status malformed() const override;

    std::unique_ptr<RemoteGateway> m_gateway;
    QUrl m_url;
};
