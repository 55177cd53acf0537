#pragma once

#include "gateway/gatewayclient.h"

#include <QObject>

// A gateway component that breaks the contract on purpose, for the checker's tests:
// ChangePassword writes 7 into its outcome slot, Recharge fails without a description,
// ReceiveMessages answers a total that is no number, SendMessage crashes on a text
// longer than 100,000 characters and SetAutoReply hangs on a text with a quote mark.
// GetForwarding answers a text with an escape sequence and a line break, which the
// checker's table must show escaped.
class BadComponent : public QObject, public GatewayComponent {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QUILLET_GATEWAY_COMPONENT_IID FILE "badcomponent.json")
    Q_INTERFACES(GatewayComponent)

public:
    Status create(std::unique_ptr<GatewayClient> &client) override;
};
