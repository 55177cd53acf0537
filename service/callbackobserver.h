#pragma once

#include <QMap>
#include <QString>

// What the callbacks' dispatcher reports for the metrics.

// Told from the dispatcher's thread.
class CallbackObserver {
public:
    CallbackObserver() = default;
    virtual ~CallbackObserver() = default;
    CallbackObserver(const CallbackObserver &) = delete;
    CallbackObserver &operator=(const CallbackObserver &) = delete;
    // `result`: delivered, retry or dead; `sinceChangeMs` for a delivered one: from the
    // change the event reports to its 2xx.
    virtual void callbackAttempt(const QString &type, const QString &result, qint64 sinceChangeMs)
        = 0;
    // The store's events by delivery state, now and then.
    virtual void outboxCounted(const QMap<QString, qint64> &byState) = 0;
};
