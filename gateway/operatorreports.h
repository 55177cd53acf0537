#pragma once

// What the operator's commands hand back, wherever they run: the local component on
// its own store, or quillet-gatewayd's operator routes. The wire, the service and the
// operator tool speak in these; only the local component makes them.

#include "gateway/status.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>

namespace Operator {

struct IssuedCard {
    QString number;
    QString password;
    qint64 valueFen = 0;
};
// Writes and flushes the cards' listing; the cards exist only if it returned true (or,
// through the service, they were made before it is called).
using CardPublisher = std::function<bool(const QList<IssuedCard> &cards)>;

enum class MoOutcome { Arrived, BadSender, BadExtension, BadText, UnknownAccount };
enum class ReplyState { None, Delivered, NotSentBalance, NotSentTooLong };

// One arrival from a handset, and what it set off.
struct MoReport {
    MoOutcome outcome = MoOutcome::BadSender;
    QString accountNo;
    QString serviceNumber; // with the extension
    ReplyState forwarded = ReplyState::None;
    QString forwardingPhone;
    ReplyState autoReplied = ReplyState::None;
};

// Many arrivals of one text, as tallies.
struct MoBulkReport {
    MoOutcome outcome = MoOutcome::BadSender;
    QString accountNo;
    QString serviceNumber; // with the extension
    qint64 arrived = 0;
    qint64 forwardedDelivered = 0, forwardedNotSent = 0;
    qint64 repliesDelivered = 0, repliesNotSent = 0;
    QString forwardingPhone;
};

// Listings come in pages, oldest first: at most `limit` entries (1 to MaxPageSize)
// after the one the cursor `after` names (empty for the first page). A listing's `next`
// is the cursor of its last entry, empty when nothing follows; its `total` counts the
// whole listing, on the first page only (-1 on the others).
inline constexpr int MaxPageSize = 200;
struct Page {
    QString after;
    int limit = MaxPageSize;
};
template<typename T> struct Listing {
    QList<T> entries;
    QString next;
    qint64 total = -1;
};

// Every page of a listing, fetched one after another by
// `fetch(const Page &, Listing<T> &) -> Status`.
template<typename T, typename Fetch> Status wholeListing(QList<T> &all, Fetch fetch)
{
    all.clear();
    Page page;
    for (;;) {
        Listing<T> listing;
        if (const Status status = fetch(page, listing); status.failed())
            return status;
        all.append(listing.entries);
        if (listing.next.isEmpty())
            return Status::ok();
        page.after = listing.next;
    }
}

struct HandsetMessage {
    QString from; // the sending account's service number
    QString text;
    QDateTime deliveredAt;
};

struct AccountSummary {
    QString number;
    QString serviceNumber;
    QString mobile;
    qint64 balanceFen = 0;
    bool signedOn = false;
    QString forwardingPhone;
    QString autoReply;
    qint64 waiting = 0;
};

} // namespace Operator
