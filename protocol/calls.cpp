#include "protocol/calls.h"

#include <algorithm>
#include <limits>

using namespace Qt::StringLiterals;

namespace Wire {

namespace {

constexpr double MaxInteger = 9007199254740991.0; // 2^53 - 1: exact in a JSON number

// Reads the named fields of one object, noting whether each was there and of its kind.
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
        const bool integral = isIntegral(value, -MaxInteger, MaxInteger);
        m_ok = m_ok && integral;
        return integral ? qint64(value.toDouble()) : 0;
    }
    bool boolean(QLatin1StringView name)
    {
        const QJsonValue value = m_object.value(name);
        m_ok = m_ok && value.isBool();
        return value.toBool();
    }
    template<typename E> E name(QLatin1StringView field, const QList<QLatin1StringView> &names)
    {
        const qsizetype at = names.indexOf(m_object.value(field).toString());
        m_ok = m_ok && at >= 0;
        return E(qMax<qsizetype>(at, 0));
    }
    // A time, for the reports that keep theirs in milliseconds since the epoch.
    qint64 timeMs(QLatin1StringView name) { return time(name).toMSecsSinceEpoch(); }
    QStringList texts(QLatin1StringView name, qsizetype most)
    {
        const QJsonValue value = m_object.value(name);
        const QJsonArray list = value.toArray();
        m_ok = m_ok && value.isArray() && list.size() <= most;
        QStringList read;
        for (const QJsonValue item : list) {
            m_ok = m_ok && item.isString();
            read.append(item.toString());
        }
        return read;
    }
    QDateTime time(QLatin1StringView name)
    {
        const QDateTime at = QDateTime::fromString(text(name), Qt::ISODateWithMs);
        m_ok = m_ok && at.isValid();
        // Shown in the reader's own zone, as the local store's listing is.
        return at.toLocalTime();
    }
    template<typename T, typename Entry>
    QList<T> records(QLatin1StringView name, qsizetype most, Entry entry)
    {
        const QJsonValue value = m_object.value(name);
        const QJsonArray list = value.toArray();
        m_ok = m_ok && value.isArray() && list.size() <= most;
        QList<T> read;
        for (const QJsonValue item : list) {
            Reader fields(item.toObject());
            read.append(entry(fields));
            m_ok = m_ok && item.isObject() && fields.ok();
        }
        return read;
    }
    bool has(QLatin1StringView name) const { return m_object.contains(name); }
    bool ok() const { return m_ok; }

private:
    const QJsonObject &m_object;
    bool m_ok = true;
};

// The names an arrival's outcome and its replies' states travel as, in enum order.
const QList<QLatin1StringView> &moOutcomeNames()
{
    static const QList<QLatin1StringView> names
        = { "arrived"_L1, "badSender"_L1, "badExtension"_L1, "badText"_L1, "unknownAccount"_L1 };
    return names;
}
const QList<QLatin1StringView> &replyStateNames()
{
    static const QList<QLatin1StringView> names
        = { "none"_L1, "delivered"_L1, "notSentBalance"_L1, "notSentTooLong"_L1 };
    return names;
}

const QList<QLatin1StringView> &unmatchedKindNames()
{
    static const QList<QLatin1StringView> names
        = { "receipt"_L1, "arrival"_L1, "part"_L1, "answer"_L1 };
    return names;
}

Field text(QLatin1StringView name)
{
    return { name, FieldKind::Text };
}
Field integer(QLatin1StringView name)
{
    return { name, FieldKind::Integer };
}

// The particulars of a registration, by field name.
const QList<std::pair<QLatin1StringView, QString RegisterParticulars::*>> &particulars()
{
    using P = RegisterParticulars;
    static const QList<std::pair<QLatin1StringView, QString P::*>> fields = {
        { "accountNo"_L1, &P::accountNo },
        { "password"_L1, &P::password },
        { "province"_L1, &P::province },
        { "city"_L1, &P::city },
        { "trade"_L1, &P::trade },
        { "company"_L1, &P::company },
        { "contactName"_L1, &P::contactName },
        { "telephone"_L1, &P::telephone },
        { "mobile"_L1, &P::mobile },
        { "email"_L1, &P::email },
        { "fax"_L1, &P::fax },
        { "address"_L1, &P::address },
        { "postcode"_L1, &P::postcode },
    };
    return fields;
}

