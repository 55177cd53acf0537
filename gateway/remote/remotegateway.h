#pragma once

// The remote gateway component: the console's GatewayClient calls carried to
// quillet-gatewayd as JSON over HTTP(S), one synchronous exchange per call.
//
//   console ── GatewayClient call ── RemoteGateway::call ── POST /v1/console/<op> ──> service
//                                     │  local event loop (user input held back), bounded
//                                     │  by the connect and call timeouts
//                                     └─ answer ── Status and out slots, or a failure
//                                        Status saying what went wrong
//
// The exchange is HTTP/1.1 on a connection of this object's own, kept from one call to
// the next while the service keeps it open. An answer is read with the length it gives,
// up to Wire::MaxAnswerBytes; one in chunks, or longer, is refused, so a service that
// sends without end costs that much memory and no more.
//
// Calls that move money or create messages carry an Idempotency-Key; a call that failed
// in transit is tried again only with that same key, so the service applies it once.
// The console is already modal during a call; a second call that arrives while one is
// running (from a nested event) is refused, and deleting the gateway during a call ends
// that call with a failure Status without touching the deleted object.

#include "gateway/gatewayclient.h"
#include "gateway/remote/remoteexchange.h"
#include "protocol/calls.h"
#include "protocol/wire.h"

#include <QJsonObject>
#include <QSslConfiguration>
#include <QUrl>

#include <memory>
#include <optional>

class QEventLoop;
class QTcpSocket;

class RemoteGateway final : public GatewayClient, public Wire::Transport {
public:
    struct Settings {
        QUrl url;
        QString token;
        // Certificates to trust for the service (PEM); empty: the system's.
        QString caFile;
        int connectTimeoutMs = 5'000;
        int callTimeoutMs = 10'000;
        // Further tries of a keyed call after a failure in transit.
        int retries = 2;
    };

    // Status codes of the failures this component reports.
    static constexpr qint32 Unavailable = Status::CreationFailed;
    static constexpr qint32 AccessDenied = Status::AccessDenied;
    static constexpr qint32 Timeout = Status::Timeout;
    static constexpr qint32 Refused = Status::Refused;
    static constexpr qint32 TlsFailed = Status::TlsFailed;
    static constexpr qint32 Busy = Status::Busy;
    static constexpr qint32 BadSettings = Status::InvalidArgument;

    static Status create(const Settings &settings, std::unique_ptr<RemoteGateway> &gateway);
    // `quillet-gateway/remote.conf` under the user's config folder: url, token_file,
    // ca_file, connect_timeout_ms, call_timeout_ms.
    static QString settingsPath();
    static Status readSettings(const QString &path, Settings &settings);
    // A token file readable or writable by others than its owner is refused.
    static Status readTokenFile(const QString &path, QString &token);

    ~RemoteGateway() override;

    Status QueryBalance(const QString &accountNo, QString &balance) override;
    Status Register(const RegisterParticulars &particulars, Bool16 &outcome) override;
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

    // Wire::Transport: one operation's request to the service, for this component's
    // calls and the operator tool's; `answer` is the service's JSON answer when the
    // Status is success.
    Status send(const Wire::Operation &operation, const QJsonObject &request,
                QJsonObject &answer) override;
    Status malformed() const override;

private:
    explicit RemoteGateway(Settings settings, std::optional<QSslConfiguration> tls);

    RemoteExchange::Outcome exchange(const Wire::Operation &operation, const QByteArray &body,
                                     const QString &key, qint64 remainingMs);
    // One request on m_socket (a new connection unless `reused`), and how it ended; none
    // when this object was deleted meanwhile.
    std::optional<RemoteExchange::Ending> transmit(const QByteArray &request, qint64 remainingMs,
                                                   bool reused);
    // Waits `ms` in a local event loop; false when this object was deleted meanwhile.
    bool pause(int ms);

    Settings m_settings;
    std::optional<QSslConfiguration> m_tls;
    // The connection to the service, kept from one call to the next.
    std::unique_ptr<QTcpSocket> m_socket;
    // Set to false when this object is deleted; a call running in its event loop
    // checks it before touching anything of this object again.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    QEventLoop *m_loop = nullptr;
};
