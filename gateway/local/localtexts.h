#pragma once

#include <QString>

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

// A bulk arrival asked for a number of messages outside 1 to `most`.
QString arrivalCountOutOfRange(qint64 count, qint64 most);

// The text of a forwarded copy: who sent it, then what they wrote.
QString forwardedText(const QString &sender, const QString &text);

} // namespace LocalTexts
