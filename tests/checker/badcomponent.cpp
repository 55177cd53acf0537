#include "tests/checker/badcomponent.h"

#include <QThread>

#include <cstdlib>

using namespace Qt::StringLiterals;

namespace {

class BadGateway : public GatewayClient {
public:
    Status QueryBalance(const QString &, QString &balance) override
    {
        balance = u"0.00"_s;
        return Status::ok();
    }
    Status Register(const RegisterParticulars &, Bool16 &outcome) override
    {
        outcome = True16;
        return Status::ok();
    }
    Status Recharge(const QString &, const QString &, const QString &, Bool16 &) override
    {
        return Status::failure(-5, QString());
    }
    Status SendMessage(const QString &, const QString &, const QString &text,
                       Bool16 &outcome) override
    {
        if (text.size() > 100000)
            std::abort();
        outcome = False16;
        return Status::ok();
    }
    Status SendScheduledMessage(const QString &, const QString &, const QString &, const QString &,
                                Bool16 &outcome) override
    {
        outcome = False16;
        return Status::ok();
    }
    Status ReceiveMessages(const QString &, Variant &total, Variant &current, Variant &messages,
                           Bool16 &outcome) override
    {
        total = Variant(u"many"_s);
        current = Variant(u"1"_s);
        messages = Variant(TextTable(1, 4));
        outcome = True16;
        return Status::ok();
    }
    Status SetForwarding(const QString &, const QString &, Bool16 &outcome) override
    {
        outcome = True16;
        return Status::ok();
    }
    Status CancelForwarding(const QString &, Bool16 &outcome) override
    {
        outcome = True16;
        return Status::ok();
    }
    Status GetForwarding(const QString &, QString &phoneNo) override
    {
        phoneNo = u"13800\x1b[31m\n"_s;
        return Status::ok();
    }
    Status SetAutoReply(const QString &, const QString &reply, Bool16 &outcome) override
    {
        if (reply.contains(u'\''))
            QThread::sleep(3600);
        outcome = True16;
        return Status::ok();
    }
    Status CancelAutoReply(const QString &, Bool16 &) override { return Status::ok(); }
    Status GetAutoReply(const QString &, QString &) override { return Status::ok(); }
    Status Deregister(const QString &, Bool16 &outcome) override
    {
        outcome = True16;
        return Status::ok();
    }
    Status ChangePassword(const QString &, const QString &, Bool16 &outcome) override
    {
        outcome = 7;
        return Status::ok();
    }
    Status ReceiveMessagesNet(const QString &, Variant &, Variant &, Variant &, const QString &,
                              Bool16 &outcome) override
    {
        outcome = False16;
        return Status::ok();
    }
};

} // namespace

Status BadComponent::create(std::unique_ptr<GatewayClient> &client)
{
    client = std::make_unique<BadGateway>();
    return Status::ok();
}
