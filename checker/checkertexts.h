#pragma once

#include <QString>

// Every fixed text of the contract checker quillet-gateway-check, in one place.
namespace CheckerTexts {
QString help();
// "quillet-gateway-check 1.00".
QString version();
QString usageHint();
QString badTimeout(const QString &given);
QString tooManyFiles();

QString columnCheck();
QString columnResult();
QString columnWhy();
QString passed();
QString failed();
QString summary(int passedCount, int failedCount);

QString checkLoad();
QString checkInstances();
QString checkHostile(const QString &kind);
QString hostileEmpty();
QString hostileMegabyte();
QString hostileControl();
QString hostileSurrogates();
QString hostileSql();

QString loaded(const QString &file);
QString notRun();
QString childCrashed(const QString &group, int rowsBefore);
QString childTimedOut(const QString &group, int seconds);
QString childNoResult(const QString &group, const QString &reason);

QString answered(qint32 code, const QString &outcome);
QString answeredText(qint32 code, const QString &text);
QString answeredFailure(qint32 code, const QString &description);
QString optionTwice(const QString &option);
QString outcomeUntouched();
QString textUntouched(qint32 code);
QString failureWithoutDescription(qint32 code);
QString outcomeGarbage(qint32 value);
QString countNotANumber(const QString &which, const QString &text);
QString messagesNotATable();
QString tableTooSmall(qsizetype rows, qsizetype columns, const QString &current);
QString hostileSummary(int calls, int accepted, int refused);
QString sameInstanceTwice();
QString instancesIndependent();
QString secondFailedAfterFirstWent(const QString &problem);
} // namespace CheckerTexts
