#include "service/applicationroutes.h"

#include "gateway/local/applicationapi.h"
#include "gateway/local/localgateway.h"
#include "gateway/local/outbox.h"
#include "gateway/local/store.h"
#include "protocol/wire.h"
#include "service/callbacksetup.h"

#include <QDateTime>
#include <QHostInfo>
#include <QJsonArray>

using namespace Qt::StringLiterals;

namespace ApplicationRoutes {

namespace {

using ServiceTexts::Refusal;

Answered ok(QJsonObject body, int status = 200)
{
    Answered answered;
    answered.status = status;
    answered.body = std::move(body);
    return answered;
}

Answered refused(Refusal refusal, const QString &value = {}, QJsonObject detail = {})
{
    Answered answered;
    answered.status = ServiceTexts::refusalOf(refusal).status;
    answered.refusal = refusal;
    answered.value = value;
    answered.detail = std::move(detail);
    return answered;
}

// An ISO 8601 time; one that names no offset is UTC, as every time of these routes is.
std::optional<qint64> isoTime(const QString &text)
{
    QDateTime at = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!at.isValid())
        return std::nullopt;
    if (at.timeSpec() == Qt::LocalTime)
        at.setTimeSpec(Qt::UTC);
    return at.toMSecsSinceEpoch();
}

Result<Answered> account(LocalGateway &gateway, const Call &call)
{
    QUILLET_TRY_VALUE(const std::optional<ApplicationApi::Account> found,
                      ApplicationApi(gateway).account(call.accountNo));
    if (!found)
        return refused(Refusal::NoSuchMessage);
    return ok({ { "accountNo"_L1, found->accountNo },
                { "balance"_L1, LocalGateway::formatYuan(found->balanceFen) },
                { "serviceNumber"_L1, found->serviceNumber } });
}

Result<Answered> message(LocalGateway &gateway, const Call &call)
{
    QUILLET_TRY_VALUE(const std::optional<MessageView> found,
                      ApplicationApi(gateway).message(call.accountNo, call.id));
    if (!found)
        return refused(Refusal::NoSuchMessage);
    return ok(found->toJson());
}

// ?state=...&since=...&limit=...&after=..., each at most once.
Result<Answered> messages(LocalGateway &gateway, const Call &call)
{
    ApplicationApi::Filter filter;
    Operator::Page page;
    const QList<std::pair<QString, QString>> items = call.query.queryItems(QUrl::FullyDecoded);
    QStringList seen;
    for (const auto &[name, value] : items) {
        if (seen.contains(name))
            return refused(Refusal::InvalidField, ServiceTexts::repeatedParameter(name.left(64)));
        seen.append(name);
        if (name == u"state"_s) {
            filter.state = value;
        } else if (name == u"since"_s) {
            filter.sinceMs = isoTime(value);
            if (!filter.sinceMs)
                return refused(Refusal::InvalidField, ServiceTexts::badSince());
        } else if (name == u"limit"_s) {
            bool number = false;
            page.limit = value.toInt(&number);
            if (!number || page.limit < 1 || page.limit > Operator::MaxPageSize)
                return refused(Refusal::InvalidField,
                               ServiceTexts::badLimit(Operator::MaxPageSize));
        } else if (name == u"after"_s) {
            page.after = value;
        } else {
            return refused(Refusal::InvalidField, ServiceTexts::unknownParameter(name.left(64)));
        }
    }
    Operator::Listing<MessageView> listing;
    const Status status = ApplicationApi(gateway).messages(call.accountNo, filter, page, listing);
    if (status.code() == Store::InvalidArgument)
        return refused(Refusal::InvalidField, status.description());
    QUILLET_TRY(status);
    QJsonArray list;
    for (const MessageView &view : std::as_const(listing.entries))
        list.append(view.toJson());
    QJsonObject answer { { "messages"_L1, list }, { "next"_L1, listing.next } };
    if (listing.total >= 0)
        answer.insert("total"_L1, double(listing.total));
    return ok(answer);
}

// The body's fields, each of its kind; a field the route does not know is refused.
Result<Answered> send(LocalGateway &gateway, const Call &call)
{
    using Field = ApplicationApi::Field;
    ApplicationApi::Send send;
    const auto bad = [](Field field) {
        return refused(Refusal::InvalidField, ServiceTexts::badSendField(int(field)));
    };
    for (auto it = call.body.constBegin(); it != call.body.constEnd(); ++it) {
        const QJsonValue value = it.value();
        if (it.key() == "to"_L1) {
            if (value.isString()) {
                send.to = QStringList { value.toString() };
            } else if (value.isArray()) {
                for (const QJsonValue phone : value.toArray()) {
                    if (!phone.isString())
                        return bad(Field::To);
                    send.to.append(phone.toString());
                }
            } else {
                return bad(Field::To);
            }
        } else if (it.key() == "text"_L1) {
            if (!value.isString())
                return bad(Field::Text);
            send.text = value.toString();
        } else if (it.key() == "sendAt"_L1) {
            send.sendAtMs = isoTime(value.toString());
            if (!value.isString() || !send.sendAtMs)
                return bad(Field::SendAt);
        } else if (it.key() == "validity"_L1) {
            if (!Wire::isWholeNumber(value))
                return bad(Field::Validity);
            send.validitySeconds = Wire::toWholeNumber(value);
        } else if (it.key() == "reference"_L1) {
            if (!value.isString())
                return bad(Field::Reference);
            send.reference = value.toString();
        } else {
            return refused(Refusal::InvalidField, ServiceTexts::unknownField(it.key().left(64)));
        }
    }
    QUILLET_TRY_VALUE(const ApplicationApi::Sent sent,
                      ApplicationApi(gateway).send(call.accountNo, send));
    using Refused = ApplicationApi::Sent::Refused;
    switch (sent.refused) {
    case Refused::None:
        break;
    case Refused::Invalid:
        return bad(sent.field);
    case Refused::InsufficientBalance:
        return refused(Refusal::InsufficientBalance, {},
                       { { "balance"_L1, LocalGateway::formatYuan(sent.balanceFen) } });
    case Refused::NoAccount:
        return refused(Refusal::NoSuchMessage);
    }
    QJsonArray list;
    for (const MessageView &view : sent.messages) {
        list.append(QJsonObject { { "id"_L1, QString::number(view.id) },
                                  { "to"_L1, view.to },
                                  { "parts"_L1, view.segments },
                                  { "price"_L1, LocalGateway::formatYuan(view.priceFen) },
                                  { "state"_L1, view.state } });
    }
    return ok(
        { { "messages"_L1, list }, { "balance"_L1, LocalGateway::formatYuan(sent.balanceFen) } },
        202);
}

Result<Answered> cancel(LocalGateway &gateway, const Call &call)
{
    QUILLET_TRY_VALUE(const ApplicationApi::Cancelled cancelled,
                      ApplicationApi(gateway).cancel(call.accountNo, call.id));
    using Outcome = ApplicationApi::Cancelled::Outcome;
    switch (cancelled.outcome) {
    case Outcome::Cancelled:
        return ok(cancelled.message.toJson());
    case Outcome::NotCancellable:
        return refused(Refusal::NotCancellable, cancelled.message.state,
                       { { "state"_L1, cancelled.message.state } });
    case Outcome::NotFound:
        break;
    }
    return refused(Refusal::NoSuchMessage);
}

// {"limit": N}, 1 to ApplicationApi::MaxArrivals; none: 10, the console's batch.
Result<Answered> nextArrivals(LocalGateway &gateway, const Call &call)
{
    int limit = LocalGateway::ReceiveBatch;
    for (auto it = call.body.constBegin(); it != call.body.constEnd(); ++it) {
        if (it.key() != "limit"_L1)
            return refused(Refusal::InvalidField, ServiceTexts::unknownField(it.key().left(64)));
        if (!Wire::isIntegral(it.value(), 1, ApplicationApi::MaxArrivals))
            return refused(Refusal::InvalidField,
                           ServiceTexts::badLimit(ApplicationApi::MaxArrivals));
        limit = it.value().toInt();
    }
    QUILLET_TRY_VALUE(const QList<ApplicationApi::Arrival> taken,
                      ApplicationApi(gateway).nextArrivals(call.accountNo, limit));
    QJsonArray list;
    for (const ApplicationApi::Arrival &arrival : taken) {
        list.append(QJsonObject {
            { "id"_L1, QString::number(arrival.id) },
            { "from"_L1, arrival.from },
            { "to"_L1, arrival.to },
            { "text"_L1, arrival.text },
            { "receivedAt"_L1,
              QDateTime::fromMSecsSinceEpoch(arrival.receivedAtMs, Qt::UTC)
                  .toString(Qt::ISODateWithMs) },
        });
    }
    return ok({ { "arrivals"_L1, list } });
}

const QString StateEvent = u"message.state"_s;
const QString ArrivalEvent = u"arrival"_s;

// The body of PUT /v1/account/callback: a URL of a sound form and one or both events,
// each once; anything else is refused.
std::optional<Answered> badCallback(const Call &call, QString &url, bool &onState, bool &onArrival)
{
    if (!call.callbacks)
        return refused(Refusal::CallbacksUnavailable);
    onState = onArrival = false;
    for (auto it = call.body.constBegin(); it != call.body.constEnd(); ++it) {
        if (it.key() == "url"_L1) {
            if (!it.value().isString())
                return refused(Refusal::InvalidField, ServiceTexts::badCallbackField("url"_L1));
            url = it.value().toString();
        } else if (it.key() == "events"_L1) {
            if (!it.value().isArray() || it.value().toArray().isEmpty())
                return refused(Refusal::InvalidField, ServiceTexts::badCallbackField("events"_L1));
            for (const QJsonValue event : it.value().toArray()) {
                bool &on = event.toString() == StateEvent ? onState : onArrival;
                if ((event.toString() != StateEvent && event.toString() != ArrivalEvent) || on)
                    return refused(Refusal::InvalidField,
                                   ServiceTexts::badCallbackField("events"_L1));
                on = true;
            }
        } else {
            return refused(Refusal::InvalidField, ServiceTexts::unknownField(it.key().left(64)));
        }
    }
    if (!onState && !onArrival)
        return refused(Refusal::InvalidField, ServiceTexts::badCallbackField("events"_L1));
    if (const QString why = call.callbacks->policy.checkForm(url); !why.isEmpty())
        return refused(Refusal::CallbackRefused, why);
    return std::nullopt;
}

// The host is looked up as it resolves now; each request looks again before it connects.
std::optional<Answered> checkCallback(const Call &call)
{
    QString url;
    bool onState = false;
    bool onArrival = false;
    if (std::optional<Answered> bad = badCallback(call, url, onState, onArrival))
        return bad;
    const QString host = QUrl(url).host();
    const QHostInfo info = QHostInfo::fromName(host);
    QString why;
    if (!call.callbacks->policy.allowedAddress(host, info.addresses(), why))
        return refused(Refusal::CallbackRefused, why);
    return std::nullopt;
}

// A new secret each time, shown in this answer only (and in a repeat of its key's).
Result<Answered> setCallback(LocalGateway &gateway, const Call &call)
{
    QString url;
    bool onState = false;
    bool onArrival = false;
    if (std::optional<Answered> bad = badCallback(call, url, onState, onArrival))
        return *bad;
    const QString secret = CallbackSecrets::newSecret();
    QUILLET_TRY_VALUE(
        const bool set,
        Outbox(gateway, {})
            .setCallback(call.accountNo,
                         { url, onState, onArrival, call.callbacks->seal.seal(secret) }));
    if (!set)
        return refused(Refusal::NoSuchMessage);
    QJsonArray events;
    if (onState)
        events.append(StateEvent);
    if (onArrival)
        events.append(ArrivalEvent);
    return ok({ { "url"_L1, url }, { "events"_L1, events }, { "secret"_L1, secret } });
}

Result<Answered> removeCallback(LocalGateway &gateway, const Call &call)
{
    QUILLET_TRY_VALUE(const bool removed, Outbox(gateway, {}).removeCallback(call.accountNo));
    if (!removed)
        return refused(Refusal::NoCallback);
    return ok({});
}

} // namespace

