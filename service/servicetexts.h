#pragma once

#include <QString>

// Every text quillet-gatewayd shows a person, in one place.
namespace ServiceTexts {

// Answers to requests.
QString badToken();
QString wrongRole(const QString &role);
QString notAJsonObject();
QString duplicateKey();
QString rawControlCharacter();
QString keyReused();
QString keyRequired();
QString noSuchOperation();
QString postOnly();
QString stopping();
QString tooManyFailures();
QString bodyTooLarge(qint64 bytes);
QString jsonOnly();
QString storeUnavailable();
QString tooManySignOnFailures();

// Refusals of the connection guard, before a request reaches the service.
QString tooManyConnections();
QString oneRequestAtATime();
QString headerTooLong();
QString tooManyHeaderLines(int lines);
QString malformedRequestLine();
QString httpVersion();
QString malformedHeaderLine();
QString lengthRequired();
QString malformedLength();
QString requestTimedOut();

// Starting.
QString tlsRequired(const QString &address);
QString cannotListen(const QString &address, quint16 port, const QString &why);
QString listening(const QString &address, quint16 port, bool tls);

// Running.
QString acceptPaused(const QString &why, int retryMs);
QString cannotReadTls(const QString &file, const QString &why);
QString badConfig(const QString &file, const QString &why);
QString serviceTablesMissing();
QString newerServiceTables(int found, int known);
QString rememberedAnswerDamaged();

// The command line.
QString help();
QString usage(const QString &why);
QString tokenIssued(const QString &name, const QString &role);
QString tokenNameTaken(const QString &name);
QString tokenRevoked(const QString &name);
QString noSuchToken(const QString &name);
QString stoppingOnSignal();
QString initialized(const QString &store);

} // namespace ServiceTexts
