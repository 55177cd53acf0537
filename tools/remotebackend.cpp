#include "remotebackend.h"

#include "remotegateway.h"
#include "tooltexts.h"

#include <QJsonArray>

#include <cmath>

using namespace Qt::StringLiterals;

namespace {

using MoOutcome = LocalGateway::MoOutcome;
using ReplyState = LocalGateway::ReplyState;

std::optional<MoOutcome> moOutcome(const QJsonValue &value)
{
    static const QHash<QString, MoOutcome> names {
        { u"arrived"_s, MoOutcome::Arrived },
        { u"badSender"_s, MoOutcome::BadSender },
        { u"badExtension"_s, MoOutcome::BadExtension },
        { u"badText"_s, MoOutcome::BadText },
        { u"unknownAccount"_s, MoOutcome::UnknownAccount },
    };
    const auto found = names.constFind(value.toString());
    return found == names.constEnd() ? std::nullopt : std::optional(*found);
}

std::optional<ReplyState> replyState(const QJsonValue &value)
{
    static const QHash<QString, ReplyState> names {
        { u"none"_s, ReplyState::None },
        { u"delivered"_s, ReplyState::Delivered },
        { u"notSentBalance"_s, ReplyState::NotSentBalance },
        { u"notSentTooLong"_s, ReplyState::NotSentTooLong },
    };
    const auto found = names.constFind(value.toString());
    return found == names.constEnd() ? std::nullopt : std::optional(*found);
}

// Reads the named fields of one answer object, noting whether each was of its kind.
class Reader {
public:
    explicit Reader(const QJsonObject &object)
        : m_object(object)
    {
    }

    QString text(QLatin1StringView name)
    {
        const QJsonValue value = m_object.value(name);
        m_ok = m_ok && value.isString();
        return value.toString();
    }
    qint64 integer(QLatin1StringView name)
    {
        const QJsonValue value = m_object.value(name);
        const double d = value.toDouble(0.5);
        const bool integral = value.isDouble() && std::isfinite(d) && d == std::trunc(d)
            && std::abs(d) <= 9007199254740991.0;
        m_ok = m_ok && integral;
        return integral ? qint64(d) : 0;
    }
    bool boolean(QLatin1StringView name)
    {
        const QJsonValue value = m_object.value(name);
        m_ok = m_ok && value.isBool();
        return value.toBool();
    }
    QJsonArray array(QLatin1StringView name)
    {
        const QJsonValue value = m_object.value(name);
        m_ok = m_ok && value.isArray();
        return value.toArray();
    }
    template<typename T> T check(std::optional<T> value)
    {
        m_ok = m_ok && value.has_value();
        return value.value_or(T {});
    }
    bool ok() const { return m_ok; }

private:
    const QJsonObject &m_object;
    bool m_ok = true;
};

} // namespace

RemoteBackend::RemoteBackend(std::unique_ptr<RemoteGateway> gateway, QUrl url)
    : m_gateway(std::move(gateway))
    , m_url(std::move(url))
{
}

RemoteBackend::~RemoteBackend() = default;

Status RemoteBackend::open(const Settings &settings, std::unique_ptr<RemoteBackend> &backend)
{
    RemoteGateway::Settings remote;
    remote.url = settings.url;
    remote.caFile = settings.caFile;
    QUILLET_TRY(RemoteGateway::readTokenFile(settings.tokenFile, remote.token));
    if (remote.token.isEmpty())
        return Status::failure(RemoteGateway::BadSettings, ToolTexts::EmptyToken);
    std::unique_ptr<RemoteGateway> gateway;
    QUILLET_TRY(RemoteGateway::create(remote, gateway));
    backend.reset(new RemoteBackend(std::move(gateway), settings.url));
    return Status::ok();
}

Status RemoteBackend::malformed() const
{
    return Status::failure(RemoteGateway::Unavailable,
                           ToolTexts::malformedAnswer(m_url.toDisplayString()));
}

Status RemoteBackend::issueCards(qint64 valueFen, int count,
                                 const LocalGateway::CardPublisher &publish)
{
    QJsonObject answer;
    QUILLET_TRY(m_gateway->call(
        "issueCards"_L1, { { u"valueFen"_s, double(valueFen) }, { u"count"_s, count } }, answer));
    Reader reader(answer);
    const QJsonArray list = reader.array("cards"_L1);
    QList<LocalGateway::IssuedCard> cards;
    for (const QJsonValue entry : list) {
        const QJsonObject object = entry.toObject();
        Reader card(object);
        LocalGateway::IssuedCard issued { card.text("number"_L1), card.text("password"_L1),
                                          card.integer("valueFen"_L1) };
        if (!entry.isObject() || !card.ok())
            return malformed();
        cards.append(std::move(issued));
    }
    if (!reader.ok() || cards.size() != count)
        return malformed();
    (void)publish(cards);
    return Status::ok();
}

