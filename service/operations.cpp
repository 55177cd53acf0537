#include "service/operations.h"

#include "gateway/local/localbackend.h"
#include "gateway/local/localgateway.h"
#include "gateway/local/smppaccounts.h"
#include "protocol/calls.h"
#include "service/servicetokens.h"

namespace Operations {

namespace {

class Ahead final : public Wire::Preparer {
public:
    explicit Ahead(LocalGateway &gateway)
        : m_gateway(gateway)
    {
    }

    void signOn(const QString &accountNo, const QString &password) override
    {
        m_gateway.prepareSignOn(accountNo, password);
    }
    void newPassword(const QString &password) override { m_gateway.prepareNewPassword(password); }
    void cardCheck(const QString &cardNo, const QString &cardPassword) override
    {
        m_gateway.prepareCardCheck(cardNo, cardPassword);
    }
    // Cards that cannot be made now are made by the call, which says why.
    void cards(qint64 valueFen, int count) override
    {
        (void)m_gateway.prepareCards(valueFen, count);
    }
    void smppPassword() override { SmppAccounts::prepare(m_gateway); }

private:
    LocalGateway &m_gateway;
};

} // namespace

void prepare(const Wire::Operation &operation, LocalGateway &gateway, const QJsonObject &body)
{
    if (!operation.prepare)
        return;
    Ahead ahead(gateway);
    operation.prepare(ahead, operation, body);
}

void run(const Wire::Operation &operation, LocalGateway &gateway, ServiceStore &service,
         const QJsonObject &body, QJsonObject &answer)
{
    if (operation.serveConsole) {
        operation.serveConsole(gateway, operation, body, answer);
        return;
    }
    if (operation.serveTokens) {
        ServiceTokens tokens(service);
        operation.serveTokens(tokens, operation, body, answer);
        return;
    }
    LocalBackend desk(gateway);
    operation.serveOperator(desk, operation, body, answer);
}

} // namespace Operations
