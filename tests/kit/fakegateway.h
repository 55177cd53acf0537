#pragma once

// A scripted GatewayClient for tests. Every call is recorded (operation, text
// arguments, the slot values it was handed) and answered with the next scripted Reply;
// with no reply left, the call succeeds and writes nothing.
//
//   auto script = std::make_shared<GatewayScript>();
//   script->replies = { Reply::outcome(-1), Reply::text(u"12.30"_s) };
//   Console console(view, script->factory());

#include "gateway/gatewayclient.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

struct Reply {
    Status status; // a failure is returned before anything is written
    std::optional<Bool16> outcomeValue; // written to a Bool16 slot
    std::optional<QString> textValue; // written to a text slot
    std::optional<Variant> total; // written to the receive slots
    std::optional<Variant> current;
    std::optional<Variant> messages;

    static Reply outcome(Bool16 value);
    static Reply text(QString value);
    static Reply failure(qint32 code, QString description);
    static Reply nothing();
    // A receive batch: total and current as texts and the messages as a table.
    static Reply batch(Bool16 outcome, Variant total, Variant current, Variant messages);
};

// One recorded call.
struct Call {
    QString operation;
    QStringList arguments; // the text inputs, in call order
    Bool16 outcomeIn = 0; // what the Bool16 slot held when handed over
    QString textIn; // what the text slot held when handed over
    Variant totalIn; // what the receive slots held when handed over
    Variant currentIn;
    Variant messagesIn;
};

struct GatewayScript {
    QList<Reply> replies; // played back in order, one per call
    QList<Call> calls;
    // Calls and view events in the order they happened, e.g. "QueryBalance",
    // "notice:充值成功！", "output:余额数：1", "error:-2147467259".
    QStringList trace;
    int instancesCreated = 0;
    int instancesDestroyed = 0;
    // When set, creating a gateway fails with it.
    std::optional<Status> creationFailure;

    QStringList operations() const;
    // A factory for Console that makes FakeGateways playing this script.
    std::function<Status(std::unique_ptr<GatewayClient> &)> factory();
};

// A table of messages: rows x 4 cells named "<prefix><row>.<field>".
TextTable messageTable(qsizetype rows, const QString &prefix = QString(), qsizetype columns = 4);

class FakeGateway : public GatewayClient {
public:
    explicit FakeGateway(std::shared_ptr<GatewayScript> script);
    ~FakeGateway() override;

    Status QueryBalance(const QString &accountNo, QString &balance) override;
    Status Register(const RegisterParticulars &p, Bool16 &outcome) override;
    Status Recharge(const QString &accountNo, const QString &cardNo, const QString &cardPassword,
                    Bool16 &outcome) override;
    Status SendMessage(const QString &accountNo, const QString &phoneNo, const QString &text,
                       Bool16 &outcome) override;
    Status SendScheduledMessage(const QString &accountNo, const QString &phoneNo,
                                const QString &text, const QString &sendTime,
                                Bool16 &outcome) override;
    Status ReceiveMessages(const QString &accountNo, Variant &total, Variant &current,
                           Variant &messages, Bool16 &outcome) override;
    Status SetForwarding(const QString &accountNo, const QString &phoneNo,
                         Bool16 &outcome) override;
    Status CancelForwarding(const QString &accountNo, Bool16 &outcome) override;
    Status GetForwarding(const QString &accountNo, QString &phoneNo) override;
    Status SetAutoReply(const QString &accountNo, const QString &reply, Bool16 &outcome) override;
    Status CancelAutoReply(const QString &accountNo, Bool16 &outcome) override;
    Status GetAutoReply(const QString &accountNo, QString &reply) override;
    Status Deregister(const QString &accountNo, Bool16 &outcome) override;
    Status ChangePassword(const QString &accountNo, const QString &newPassword,
                          Bool16 &outcome) override;
    Status ReceiveMessagesNet(const QString &accountNo, Variant &total, Variant &current,
                              Variant &messages, const QString &extension,
                              Bool16 &outcome) override;

private:
    Status answer(Call call, Bool16 *outcome, QString *text);
    Status answerReceive(Call call, Variant &total, Variant &current, Variant &messages,
                         Bool16 &outcome);
    Reply next();

    std::shared_ptr<GatewayScript> m_script;
};
