#pragma once

#include <QString>
#include <QStringList>

// Every text the local gateway component shows a person, in one place.
namespace LocalTexts {

// A store failure: which file, and why.
QString storeFailed(const QString &file, const QString &reason);

QString noDataFolder();
QString cannotCreateFolder(const QString &folder, const QString &why);
QString notAFolder(const QString &folder);
QString cannotCreateFile(const QString &why);
QString notAFile();
QString cannotReadFile(const QString &why);
QString cannotOpen(const QString &why);
QString notSqlite();
QString notAQuilletStore();
QString corrupt(const QString &detail);
QString newerSchema(int found, int supported);
QString badSchemaVersion(const QString &found);
QString diskFull();
QString busy();
QString accessDenied(const QString &detail);
QString databaseError(const QString &detail);
QString hashingFailed();
QString randomFailed();
// A listing asked to go on after a cursor that no listing gave.
QString badCursor();
QString badSystemId(const QString &systemId);
QString notADeliveryState(const QString &given);
// A listing of messages narrowed to something no message can have.
QString unknownMessageState(const QString &state, const QStringList &states);
QString badAccountNumber(const QString &text);
QString timeOutOfRange(qint64 ms);

// A bulk arrival asked for a number of messages outside 1 to `most`.
QString arrivalCountOutOfRange(qint64 count, qint64 most);

// The text of a forwarded copy: who sent it, then what they wrote.
QString forwardedText(const QString &sender, const QString &text);

// What the operator's list of unmatched entries says of an entry the links kept, in the
// words of the links' other reasons: a part of a concatenated arrival that never
// completed, and a part the SMSC took with an id that cannot find it again.
QString waitingPart(int part, int total, int reference);
QString noSmscId(int part);
QString notSentInTime();
QString smscIdHeldBy(int part, qint64 message);

// Where the store is: its URL, from the settings, the environment or the command line.
QString badStoreUrl(const QString &url, const QString &why);
QString inSetting(const QString &setting, const QString &description);
QString passwordInStoreUrl();
QString emptyStoreUrl();
QString unknownStoreScheme(const QString &scheme);
QString noSqlitePath();
QString postgresqlNeedsSlashes();
QString urlSyntax();
QString urlFragment();
QString badPort(const QString &port);
QString badDatabaseName(const QString &name);
QString controlCharacter();
QString repeatedParameter(const QString &name);
QString badSslmode(const QString &value, const QStringList &allowed);
QString badServiceName(const QString &value);
QString badConnectTimeout(const QString &value, int most);
QString unknownParameter(const QString &name, const QStringList &known);
QString unreadableSettings(const QString &file);

// The store on a PostgreSQL server.
QString databaseFailed(const QString &database, const QString &reason);
QString serverUnreachable(const QString &detail);
QString noPostgresqlDriver();
QString notAQuilletSchema();
QString nulInText();

} // namespace LocalTexts
