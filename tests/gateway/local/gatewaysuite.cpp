#include "tests/gateway/local/gatewaysuite.h"

#include "tests/gateway/local/storeprobe.h"
#include "tests/gateway/local/testgateway.h"
#include "gateway/operatorbackend.h"

#include <QTest>

using namespace Qt::StringLiterals;

const QString GatewaySuite::Account = u"ABC-123-XYZ-00001"_s;
const QString GatewaySuite::Other = u"ABC-123-XYZ-00002"_s;
const QString GatewaySuite::Password = u"secret"_s;
const QString GatewaySuite::Phone = u"13800138000"_s;

GatewaySuite::GatewaySuite() = default;

GatewaySuite::~GatewaySuite() = default;

RegisterParticulars GatewaySuite::particulars(const QString &accountNo, const QString &password,
                                              const QString &mobile)
{
    RegisterParticulars p;
    p.accountNo = accountNo;
    p.password = password;
    p.province = u"北京"_s;
    p.city = u"北京"_s;
    p.trade = u"计算机软件"_s;
    p.company = u"示例公司"_s;
    p.contactName = u"示例人"_s;
    p.telephone = u"010-12345678"_s;
    p.mobile = mobile;
    p.email = u"demo@example.com"_s;
    p.fax = u"010-87654321"_s;
    p.address = u"北京市中关村"_s;
    p.postcode = u"100086"_s;
    return p;
}

QList<std::pair<const char *, GatewaySuite::Operation>> GatewaySuite::operations()
{
    const QString phone = Phone;
    return {
        { "QueryBalance",
          [](GatewayClient &g, const QString &a, Answer &r) { return g.QueryBalance(a, r.text); } },
        { "Recharge",
          [](GatewayClient &g, const QString &a, Answer &r) {
              return g.Recharge(a, r.card.number, r.card.password, r.outcome);
          } },
        { "SendMessage",
          [phone](GatewayClient &g, const QString &a, Answer &r) {
              return g.SendMessage(a, phone, u"hi"_s, r.outcome);
          } },
        { "SendScheduledMessage",
          [phone](GatewayClient &g, const QString &a, Answer &r) {
              return g.SendScheduledMessage(a, phone, u"hi"_s, u"2024/5/20 9:40:00"_s, r.outcome);
          } },
        { "ReceiveMessages",
          [](GatewayClient &g, const QString &a, Answer &r) {
              return g.ReceiveMessages(a, r.total, r.current, r.messages, r.outcome);
          } },
        { "ReceiveMessagesNet",
          [](GatewayClient &g, const QString &a, Answer &r) {
              return g.ReceiveMessagesNet(a, r.total, r.current, r.messages, {}, r.outcome);
          } },
        { "SetForwarding",
          [phone](GatewayClient &g, const QString &a, Answer &r) {
              return g.SetForwarding(a, phone, r.outcome);
          } },
        { "CancelForwarding",
          [](GatewayClient &g, const QString &a, Answer &r) {
              return g.CancelForwarding(a, r.outcome);
          } },
        { "GetForwarding",
          [](GatewayClient &g, const QString &a, Answer &r) {
              return g.GetForwarding(a, r.text);
          } },
        { "SetAutoReply",
          [](GatewayClient &g, const QString &a, Answer &r) {
              return g.SetAutoReply(a, u"x"_s, r.outcome);
          } },
        { "CancelAutoReply",
          [](GatewayClient &g, const QString &a, Answer &r) {
              return g.CancelAutoReply(a, r.outcome);
          } },
        { "GetAutoReply",
          [](GatewayClient &g, const QString &a, Answer &r) { return g.GetAutoReply(a, r.text); } },
        { "Deregister",
          [](GatewayClient &g, const QString &a, Answer &r) {
              return g.Deregister(a, r.outcome);
          } },
        { "ChangePassword",
          [](GatewayClient &g, const QString &a, Answer &r) {
              return g.ChangePassword(a, u"new"_s, r.outcome);
          } },
    };
}

bool GatewaySuite::badRequestThroughService(const QString &text)
{
    return TestGateway::remote() && !QStringView(text).isValidUtf16();
}