QList<Field> paging(QLatin1StringView records, const QList<Field> &entry)
{
    return { { records, FieldKind::Records, &entry },
             text("next"_L1),
             { "total"_L1, FieldKind::Integer, nullptr, nullptr, true } };
}

template<typename T> void putPaging(QJsonObject &o, const Operator::Listing<T> &listing)
{
    o.insert("next"_L1, listing.next);
    if (listing.total >= 0)
        o.insert("total"_L1, double(listing.total));
}

template<typename T> void takePaging(Reader &reader, const QJsonObject &o, Operator::Listing<T> &v)
{
    v.next = reader.text("next"_L1);
    v.total = o.contains("total"_L1) ? reader.integer("total"_L1) : -1;
}

QString utc(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QString utc(qint64 ms)
{
    return utc(QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC));
}

} // namespace

bool Codec<QString>::take(const QJsonObject &o, QLatin1StringView name, QString &v)
{
    Reader reader(o);
    v = reader.text(name);
    return reader.ok();
}

bool Codec<qint64>::take(const QJsonObject &o, QLatin1StringView name, qint64 &v)
{
    Reader reader(o);
    v = reader.integer(name);
    return reader.ok();
}

bool Codec<int>::take(const QJsonObject &o, QLatin1StringView name, int &v)
{
    Reader reader(o);
    v = int(qBound(qint64(std::numeric_limits<int>::min()), reader.integer(name),
                   qint64(std::numeric_limits<int>::max())));
    return reader.ok();
}

bool Codec<Bool16>::take(const QJsonObject &o, QLatin1StringView name, Bool16 &v)
{
    const QJsonValue value = o.value(name);
    if (!isIntegral(value, -32768.0, 32767.0))
        return false;
    v = Bool16(value.toDouble());
    return true;
}

void Codec<Variant>::put(QJsonObject &o, QLatin1StringView name, const Variant &v)
{
    o.insert(name, toJson(v));
}

bool Codec<Variant>::take(const QJsonObject &o, QLatin1StringView name, Variant &v)
{
    return fromJson(o.value(name), v);
}

QList<Field> Codec<RegisterParticulars>::fields(QLatin1StringView)
{
    QList<Field> fields;
    for (const auto &[name, member] : particulars())
        fields.append(text(name));
    return fields;
}

void Codec<RegisterParticulars>::put(QJsonObject &o, QLatin1StringView,
                                     const RegisterParticulars &v)
{
    for (const auto &[name, member] : particulars())
        o.insert(name, v.*member);
}

bool Codec<RegisterParticulars>::take(const QJsonObject &o, QLatin1StringView,
                                      RegisterParticulars &v)
{
    Reader reader(o);
    for (const auto &[name, member] : particulars())
        v.*member = reader.text(name);
    return reader.ok();
}

QList<Field> Codec<Operator::Page>::fields(QLatin1StringView)
{
    return { text("after"_L1), integer("limit"_L1) };
}

void Codec<Operator::Page>::put(QJsonObject &o, QLatin1StringView, const Operator::Page &v)
{
    o.insert("after"_L1, v.after);
    o.insert("limit"_L1, v.limit);
}

bool Codec<Operator::Page>::take(const QJsonObject &o, QLatin1StringView, Operator::Page &v)
{
    // An absent limit reads 0: the listing itself gives a limit out of range the largest
    // page.
    (void)Codec<int>::take(o, "limit"_L1, v.limit);
    v.after = o.value("after"_L1).toString();
    return true;
}

QList<Field> Codec<Operator::MoReport>::fields(QLatin1StringView)
{
    return { { "outcome"_L1, FieldKind::Name, nullptr, &moOutcomeNames() },
             text("accountNo"_L1),
             text("serviceNumber"_L1),
             { "forwarded"_L1, FieldKind::Name, nullptr, &replyStateNames() },
             text("forwardingPhone"_L1),
             { "autoReplied"_L1, FieldKind::Name, nullptr, &replyStateNames() } };
}

void Codec<Operator::MoReport>::put(QJsonObject &o, QLatin1StringView, const Operator::MoReport &v)
{
    o.insert("outcome"_L1, moOutcomeNames().at(int(v.outcome)));
    o.insert("accountNo"_L1, v.accountNo);
    o.insert("serviceNumber"_L1, v.serviceNumber);
    o.insert("forwarded"_L1, replyStateNames().at(int(v.forwarded)));
    o.insert("forwardingPhone"_L1, v.forwardingPhone);
    o.insert("autoReplied"_L1, replyStateNames().at(int(v.autoReplied)));
}

