#pragma once

// The gateway that a semantic test talks to, chosen by the run:
//
//   QUILLET_TEST_GATEWAY unset ────> LocalGateway in this process on a fresh TestStore,
//                                    reading the test's clock
//   QUILLET_TEST_GATEWAY=remote ───> RemoteGateway over a quillet-gatewayd that this object
//                                    starts on 127.0.0.1 (ephemeral port) on a store of
//                                    its own (ServiceRig: SQLite, or PostgreSQL with the
//                                    service's runtime role); the operator's side goes
//                                    through the service's operator routes
//
// Either way the test holds GatewayClient instances for the console's calls and one
// OperatorBackend for the operator's (cards, arrivals, handsets, accounts), and looks
// into the very store the gateway works on, from the side, at storeUrl().

#include "gatewayclient.h"
#include "localgateway.h"

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
    bool startService();
    std::unique_ptr<LocalGateway> openLocal();

    LocalGateway::Clock m_clock;
    std::unique_ptr<TestStore> m_store; // the local run's
    std::unique_ptr<ServiceRig> m_service;
    QString m_consoleToken;
    std::unique_ptr<OperatorBackend> m_operator;
};