std::unique_ptr<GatewayClient> GatewaySuite::openGateway()
{
    return m_rig->open();
}

QList<LocalGateway::IssuedCard> GatewaySuite::issueCards(qint64 valueFen, int count)
{
    QList<LocalGateway::IssuedCard> cards;
    for (int left = count; left > 0; left -= 5) {
        const auto publish = [&](const QList<LocalGateway::IssuedCard> &issued) {
            cards += issued;
            return true;
        };
        if (m_operator->issueCards(valueFen, qMin(left, 5), publish).failed())
            return {};
    }
    return cards;
}

Bool16 GatewaySuite::registerAccount(const QString &accountNo, const QString &password)
{
    Bool16 outcome = 1;
    if (m_gateway->Register(particulars(accountNo, password), outcome).failed())
        return 1;
    return outcome;
}

LocalGateway::IssuedCard GatewaySuite::issueCard(qint64 valueFen)
{
    const QList<LocalGateway::IssuedCard> cards = issueCards(valueFen, 1);
    return cards.size() == 1 ? cards.first() : LocalGateway::IssuedCard();
}

bool GatewaySuite::credit(const QString &accountNo, qint64 fen)
{
    const LocalGateway::IssuedCard card = issueCard(fen);
    Bool16 outcome = 0;
    return m_gateway->Recharge(accountNo, card.number, card.password, outcome).isOk()
        && outcome == True16;
}

QString GatewaySuite::balance(const QString &accountNo)
{
    QString text = u"untouched"_s;
    if (m_gateway->QueryBalance(accountNo, text).failed())
        return u"failed"_s;
    return text;
}

QStringList GatewaySuite::handset(const QString &phone)
{
    QList<LocalGateway::HandsetMessage> messages;
    if (m_operator->handsetMessages(phone, messages).failed())
        return { u"failed"_s };
    QStringList texts;
    for (const auto &m : std::as_const(messages))
        texts.append(m.text);
    return texts;
}

void GatewaySuite::arrive(const QString &from, const QString &text, const QString &extension)
{
    LocalGateway::MoReport report;
    QVERIFY(m_operator->receiveFromHandset(from, Account, extension, text, report).isOk());
    QCOMPARE(report.outcome, LocalGateway::MoOutcome::Arrived);
}

GatewaySuite::Batch GatewaySuite::receive(const QString &accountNo,
                                          const std::optional<QString> &extension)
{
    Batch batch;
    Variant total(u"before"_s), current(u"before"_s), messages(u"before"_s);
    const Status status = extension
        ? m_gateway->ReceiveMessagesNet(accountNo, total, current, messages, *extension,
                                        batch.outcome)
        : m_gateway->ReceiveMessages(accountNo, total, current, messages, batch.outcome);
    if (status.failed()) {
        batch.outcome = 1;
        return batch;
    }
    (void)total.toText(batch.total);
    (void)current.toText(batch.current);
    (void)messages.toTable(batch.table);
    return batch;
}

void GatewaySuite::cleanupTestCase()
{
    TestGateway::stopService();
}

void GatewaySuite::init()
{
    m_rig.reset(); // what a failed cleanup left goes first
    // The service reads the machine's clock: through it, "now" is now.
    m_now = TestGateway::clockControlled() ? QDateTime(QDate(2024, 5, 20), QTime(9, 30, 0))
                                           : QDateTime::currentDateTime();
    m_rig = std::make_unique<TestGateway>([this] { return m_now; });
    QVERIFY(m_rig->isValid());
    m_storeUrl = m_rig->storeUrl();
    m_gateway = openGateway();
    QVERIFY(m_gateway);
    m_operator = m_rig->operatorSide();
    QVERIFY(m_operator);
}

void GatewaySuite::cleanup()
{
    m_gateway.reset();
    {
        StoreProbe probe(storePath());
        QCOMPARE(probe.quickCheck(), u"ok"_s);
        QCOMPARE(probe.ledgerMismatches(), QStringList());
        QCOMPARE(probe.unmatchedCharges(), QStringList());
        QCOMPARE(probe.waitingMismatches(), QStringList());
    }
    m_operator = nullptr;
    m_rig.reset();
}