bool Codec<Operator::MoReport>::take(const QJsonObject &o, QLatin1StringView, Operator::MoReport &v)
{
    Reader reader(o);
    v.outcome = reader.name<Operator::MoOutcome>("outcome"_L1, moOutcomeNames());
    v.accountNo = reader.text("accountNo"_L1);
    v.serviceNumber = reader.text("serviceNumber"_L1);
    v.forwarded = reader.name<Operator::ReplyState>("forwarded"_L1, replyStateNames());
    v.forwardingPhone = reader.text("forwardingPhone"_L1);
    v.autoReplied = reader.name<Operator::ReplyState>("autoReplied"_L1, replyStateNames());
    return reader.ok();
}

QList<Field> Codec<Operator::Listing<Operator::HandsetMessage>>::fields(QLatin1StringView name)
{
    static const QList<Field> message
        = { text("from"_L1), text("text"_L1), { "deliveredAt"_L1, FieldKind::Time } };
    return paging(name, message);
}

void Codec<Operator::Listing<Operator::HandsetMessage>>::put(QJsonObject &o, QLatin1StringView name,
                                                             const Listing &v)
{
    QJsonArray list;
    for (const Operator::HandsetMessage &m : v.entries) {
        list.append(QJsonObject { { u"from"_s, m.from },
                                  { u"text"_s, m.text },
                                  { u"deliveredAt"_s, utc(m.deliveredAt) } });
    }
    o.insert(name, list);
    putPaging(o, v);
}

bool Codec<Operator::Listing<Operator::HandsetMessage>>::take(const QJsonObject &o,
                                                              QLatin1StringView name, Listing &v)
{
    Reader reader(o);
    v.entries
        = reader.records<Operator::HandsetMessage>(name, Operator::MaxPageSize, [](Reader &m) {
              return Operator::HandsetMessage { m.text("from"_L1), m.text("text"_L1),
                                                m.time("deliveredAt"_L1) };
          });
    takePaging(reader, o, v);
    return reader.ok();
}

QList<Field> Codec<Operator::Listing<Operator::AccountSummary>>::fields(QLatin1StringView name)
{
    static const QList<Field> account = {
        text("number"_L1),
        text("serviceNumber"_L1),
        text("mobile"_L1),
        integer("balanceFen"_L1),
        { "signedOn"_L1, FieldKind::Boolean },
        text("forwardingPhone"_L1),
        text("autoReply"_L1),
        integer("waiting"_L1),
    };
    return paging(name, account);
}

void Codec<Operator::Listing<Operator::AccountSummary>>::put(QJsonObject &o, QLatin1StringView name,
                                                             const Listing &v)
{
    QJsonArray list;
    for (const Operator::AccountSummary &a : v.entries) {
        list.append(QJsonObject { { u"number"_s, a.number },
                                  { u"serviceNumber"_s, a.serviceNumber },
                                  { u"mobile"_s, a.mobile },
                                  { u"balanceFen"_s, double(a.balanceFen) },
                                  { u"signedOn"_s, a.signedOn },
                                  { u"forwardingPhone"_s, a.forwardingPhone },
                                  { u"autoReply"_s, a.autoReply },
                                  { u"waiting"_s, double(a.waiting) } });
    }
    o.insert(name, list);
    putPaging(o, v);
}

bool Codec<Operator::Listing<Operator::AccountSummary>>::take(const QJsonObject &o,
                                                              QLatin1StringView name, Listing &v)
{
    Reader reader(o);
    v.entries
        = reader.records<Operator::AccountSummary>(name, Operator::MaxPageSize, [](Reader &a) {
              Operator::AccountSummary s;
              s.number = a.text("number"_L1);
              s.serviceNumber = a.text("serviceNumber"_L1);
              s.mobile = a.text("mobile"_L1);
              s.balanceFen = a.integer("balanceFen"_L1);
              s.signedOn = a.boolean("signedOn"_L1);
              s.forwardingPhone = a.text("forwardingPhone"_L1);
              s.autoReply = a.text("autoReply"_L1);
              s.waiting = a.integer("waiting"_L1);
              return s;
          });
    takePaging(reader, o, v);
    return reader.ok();
}

