#pragma once

// The SMPP server's settings, from the config file's `[smpp_server]` section; no section,
// no server.
//
//   [smpp_server]
//   listen=127.0.0.1   port=2775   tls=off | on (the service's certificate and key)
//   max_binds_per_account=4        window=50 (submit_sm held unanswered per bind)
//   enquire_link_s=30  response_timeout_s=10  max_pdu=4096 (octets; a longer one ends
//   the session)
//   failed_bind_delay_ms=1000      how long a wrong system_id or password waits for its
//                                  answer (a test setting)
//   receipts_kept_s=86400          how long a receipt or an arrival waits for a receiver
//                                  of its account to bind (a receipt of a message valid
//                                  for longer waits as long as it is valid)
//
// Failed binds are limited per address and per system_id by the service's failed
// sign-on limits (auth_failure_limit in auth_window_ms); submits by an account's rate
// (application_rate_limit).

#include <QHostAddress>
#include <QSettings>
#include <QString>
#include <QStringList>

#include <optional>

struct SmppServerSettings {
    QHostAddress listen { QHostAddress::LocalHost };
    quint16 port = 2775;
    bool tls = false;
    int maxBindsPerAccount = 4;
    int window = 50;
    int enquireLinkMs = 30'000;
    int responseTimeoutMs = 10'000;
    quint32 maxPdu = 4096;
    int failedBindDelayMs = 1'000;
    int receiptsKeptS = 86'400;

    friend bool operator==(const SmppServerSettings &, const SmppServerSettings &) = default;
};

inline const QString SmppServerSection = QStringLiteral("smpp_server");
const QStringList &smppServerKeys();

struct SmppServerRead {
    // None without the section.
    std::optional<SmppServerSettings> settings;
    QString error; // a usage error
};
SmppServerRead readSmppServerSettings(const QSettings &file);
