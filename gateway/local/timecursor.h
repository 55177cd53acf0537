#pragma once

// The cursor of a listing ordered by a time, then id: "<milliseconds>.<id>", the same in
// the operator's listing of messages and an application's.

#include "gateway/operatorreports.h"

#include <QString>
#include <QStringList>

namespace TimeCursor {

inline QString write(qint64 atMs, qint64 id)
{
    return QString::number(atMs) + u'.' + QString::number(id);
}

// False for a text that is not one; `atMs` is then no time to go by.
inline bool read(const QString &cursor, qint64 &atMs, qint64 &id)
{
    const QStringList parts = cursor.split(u'.');
    bool timeOk = false;
    bool idOk = false;
    atMs = parts.value(0).toLongLong(&timeOk);
    id = parts.value(1).toLongLong(&idOk);
    return parts.size() == 2 && timeOk && idOk && atMs >= 0 && atMs <= Operator::LatestTimeMs;
}

} // namespace TimeCursor
