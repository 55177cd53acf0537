#include "gateway/remote/remotegatewayplugin.h"

#include "gateway/remote/remotegateway.h"

Status RemoteGatewayPlugin::create(std::unique_ptr<GatewayClient> &client)
{
    RemoteGateway::Settings settings;
    QUILLET_TRY(RemoteGateway::readSettings(RemoteGateway::settingsPath(), settings));
    std::unique_ptr<RemoteGateway> gateway;
    QUILLET_TRY(RemoteGateway::create(settings, gateway));
    client = std::move(gateway);
    return Status::ok();
}
