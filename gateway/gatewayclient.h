#pragma once

// The boundary between the console and the SMS gateway component.
//
//   console ──calls──> GatewayClient (this interface) <──implements── gateway component
//                            ^                                       (a plugin, found by
//                            └── GatewayLoader::create(classId) ──── class identifier)
//
// Every operation returns a Status (negative code: the call itself failed) and hands
// its outcome back through its last argument. The outcome slot is an out-argument on
// purpose: an operation that writes nothing leaves the caller's value in place, and
// the console relies on that.

#include "gateway/gatewayids.h"
#include "gateway/status.h"
#include "gateway/variant.h"

#include <QString>
#include <QtPlugin>

#include <memory>

// A 16-bit boolean as the gateway returns it: -1 true, 0 false.
using Bool16 = qint16;
inline constexpr Bool16 True16 = -1;
inline constexpr Bool16 False16 = 0;

// Register's thirteen texts, in the order of the call.
struct RegisterParticulars {
    QString accountNo;
    QString password;
    QString province;
    QString city;
    QString trade;
    QString company;
    QString contactName;
    QString telephone;
    QString mobile;
    QString email;
    QString fax;
    QString address;
    QString postcode;

    friend bool operator==(const RegisterParticulars &, const RegisterParticulars &) = default;
};

class GatewayClient {
public:
    virtual ~GatewayClient() = default;

    // Operations in the order of the component's call table. The component's own
    // operations that the console never calls are not part of this interface.
    virtual Status QueryBalance(const QString &accountNo, QString &balance) = 0;
    virtual Status Register(const RegisterParticulars &particulars, Bool16 &outcome) = 0;
    virtual Status Recharge(const QString &accountNo, const QString &cardNo,
                            const QString &cardPassword, Bool16 &outcome)
        = 0;
    virtual Status SendMessage(const QString &accountNo, const QString &phoneNo,
                               const QString &text, Bool16 &outcome)
        = 0;
    virtual Status SendScheduledMessage(const QString &accountNo, const QString &phoneNo,
                                        const QString &text, const QString &sendTime,
                                        Bool16 &outcome)
        = 0;
    virtual Status ReceiveMessages(const QString &accountNo, Variant &total, Variant &current,
                                   Variant &messages, Bool16 &outcome)
        = 0;
    virtual Status SetForwarding(const QString &accountNo, const QString &phoneNo, Bool16 &outcome)
        = 0;
    virtual Status CancelForwarding(const QString &accountNo, Bool16 &outcome) = 0;
    virtual Status GetForwarding(const QString &accountNo, QString &phoneNo) = 0;
    virtual Status SetAutoReply(const QString &accountNo, const QString &reply, Bool16 &outcome)
        = 0;
    virtual Status CancelAutoReply(const QString &accountNo, Bool16 &outcome) = 0;
    virtual Status GetAutoReply(const QString &accountNo, QString &reply) = 0;
    virtual Status Deregister(const QString &accountNo, Bool16 &outcome) = 0;
    virtual Status ChangePassword(const QString &accountNo, const QString &newPassword,
                                  Bool16 &outcome)
        = 0;
    virtual Status ReceiveMessagesNet(const QString &accountNo, Variant &total, Variant &current,
                                      Variant &messages, const QString &extension, Bool16 &outcome)
        = 0;
};

// What a gateway component plugin exports: a factory of fresh GatewayClient
// instances. Its metadata (the plugin's JSON file) declares
//   { "ClassId": "<class identifier>", "Interfaces": [ "<GatewayClientIid>" ] }
// so the loader can pick it without loading it.
class GatewayComponent {
public:
    virtual ~GatewayComponent() = default;
    virtual Status create(std::unique_ptr<GatewayClient> &client) = 0;
};

#define QUILLET_GATEWAY_COMPONENT_IID "org.quillet.GatewayComponent/1.0"
Q_DECLARE_INTERFACE(GatewayComponent, QUILLET_GATEWAY_COMPONENT_IID)
