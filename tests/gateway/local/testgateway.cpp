#include "testgateway.h"

#include "operatorbackend.h"
#include "remotebackend.h"
#include "remotegateway.h"
#include "servicerig.h"
#include "teststore.h"

#include <QFile>
#include <QtDebug>

using namespace Qt::StringLiterals;

bool TestGateway::remote()
{
    return qEnvironmentVariable("QUILLET_TEST_GATEWAY") == u"remote"_s;
}

TestGateway::TestGateway(LocalGateway::Clock clock)
    : m_clock(std::move(clock))
{
    // The rig makes a store of its own ready for the service as it is made.
    if (remote())
        m_service = std::make_unique<ServiceRig>();
    else
        m_store = std::make_unique<TestStore>();
}

bool TestGateway::isValid() const
{
    return m_service ? !m_service->ownerUrl().isEmpty() : m_store->isValid();
}

QString TestGateway::storeUrl() const
{
    return m_service ? m_service->ownerUrl() : m_store->url();
}

// The service is stopped before the store goes away, so that the next test's store is
// never touched by this one's service.
TestGateway::~TestGateway()
{
    m_operator.reset();
    if (m_service && m_service->terminate() != 0)
        qWarning() << "the service did not stop cleanly:" << m_service->log();
}

bool TestGateway::startService()
{
    if (m_operator)
        return true;
    // Names of their own: a store emptied for the next test may keep the service's tables.
    static int services = 0;
    ++services;
    m_consoleToken = m_service->issue(u"console"_s, u"semantic-console-%1"_s.arg(services));
    const QString operatorToken
        = m_service->issue(u"operator"_s, u"semantic-operator-%1"_s.arg(services));
    QString why;
    if (m_consoleToken.isEmpty() || operatorToken.isEmpty() || !m_service->start(why)) {
        qWarning() << "the service did not start:" << why;
        return false;
    }
    // The operator's side reads its token from a file only its owner may read.
    QFile tokenFile(m_service->dir() + u"/operator.token"_s);
    if (!tokenFile.open(QIODevice::WriteOnly)
        || !tokenFile.setPermissions(QFile::ReadOwner | QFile::WriteOwner)
        || tokenFile.write(operatorToken.toLatin1()) < 0)
        return false;
    tokenFile.close();
    std::unique_ptr<RemoteBackend> backend;
    const Status status
        = RemoteBackend::open({ QUrl(m_service->url()), tokenFile.fileName(), QString() }, backend);
    if (status.failed()) {
        qWarning() << status.description();
        return false;
    }
    m_operator = std::move(backend);
    return true;
}

std::unique_ptr<GatewayClient> TestGateway::open()
{
    if (remote()) {
        if (!startService())
            return nullptr;
        RemoteGateway::Settings settings;
        settings.url = QUrl(m_service->url());
        settings.token = m_consoleToken;
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
    if (!m_operator && remote()) {
        if (!startService())
            return nullptr;
    } else if (!m_operator) {
        std::unique_ptr<LocalGateway> gateway = openLocal();
        if (!gateway)
            return nullptr;
        m_operator = std::make_unique<LocalBackend>(std::move(gateway));
    }
    return m_operator.get();
}
