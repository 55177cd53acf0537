#include "localgatewayplugin.h"

#include "localgateway.h"

Status LocalGatewayPlugin::create(std::unique_ptr<GatewayClient> &client)
{
    std::unique_ptr<LocalGateway> gateway;
    QUILLET_TRY(LocalGateway::open(Store::defaultPath(), gateway));
    client = std::move(gateway);
    return Status::ok();
}
