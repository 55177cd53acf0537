#pragma once

// How one request on the service's connection ended, and what the call makes of that:
// a pure function, so that every way a call can end is a row of one table.
//
//   RemoteGateway::transmit (the socket, the timers, the answer's framing) ── Ending
//   ── outcome(): the Status, the answer, whether a keyed call may go again, and whether
//      the connection was a kept one that the service had closed meanwhile

#include "gateway/status.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QJsonObject>
#include <QString>

namespace RemoteExchange {

struct Ending {
    enum class How { Answered, ConnectTimeout, CallTimeout, TooLarge, Chunked, Malformed, Failed };
    How how = How::Answered;
    // Failed: the socket's error and its text; whether any of an answer had come, and
    // whether the connection was one kept from an earlier call.
    QAbstractSocket::SocketError error = QAbstractSocket::UnknownSocketError;
    QString errorText;
    bool started = false;
    bool reused = false;
    // Answered: the HTTP status, its reason phrase, and the body.
    int httpStatus = 0;
    QByteArray reason;
    QByteArray body;
};

// The service as the user named it, and the time-outs the texts speak of.
struct Where {
    QString service;
    int connectTimeoutMs = 0;
    int callTimeoutMs = 0;
};

struct Outcome {
    Status status;
    // The service's answer, when the Status is success.
    QJsonObject answer;
    // The service may not have applied the call: a keyed call may be sent again (with its
    // own key, so that it is applied once).
    bool retryable = false;
    // A connection kept from an earlier call that the service had closed before any of
    // the answer came: the request is sent again at once on a new connection.
    bool stale = false;
};

Outcome outcome(const Ending &ending, const Where &where);

// An answer that is not what the wire says an answer is.
Status malformed(const QString &service);

} // namespace RemoteExchange
