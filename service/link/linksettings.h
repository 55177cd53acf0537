#pragma once

// The links to SMSCs a service process keeps, from its config file: one section per
// link, named `smsc.NAME`.
//
//   [smsc.main]
//   host=smsc.example.net          port=2775 (default)
//   system_id=quillet              password_file=/etc/quillet/smsc-main.password (0600)
//   system_type=                   bind=transceiver | transmitter_receiver
//   tls=off | on                   tls_ca_file=/etc/quillet/smsc-ca.pem
//   source_ton=0  source_npi=0     window=10  rate=100 (messages a second)
//   enquire_link_s=30  response_timeout_s=10  reconnect_min_s=1  reconnect_max_s=60
//   routes=+8613, 0086              destination prefixes this link takes
//   parts_wait_s=86400              how long a part waits for the rest of its message
//   parts_per_source=500            parts of incomplete messages kept per sender
//   unmatched_keep_days=30          how long what matched nothing is kept
//   receipt_ids=auto | exact | hex-to-decimal | decimal-to-hex
//                                   how a receipt's id finds its message: every form in
//                                   turn, or as given only, or read as hex and looked
//                                   for in decimal, or read as decimal and looked for in hex
//   receipt_parts=all | any         a message of parts is delivered once every part is,
//                                   or by one receipt (an SMSC that sends one a message)
//   receipt_wait_s=172800           a message with no final receipt this long after its
//                                   last part was taken ends unknown
//   validity_s=0                    a message not handed to the SMSC this long after it
//                                   was due expires, refunded (0: kept until sent)
//   fallback=spare                  another link that takes this one's messages while it
//   fallback_after_s=30             has been unbound this long, until it binds again
//
// A message goes by the link with the longest route that begins its phone number, and
// by the first link when none does. The password is read from its file only, never from
// a setting, the environment or the command line; a file others may read is refused.

#include "gateway/linkstore.h"

#include <QList>
#include <QSettings>
#include <QString>
#include <QStringList>

#include <optional>

struct LinkSettings {
    enum class Bind { Transceiver, TransmitterReceiver };

    QString name;
    QString host;
    quint16 port = 2775;
    QByteArray systemId;
    QByteArray password;
    QByteArray systemType;
    Bind bind = Bind::Transceiver;
    bool tls = false;
    QString tlsCaFile;
    quint8 sourceTon = 0;
    quint8 sourceNpi = 0;
    int window = 10;
    int ratePerSecond = 100;
    int enquireLinkMs = 30'000;
    int responseTimeoutMs = 10'000;
    int reconnectMinMs = 1'000;
    int reconnectMaxMs = 60'000;
    // How long a claimed message is this process's alone (a test setting, in ms).
    int leaseMs = 60'000;
    QStringList routes;
    // What the link keeps of arrivals that match nothing: the parts of a message wait
    // this long for the rest, at most this many per sender, and then go to the
    // operator's unmatched entries, which are kept this long.
    qint64 partsWaitMs = 24 * 3'600'000LL;
    int partsPerSource = 500;
    qint64 unmatchedKeepMs = 30 * 24 * 3'600'000LL;
    LinkStore::ReceiptRules receipts;
    qint64 receiptWaitMs = 48 * 3'600'000LL;
    qint64 validityMs = 0;
    QString fallback;
    qint64 fallbackAfterMs = 30'000;
};

struct LinkConfig {
    QList<LinkSettings> links;
    // The link a message to `phone` leaves by; empty when there is no link.
    QString route(const QString &phone) const;
};

// A link's section is [smsc.NAME]; the keys such a section may hold, every one that
// readLinkConfig reads.
inline const QString LinkSectionPrefix = QStringLiteral("smsc.");
const QStringList &linkSettingKeys();

// The links `settings` configures, or why they cannot be used (a usage error).
struct LinkConfigRead {
    std::optional<LinkConfig> config;
    QString error;
};
LinkConfigRead readLinkConfig(const QSettings &settings);
