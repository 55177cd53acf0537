#include "service/operations.h"

#include "gateway/local/localbackend.h"
#include "gateway/local/localgateway.h"
#include "protocol/calls.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace Operations {

bool hashes(const Wire::Operation &operation)
{
    static const QLatin1StringView slow[]
        = { "register"_L1, "changePassword"_L1, "recharge"_L1, "issueCards"_L1 };
    return std::find(std::begin(slow), std::end(slow), operation.name) != std::end(slow);
}

void prepare(const Wire::Operation &operation, LocalGateway &gateway, const QJsonObject &body)
{
    const auto text
        = [&](const char *name) { return body.value(QLatin1StringView(name)).toString(); };
    if (operation.name == "register"_L1) {
        gateway.prepareSignOn(text("accountNo"), text("password"));
    } else if (operation.name == "changePassword"_L1) {
        gateway.prepareNewPassword(text("newPassword"));
    } else if (operation.name == "recharge"_L1) {
        gateway.prepareCardCheck(text("cardNo"), text("cardPassword"));
    } else if (operation.name == "issueCards"_L1) {
        const double count = body.value("count"_L1).toDouble();
        if (count >= 1 && count <= LocalGateway::MaxCardsPerIssue)
            (void)gateway.prepareCards(qint64(body.value("valueFen"_L1).toDouble()), int(count));
    }
}

void run(const Wire::Operation &operation, LocalGateway &gateway, const QJsonObject &body,
         QJsonObject &answer)
{
    if (operation.serveConsole) {
        operation.serveConsole(gateway, operation, body, answer);
        return;
    }
    LocalBackend desk(gateway);
    operation.serveOperator(desk, operation, body, answer);
}

} // namespace Operations
