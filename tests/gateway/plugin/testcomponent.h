#pragma once

#include "gateway/gatewayclient.h"

#include <QObject>

// A gateway component for the loader's tests: it makes fake gateways, or fails to when
// built with TEST_COMPONENT_FAILS.
class TestComponent : public QObject, public GatewayComponent {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QUILLET_GATEWAY_COMPONENT_IID FILE "testcomponent.json")
    Q_INTERFACES(GatewayComponent)

public:
    Status create(std::unique_ptr<GatewayClient> &client) override;
};
