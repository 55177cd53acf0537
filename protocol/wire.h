#pragma once

// The JSON wire format between the remote gateway component (and the operator tool) and
// quillet-gatewayd, kept in one place so both ends (and the API document's test) read
// the same names; calls.h binds each operation to the function it carries.
//
//   RemoteGateway ── POST /v1/console/<operation> {inputs and in/out slots} ──> service
//                 <── 200 {"status": {code, description}, <out slots>} ────────┘
//                 <── 4xx/5xx {"error": {"code", "message"}} (the call failed)
//
// Every out slot travels both ways: the request carries the caller's value and the
// answer carries the slot after the call, so a slot that the gateway leaves untouched
// comes back exactly as it went.

#include "gateway/status.h"
#include "gateway/variant.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QLatin1StringView>
#include <QList>
#include <QString>

class GatewayClient;
class OperatorBackend;
class TokenDesk;

namespace Wire {

class Preparer;

// An application's token acts on the one account it was issued for, through the
// application routes only (see service/applicationroutes.h).
enum class Role { Console, Operator, Application };

// How a console call meets the sign-ons the service keeps for each token: a token acts
// only on the accounts it signed on itself.
enum class SignOn {
    NotNeeded, // an operator's call
    Opens, // signs the token on when it succeeds (register)
    Needed, // any other console call
    Ends, // ends the token's sign-on; the account's only with the last (deregister)
    ChangesPassword, // when it succeeds, ends every other token's sign-on of the account
};

// Booleans, names (one of a fixed set of texts), times (UTC, ISO 8601 with milliseconds),
// lists of texts and records (a list of objects of their own fields) come only in
// answers.
enum class FieldKind { Text, Integer, Bool16, Variant, Boolean, Name, Time, Texts, Records };

struct Field {
    QLatin1StringView name;
    FieldKind kind;
    const QList<Field> *record = nullptr; // a Records field's entries
    const QList<QLatin1StringView> *names = nullptr; // a Name field's values
    bool optional = false; // an answer may leave it out
};

struct Operation {
    QLatin1StringView name;
    Role role = Role::Console;
    // Changes something (money, messages, settings): needs an Idempotency-Key, and a
    // repeat of the key is answered from the first call. Network libraries resend a
    // request whose connection closed before the answer; the key makes that harmless.
    bool keyed = false;
    SignOn signOn = SignOn::NotNeeded;
    QList<Field> fields; // the request's
    QList<Field> answer; // the answer's, besides its status
    // The rest is the binding's (calls.h): the interface function the operation carries,
    // the names of its parameters, and the service's half of it.
    QList<QLatin1StringView> parameters;
    const void *method = nullptr;
    void (*serveConsole)(GatewayClient &, const Operation &, const QJsonObject &, QJsonObject &)
        = nullptr;
    void (*serveOperator)(OperatorBackend &, const Operation &, const QJsonObject &, QJsonObject &)
        = nullptr;
    // An operator's call on the service's own tables (its tokens), not on the gateway.
    void (*serveTokens)(TokenDesk &, const Operation &, const QJsonObject &, QJsonObject &)
        = nullptr;
    // Set for a call that hashes passwords (a fraction of a second of CPU and 64 MiB
    // each): the service runs it in its slow lane, and has this hook make its hashes
    // before the write lock is taken, so that nobody waits on the lock meanwhile.
    void (*prepare)(Preparer &, const Operation &, const QJsonObject &) = nullptr;

    bool hashes() const { return prepare != nullptr; }
};

inline constexpr qsizetype MaxBodyBytes = 64 * 1024;
// The largest answer a client reads (the operator's listings are the longest); a longer
// one is cut off, however it is framed.
inline constexpr qsizetype MaxAnswerBytes = 8 * 1024 * 1024;
// An Idempotency-Key is 16 to 128 printable ASCII characters: at least 128 bits of text,
// since what the service remembers of a request is sealed with it (a UUID has 36).
inline constexpr qsizetype MinKeyLength = 16;
inline constexpr qsizetype MaxKeyLength = 128;
inline constexpr qsizetype MaxTableCells = 100'000;
inline constexpr QLatin1StringView IdempotencyHeader("Idempotency-Key");

// Every operation the service serves, in one table (calls.cpp).
const QList<Operation> &operations();
const Operation *find(QLatin1StringView name);
const Operation *findByPath(const QString &path);
QString path(const Operation &operation);
QString roleName(Role role);

// A JSON number that is a whole number from `low` to `high`.
bool isIntegral(const QJsonValue &value, double low, double high);
// A whole number of the wire's Integer kind as a qint64. Any whole JSON number is one: a
// value beyond qint64's range reads as its nearest end, which the call then treats as
// any other value out of its range. (JSON numbers are exact up to 2^53.)
bool isWholeNumber(const QJsonValue &value);
qint64 toWholeNumber(const QJsonValue &value);
// A text is acceptable on the wire when it is valid UTF-16 (no unpaired surrogate).
bool isWellFormed(const QString &text);
bool isAcceptableKey(const QString &key);
// The token of an Authorization header value of the scheme Bearer, spelt in any case and
// followed by spaces or tabs; empty for any other value.
QString bearerToken(QByteArrayView authorization);

// What QJsonDocument lets through and the wire does not: a key twice in one object (the
// parser keeps the last) and a control character (U+0000 to U+001F) written raw inside a
// text. Looked for in one pass over the text, without recursion, before the parser sees
// it; anything else malformed is left to the parser.
enum class JsonFault { None, DuplicateKey, RawControl };
JsonFault scanJson(QByteArrayView text);

QJsonValue toJson(const Variant &value);
// False (and `value` untouched) for anything but null, a text, or a well-formed table.
bool fromJson(const QJsonValue &json, Variant &value);

// Checks a request body against the operation's fields: every field of the right kind,
// no unknown field. Missing fields read as their empty value. An empty `error` means
// the object is acceptable.
QString validate(const Operation &operation, const QJsonObject &body);

QJsonObject statusJson(const Status &status);
// The Status an answer carries; false when the answer has none or a malformed one.
bool statusFromJson(const QJsonObject &answer, Status &status);
QJsonObject errorJson(const QString &code, const QString &message);

} // namespace Wire
