#pragma once

// What the links of a service process report as they go, for the service's metrics:
//
//   SmscLink (links' thread) ── state, window in use, submitted, receipt, arrival ──
//      ── LinkObserver (the service's metrics; by default nobody)
//
// Called on the links' thread, with the link's name (its section's, "main" for
// [smsc.main]). Each report is cheap to make and must be cheap to take.

#include "gateway/linkstore.h"

#include <QLatin1StringView>
#include <QString>

#include <utility>

class LinkObserver {
public:
    // Stopped, connecting, bound, and waiting to bind again after a back-off.
    enum class State { Stopped, Connecting, Bound, Waiting };
    // Each state by its name, as the operator's `links` listing and the metrics show it.
    static constexpr std::pair<State, QLatin1StringView> States[] = {
        { State::Stopped, QLatin1StringView("stopped") },
        { State::Connecting, QLatin1StringView("connecting") },
        { State::Bound, QLatin1StringView("bound") },
        { State::Waiting, QLatin1StringView("waiting") },
    };
    static QString nameOf(State state)
    {
        for (const auto &[each, name] : States) {
            if (each == state)
                return name;
        }
        return {};
    }

    LinkObserver() = default;
    virtual ~LinkObserver() = default;
    LinkObserver(const LinkObserver &) = delete;
    LinkObserver &operator=(const LinkObserver &) = delete;

    virtual void linkState(const QString & /*link*/, State /*state*/) { }
    // The submit_sm parts sent and not yet answered.
    virtual void windowInUse(const QString & /*link*/, int /*parts*/) { }
    // A message the SMSC took, every part of it.
    virtual void submitted(const QString & /*link*/) { }
    // A deliver_sm: a delivery receipt, or a message arriving from a phone.
    virtual void receiptReceived(const QString & /*link*/) { }
    // A receipt found its message by its id in this form.
    virtual void receiptMatched(const QString & /*link*/, LinkStore::IdForm /*form*/) { }
    virtual void arrivalReceived(const QString & /*link*/) { }
    // The links whose messages this one takes too, while they are down.
    virtual void standingIn(const QString & /*link*/, const QStringList & /*links*/) { }
    // The deliver_sm of one turn of the event loop, written in one transaction.
    virtual void deliveriesWritten(const QString & /*link*/, int /*deliveries*/) { }
};
