#include "gateway/local/sendtime.h"

using namespace Qt::StringLiterals;

namespace {

// A local time in the hour that repeats when summer time ends names two instants, and the
// platform picks one by what earlier conversions in the process left behind: the same text
// could fall due an hour apart. Take the earlier instant, always. A time the clocks skip
// keeps the platform's reading.
QDateTime earlierOccurrence(const QDateTime &local)
{
    if (local.timeSpec() != Qt::LocalTime)
        return local;
    QDateTime earliest;
    for (const QDateTime &around : { local.addDays(-1), local.addDays(1) }) {
        const QDateTime candidate(local.date(), local.time(), Qt::OffsetFromUTC,
                                  around.offsetFromUtc());
        const QDateTime wall = candidate.toLocalTime();
        if (wall.date() == local.date() && wall.time() == local.time()
            && (!earliest.isValid() || candidate < earliest))
            earliest = candidate;
    }
    return earliest.isValid() ? earliest.toLocalTime() : local;
}

} // namespace

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
    return earlierOccurrence(parsed);
}

bool SendTime::withinWindow(const QDateTime &due, const QDateTime &now)
{
    if (!due.isValid() || !now.isValid())
        return false;
    return due >= now.addSecs(-MaxPastSeconds) && due <= now.addYears(MaxFutureYears);
}
