#pragma once

#include <QString>
#include <QStringList>

// Every text the operator tool shows, in one place.
namespace ToolTexts {

QString help();
QString usageHint();

QString noCommand();
QString unknownCommand(const QString &command);
QString unknownOptions(const QStringList &names);
QString badOptionUse(const QString &detail);
QString optionNotForCommand(const QString &option, const QString &command);
QString missingOption(const QString &option);
QString extraArguments(const QStringList &arguments);
QString missingArgument(const QString &what);
QString badValue(const QString &text, const QString &maxYuan);
QString badCount(const QString &text, int max);
QString badPhone(const QString &text);
QString badExtension(const QString &text);
QString badText();
QString unknownAccount(const QString &to);
QString noStorePath();

QString cardHeader();
QString cardLine(const QString &number, const QString &password, const QString &yuan);
QString cardsIssued(qsizetype count);

QString moArrived(const QString &accountNo, const QString &serviceNumber);
QString forwardDelivered(const QString &phone);
QString forwardNotSentBalance(const QString &phone);
QString forwardNotSentTooLong(const QString &phone);
QString replyDelivered(const QString &phone);
QString replyNotSentBalance(const QString &phone);
QString replyNotSentTooLong(const QString &phone);

QString handsetEmpty(const QString &phone);
QString handsetHeader(const QString &phone, qsizetype count);
QString handsetLine(const QString &time, const QString &from, const QString &text);

QString noAccounts();
QString accountsHeader();
QString accountLine(const QString &number, const QString &serviceNumber, const QString &mobile,
                    const QString &yuan, bool signedOn, const QString &forwarding,
                    const QString &autoReply, qint64 waiting);

} // namespace ToolTexts
