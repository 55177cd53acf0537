#include "gateway/local/localgatewayplugin.h"

#include "gateway/local/localgateway.h"

Status LocalGatewayPlugin::create(std::unique_ptr<GatewayClient> &client)
{
    StoreLocation location;
    QUILLET_TRY(StoreLocation::configured(location));
    std::unique_ptr<LocalGateway> gateway;
    QUILLET_TRY(LocalGateway::open(location, gateway));
    client = std::move(gateway);
    return Status::ok();
}
