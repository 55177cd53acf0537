#pragma once

#include <QString>
#include <QStringList>

// Every text the gateway layer shows a person, in one place.
namespace GatewayTexts {
QString textKind();
QString tableKind();
QString typeMismatch(const QString &expectedKind);
QString subscriptOutOfRange(qsizetype row, qsizetype column, qsizetype rows, qsizetype columns);
QString tableSizeRefused(qsizetype rows, qsizetype columns, qsizetype maxCells);

QString notInstalled(const QString &classId, const QStringList &folders,
                     const QStringList &unreadable);
QString loadFailed(const QString &file, const QString &reason);
QString notAComponent(const QString &file);
QString creationFailed(const QString &file, const QString &reason);
QString noInstance();
QString doesNotDeclare(const QString &file, const QString &classId);
QString passedOver(const QStringList &files);
QString settingsUnreadable(const QString &settingsFile);
QString settingNamesMissing(const QString &settingsFile, const QString &classId,
                            const QString &named, const QStringList &folders);
} // namespace GatewayTexts