QList<Field> Codec<Operator::MessageFilter>::fields(QLatin1StringView)
{
    return { text("accountNo"_L1), text("state"_L1), integer("sinceMs"_L1) };
}

void Codec<Operator::MessageFilter>::put(QJsonObject &o, QLatin1StringView,
                                         const Operator::MessageFilter &v)
{
    o.insert("accountNo"_L1, v.accountNo);
    o.insert("state"_L1, v.state);
    if (v.sinceMs)
        o.insert("sinceMs"_L1, double(*v.sinceMs));
}

bool Codec<Operator::MessageFilter>::take(const QJsonObject &o, QLatin1StringView,
                                          Operator::MessageFilter &v)
{
    // Absent texts read empty, as a request's missing fields do; an absent time is none.
    v.accountNo = o.value("accountNo"_L1).toString();
    v.state = o.value("state"_L1).toString();
    v.sinceMs.reset();
    if (!o.contains("sinceMs"_L1))
        return true;
    Reader reader(o);
    v.sinceMs = reader.integer("sinceMs"_L1);
    return reader.ok();
}

QList<Field> Codec<Operator::Listing<Operator::MessageSummary>>::fields(QLatin1StringView name)
{
    static const QList<Field> message = {
        integer("id"_L1),
        text("accountNo"_L1),
        text("phone"_L1),
        text("text"_L1),
        { "state"_L1, FieldKind::Name, nullptr, &Operator::messageStates() },
        text("link"_L1),
        { "smscIds"_L1, FieldKind::Texts },
        integer("tries"_L1),
        text("reason"_L1),
        { "submittedAt"_L1, FieldKind::Time },
    };
    return paging(name, message);
}

void Codec<Operator::Listing<Operator::MessageSummary>>::put(QJsonObject &o, QLatin1StringView name,
                                                             const Listing &v)
{
    QJsonArray list;
    for (const Operator::MessageSummary &m : v.entries) {
        list.append(QJsonObject { { u"id"_s, double(m.id) },
                                  { u"accountNo"_s, m.accountNo },
                                  { u"phone"_s, m.phone },
                                  { u"text"_s, m.text },
                                  { u"state"_s, m.state },
                                  { u"link"_s, m.link },
                                  { u"smscIds"_s, QJsonArray::fromStringList(m.smscIds) },
                                  { u"tries"_s, m.tries },
                                  { u"reason"_s, m.reason },
                                  { u"submittedAt"_s, utc(m.submittedAtMs) } });
    }
    o.insert(name, list);
    putPaging(o, v);
}

bool Codec<Operator::Listing<Operator::MessageSummary>>::take(const QJsonObject &o,
                                                              QLatin1StringView name, Listing &v)
{
    Reader reader(o);
    v.entries
        = reader.records<Operator::MessageSummary>(name, Operator::MaxPageSize, [](Reader &m) {
              Operator::MessageSummary s;
              s.id = m.integer("id"_L1);
              s.accountNo = m.text("accountNo"_L1);
              s.phone = m.text("phone"_L1);
              s.text = m.text("text"_L1);
              s.state = Operator::messageStates().at(
                  m.name<qsizetype>("state"_L1, Operator::messageStates()));
              s.link = m.text("link"_L1);
              s.smscIds = m.texts("smscIds"_L1, Operator::MaxMessageParts);
              s.tries = int(m.integer("tries"_L1));
              s.reason = m.text("reason"_L1);
              s.submittedAtMs = m.timeMs("submittedAt"_L1);
              return s;
          });
    takePaging(reader, o, v);
    return reader.ok();
}

QList<Field> Codec<Operator::Listing<Operator::LinkSummary>>::fields(QLatin1StringView name)
{
    static const QList<Field> link = {
        text("link"_L1),
        text("process"_L1),
        text("state"_L1),
        { "boundSince"_L1, FieldKind::Time, nullptr, nullptr, true },
        integer("outstanding"_L1),
        integer("sent"_L1),
        integer("received"_L1),
        text("lastError"_L1),
        { "updatedAt"_L1, FieldKind::Time },
    };
    return paging(name, link);
}

