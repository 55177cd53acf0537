#include "operations.h"

#include "localgateway.h"

#include <QHash>
#include <QJsonArray>

#include <algorithm>
#include <functional>

using namespace Qt::StringLiterals;

namespace Operations {

namespace {

// Reads the inputs of one call from the body and writes its slots into the answer.
class Call {
public:
    Call(const QJsonObject &body, QJsonObject &answer)
        : m_body(body)
        , m_answer(answer)
    {
    }

    QString text(const char *name) const
    {
        return m_body.value(QLatin1StringView(name)).toString();
    }
    qint64 integer(const char *name) const
    {
        return qint64(m_body.value(QLatin1StringView(name)).toDouble());
    }
    Variant variant(const char *name) const
    {
        Variant value;
        (void)Wire::fromJson(m_body.value(QLatin1StringView(name)), value);
        return value;
    }

    // The outcome slot as the caller sent it (0 when absent).
    Bool16 &outcome()
    {
        m_outcome = Bool16(m_body.value("outcome"_L1).toInt(0));
        return m_outcome;
    }

    void put(const char *name, const QJsonValue &value)
    {
        m_slots.insert(QLatin1StringView(name), value);
    }

    void finish(const Status &status)
    {
        m_answer = Wire::statusJson(status);
        if (status.failed())
            return;
        for (auto it = m_slots.begin(); it != m_slots.end(); ++it)
            m_answer.insert(it.key(), it.value());
        if (m_usedOutcome)
            m_answer.insert("outcome"_L1, double(m_outcome));
    }

