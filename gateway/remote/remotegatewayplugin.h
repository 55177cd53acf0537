#pragma once

#include "gateway/gatewayclient.h"

#include <QObject>

// The plugin's root object: makes a RemoteGateway from the user's remote.conf for each
// console window that asks.
class RemoteGatewayPlugin : public QObject, public GatewayComponent {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QUILLET_GATEWAY_COMPONENT_IID FILE "remotegateway.json")
    Q_INTERFACES(GatewayComponent)

public:
    Status create(std::unique_ptr<GatewayClient> &client) override;
};