void Codec<Operator::Listing<Operator::LinkSummary>>::put(QJsonObject &o, QLatin1StringView name,
                                                          const Listing &v)
{
    QJsonArray list;
    for (const Operator::LinkSummary &l : v.entries) {
        QJsonObject entry {
            { u"link"_s, l.link },           { u"process"_s, l.process },
            { u"state"_s, l.state },         { u"outstanding"_s, double(l.outstanding) },
            { u"sent"_s, double(l.sent) },   { u"received"_s, double(l.received) },
            { u"lastError"_s, l.lastError }, { u"updatedAt"_s, utc(l.updatedAtMs) }
        };
        if (l.boundSinceMs)
            entry.insert(u"boundSince"_s, utc(*l.boundSinceMs));
        list.append(entry);
    }
    o.insert(name, list);
    putPaging(o, v);
}

bool Codec<Operator::Listing<Operator::LinkSummary>>::take(const QJsonObject &o,
                                                           QLatin1StringView name, Listing &v)
{
    Reader reader(o);
    v.entries = reader.records<Operator::LinkSummary>(name, Operator::MaxPageSize, [](Reader &l) {
        Operator::LinkSummary s;
        s.link = l.text("link"_L1);
        s.process = l.text("process"_L1);
        s.state = l.text("state"_L1);
        if (l.has("boundSince"_L1))
            s.boundSinceMs = l.timeMs("boundSince"_L1);
        s.outstanding = l.integer("outstanding"_L1);
        s.sent = l.integer("sent"_L1);
        s.received = l.integer("received"_L1);
        s.lastError = l.text("lastError"_L1);
        s.updatedAtMs = l.timeMs("updatedAt"_L1);
        return s;
    });
    takePaging(reader, o, v);
    return reader.ok();
}

QList<Field> Codec<Operator::Listing<Operator::UnmatchedEntry>>::fields(QLatin1StringView name)
{
    static const QList<Field> entry = {
        integer("id"_L1),  { "at"_L1, FieldKind::Time },
        text("link"_L1),   { "kind"_L1, FieldKind::Name, nullptr, &unmatchedKindNames() },
        text("source"_L1), text("destination"_L1),
        text("smscId"_L1), text("state"_L1),
        text("text"_L1),
    };
    return paging(name, entry);
}

void Codec<Operator::Listing<Operator::UnmatchedEntry>>::put(QJsonObject &o, QLatin1StringView name,
                                                             const Listing &v)
{
    QJsonArray list;
    for (const Operator::UnmatchedEntry &e : v.entries) {
        list.append(QJsonObject { { u"id"_s, double(e.id) },
                                  { u"at"_s, utc(e.atMs) },
                                  { u"link"_s, e.link },
                                  { u"kind"_s, e.kind },
                                  { u"source"_s, e.source },
                                  { u"destination"_s, e.destination },
                                  { u"smscId"_s, e.smscId },
                                  { u"state"_s, e.state },
                                  { u"text"_s, e.text } });
    }
    o.insert(name, list);
    putPaging(o, v);
}

bool Codec<Operator::Listing<Operator::UnmatchedEntry>>::take(const QJsonObject &o,
                                                              QLatin1StringView name, Listing &v)
{
    Reader reader(o);
    v.entries
        = reader.records<Operator::UnmatchedEntry>(name, Operator::MaxPageSize, [](Reader &e) {
              Operator::UnmatchedEntry s;
              s.id = e.integer("id"_L1);
              s.atMs = e.timeMs("at"_L1);
              s.link = e.text("link"_L1);
              s.kind = unmatchedKindNames().at(e.name<qsizetype>("kind"_L1, unmatchedKindNames()));
              s.source = e.text("source"_L1);
              s.destination = e.text("destination"_L1);
              s.smscId = e.text("smscId"_L1);
              s.state = e.text("state"_L1);
              s.text = e.text("text"_L1);
              return s;
          });
    takePaging(reader, o, v);
    return reader.ok();
}

QList<Field> Codec<Operator::CardPublisher>::fields(QLatin1StringView name)
{
    static const QList<Field> card
        = { text("number"_L1), text("password"_L1), integer("valueFen"_L1) };
    return { { name, FieldKind::Records, &card } };
}

void Codec<Operator::CardPublisher>::put(QJsonObject &o, QLatin1StringView name, const Cards &v)
{
    QJsonArray list;
    for (const Operator::IssuedCard &card : v) {
        list.append(QJsonObject { { u"number"_s, card.number },
                                  { u"password"_s, card.password },
                                  { u"valueFen"_s, double(card.valueFen) } });
    }
    o.insert(name, list);
}

