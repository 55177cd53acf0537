#pragma once

#include "gateway/gatewayclient.h"

#include <QObject>

// The plugin's root object: makes a LocalGateway on the user's own store for each
// console window that asks.
class LocalGatewayPlugin : public QObject, public GatewayComponent {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QUILLET_GATEWAY_COMPONENT_IID FILE "localgateway.json")
    Q_INTERFACES(GatewayComponent)

public:
    Status create(std::unique_ptr<GatewayClient> &client) override;
};