Status RemoteBackend::receiveFromHandset(const QString &from, const QString &to,
                                         const QString &extension, const QString &text,
                                         LocalGateway::MoReport &report)
{
    QJsonObject answer;
    QUILLET_TRY(m_gateway->call("receiveFromHandset"_L1,
                                { { u"from"_s, from },
                                  { u"to"_s, to },
                                  { u"extension"_s, extension },
                                  { u"text"_s, text } },
                                answer));
    Reader reader(answer);
    LocalGateway::MoReport read;
    read.outcome = reader.check(moOutcome(answer.value("outcome"_L1)));
    read.accountNo = reader.text("accountNo"_L1);
    read.serviceNumber = reader.text("serviceNumber"_L1);
    read.forwarded = reader.check(replyState(answer.value("forwarded"_L1)));
    read.forwardingPhone = reader.text("forwardingPhone"_L1);
    read.autoReplied = reader.check(replyState(answer.value("autoReplied"_L1)));
    if (!reader.ok())
        return malformed();
    report = std::move(read);
    return Status::ok();
}

Status RemoteBackend::receiveFromHandset(const QString &from, const QString &to,
                                         const QString &extension, const QString &text,
                                         qint64 count, LocalGateway::MoBulkReport &report)
{
    report = {};
    for (qint64 i = 0; i < count; ++i) {
        LocalGateway::MoReport one;
        QUILLET_TRY(receiveFromHandset(from, to, extension, text, one));
        if (one.outcome != MoOutcome::Arrived) {
            if (report.arrived == 0) {
                report.outcome = one.outcome;
                return Status::ok();
            }
            return Status::failure(RemoteGateway::Unavailable,
                                   ToolTexts::arrivalsRefusedPartWay(report.arrived));
        }
        report.outcome = MoOutcome::Arrived;
        report.accountNo = one.accountNo;
        report.serviceNumber = one.serviceNumber;
        ++report.arrived;
        if (!one.forwardingPhone.isEmpty())
            report.forwardingPhone = one.forwardingPhone;
        if (one.forwarded == ReplyState::Delivered)
            ++report.forwardedDelivered;
        else if (one.forwarded != ReplyState::None)
            ++report.forwardedNotSent;
        if (one.autoReplied == ReplyState::Delivered)
            ++report.repliesDelivered;
        else if (one.autoReplied != ReplyState::None)
            ++report.repliesNotSent;
    }
    return Status::ok();
}

namespace {

QJsonObject pageJson(const LocalGateway::Page &page)
{
    return { { u"after"_s, page.after }, { u"limit"_s, page.limit } };
}

// The paging of an answer: the next cursor, and the total on a first page.
template<typename T>
void readPaging(Reader &reader, const QJsonObject &answer, LocalGateway::Listing<T> &listing)
{
    listing.next = reader.text("next"_L1);
    if (answer.contains("total"_L1))
        listing.total = reader.integer("total"_L1);
}

} // namespace

Status RemoteBackend::handsetMessages(const QString &phone, const LocalGateway::Page &page,
                                      LocalGateway::Listing<LocalGateway::HandsetMessage> &listing)
{
    listing = {};
    QJsonObject request = pageJson(page);
    request.insert(u"phone"_s, phone);
    QJsonObject answer;
    QUILLET_TRY(m_gateway->call("handsetMessages"_L1, request, answer));
    Reader reader(answer);
    const QJsonArray list = reader.array("messages"_L1);
    LocalGateway::Listing<LocalGateway::HandsetMessage> read;
    readPaging(reader, answer, read);
    for (const QJsonValue entry : list) {
        const QJsonObject object = entry.toObject();
        Reader message(object);
        LocalGateway::HandsetMessage m { message.text("from"_L1), message.text("text"_L1),
                                         QDateTime::fromString(message.text("deliveredAt"_L1),
                                                               Qt::ISODateWithMs) };
        if (!entry.isObject() || !message.ok() || !m.deliveredAt.isValid())
            return malformed();
        // Shown in the operator's own zone, as the local store's listing is.
        m.deliveredAt = m.deliveredAt.toLocalTime();
        read.entries.append(std::move(m));
    }
    if (!reader.ok() || read.entries.size() > LocalGateway::MaxPageSize)
        return malformed();
    listing = std::move(read);
    return Status::ok();
}

Status RemoteBackend::accounts(const LocalGateway::Page &page,
                               LocalGateway::Listing<LocalGateway::AccountSummary> &listing)
{
    listing = {};
    QJsonObject answer;
    QUILLET_TRY(m_gateway->call("accounts"_L1, pageJson(page), answer));
    Reader reader(answer);
    const QJsonArray entries = reader.array("accounts"_L1);
    LocalGateway::Listing<LocalGateway::AccountSummary> read;
    readPaging(reader, answer, read);
    for (const QJsonValue entry : entries) {
        const QJsonObject object = entry.toObject();
        Reader account(object);
        LocalGateway::AccountSummary a;
        a.number = account.text("number"_L1);
        a.serviceNumber = account.text("serviceNumber"_L1);
        a.mobile = account.text("mobile"_L1);
        a.balanceFen = account.integer("balanceFen"_L1);
        a.signedOn = account.boolean("signedOn"_L1);
        a.forwardingPhone = account.text("forwardingPhone"_L1);
        a.autoReply = account.text("autoReply"_L1);
        a.waiting = account.integer("waiting"_L1);
        if (!entry.isObject() || !account.ok())
            return malformed();
        read.entries.append(std::move(a));
    }
    if (!reader.ok() || read.entries.size() > LocalGateway::MaxPageSize)
        return malformed();
    listing = std::move(read);
    return Status::ok();
}
