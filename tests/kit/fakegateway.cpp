#include "tests/kit/fakegateway.h"

using namespace Qt::StringLiterals;

Reply Reply::outcome(Bool16 value)
{
    Reply reply;
    reply.outcomeValue = value;
    return reply;
}

Reply Reply::text(QString value)
{
    Reply reply;
    reply.textValue = std::move(value);
    return reply;
}

Reply Reply::failure(qint32 code, QString description)
{
    Reply reply;
    reply.status = Status::failure(code, std::move(description));
    return reply;
}

Reply Reply::nothing()
{
    return {};
}

Reply Reply::batch(Bool16 outcome, Variant total, Variant current, Variant messages)
{
    Reply reply;
    reply.outcomeValue = outcome;
    reply.total = std::move(total);
    reply.current = std::move(current);
    reply.messages = std::move(messages);
    return reply;
}

QStringList GatewayScript::operations() const
{
    QStringList names;
    for (const Call &call : calls)
        names.append(call.operation);
    return names;
}

std::function<Status(std::unique_ptr<GatewayClient> &)> GatewayScript::factory()
{
    // The factory shares the script with every gateway it makes; the script is
    // expected to outlive the console that uses it.
    return [this](std::unique_ptr<GatewayClient> &client) {
        trace.append(u"create"_s);
        if (creationFailure)
            return *creationFailure;
        ++instancesCreated;
        client = std::make_unique<FakeGateway>(std::shared_ptr<GatewayScript>(this, [](auto *) {}));
        return Status::ok();
    };
}

TextTable messageTable(qsizetype rows, const QString &prefix, qsizetype columns)
{
    TextTable table(rows, columns);
    for (qsizetype r = 0; r < rows; ++r)
        for (qsizetype c = 0; c < columns; ++c)
            table.set(r, c, u"%1%2.%3"_s.arg(prefix).arg(r).arg(c));
    return table;
}

namespace {

Call call(QString operation, QStringList arguments)
{
    Call made;
    made.operation = std::move(operation);
    made.arguments = std::move(arguments);
    return made;
}

} // namespace

FakeGateway::FakeGateway(std::shared_ptr<GatewayScript> script)
    : m_script(std::move(script))
{
}

FakeGateway::~FakeGateway()
{
    ++m_script->instancesDestroyed;
}

Reply FakeGateway::next()
{
    return m_script->replies.isEmpty() ? Reply() : m_script->replies.takeFirst();
}

Status FakeGateway::answer(Call call, Bool16 *outcome, QString *text)
{
    if (outcome)
        call.outcomeIn = *outcome;
    if (text)
        call.textIn = *text;
    m_script->trace.append(call.operation);
    m_script->calls.append(std::move(call));
    const Reply reply = next();
    if (reply.status.failed())
        return reply.status;
    if (outcome && reply.outcomeValue)
        *outcome = *reply.outcomeValue;
    if (text && reply.textValue)
        *text = *reply.textValue;
    return Status::ok();
}

Status FakeGateway::answerReceive(Call call, Variant &total, Variant &current, Variant &messages,
                                  Bool16 &outcome)
{
    call.totalIn = total;
    call.currentIn = current;
    call.messagesIn = messages;
    call.outcomeIn = outcome;
    m_script->trace.append(call.operation);
    m_script->calls.append(std::move(call));
    const Reply reply = next();
    if (reply.status.failed())
        return reply.status;
    if (reply.outcomeValue)
        outcome = *reply.outcomeValue;
    if (reply.total)
        total = *reply.total;
    if (reply.current)
        current = *reply.current;
    if (reply.messages)
        messages = *reply.messages;
    return Status::ok();
}

Status FakeGateway::QueryBalance(const QString &accountNo, QString &balance)
{
    return answer(call(u"QueryBalance"_s, { accountNo }), nullptr, &balance);
}

Status FakeGateway::Register(const RegisterParticulars &p, Bool16 &outcome)
{
    return answer(
        call(u"Register"_s,
             { p.accountNo, p.password, p.province, p.city, p.trade, p.company, p.contactName,
               p.telephone, p.mobile, p.email, p.fax, p.address, p.postcode }),
        &outcome, nullptr);
}

Status FakeGateway::Recharge(const QString &accountNo, const QString &cardNo,
                             const QString &cardPassword, Bool16 &outcome)
{
    return answer(call(u"Recharge"_s, { accountNo, cardNo, cardPassword }), &outcome, nullptr);
}

Status FakeGateway::SendMessage(const QString &accountNo, const QString &phoneNo,
                                const QString &text, Bool16 &outcome)
{
    return answer(call(u"SendMessage"_s, { accountNo, phoneNo, text }), &outcome, nullptr);
}

Status FakeGateway::SendScheduledMessage(const QString &accountNo, const QString &phoneNo,
                                         const QString &text, const QString &sendTime,
                                         Bool16 &outcome)
{
    return answer(call(u"SendScheduledMessage"_s, { accountNo, phoneNo, text, sendTime }), &outcome,
                  nullptr);
}

Status FakeGateway::ReceiveMessages(const QString &accountNo, Variant &total, Variant &current,
                                    Variant &messages, Bool16 &outcome)
{
    return answerReceive(call(u"ReceiveMessages"_s, { accountNo }), total, current, messages,
                         outcome);
}

Status FakeGateway::SetForwarding(const QString &accountNo, const QString &phoneNo, Bool16 &outcome)
{
    return answer(call(u"SetForwarding"_s, { accountNo, phoneNo }), &outcome, nullptr);
}

Status FakeGateway::CancelForwarding(const QString &accountNo, Bool16 &outcome)
{
    return answer(call(u"CancelForwarding"_s, { accountNo }), &outcome, nullptr);
}

Status FakeGateway::GetForwarding(const QString &accountNo, QString &phoneNo)
{
    return answer(call(u"GetForwarding"_s, { accountNo }), nullptr, &phoneNo);
}

Status FakeGateway::SetAutoReply(const QString &accountNo, const QString &reply, Bool16 &outcome)
{
    return answer(call(u"SetAutoReply"_s, { accountNo, reply }), &outcome, nullptr);
}

Status FakeGateway::CancelAutoReply(const QString &accountNo, Bool16 &outcome)
{
    return answer(call(u"CancelAutoReply"_s, { accountNo }), &outcome, nullptr);
}

Status FakeGateway::GetAutoReply(const QString &accountNo, QString &reply)
{
    return answer(call(u"GetAutoReply"_s, { accountNo }), nullptr, &reply);
}

Status FakeGateway::Deregister(const QString &accountNo, Bool16 &outcome)
{
    return answer(call(u"Deregister"_s, { accountNo }), &outcome, nullptr);
}

Status FakeGateway::ChangePassword(const QString &accountNo, const QString &newPassword,
                                   Bool16 &outcome)
{
    return answer(call(u"ChangePassword"_s, { accountNo, newPassword }), &outcome, nullptr);
}

Status FakeGateway::ReceiveMessagesNet(const QString &accountNo, Variant &total, Variant &current,
                                       Variant &messages, const QString &extension, Bool16 &outcome)
{
    return answerReceive(call(u"ReceiveMessagesNet"_s, { accountNo, extension }), total, current,
                         messages, outcome);
}
