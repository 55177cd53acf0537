#include "protocol/calls.h"

#include <algorithm>
#include <limits>
#include <utility>

using namespace Qt::StringLiterals;

namespace Wire {

namespace {

// Reads the named fields of one object, noting whether each was there and of its kind.
// It holds its own (shared, so cheap) copy of the object: a record's reader is made
// from a temporary that ends before the reader does.
class Reader {
public:
    explicit Reader(QJsonObject object)
        : m_object(std::move(object))
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
        const bool whole = isWholeNumber(value);
        m_ok = m_ok && whole;
        return whole ? toWholeNumber(value) : 0;
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
    QJsonObject m_object;
    bool m_ok = true;
};

// The names an arrival's outcome and its replies' states travel as, in enum order.
const QList<QLatin1StringView> &moOutcomeNames()
{
    static const QList<QLatin1StringView> names
        = { "arrived"_L1, "badSender"_L1, "badExtension"_L1, "badText"_L1, "unknownAccount"_L1 };
    return names;
}
const QList<QLatin1StringView> &smppOutcomeNames()
{
    static const QList<QLatin1StringView> names = { "made"_L1, "noAccount"_L1, "systemIdTaken"_L1 };
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

Field textField(QLatin1StringView name)
{
    return { name, FieldKind::Text };
}
Field integerField(QLatin1StringView name)
{
    return { name, FieldKind::Integer };
}

QList<Field> paging(QLatin1StringView records, const QList<Field> &entry)
{
    return { { records, FieldKind::Records, &entry },
             textField("next"_L1),
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

QList<Field> Codec<Operator::Page>::fields(QLatin1StringView)
{
    return { textField("after"_L1), integerField("limit"_L1) };
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

QList<Field> Codec<Operator::MessageFilter>::fields(QLatin1StringView)
{
    return { textField("accountNo"_L1), textField("state"_L1), integerField("sinceMs"_L1) };
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

// --- records: one table of columns per record type ------------------------------------

namespace {

// One field of a record: its description on the wire, and how it goes into an object
// and comes out of one.
template<typename R> struct Column {
    Field field;
    void (*put)(QJsonObject &, QLatin1StringView, const R &);
    void (*take)(Reader &, QLatin1StringView, R &);
};

template<auto M> struct MemberOf;
template<typename R, typename V, V R::*M> struct MemberOf<M> {
    using Record = R;
    using Value = V;
};
template<auto M> using RecordOf = typename MemberOf<M>::Record;
template<auto M> using ValueOf = typename MemberOf<M>::Value;

template<auto M> Column<RecordOf<M>> text(QLatin1StringView name)
{
    using R = RecordOf<M>;
    return { { name, FieldKind::Text },
             [](QJsonObject &o, QLatin1StringView n, const R &r) { o.insert(n, r.*M); },
             [](Reader &in, QLatin1StringView n, R &r) { r.*M = in.text(n); } };
}

template<auto M> Column<RecordOf<M>> integer(QLatin1StringView name)
{
    using R = RecordOf<M>;
    return { { name, FieldKind::Integer },
             [](QJsonObject &o, QLatin1StringView n, const R &r) { o.insert(n, double(r.*M)); },
             [](Reader &in, QLatin1StringView n, R &r) { r.*M = ValueOf<M>(in.integer(n)); } };
}

template<auto M> Column<RecordOf<M>> boolean(QLatin1StringView name)
{
    using R = RecordOf<M>;
    return { { name, FieldKind::Boolean },
             [](QJsonObject &o, QLatin1StringView n, const R &r) { o.insert(n, r.*M); },
             [](Reader &in, QLatin1StringView n, R &r) { r.*M = in.boolean(n); } };
}

// A time travels as UTC text; it is kept as a QDateTime (read into the reader's own zone)
// or as milliseconds since the epoch. An optional one travels only when there is one.
template<auto M> Column<RecordOf<M>> time(QLatin1StringView name)
{
    using R = RecordOf<M>;
    using V = ValueOf<M>;
    constexpr bool optional = std::is_same_v<V, std::optional<qint64>>;
    return { { name, FieldKind::Time, nullptr, nullptr, optional },
             [](QJsonObject &o, QLatin1StringView n, const R &r) {
                 if constexpr (optional) {
                     if (r.*M)
                         o.insert(n, utc(*(r.*M)));
                 } else {
                     o.insert(n, utc(r.*M));
                 }
             },
             [](Reader &in, QLatin1StringView n, R &r) {
                 if constexpr (optional) {
                     r.*M = in.has(n) ? std::optional(in.timeMs(n)) : std::nullopt;
                 } else if constexpr (std::is_same_v<V, QDateTime>) {
                     r.*M = in.time(n);
                 } else {
                     r.*M = in.timeMs(n);
                 }
             } };
}

// One of a fixed set of names, kept as the name itself or as an enum in the names' order.
template<auto M, const QList<QLatin1StringView> &(*Names)()>
Column<RecordOf<M>> name(QLatin1StringView name)
{
    using R = RecordOf<M>;
    using V = ValueOf<M>;
    return { { name, FieldKind::Name, nullptr, &Names() },
             [](QJsonObject &o, QLatin1StringView n, const R &r) {
                 if constexpr (std::is_enum_v<V>)
                     o.insert(n, Names().at(int(r.*M)));
                 else
                     o.insert(n, r.*M);
             },
             [](Reader &in, QLatin1StringView n, R &r) {
                 const auto at = in.template name<qsizetype>(n, Names());
                 if constexpr (std::is_enum_v<V>)
                     r.*M = V(at);
                 else
                     r.*M = Names().at(at);
             } };
}

template<auto M, qsizetype Most> Column<RecordOf<M>> texts(QLatin1StringView name)
{
    using R = RecordOf<M>;
    return { { name, FieldKind::Texts },
             [](QJsonObject &o, QLatin1StringView n, const R &r) {
                 o.insert(n, QJsonArray::fromStringList(r.*M));
             },
             [](Reader &in, QLatin1StringView n, R &r) { r.*M = in.texts(n, Most); } };
}

template<typename R> const QList<Column<R>> &columns();

template<> const QList<Column<RegisterParticulars>> &columns()
{
    using P = RegisterParticulars;
    static const QList<Column<P>> table = {
        text<&P::accountNo>("accountNo"_L1),
        text<&P::password>("password"_L1),
        text<&P::province>("province"_L1),
        text<&P::city>("city"_L1),
        text<&P::trade>("trade"_L1),
        text<&P::company>("company"_L1),
        text<&P::contactName>("contactName"_L1),
        text<&P::telephone>("telephone"_L1),
        text<&P::mobile>("mobile"_L1),
        text<&P::email>("email"_L1),
        text<&P::fax>("fax"_L1),
        text<&P::address>("address"_L1),
        text<&P::postcode>("postcode"_L1),
    };
    return table;
}

template<> const QList<Column<Operator::MoReport>> &columns()
{
    using M = Operator::MoReport;
    static const QList<Column<M>> table = {
        name<&M::outcome, moOutcomeNames>("outcome"_L1),
        text<&M::accountNo>("accountNo"_L1),
        text<&M::serviceNumber>("serviceNumber"_L1),
        name<&M::forwarded, replyStateNames>("forwarded"_L1),
        text<&M::forwardingPhone>("forwardingPhone"_L1),
        name<&M::autoReplied, replyStateNames>("autoReplied"_L1),
    };
    return table;
}

template<> const QList<Column<Operator::HandsetMessage>> &columns()
{
    using M = Operator::HandsetMessage;
    static const QList<Column<M>> table = {
        text<&M::from>("from"_L1),
        text<&M::text>("text"_L1),
        time<&M::deliveredAt>("deliveredAt"_L1),
    };
    return table;
}

template<> const QList<Column<Operator::AccountSummary>> &columns()
{
    using A = Operator::AccountSummary;
    static const QList<Column<A>> table = {
        text<&A::number>("number"_L1),        text<&A::serviceNumber>("serviceNumber"_L1),
        text<&A::mobile>("mobile"_L1),        integer<&A::balanceFen>("balanceFen"_L1),
        boolean<&A::signedOn>("signedOn"_L1), text<&A::forwardingPhone>("forwardingPhone"_L1),
        text<&A::autoReply>("autoReply"_L1),  integer<&A::waiting>("waiting"_L1),
    };
    return table;
}

template<> const QList<Column<Operator::MessageSummary>> &columns()
{
    using M = Operator::MessageSummary;
    static const QList<Column<M>> table = {
        integer<&M::id>("id"_L1),
        text<&M::accountNo>("accountNo"_L1),
        text<&M::phone>("phone"_L1),
        text<&M::text>("text"_L1),
        name<&M::state, Operator::messageStates>("state"_L1),
        text<&M::link>("link"_L1),
        texts<&M::smscIds, Operator::MaxMessageParts>("smscIds"_L1),
        integer<&M::tries>("tries"_L1),
        text<&M::reason>("reason"_L1),
        time<&M::submittedAtMs>("submittedAt"_L1),
    };
    return table;
}

template<> const QList<Column<Operator::LinkSummary>> &columns()
{
    using L = Operator::LinkSummary;
    static const QList<Column<L>> table = {
        text<&L::link>("link"_L1),
        text<&L::process>("process"_L1),
        text<&L::state>("state"_L1),
        time<&L::boundSinceMs>("boundSince"_L1), // a link that is not bound has none
        integer<&L::outstanding>("outstanding"_L1),
        integer<&L::sent>("sent"_L1),
        integer<&L::received>("received"_L1),
        text<&L::lastError>("lastError"_L1),
        time<&L::updatedAtMs>("updatedAt"_L1),
        text<&L::standingIn>("standingIn"_L1),
    };
    return table;
}

template<> const QList<Column<Operator::UnmatchedEntry>> &columns()
{
    using E = Operator::UnmatchedEntry;
    static const QList<Column<E>> table = {
        integer<&E::id>("id"_L1),      time<&E::atMs>("at"_L1),
        text<&E::link>("link"_L1),     name<&E::kind, unmatchedKindNames>("kind"_L1),
        text<&E::source>("source"_L1), text<&E::destination>("destination"_L1),
        text<&E::smscId>("smscId"_L1), text<&E::state>("state"_L1),
        text<&E::text>("text"_L1),
    };
    return table;
}

template<> const QList<Column<Operator::SmppCredentials>> &columns()
{
    using C = Operator::SmppCredentials;
    static const QList<Column<C>> table = {
        name<&C::outcome, smppOutcomeNames>("outcome"_L1),
        text<&C::systemId>("systemId"_L1),
        text<&C::password>("password"_L1),
    };
    return table;
}

template<> const QList<Column<Operator::SmppBind>> &columns()
{
    using B = Operator::SmppBind;
    static const QList<Column<B>> table = {
        integer<&B::id>("id"_L1),
        text<&B::accountNo>("accountNo"_L1),
        text<&B::systemId>("systemId"_L1),
        text<&B::mode>("mode"_L1),
        text<&B::address>("address"_L1),
        text<&B::process>("process"_L1),
        time<&B::sinceMs>("since"_L1),
        integer<&B::submitted>("submitted"_L1),
        integer<&B::receipts>("receipts"_L1),
        integer<&B::arrivals>("arrivals"_L1),
    };
    return table;
}

template<> const QList<Column<Operator::CallbackEvent>> &columns()
{
    using E = Operator::CallbackEvent;
    static const QList<Column<E>> table = {
        integer<&E::id>("id"_L1),
        time<&E::atMs>("at"_L1),
        text<&E::accountNo>("accountNo"_L1),
        text<&E::type>("type"_L1),
        integer<&E::subject>("subject"_L1),
        text<&E::state>("state"_L1),
        text<&E::delivery>("delivery"_L1),
        integer<&E::attempts>("attempts"_L1),
        text<&E::lastError>("lastError"_L1),
        text<&E::url>("url"_L1),
    };
    return table;
}

template<> const QList<Column<Operator::IssuedToken>> &columns()
{
    using T = Operator::IssuedToken;
    static const QList<Column<T>> table = {
        name<&T::outcome, Operator::tokenOutcomes>("outcome"_L1),
        text<&T::token>("token"_L1),
    };
    return table;
}

template<> const QList<Column<Operator::RevokedToken>> &columns()
{
    using T = Operator::RevokedToken;
    static const QList<Column<T>> table = {
        name<&T::outcome, Operator::tokenOutcomes>("outcome"_L1),
    };
    return table;
}

template<> const QList<Column<Operator::TokenSummary>> &columns()
{
    using T = Operator::TokenSummary;
    static const QList<Column<T>> table = {
        text<&T::name>("name"_L1),
        name<&T::role, Operator::tokenRoles>("role"_L1),
        text<&T::accountNo>("accountNo"_L1),
        time<&T::issuedAtMs>("issuedAt"_L1),
        time<&T::revokedAtMs>("revokedAt"_L1), // an active token has none
    };
    return table;
}

template<> const QList<Column<Operator::IssuedCard>> &columns()
{
    using C = Operator::IssuedCard;
    static const QList<Column<C>> table = {
        text<&C::number>("number"_L1),
        text<&C::password>("password"_L1),
        integer<&C::valueFen>("valueFen"_L1),
    };
    return table;
}

template<typename R> const QList<Field> &recordFields()
{
    static const QList<Field> fields = [] {
        QList<Field> all;
        for (const Column<R> &column : columns<R>())
            all.append(column.field);
        return all;
    }();
    return fields;
}

template<typename R> void putRecord(QJsonObject &o, const R &record)
{
    for (const Column<R> &column : columns<R>())
        column.put(o, column.field.name, record);
}

template<typename R> R takeRecord(Reader &in)
{
    R record;
    for (const Column<R> &column : columns<R>())
        column.take(in, column.field.name, record);
    return record;
}

template<typename R> QJsonArray recordList(const QList<R> &records)
{
    QJsonArray list;
    for (const R &record : records) {
        QJsonObject o;
        putRecord(o, record);
        list.append(o);
    }
    return list;
}

} // namespace

template<typename R> QList<Field> RecordCodec<R>::fields(QLatin1StringView)
{
    return recordFields<R>();
}

template<typename R> void RecordCodec<R>::put(QJsonObject &o, QLatin1StringView, const R &v)
{
    putRecord(o, v);
}

template<typename R> bool RecordCodec<R>::take(const QJsonObject &o, QLatin1StringView, R &v)
{
    Reader reader(o);
    v = takeRecord<R>(reader);
    return reader.ok();
}

template struct RecordCodec<RegisterParticulars>;
template struct RecordCodec<Operator::MoReport>;
template struct RecordCodec<Operator::IssuedToken>;
template struct RecordCodec<Operator::RevokedToken>;
template struct RecordCodec<Operator::SmppCredentials>;

template<typename T> QList<Field> Codec<Operator::Listing<T>>::fields(QLatin1StringView name)
{
    return paging(name, recordFields<T>());
}

template<typename T>
void Codec<Operator::Listing<T>>::put(QJsonObject &o, QLatin1StringView name,
                                      const Operator::Listing<T> &v)
{
    o.insert(name, recordList(v.entries));
    putPaging(o, v);
}

template<typename T>
bool Codec<Operator::Listing<T>>::take(const QJsonObject &o, QLatin1StringView name,
                                       Operator::Listing<T> &v)
{
    Reader reader(o);
    v.entries = reader.records<T>(name, Operator::MaxPageSize, &takeRecord<T>);
    takePaging(reader, o, v);
    return reader.ok();
}

template struct Codec<Operator::Listing<Operator::HandsetMessage>>;
template struct Codec<Operator::Listing<Operator::AccountSummary>>;
template struct Codec<Operator::Listing<Operator::MessageSummary>>;
template struct Codec<Operator::Listing<Operator::LinkSummary>>;
template struct Codec<Operator::Listing<Operator::UnmatchedEntry>>;
template struct Codec<Operator::Listing<Operator::CallbackEvent>>;
template struct Codec<Operator::Listing<Operator::TokenSummary>>;
template struct Codec<Operator::Listing<Operator::SmppBind>>;

QList<Field> Codec<Operator::CardPublisher>::fields(QLatin1StringView name)
{
    return { { name, FieldKind::Records, &recordFields<Operator::IssuedCard>() } };
}

void Codec<Operator::CardPublisher>::put(QJsonObject &o, QLatin1StringView name, const Cards &v)
{
    o.insert(name, recordList(v));
}

bool Codec<Operator::CardPublisher>::take(const QJsonObject &o, QLatin1StringView name, Cards &v)
{
    Reader reader(o);
    v = reader.records<Operator::IssuedCard>(name, MaxTableCells,
                                             &takeRecord<Operator::IssuedCard>);
    return reader.ok();
}

// --- the table ------------------------------------------------------------------------

namespace {

// What each call that hashes passwords will hash, from its arguments.
void signOnAhead(Preparer &ahead, const RegisterParticulars &particulars, Bool16)
{
    ahead.signOn(particulars.accountNo, particulars.password);
}

void cardCheckAhead(Preparer &ahead, const QString &, const QString &cardNo,
                    const QString &cardPassword, Bool16)
{
    ahead.cardCheck(cardNo, cardPassword);
}

void newPasswordAhead(Preparer &ahead, const QString &, const QString &newPassword, Bool16)
{
    ahead.newPassword(newPassword);
}

void cardsAhead(Preparer &ahead, qint64 valueFen, int count,
                const Codec<Operator::CardPublisher>::Cards &)
{
    ahead.cards(valueFen, count);
}

void smppAhead(Preparer &ahead, const QString &, const QString &, const Operator::SmppCredentials &)
{
    ahead.smppPassword();
}

QList<Operation> makeOperations()
{
    using G = GatewayClient;
    using enum SignOn;
    const bool keyed = true;
    const bool readOnly = false; // no key: answered afresh each time
    return {
        bind<&G::QueryBalance>("queryBalance"_L1, readOnly, { "accountNo"_L1, "balance"_L1 }),
        bind<&G::Register, signOnAhead>("register"_L1, keyed, { "particulars"_L1, "outcome"_L1 },
                                        Opens),
        bind<&G::Recharge, cardCheckAhead>(
            "recharge"_L1, keyed, { "accountNo"_L1, "cardNo"_L1, "cardPassword"_L1, "outcome"_L1 }),
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
        bind<&G::GetForwarding>("getForwarding"_L1, readOnly, { "accountNo"_L1, "phoneNo"_L1 }),
        bind<&G::SetAutoReply>("setAutoReply"_L1, keyed,
                               { "accountNo"_L1, "reply"_L1, "outcome"_L1 }),
        bind<&G::CancelAutoReply>("cancelAutoReply"_L1, keyed, { "accountNo"_L1, "outcome"_L1 }),
        bind<&G::GetAutoReply>("getAutoReply"_L1, readOnly, { "accountNo"_L1, "reply"_L1 }),
        bind<&G::Deregister>("deregister"_L1, keyed, { "accountNo"_L1, "outcome"_L1 }, Ends),
        bind<&G::ChangePassword, newPasswordAhead>(
            "changePassword"_L1, keyed, { "accountNo"_L1, "newPassword"_L1, "outcome"_L1 },
            ChangesPassword),
        bind<&G::ReceiveMessagesNet>("receiveMessagesNet"_L1, keyed,
                                     { "accountNo"_L1, "total"_L1, "current"_L1, "messages"_L1,
                                       "extension"_L1, "outcome"_L1 }),
        bind<&OperatorBackend::issueCards, cardsAhead>("issueCards"_L1, keyed,
                                                       { "valueFen"_L1, "count"_L1, "cards"_L1 }),
        bind<ReceiveFromHandset>("receiveFromHandset"_L1, keyed,
                                 { "from"_L1, "to"_L1, "extension"_L1, "text"_L1, "report"_L1 }),
        bind<HandsetMessages>("handsetMessages"_L1, readOnly,
                              { "phone"_L1, "page"_L1, "messages"_L1 }),
        bind<Accounts>("accounts"_L1, readOnly, { "page"_L1, "accounts"_L1 }),
        bind<Messages>("messages"_L1, readOnly, { "filter"_L1, "page"_L1, "messages"_L1 }),
        bind<Links>("links"_L1, readOnly, { "page"_L1, "links"_L1 }),
        bind<Unmatched>("unmatched"_L1, readOnly, { "page"_L1, "unmatched"_L1 }),
        bind<&OperatorBackend::clearUnmatched>("clearUnmatched"_L1, keyed,
                                               { "throughId"_L1, "cleared"_L1 }),
        bind<CallbackEvents>("callbackEvents"_L1, readOnly,
                             { "delivery"_L1, "page"_L1, "events"_L1 }),
        bind<&OperatorBackend::replayCallbacks>("replayCallbacks"_L1, keyed,
                                                { "id"_L1, "taken"_L1 }),
        bind<&TokenDesk::issueToken>("issueToken"_L1, keyed,
                                     { "name"_L1, "role"_L1, "accountNo"_L1, "issued"_L1 }),
        bind<&TokenDesk::revokeToken>("revokeToken"_L1, keyed, { "name"_L1, "revoked"_L1 }),
        bind<&TokenDesk::tokens>("tokens"_L1, readOnly, { "page"_L1, "tokens"_L1 }),
        bind<&OperatorBackend::setSmppCredentials, smppAhead>(
            "setSmppCredentials"_L1, keyed, { "accountNo"_L1, "systemId"_L1, "made"_L1 }),
        bind<&OperatorBackend::revokeSmppCredentials>("revokeSmppCredentials"_L1, keyed,
                                                      { "accountNo"_L1, "revoked"_L1 }),
        bind<SmppBinds>("smppBinds"_L1, readOnly, { "page"_L1, "binds"_L1 }),
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
