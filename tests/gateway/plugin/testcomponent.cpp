#include "tests/gateway/plugin/testcomponent.h"

#include "tests/kit/fakegateway.h"

using namespace Qt::StringLiterals;

Status TestComponent::create(std::unique_ptr<GatewayClient> &client)
{
#ifdef TEST_COMPONENT_FAILS
    Q_UNUSED(client);
    return Status::failure(Status::CreationFailed, u"test component refuses"_s);
#else
    static GatewayScript script;
    // Every balance it answers names the component, so a test sees which one it got.
    script.replies.append(Reply::text(u"from "_s + QLatin1StringView(TEST_COMPONENT_NAME)));
    client = std::make_unique<FakeGateway>(std::shared_ptr<GatewayScript>(&script, [](auto *) {}));
    return Status::ok();
#endif
}
