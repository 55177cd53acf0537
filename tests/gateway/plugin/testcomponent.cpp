#include "testcomponent.h"

#include "fakegateway.h"

using namespace Qt::StringLiterals;

Status TestComponent::create(std::unique_ptr<GatewayClient> &client)
{
#ifdef TEST_COMPONENT_FAILS
    Q_UNUSED(client);
    return Status::failure(Status::CreationFailed, u"test component refuses"_s);
#else
    static GatewayScript script;
    script.replies.append(Reply::text(u"from plugin"_s));
    client = std::make_unique<FakeGateway>(std::shared_ptr<GatewayScript>(&script, [](auto *) {}));
    return Status::ok();
#endif
}
