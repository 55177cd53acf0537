#include "tests/gateway/local/testgateway.h"

#include "gateway/local/localbackend.h"
#include "gateway/operatorbackend.h"
#include "gateway/remote/remotegateway.h"
#include "tests/gateway/local/teststore.h"
#include "tests/service/servicerig.h"
#include "tools/remotebackend.h"

#include <QFile>
#include <QtDebug>

using namespace Qt::StringLiterals;

bool TestGateway::remote()
{
    return qEnvironmentVariable("QUILLET_TEST_GATEWAY") == u"remote"_s;
}

struct TestGateway::Service {
    ServiceRig rig;
    QString consoleToken;
    std::unique_ptr<OperatorBackend> operatorSide;

    bool start();
};

std::unique_ptr<TestGateway::Service> &TestGateway::runService()
{
    static std::unique_ptr<Service> service;
    return service;
}

bool TestGateway::Service::start()
{
    // The rules are under test here, not the limits on failed sign-ons (the service's
    // own tests have those): the suite's wrong passwords all come from one token.
    rig.set(u"signon_failure_limit"_s, u"1000000"_s);
    rig.set(u"signon_token_failure_limit"_s, u"1000000"_s);
    consoleToken = rig.issue(u"console"_s, u"semantic-console"_s);
    const QString operatorToken = rig.issue(u"operator"_s, u"semantic-operator"_s);
    QString why;
    if (consoleToken.isEmpty() || operatorToken.isEmpty() || !rig.start(why)) {
        qWarning() << "the service did not start:" << why;
        return false;
    }
    // The operator's side reads its token from a file only its owner may read.
    QFile tokenFile(rig.dir() + u"/operator.token"_s);
    if (!tokenFile.open(QIODevice::WriteOnly)
        || !tokenFile.setPermissions(QFile::ReadOwner | QFile::WriteOwner)
        || tokenFile.write(operatorToken.toLatin1()) < 0)
        return false;
    tokenFile.close();
    std::unique_ptr<RemoteBackend> backend;
    const Status status
        = RemoteBackend::open({ QUrl(rig.url()), tokenFile.fileName(), QString() }, backend);
    if (status.failed()) {
        qWarning() << status.description();
        return false;
    }
    operatorSide = std::move(backend);
    return true;
}

TestGateway::Service *TestGateway::emptiedService()
{
    std::unique_ptr<Service> &service = runService();
    if (service && service->rig.running() && service->rig.emptyStore())
        return service.get();
    // None yet, or the last test left it stopped: a fresh one on a fresh store.
    stopService();
    service = std::make_unique<Service>();
    if (service->rig.ownerUrl().isEmpty() || !service->start()) {
        service.reset();
        return nullptr;
    }
    return service.get();
}

void TestGateway::stopService()
{
    std::unique_ptr<Service> &service = runService();
    if (!service)
        return;
    service->operatorSide.reset();
    if (service->rig.running() && service->rig.terminate() != 0)
        qWarning() << "the service did not stop cleanly:" << service->rig.log();
    service.reset();
}

TestGateway::TestGateway(LocalGateway::Clock clock)
    : m_clock(std::move(clock))
{
    if (remote())
        m_service = emptiedService();
    else
        m_store = std::make_unique<TestStore>();
}

bool TestGateway::isValid() const
{
    return remote() ? m_service != nullptr : m_store->isValid();
}

QString TestGateway::storeUrl() const
{
    return m_service ? m_service->rig.ownerUrl() : m_store->url();
}

TestGateway::~TestGateway() = default;

std::unique_ptr<GatewayClient> TestGateway::open()
{
    if (remote()) {
        if (!m_service)
            return nullptr;
        RemoteGateway::Settings settings;
        settings.url = QUrl(m_service->rig.url());
        settings.token = m_service->consoleToken;
        // The rules are under test here, not the time limits (the remote component's own
        // tests have those): room for the service's password hashing on a busy machine.
        settings.callTimeoutMs = 60'000;
        std::unique_ptr<RemoteGateway> gateway;
        const Status status = RemoteGateway::create(settings, gateway);
        if (status.failed())
            qWarning() << status.description();
        return gateway;
    }
    return openLocal();
}

std::unique_ptr<LocalGateway> TestGateway::openLocal()
{
    LocalGateway::Options options;
    options.clock = m_clock;
    options.hashCost = PasswordHasher::fastest();
    std::unique_ptr<LocalGateway> gateway;
    const Status status = LocalGateway::open(m_store->location(), gateway, options);
    if (status.failed())
        qWarning() << status.description();
    return gateway;
}

OperatorBackend *TestGateway::operatorSide()
{
    if (remote())
        return m_service ? m_service->operatorSide.get() : nullptr;
    if (!m_operator) {
        std::unique_ptr<LocalGateway> gateway = openLocal();
        if (!gateway)
            return nullptr;
        m_operator = std::make_unique<LocalBackend>(std::move(gateway));
    }
    return m_operator.get();
}