bool Codec<Operator::CardPublisher>::take(const QJsonObject &o, QLatin1StringView name, Cards &v)
{
    Reader reader(o);
    v = reader.records<Operator::IssuedCard>(name, MaxTableCells, [](Reader &card) {
        return Operator::IssuedCard { card.text("number"_L1), card.text("password"_L1),
                                      card.integer("valueFen"_L1) };
    });
    return reader.ok();
}

// --- the table ------------------------------------------------------------------------

namespace {

QList<Operation> makeOperations()
{
    using G = GatewayClient;
    const bool keyed = true;
    const bool once = false; // reads only: answered afresh each time
    return {
        bind<&G::QueryBalance>("queryBalance"_L1, once, { "accountNo"_L1, "balance"_L1 }),
        bind<&G::Register>("register"_L1, keyed, { "particulars"_L1, "outcome"_L1 }),
        bind<&G::Recharge>("recharge"_L1, keyed,
                           { "accountNo"_L1, "cardNo"_L1, "cardPassword"_L1, "outcome"_L1 }),
        bind<&G::SendMessage>("sendMessage"_L1, keyed,
                              { "accountNo"_L1, "phoneNo"_L1, "text"_L1, "outcome"_L1 }),
        bind<&G::SendScheduledMessage>(
            "sendScheduledMessage"_L1, keyed,
            { "accountNo"_L1, "phoneNo"_L1, "text"_L1, "sendTime"_L1, "outcome"_L1 }),
        bind<&G::ReceiveMessages>(
            "receiveMessages"_L1, keyed,
            { "accountNo"_L1, "total"_L1, "current"_L1, "messages"_L1, "outcome"_L1 }),
        bind<&G::SetForwarding>("setForwarding"_L1, keyed,
                                { "accountNo"_L1, "phoneNo"_L1, "outcome"_L1 }),
        bind<&G::CancelForwarding>("cancelForwarding"_L1, keyed, { "accountNo"_L1, "outcome"_L1 }),
        bind<&G::GetForwarding>("getForwarding"_L1, once, { "accountNo"_L1, "phoneNo"_L1 }),
        bind<&G::SetAutoReply>("setAutoReply"_L1, keyed,
                               { "accountNo"_L1, "reply"_L1, "outcome"_L1 }),
        bind<&G::CancelAutoReply>("cancelAutoReply"_L1, keyed, { "accountNo"_L1, "outcome"_L1 }),
        bind<&G::GetAutoReply>("getAutoReply"_L1, once, { "accountNo"_L1, "reply"_L1 }),
        bind<&G::Deregister>("deregister"_L1, keyed, { "accountNo"_L1, "outcome"_L1 }),
        bind<&G::ChangePassword>("changePassword"_L1, keyed,
                                 { "accountNo"_L1, "newPassword"_L1, "outcome"_L1 }),
        bind<&G::ReceiveMessagesNet>("receiveMessagesNet"_L1, keyed,
                                     { "accountNo"_L1, "total"_L1, "current"_L1, "messages"_L1,
                                       "extension"_L1, "outcome"_L1 }),
        bind<&OperatorBackend::issueCards>("issueCards"_L1, keyed,
                                           { "valueFen"_L1, "count"_L1, "cards"_L1 }),
        bind<ReceiveFromHandset>("receiveFromHandset"_L1, keyed,
                                 { "from"_L1, "to"_L1, "extension"_L1, "text"_L1, "report"_L1 }),
        bind<HandsetMessages>("handsetMessages"_L1, once, { "phone"_L1, "page"_L1, "messages"_L1 }),
        bind<Accounts>("accounts"_L1, once, { "page"_L1, "accounts"_L1 }),
        bind<Messages>("messages"_L1, once, { "filter"_L1, "page"_L1, "messages"_L1 }),
        bind<Links>("links"_L1, once, { "page"_L1, "links"_L1 }),
        bind<Unmatched>("unmatched"_L1, once, { "page"_L1, "unmatched"_L1 }),
        bind<&OperatorBackend::clearUnmatched>("clearUnmatched"_L1, keyed,
                                               { "throughId"_L1, "cleared"_L1 }),
    };
}

} // namespace

const QList<Operation> &operations()
{
    static const QList<Operation> table = makeOperations();
    return table;
}

const Operation *operationOf(const void *method)
{
    const auto found = std::ranges::find(operations(), method, &Operation::method);
    return found == operations().cend() ? nullptr : &*found;
}

} // namespace Wire
