#pragma once

#include <QString>

// Every text the remote gateway component shows a person, in one place, in Chinese.
namespace RemoteTexts {
QString noSettings(const QString &file);
QString badUrl(const QString &url);
QString plainHttpOffLoopback(const QString &host);
QString unreadableToken(const QString &file, const QString &why);
QString tokenFileOpen(const QString &file);
QString unreadableCa(const QString &file);
QString badTimeout(const QString &key);
QString busy();
QString closedDuringCall();
QString connectTimeout(const QString &url, int ms);
QString callTimeout(const QString &url, int ms);
QString refused(const QString &url);
QString tlsFailed(const QString &url, const QString &why);
QString transportFailed(const QString &url, const QString &why);
// `code` is the service's error code; a code not known here shows its `message`.
QString httpFailed(const QString &url, int status, const QString &code, const QString &message);
QString malformedAnswer(const QString &url);
QString answerTooLarge(const QString &url);
QString answerInChunks(const QString &url);
} // namespace RemoteTexts
