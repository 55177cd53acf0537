#pragma once

// What a link to an SMSC asks of the store, in words both sides share: the link speaks
// SMPP and knows no table, the store keeps messages and knows no PDU.
//
//   claim() ──── queued messages of a link, due, held by this process for a lease
//   record() ─── the SMSC's answers: submitted (with its ids), try again later, rejected
//   deliver() ── a turn's deliver_sm, in one transaction: receipts move their messages'
//                states, messages from phones reach their accounts
//   doubt() ──── arrivals whose answers a dropped session may not have carried
//   tidy() ───── parts that waited too long, old unmatched entries, and messages whose
//                final receipt never came (unknown)
//   writeState() the link as the operator's `links` listing shows it
//   together() ─ several of these in one transaction
//
// Every answer is recorded only by the process that holds the claim; a message the SMSC
// took is never refunded, one it rejected for good is, once.

#include "gateway/result.h"
#include "gateway/status.h"

#include <QByteArray>
#include <QLatin1StringView>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <utility>

class LinkStore {
public:
    LinkStore() = default;
    virtual ~LinkStore() = default;
    LinkStore(const LinkStore &) = delete;
    LinkStore &operator=(const LinkStore &) = delete;

    // A message that is one part of a text its application split itself: the
    // concatenation it came with, which goes to the SMSC as it was given, since the phone
    // joins the parts by it.
    struct Part {
        quint16 reference = 0;
        bool wideReference = false; // 16 bits (IEI 0x08), else 8 (IEI 0x00)
        int total = 1;
        int sequence = 1; // from 1
        bool operator==(const Part &) const = default;
    };
    struct Outgoing {
        qint64 id = 0;
        QString phone;
        QString text;
        int tries = 0;
        QString source; // the account's service number
        qint64 validUntilMs = 0; // 0: for as long as the SMSC keeps it
        std::optional<Part> part; // none: the link splits the text as it needs
    };
    struct ClaimRules {
        // A message not handed to an SMSC this long after it was due expires, unless it
        // came with a validity of its own; 0 for none.
        qint64 validityMs = 0;
        // Links whose messages this one takes while they are down; a message taken so
        // is this link's from then on.
        QStringList standingIn;
    };
    // Up to `most` messages queued for `link` (or a link it stands in for), due and still
    // valid, held until now + leaseMs.
    virtual Result<QList<Outgoing>> claim(const QString &link, int most, qint64 leaseMs,
                                          const ClaimRules &rules)
        = 0;

    struct Answer {
        enum class Kind { Submitted, Retry, Rejected };
        qint64 id = 0;
        Kind kind = Kind::Retry;
        QStringList smscIds; // Submitted: each part's, in order
        qint64 retryAt = 0; // Retry
        QString reason; // Retry and Rejected
    };
    // A part the SMSC took with an id that cannot find it again: none at all, or one it
    // had already given to a part of another message still waiting for its receipt. The
    // part is submitted all the same, and kept for the operator.
    struct Doubtful {
        qint64 message = 0;
        int part = 0; // from 1
        QString smscId;
        qint64 heldBy = 0; // the other message with that id; 0 for no id
    };
    // SMSCs write a message's id in its receipt as they please: in another case, without
    // its leading zeros, or in decimal where the answer to submit_sm had it in hex (or the
    // other way). A receipt's id is looked for as given, then case and leading zeros
    // aside, then read as hex and looked for in decimal, then read as decimal and looked
    // for in hex; a link may pin the one conversion its SMSC needs.
    enum class ReceiptIds { Auto, Exact, HexToDecimal, DecimalToHex };
    // How a receipt found its message.
    enum class IdForm { Exact, CaseOrZeros, HexToDecimal, DecimalToHex };
    static constexpr std::pair<IdForm, QLatin1StringView> IdForms[] = {
        { IdForm::Exact, QLatin1StringView("exact") },
        { IdForm::CaseOrZeros, QLatin1StringView("case_or_zeros") },
        { IdForm::HexToDecimal, QLatin1StringView("hex_to_decimal") },
        { IdForm::DecimalToHex, QLatin1StringView("decimal_to_hex") },
    };
    static QString nameOf(IdForm form)
    {
        for (const auto &[each, name] : IdForms) {
            if (each == form)
                return name;
        }
        return {};
    }
    struct ReceiptRules {
        ReceiptIds ids = ReceiptIds::Auto;
        // Some SMSCs send one receipt for a message of several parts: with `anyPart` it
        // settles the message; else the message is delivered once every part is.
        bool anyPart = false;
    };

