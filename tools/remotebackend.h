#pragma once

// The operator's commands carried to quillet-gatewayd's operator routes with an
// operator token, through the remote gateway component's HTTP client and wire format.
//
//   command ── RemoteGateway::call("issueCards" | "receiveFromHandset" | ...)
//           ── the JSON answer, checked field by field ── the local gateway's report types
//
// Every call that changes something carries an Idempotency-Key of its own and is tried
// again only with that key. `mo --count` is that many arrivals, one call each.

#include "operatorbackend.h"

#include <QJsonObject>
#include <QUrl>

class RemoteGateway;

class RemoteBackend final : public OperatorBackend {
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
    Status issueCards(qint64 valueFen, int count,
                      const LocalGateway::CardPublisher &publish) override;
    Status receiveFromHandset(const QString &from, const QString &to, const QString &extension,
                              const QString &text, LocalGateway::MoReport &report) override;
    Status receiveFromHandset(const QString &from, const QString &to, const QString &extension,
                              const QString &text, qint64 count,
                              LocalGateway::MoBulkReport &report) override;
    Status handsetMessages(const QString &phone, const LocalGateway::Page &page,
                           LocalGateway::Listing<LocalGateway::HandsetMessage> &listing) override;
    Status accounts(const LocalGateway::Page &page,
                    LocalGateway::Listing<LocalGateway::AccountSummary> &listing) override;

private:
    RemoteBackend(std::unique_ptr<RemoteGateway> gateway, QUrl url);
    Status malformed() const;

    std::unique_ptr<RemoteGateway> m_gateway;
    QUrl m_url;
};
