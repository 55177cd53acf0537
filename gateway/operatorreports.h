#pragma once

// What the operator's commands hand back, wherever they run: the local component on
// its own store, or quillet-gatewayd's operator routes. The wire, the service and the
// operator tool speak in these; only the local component makes them.

#include "gateway/status.h"

#include <QDateTime>
#include <QLatin1StringView>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace Operator {

struct IssuedCard {
    QString number;
    QString password;
    qint64 valueFen = 0;

    friend bool operator==(const IssuedCard &, const IssuedCard &) = default;
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

    friend bool operator==(const MoReport &, const MoReport &) = default;
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

    friend bool operator==(const Listing &, const Listing &) = default;
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

    friend bool operator==(const HandsetMessage &, const HandsetMessage &) = default;
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

    friend bool operator==(const AccountSummary &, const AccountSummary &) = default;
};

// What the listings of messages to phones may be narrowed to; an empty text or no time
// leaves that out.
struct MessageFilter {
    QString accountNo;
    QString state; // one of messageStates()
    std::optional<qint64> sinceMs; // submitted at or after, 0 to LatestTimeMs
};
// The last millisecond of the year 9999, the latest time a filter or a cursor names.
inline constexpr qint64 LatestTimeMs = 253'402'300'799'999;
// The states a message to a phone is in, as the store writes them.
inline const QList<QLatin1StringView> &messageStates()
{
    static const QList<QLatin1StringView> states {
        QLatin1StringView("scheduled"),     QLatin1StringView("queued"),
        QLatin1StringView("submitted"),     QLatin1StringView("delivered"),
        QLatin1StringView("undeliverable"), QLatin1StringView("expired"),
        QLatin1StringView("rejected"),      QLatin1StringView("not_sent"),
    };
    return states;
}
// A concatenated SMS numbers its parts in one byte.
inline constexpr qsizetype MaxMessageParts = 255;

// A message to a phone, wherever it went: the simulated handsets or a link to an SMSC.
struct MessageSummary {
    qint64 id = 0;
    QString accountNo;
    QString phone;
    QString text;
    QString state;
    QString link; // empty: the handsets
    QStringList smscIds; // the SMSC's id of each part, in order; empty until submitted
    int tries = 0;
    QString reason; // empty: none
    qint64 submittedAtMs = 0;

    friend bool operator==(const MessageSummary &, const MessageSummary &) = default;
};

// The state of one link in one service process, as that process last wrote it.
struct LinkSummary {
    QString link;
    QString process;
    QString state;
    std::optional<qint64> boundSinceMs;
    qint64 outstanding = 0;
    qint64 sent = 0;
    qint64 received = 0;
    QString lastError; // empty: none
    qint64 updatedAtMs = 0;
    QString standingIn; // the links whose messages it takes while they are down, a,b; empty: none

    friend bool operator==(const LinkSummary &, const LinkSummary &) = default;
};

// What a link heard and could not match, kept for the operator: a delivery receipt for
// an id no part has, an arrival for no known account, a part of an arrival whose message
// never completed, a part the SMSC took with no id or one it gave another message too.
struct UnmatchedEntry {
    qint64 id = 0;
    qint64 atMs = 0;
    QString link;
    QString kind; // "receipt", "arrival", "part" or "answer"
    QString source;
    QString destination;
    QString smscId; // a receipt's, an answer's, an arrival's where the SMSC gave one
    // A receipt's final state (empty for a state on the way), which part a part or an
    // answer is; empty for an arrival.
    QString state;
    QString text;

    friend bool operator==(const UnmatchedEntry &, const UnmatchedEntry &) = default;
};

// An application's callback event not yet delivered: what it reports, how it went so far.
struct CallbackEvent {
    qint64 id = 0;
    qint64 atMs = 0; // when the change it reports was written
    QString accountNo;
    QString type; // "message.state" or "arrival"
    qint64 subject = 0; // the message's id
    QString state; // message.state: the state it reached
    QString delivery; // "pending" or "dead"
    qint64 attempts = 0;
    QString lastError;
    QString url; // the account's callback now; empty when it has none

    friend bool operator==(const CallbackEvent &, const CallbackEvent &) = default;
};

// The service's tokens, as the operator manages an application's from afar (see
// tokendesk.h). The outcomes in the order their names travel.
enum class TokenOutcome { Done, BadName, RoleNotAllowed, NoSuchAccount, NameTaken, NoSuchToken };
inline const QList<QLatin1StringView> &tokenOutcomes()
{
    static const QList<QLatin1StringView> names {
        QLatin1StringView("done"),           QLatin1StringView("badName"),
        QLatin1StringView("roleNotAllowed"), QLatin1StringView("noSuchAccount"),
        QLatin1StringView("nameTaken"),      QLatin1StringView("noSuchToken"),
    };
    return names;
}
inline const QList<QLatin1StringView> &tokenRoles()
{
    static const QList<QLatin1StringView> roles { QLatin1StringView("console"),
                                                  QLatin1StringView("operator"),
                                                  QLatin1StringView("application") };
    return roles;
}

// A token issued, shown this once (empty unless the outcome is Done).
struct IssuedToken {
    TokenOutcome outcome = TokenOutcome::BadName;
    QString token;

    friend bool operator==(const IssuedToken &, const IssuedToken &) = default;
};

struct RevokedToken {
    TokenOutcome outcome = TokenOutcome::NoSuchToken;

    friend bool operator==(const RevokedToken &, const RevokedToken &) = default;
};

// A token as the service keeps it: never its secret.
struct TokenSummary {
    QString name;
    QString role; // one of tokenRoles()
    QString accountNo; // an application token's; empty for the others
    qint64 issuedAtMs = 0;
    std::optional<qint64> revokedAtMs; // none while it is active

    friend bool operator==(const TokenSummary &, const TokenSummary &) = default;
};

// A customer's application bound over SMPP, in one service process, as it last wrote it.
struct SmppBind {
    qint64 id = 0;
    QString accountNo;
    QString systemId;
    QString mode; // "transmitter", "receiver" or "transceiver"
    QString address; // the application's, as the process saw it
    QString process;
    qint64 sinceMs = 0;
    qint64 submitted = 0;
    qint64 receipts = 0;
    qint64 arrivals = 0;

    friend bool operator==(const SmppBind &, const SmppBind &) = default;
};

// An account's SMPP credentials as made: the password is shown this once.
struct SmppCredentials {
    enum class Outcome { Made, NoAccount, SystemIdTaken };
    Outcome outcome = Outcome::NoAccount;
    QString systemId;
    QString password;

    friend bool operator==(const SmppCredentials &, const SmppCredentials &) = default;
};

} // namespace Operator
