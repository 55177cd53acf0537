#pragma once

// The secrets that sign an application's callbacks, and the key that keeps them sealed.
//
//   PUT /v1/account/callback ── newSecret() ── shown once to the application
//                                  └─ seal() with the service's key ── callbacks.secret_sealed
//   dispatcher ── open() ── signature(secret, t, body) ── Quillet-Signature header
//
// The key is a file of the service's own (in its state folder, or where the config
// says), made 0600 on first use and refused when others may read it: a copy of the
// store, a backup among them, holds no secret it could sign with.

#include "gateway/status.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace CallbackSecrets {

inline const QString SecretPrefix = QStringLiteral("whsec_");
inline const QByteArray SignatureHeader = QByteArrayLiteral("Quillet-Signature");

// 32 random bytes as base64url text, after the prefix.
QString newSecret();
// "t=UNIX_SECONDS,v1=HEX": the lower-case hex of HMAC-SHA256 keyed with the secret's
// text as UTF-8 over t "." body.
QByteArray signature(const QString &secret, qint64 unixSeconds, const QByteArray &body);

} // namespace CallbackSecrets

class SecretSeal {
public:
    // Reads the key in `file`, making it first when there is none.
    static Status load(const QString &file, SecretSeal &seal);

    bool isLoaded() const { return !m_key.isEmpty(); }
    // A fresh nonce followed by the secret sealed with it.
    QByteArray seal(const QString &secret) const;
    // Nothing when it was not sealed with this key, or has been changed since.
    std::optional<QString> open(const QByteArray &sealed) const;

private:
    QByteArray m_key;
};
