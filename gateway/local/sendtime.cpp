#include "sendtime.h"

using namespace Qt::StringLiterals;

QDateTime SendTime::parse(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || trimmed.size() > 64)
        return {};
    QDateTime parsed = QDateTime::fromString(trimmed, u"yyyy/M/d H:mm:ss"_s);
    if (!parsed.isValid())
        parsed = QDateTime::fromString(trimmed, Qt::ISODateWithMs);
    if (!parsed.isValid())
        return {};
    return parsed;
}

bool SendTime::withinWindow(const QDateTime &due, const QDateTime &now)
{
    if (!due.isValid() || !now.isValid())
        return false;
    return due >= now.addSecs(-MaxPastSeconds) && due <= now.addYears(MaxFutureYears);
}