const QList<Route> &routes()
{
    const bool keyed = true;
    const bool readOnly = false;
    static const QList<Route> table = {
        { "account"_L1, "GET", "/v1/account"_L1, readOnly, 200, &account },
        { "sendMessages"_L1, "POST", "/v1/messages"_L1, keyed, 202, &send },
        { "listMessages"_L1, "GET", "/v1/messages"_L1, readOnly, 200, &messages },
        { "getMessage"_L1, "GET", "/v1/messages/{id}"_L1, readOnly, 200, &message },
        { "cancelMessage"_L1, "DELETE", "/v1/messages/{id}"_L1, keyed, 200, &cancel },
        { "nextArrivals"_L1, "POST", "/v1/arrivals/next"_L1, keyed, 200, &nextArrivals },
        { "setCallback"_L1, "PUT", "/v1/account/callback"_L1, keyed, 200, &setCallback,
          &checkCallback },
        { "removeCallback"_L1, "DELETE", "/v1/account/callback"_L1, keyed, 200, &removeCallback },
    };
    return table;
}

QList<const Route *> find(const QString &path, qint64 &id)
{
    static const QLatin1StringView Id("{id}");
    QList<const Route *> found;
    for (const Route &route : routes()) {
        const qsizetype at = route.path.indexOf(Id);
        if (at < 0) {
            if (path == route.path)
                found.append(&route);
            continue;
        }
        const QStringView head = QStringView(path).left(at);
        const QStringView rest = QStringView(path).mid(at);
        if (path.size() <= at || head != route.path.left(at))
            continue;
        // Digits only, no sign or leading zero: one text for each id.
        const bool digits = !rest.isEmpty() && rest.size() <= 18 && rest.front() != u'0'
            && std::all_of(rest.begin(), rest.end(),
                           [](QChar c) { return c >= u'0' && c <= u'9'; });
        if (!digits)
            continue;
        id = rest.toLongLong();
        found.append(&route);
    }
    return found;
}

} // namespace ApplicationRoutes