    // Runs a call that writes a Bool16 outcome.
    void withOutcome(const std::function<Status(Bool16 &)> &call)
    {
        m_usedOutcome = true;
        Bool16 &slot = outcome();
        finish(call(slot));
    }

private:
    const QJsonObject &m_body;
    QJsonObject &m_answer;
    QJsonObject m_slots;
    Bool16 m_outcome = 0;
    bool m_usedOutcome = false;
};

using Runner = std::function<void(LocalGateway &, Call &)>;

void textOut(Call &call, const char *slot, const std::function<Status(QString &)> &work)
{
    QString value = call.text(slot);
    const Status status = work(value);
    call.put(slot, value);
    call.finish(status);
}

void receive(LocalGateway &g, Call &call, bool net)
{
    Variant total = call.variant("total");
    Variant current = call.variant("current");
    Variant messages = call.variant("messages");
    call.withOutcome([&](Bool16 &outcome) {
        Status status = net
            ? g.ReceiveMessagesNet(call.text("accountNo"), total, current, messages,
                                   call.text("extension"), outcome)
            : g.ReceiveMessages(call.text("accountNo"), total, current, messages, outcome);
        call.put("total", Wire::toJson(total));
        call.put("current", Wire::toJson(current));
        call.put("messages", Wire::toJson(messages));
        return status;
    });
}

QString moOutcomeName(LocalGateway::MoOutcome outcome)
{
    switch (outcome) {
    case LocalGateway::MoOutcome::Arrived:
        return u"arrived"_s;
    case LocalGateway::MoOutcome::BadSender:
        return u"badSender"_s;
    case LocalGateway::MoOutcome::BadExtension:
        return u"badExtension"_s;
    case LocalGateway::MoOutcome::BadText:
        return u"badText"_s;
    case LocalGateway::MoOutcome::UnknownAccount:
        return u"unknownAccount"_s;
    }
    return {};
}

QString replyStateName(LocalGateway::ReplyState state)
{
    switch (state) {
    case LocalGateway::ReplyState::None:
        return u"none"_s;
    case LocalGateway::ReplyState::Delivered:
        return u"delivered"_s;
    case LocalGateway::ReplyState::NotSentBalance:
        return u"notSentBalance"_s;
    case LocalGateway::ReplyState::NotSentTooLong:
        return u"notSentTooLong"_s;
    }
    return {};
}

QString utc(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

// A listing's page as the request names it; a limit out of 1 to MaxPageSize (or none)
// asks for the largest page.
LocalGateway::Page page(const Call &call)
{
    const qint64 limit = call.integer("limit");
    return { call.text("after"),
             limit >= 1 && limit <= LocalGateway::MaxPageSize ? int(limit)
                                                              : LocalGateway::MaxPageSize };
}

template<typename T> void putPaging(Call &call, const LocalGateway::Listing<T> &listing)
{
    call.put("next", listing.next);
    if (listing.total >= 0)
        call.put("total", double(listing.total));
}

const QHash<QLatin1StringView, Runner> &runners()
{
    static const QHash<QLatin1StringView, Runner> table = {
        { "queryBalance"_L1,
          [](LocalGateway &g, Call &c) {
              textOut(c, "balance", [&](QString &balance) {
                  return g.QueryBalance(c.text("accountNo"), balance);
              });
          } },
        { "register"_L1,
          [](LocalGateway &g, Call &c) {
              const RegisterParticulars p { c.text("accountNo"),   c.text("password"),
                                            c.text("province"),    c.text("city"),
                                            c.text("trade"),       c.text("company"),
                                            c.text("contactName"), c.text("telephone"),
                                            c.text("mobile"),      c.text("email"),
                                            c.text("fax"),         c.text("address"),
                                            c.text("postcode") };
              c.withOutcome([&](Bool16 &o) { return g.Register(p, o); });
          } },
        { "recharge"_L1,
          [](LocalGateway &g, Call &c) {
              c.withOutcome([&](Bool16 &o) {
                  return g.Recharge(c.text("accountNo"), c.text("cardNo"), c.text("cardPassword"),
                                    o);
              });
          } },
        { "sendMessage"_L1,
          [](LocalGateway &g, Call &c) {
              c.withOutcome([&](Bool16 &o) {
                  return g.SendMessage(c.text("accountNo"), c.text("phoneNo"), c.text("text"), o);
              });
          } },
        { "sendScheduledMessage"_L1,
          [](LocalGateway &g, Call &c) {
              c.withOutcome([&](Bool16 &o) {
                  return g.SendScheduledMessage(c.text("accountNo"), c.text("phoneNo"),
                                                c.text("text"), c.text("sendTime"), o);
              });
          } },
        { "receiveMessages"_L1, [](LocalGateway &g, Call &c) { receive(g, c, false); } },
        { "receiveMessagesNet"_L1, [](LocalGateway &g, Call &c) { receive(g, c, true); } },
        { "setForwarding"_L1,
          [](LocalGateway &g, Call &c) {
              c.withOutcome([&](Bool16 &o) {
                  return g.SetForwarding(c.text("accountNo"), c.text("phoneNo"), o);
              });
          } },
        { "cancelForwarding"_L1,
          [](LocalGateway &g, Call &c) {
              c.withOutcome([&](Bool16 &o) { return g.CancelForwarding(c.text("accountNo"), o); });
          } },
        { "getForwarding"_L1,
          [](LocalGateway &g, Call &c) {
              textOut(c, "phoneNo",
                      [&](QString &phone) { return g.GetForwarding(c.text("accountNo"), phone); });
          } },
        { "setAutoReply"_L1,
          [](LocalGateway &g, Call &c) {
              c.withOutcome([&](Bool16 &o) {
                  return g.SetAutoReply(c.text("accountNo"), c.text("reply"), o);
              });
          } },
        { "cancelAutoReply"_L1,
          [](LocalGateway &g, Call &c) {
              c.withOutcome([&](Bool16 &o) { return g.CancelAutoReply(c.text("accountNo"), o); });
          } },
        { "getAutoReply"_L1,
          [](LocalGateway &g, Call &c) {
              textOut(c, "reply",
                      [&](QString &reply) { return g.GetAutoReply(c.text("accountNo"), reply); });
          } },
        { "deregister"_L1,
          [](LocalGateway &g, Call &c) {
              c.withOutcome([&](Bool16 &o) { return g.Deregister(c.text("accountNo"), o); });
          } },
        { "changePassword"_L1,
          [](LocalGateway &g, Call &c) {
              c.withOutcome([&](Bool16 &o) {
                  return g.ChangePassword(c.text("accountNo"), c.text("newPassword"), o);
              });
          } },
        { "issueCards"_L1,
          [](LocalGateway &g, Call &c) {
              const qint64 count = c.integer("count");
              QList<LocalGateway::IssuedCard> cards;
              const Status status = count < 1 || count > LocalGateway::MaxCardsPerIssue
                  ? Status::ok()
                  : g.issueCards(c.integer("valueFen"), int(count), cards);
              QJsonArray list;
              for (const LocalGateway::IssuedCard &card : cards) {
                  list.append(QJsonObject { { u"number"_s, card.number },
                                            { u"password"_s, card.password },
                                            { u"valueFen"_s, double(card.valueFen) } });
              }
              c.put("cards", list);
              c.finish(status);
          } },
        { "receiveFromHandset"_L1,
          [](LocalGateway &g, Call &c) {
              LocalGateway::MoReport report;
              const Status status = g.receiveFromHandset(
                  c.text("from"), c.text("to"), c.text("extension"), c.text("text"), report);
              c.put("outcome", moOutcomeName(report.outcome));
              c.put("accountNo", report.accountNo);
              c.put("serviceNumber", report.serviceNumber);
              c.put("forwarded", replyStateName(report.forwarded));
              c.put("forwardingPhone", report.forwardingPhone);
              c.put("autoReplied", replyStateName(report.autoReplied));
              c.finish(status);
          } },
        { "handsetMessages"_L1,
          [](LocalGateway &g, Call &c) {
              LocalGateway::Listing<LocalGateway::HandsetMessage> listing;
              const Status status = g.handsetMessages(c.text("phone"), page(c), listing);
              QJsonArray list;
              for (const LocalGateway::HandsetMessage &m : std::as_const(listing.entries)) {
                  list.append(QJsonObject { { u"from"_s, m.from },
                                            { u"text"_s, m.text },
                                            { u"deliveredAt"_s, utc(m.deliveredAt) } });
              }
              c.put("messages", list);
              putPaging(c, listing);
              c.finish(status);
          } },
        { "accounts"_L1,
          [](LocalGateway &g, Call &c) {
              LocalGateway::Listing<LocalGateway::AccountSummary> listing;
              const Status status = g.accounts(page(c), listing);
              QJsonArray list;
              for (const LocalGateway::AccountSummary &a : std::as_const(listing.entries)) {
                  list.append(QJsonObject { { u"number"_s, a.number },
                                            { u"serviceNumber"_s, a.serviceNumber },
                                            { u"mobile"_s, a.mobile },
                                            { u"balanceFen"_s, double(a.balanceFen) },
                                            { u"signedOn"_s, a.signedOn },
                                            { u"forwardingPhone"_s, a.forwardingPhone },
                                            { u"autoReply"_s, a.autoReply },
                                            { u"waiting"_s, double(a.waiting) } });
              }
              c.put("accounts", list);
              putPaging(c, listing);
              c.finish(status);
          } },
    };
    return table;
}

} // namespace

bool hashes(const Wire::Operation &operation)
{
    static const QLatin1StringView slow[]
        = { "register"_L1, "changePassword"_L1, "recharge"_L1, "issueCards"_L1 };
    return std::find(std::begin(slow), std::end(slow), operation.name) != std::end(slow);
}

void prepare(const Wire::Operation &operation, LocalGateway &gateway, const QJsonObject &body)
{
    const auto text
        = [&](const char *name) { return body.value(QLatin1StringView(name)).toString(); };
    if (operation.name == "register"_L1) {
        gateway.prepareSignOn(text("accountNo"), text("password"));
    } else if (operation.name == "changePassword"_L1) {
        gateway.prepareNewPassword(text("newPassword"));
    } else if (operation.name == "recharge"_L1) {
        gateway.prepareCardCheck(text("cardNo"), text("cardPassword"));
    } else if (operation.name == "issueCards"_L1) {
        const double count = body.value("count"_L1).toDouble();
        if (count >= 1 && count <= LocalGateway::MaxCardsPerIssue)
            (void)gateway.prepareCards(qint64(body.value("valueFen"_L1).toDouble()), int(count));
    }
}

void run(const Wire::Operation &operation, LocalGateway &gateway, const QJsonObject &body,
         QJsonObject &answer)
{
    Call call(body, answer);
    const auto runner = runners().constFind(operation.name);
    Q_ASSERT(runner != runners().constEnd());
    (*runner)(gateway, call);
}

} // namespace Operations