    // All in one transaction, on the disk before it returns. An answer for a message this
    // process no longer holds changes nothing. Receipts kept because they came before
    // their answer are applied by `rules`.
    virtual Result<QList<Doubtful>> record(const QString &link, const QList<Answer> &answers,
                                           const ReceiptRules &rules)
        = 0;

    // Where a delivery receipt says its part is: still on its way (en route, accepted,
    // unknown), or at one of the ends.
    enum class ReceiptState { OnItsWay, Delivered, Undeliverable, Expired, Rejected };
    struct Receipt {
        QString smscId; // from receipted_message_id, else from the text
        ReceiptState state = ReceiptState::OnItsWay;
        QString source;
        QString destination;
        QString text;
        QString textId; // from the text, where it differs
    };

    struct Arrival {
        QString source;
        QString destination;
        QString text;
        // Set for a part of a concatenated message.
        quint16 reference = 0;
        int total = 1;
        int part = 1;
        // What the network sent, to know it again.
        QByteArray digest;
        // The SMSC's own id of the message, where it gives one: the same id and digest
        // again within a few minutes is the SMSC sending it again.
        QString smscId;
        // Its text could not be read (it holds the octets in hex): kept for the operator.
        bool unreadable = false;
    };

    // One deliver_sm, as the link read it.
    struct Delivery {
        std::optional<Receipt> receipt; // else the arrival
        Arrival arrival;
    };
    struct Stored {
        Status status;
        std::optional<IdForm> matchedBy; // a receipt that found its message
    };
    // Each delivery's outcome, in order, all in one transaction on the disk before it
    // returns; one the store refuses fails alone. A receipt that no part has is kept for
    // the operator, and applied if a part is recorded with its id later (its answer may
    // still be on its way). An arrival goes to its account once, joined when it came in
    // parts; at most `partsPerSource` parts of incomplete messages wait from one sender.
    virtual QList<Stored> deliver(const QString &link, const QList<Delivery> &deliveries,
                                  int partsPerSource, const ReceiptRules &rules)
        = 0;

    // Arrivals whose answers a session that dropped may never have carried: for `forMs`,
    // an arrival on the link with one of these digests is taken for the SMSC sending it
    // again, once for each.
    virtual Status doubt(const QString &link, const QList<QByteArray> &digests, qint64 forMs) = 0;

    // Parts that arrived before `partsBefore` go to the operator; unmatched entries kept
    // since before `unmatchedBefore` are deleted; a message whose last part the SMSC took
    // before `acceptedBefore` and whose final receipt never came ends unknown (a late
    // receipt still settles it); a queued message past its validity (or `validityMs`
    // after it was due) expires and is refunded, since no SMSC had it; at most `most` of
    // each. Gives how many rows it moved, deleted or ended: `most` or more when there may
    // be more to do.
    struct Tidy {
        qint64 partsBefore = 0;
        qint64 unmatchedBefore = 0;
        qint64 acceptedBefore = 0;
        int most = 0;
        qint64 validityMs = 0;
    };
    virtual Result<int> tidy(const QString &link, const Tidy &tidy) = 0;

    // Runs `work`, and the claims, records and deliveries it makes, in one transaction: one
    // flush to the disk for all of them. What `work` did is kept only when this succeeds;
    // a call inside that failed alone keeps its own outcome.
    virtual Status together(const std::function<Status()> &work) = 0;

    struct LinkState {
        QString link;
        QString state;
        std::optional<qint64> boundSinceMs;
        int outstanding = 0;
        qint64 sent = 0;
        qint64 received = 0;
        QString lastError;
        // The links whose messages it takes while they are down.
        QStringList standingIn;
        bool operator==(const LinkState &) const = default;
    };
    // This process's row for the link, for the operator's listing.
    virtual Status writeState(const LinkState &state) = 0;
};
