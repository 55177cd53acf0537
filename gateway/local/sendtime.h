#pragma once

#include <QDateTime>
#include <QString>

// The time of a scheduled message, as the caller writes it: the console's own
// `yyyy/M/d H:mm:ss` (local time) or ISO 8601 (local time unless it names an offset).
class SendTime {
public:
    // How far a send time may lie in the past (a console's clock a little behind ours)
    // and in the future.
    static constexpr qint64 MaxPastSeconds = 60;
    static constexpr int MaxFutureYears = 1;

    // An invalid QDateTime when the text is neither form or names no real time.
    static QDateTime parse(const QString &text);
    // Whether a parsed time is acceptable at `now`.
    static bool withinWindow(const QDateTime &due, const QDateTime &now);
};
