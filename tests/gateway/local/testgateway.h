#pragma once

// The gateway that a semantic test talks to, chosen by the run:
//
//   QUILLET_TEST_GATEWAY unset ────> LocalGateway in this process on a fresh TestStore,
//                                    reading the test's clock
//   QUILLET_TEST_GATEWAY=remote ───> RemoteGateway over a quillet-gatewayd on 127.0.0.1
//                                    (ephemeral port) on a store of its own (ServiceRig:
//                                    SQLite, or PostgreSQL with the service's runtime
//                                    role); the operator's side goes through the
//                                    service's operator routes. One service serves the
//                                    whole run: each TestGateway empties its store (the
//                                    tokens stay) and starts it again only if it stopped
//
// Either way the test holds GatewayClient instances for the console's calls and one
// OperatorBackend for the operator's (cards, arrivals, handsets, accounts), and looks
// into the very store the gateway works on, from the side, at storeUrl().

#include "gateway/gatewayclient.h"
#include "gateway/local/localgateway.h"

#include <QString>

#include <memory>

class OperatorBackend;
class ServiceRig;
class TestStore;

class TestGateway {
public:
    explicit TestGateway(LocalGateway::Clock clock);
    ~TestGateway();
    TestGateway(const TestGateway &) = delete;
    TestGateway &operator=(const TestGateway &) = delete;

    // True when this run goes through the service.
    static bool remote();
    // Stops the run's service, if one was started; call once the last test is done.
    static void stopService();
    // True when the gateway reads the test's clock (the local run); the service reads
    // the machine's.
    static bool clockControlled() { return !remote(); }

    // False when the store could not be made ready.
    bool isValid() const;
    // The store the gateway works on, as its owner sees it (for StoreProbe).
    QString storeUrl() const;
    // A fresh instance, as a console window makes one; null (with a warning) on failure.
    std::unique_ptr<GatewayClient> open();
    // The operator's side; null when it could not be set up.
    OperatorBackend *operatorSide();

private:
    struct Service;
    static std::unique_ptr<Service> &runService();
    // The run's service, with its store emptied; null when it could not be had.
    static Service *emptiedService();
    std::unique_ptr<LocalGateway> openLocal();

    LocalGateway::Clock m_clock;
    std::unique_ptr<TestStore> m_store; // the local run's
    Service *m_service = nullptr; // the remote run's
    std::unique_ptr<OperatorBackend> m_operator; // the local run's
};
