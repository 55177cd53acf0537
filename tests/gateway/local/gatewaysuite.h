#pragma once

// What the gateway's semantic suite shares: each of its executables
// (tst_localgateway_<behaviour>.cpp) derives its test class from GatewaySuite and adds
// its test functions as private slots; QtTest runs the init(), cleanup() and
// cleanupTestCase() declared here around them.
//
//   init() ─────────> a fresh TestGateway: the local gateway in process, or the remote
//                     component over the run's quillet-gatewayd (testgateway.h), with
//                     its store empty; m_gateway for the console's calls, m_operator
//                     for the operator's
//   the test ───────> the helpers below: accounts, cards and money, handsets,
//                     arrivals and receive batches
//   cleanup() ──────> the store is sound and every balance is its ledger's sum
//   cleanupTestCase() stops the run's service, if it started one
//
// The same executables run in process and through the service, on SQLite and on
// PostgreSQL (tests/gateway/local/CMakeLists.txt).

#include "gateway/gatewayclient.h"
#include "gateway/local/localgateway.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <utility>

class OperatorBackend;
class TestGateway;

class GatewaySuite : public QObject {
    Q_OBJECT

public:
    GatewaySuite();
    ~GatewaySuite() override;

    // What an operation hands back: the outcome slot, the text slot, the receive slots.
    // Each starts with a value no operation writes.
    struct Answer {
        LocalGateway::IssuedCard card; // the card a recharge offers
        Bool16 outcome = 1;
        QString text = QStringLiteral("untouched");
        Variant total, current, messages;
    };

    using Operation = std::function<Status(GatewayClient &, const QString &accountNo, Answer &)>;

protected:
    static const QString Account;
    static const QString Other;
    static const QString Password;
    static const QString Phone;

    static RegisterParticulars particulars(const QString &accountNo, const QString &password,
                                           const QString &mobile = Phone);
    // Every operation but Register, each with ordinary arguments.
    static QList<std::pair<const char *, Operation>> operations();

    // The service refuses a text with an unpaired surrogate as a bad request, before the
    // gateway's rules see it: through it the call fails, where the local gateway answers
    // 0. Nothing changes either way.
    static bool badRequestThroughService(const QString &text);

    // The store's URL (an SQLite file, or a PostgreSQL database in the PostgreSQL run), of
    // the service's store when the run goes through it.
    QString storePath() const { return m_storeUrl; }

    std::unique_ptr<GatewayClient> openGateway();

    // A few cards per call: the service hashes every card's password in its call, and a
    // busy machine must not push a call past the remote component's time limit.
    QList<LocalGateway::IssuedCard> issueCards(qint64 valueFen, int count);
    LocalGateway::IssuedCard issueCard(qint64 valueFen);

    Bool16 registerAccount(const QString &accountNo, const QString &password = Password);
    bool credit(const QString &accountNo, qint64 fen);
    QString balance(const QString &accountNo);
    QStringList handset(const QString &phone);
    void arrive(const QString &from, const QString &text, const QString &extension = {});

    struct Batch {
        Bool16 outcome = 1;
        QString total;
        QString current;
        TextTable table;
    };

    Batch receive(const QString &accountNo, const std::optional<QString> &extension = {});

    QDateTime m_now;
    std::unique_ptr<GatewayClient> m_gateway;
    OperatorBackend *m_operator = nullptr;

private:
    std::unique_ptr<TestGateway> m_rig;
    QString m_storeUrl;

private Q_SLOTS:
    void cleanupTestCase();
    void init();
    // Whatever a test did, the store is sound and every balance is its ledger's sum.
    void cleanup();
};

Q_DECLARE_METATYPE(GatewaySuite::Operation)
