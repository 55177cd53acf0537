#pragma once

// A message to a phone as an application sees it: what `GET /v1/messages/{id}` answers
// and what a callback of its state carries, read from the store in one place.
//
//   mt row ── its parts (mt_parts, in order) ── its refund (a ledger row, if any)
//     ── MessageView ── toJson(): ids as text, amounts as yuan with two decimals,
//                                 times as ISO 8601 in UTC with Z
//
// Views are read for one account only: a message of another account is not there.

#include "gateway/operatorreports.h"
#include "gateway/result.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QVariantList>

#include <optional>

class Store;

struct MessageView {
    struct Part {
        QString state;
        QString smscId;
    };
    qint64 id = 0;
    QString to;
    QString text;
    QString reference; // the application's own; empty when it gave none
    QString state; // one of Operator::messageStates()
    QList<Part> parts; // the SMSC's, once it took the message
    int segments = 1; // what it is charged for, each
    qint64 priceFen = 0;
    qint64 refundedFen = 0;
    qint64 createdAtMs = 0;
    qint64 sendAtMs = 0;
    // When it reached its final state; none before, and for a message already final
    // when the store took this field, unless it was delivered.
    std::optional<qint64> doneAtMs;
    std::optional<qint64> validUntilMs;

    QJsonObject toJson() const;

    // The account's message `id`; none when the account has no such message.
    static Result<std::optional<MessageView>> read(Store &store, qint64 accountId, qint64 id);
    // The account's messages that `where` (conditions on mt as `m`, its values in
    // `values`) picks, oldest first, at most `limit`.
    static Result<QList<MessageView>> readMany(Store &store, qint64 accountId, const QString &where,
                                               const QVariantList &values, int limit);
};
