#pragma once

// What the service's links say, in the config file's and the log's words.

#include <QString>

namespace LinkTexts {

// Config errors; `section` as in the file, e.g. "smsc.main".
QString missingSetting(const QString &section, const QString &key);
QString badSetting(const QString &section, const QString &key, const QString &allowed);
QString passwordUnreadable(const QString &section, const QString &file, const QString &why);
QString passwordExposed(const QString &section, const QString &file);
QString passwordTooLong(const QString &section, int most);
QString duplicateRoute(const QString &prefix);

// The log, one line per event; `link` is the section's name.
QString connecting(const QString &link, const QString &host, int port);
QString bound(const QString &link, const QString &mode);
QString bindRefused(const QString &link, quint32 status, int retryInMs);
QString linkLost(const QString &link, const QString &why, int retryInMs);
QString storeFailed(const QString &link, const QString &why);
// A part the SMSC took with no message id, or with one it gave message `heldBy` too.
QString doubtfulId(const QString &link, qint64 message, int part, const QString &smscId,
                   qint64 heldBy);
QString cannotOpenStore(const QString &why);

// Why a link went down or a message waits, for `links` and `messages`.
QString peerClosed();
QString peerUnbound();
QString noAnswer();
QString malformedPdu();
QString peerNotReading();
QString tlsFailed(const QString &why);
QString socketError(const QString &why);
QString smscStatus(quint32 status);
QString throttled();
QString linkDown();
QString tooLongForSmpp();
QString receiptIdsConverted(const QString &link, const QString &form);
QString standingIn(const QString &link, const QStringList &links);

} // namespace LinkTexts
