#pragma once

// The calls the wire carries, each bound to the interface function it carries: a console
// call to a GatewayClient function, an operator call to an OperatorBackend function.
// The binding is the one description of a call; both ends work from it. The service's
// tokens are an operator's calls too, bound to TokenDesk functions.
//
//   RemoteGateway::SendMessage(a, p, t, o) ── Wire::invoke<&GatewayClient::SendMessage>
//        in and in/out arguments ──> {"accountNo": a, "phoneNo": p, ..., "outcome": o}
//                                              │ POST /v1/console/sendMessage
//   service: Operation::serveConsole ──────────┘  decodes the same arguments, calls
//        LocalGateway::SendMessage, encodes the Status and the out arguments ──┐
//   invoke decodes them into o (all of them or none) <─────────────────────────┘
//
// What a parameter's type is on the wire is said once, in its Codec below: a text, an
// integer, an outcome (Bool16), a Variant, or a record of named fields (a registration's
// particulars, a listing's page or narrowing, an arrival's report, a listing, issued
// cards). A const
// parameter goes in the request; a non-const one comes back in the answer, and a
// console call's slot also goes in the request, so a slot the gateway leaves untouched
// comes back as it went.

#include "gateway/gatewayclient.h"
#include "gateway/operatorbackend.h"
#include "gateway/tokendesk.h"
#include "protocol/wire.h"

#include <QJsonArray>
#include <QJsonObject>

#include <tuple>
#include <type_traits>
#include <utility>

namespace Wire {

// The one operation that carries `method`; null for one the wire does not carry.
const Operation *operationOf(const void *method);

// Where a call goes: sends the request of `operation` and hands back the answer's
// object once its Status said the call succeeded; malformed() is the failure for an
// answer that is not what the call's binding expects.
class Transport {
public:
    virtual ~Transport() = default;
    virtual Status send(const Operation &operation, const QJsonObject &request, QJsonObject &answer)
        = 0;
    virtual Status malformed() const = 0;
};

// The slow work of a call that hashes passwords, made ahead of the call outside the
// caller's locks: an operation's prepare hook says here what its call will hash, and the
// service's gateway hashes it (see LocalGateway::prepareSignOn).
class Preparer {
public:
    virtual ~Preparer() = default;
    virtual void signOn(const QString &accountNo, const QString &password) = 0;
    virtual void newPassword(const QString &password) = 0;
    virtual void cardCheck(const QString &cardNo, const QString &cardPassword) = 0;
    virtual void cards(qint64 valueFen, int count) = 0;
    // New SMPP credentials: a password drawn and hashed.
    virtual void smppPassword() = 0;
};

// --- what each parameter type is on the wire ------------------------------------------

template<typename T> struct Codec;

template<> struct Codec<QString> {
    static QList<Field> fields(QLatin1StringView name) { return { { name, FieldKind::Text } }; }
    static void put(QJsonObject &o, QLatin1StringView name, const QString &v) { o.insert(name, v); }
    static bool take(const QJsonObject &o, QLatin1StringView name, QString &v);
};

template<> struct Codec<qint64> {
    static QList<Field> fields(QLatin1StringView name) { return { { name, FieldKind::Integer } }; }
    static void put(QJsonObject &o, QLatin1StringView name, qint64 v) { o.insert(name, double(v)); }
    static bool take(const QJsonObject &o, QLatin1StringView name, qint64 &v);
};

template<> struct Codec<int> {
    static QList<Field> fields(QLatin1StringView name) { return { { name, FieldKind::Integer } }; }
    static void put(QJsonObject &o, QLatin1StringView name, int v) { o.insert(name, v); }
    // A value beyond int's range reads as its nearest end: the call then refuses it as
    // out of range, as it does any other.
    static bool take(const QJsonObject &o, QLatin1StringView name, int &v);
};

template<> struct Codec<Bool16> {
    static QList<Field> fields(QLatin1StringView name) { return { { name, FieldKind::Bool16 } }; }
    static void put(QJsonObject &o, QLatin1StringView name, Bool16 v) { o.insert(name, double(v)); }
    static bool take(const QJsonObject &o, QLatin1StringView name, Bool16 &v);
};

template<> struct Codec<Variant> {
    static QList<Field> fields(QLatin1StringView name) { return { { name, FieldKind::Variant } }; }
    static void put(QJsonObject &o, QLatin1StringView name, const Variant &v);
    static bool take(const QJsonObject &o, QLatin1StringView name, Variant &v);
};

// A record of named fields travels as the fields of the request or the answer itself:
// a registration's particulars, an arrival's report. Each record type has one table of
// its fields (columns() in calls.cpp) that says its wire fields, writes and reads it.
template<typename R> struct RecordCodec {
    static QList<Field> fields(QLatin1StringView name);
    static void put(QJsonObject &o, QLatin1StringView name, const R &v);
    static bool take(const QJsonObject &o, QLatin1StringView name, R &v);
};
template<> struct Codec<RegisterParticulars> : RecordCodec<RegisterParticulars> {
};
template<> struct Codec<Operator::MoReport> : RecordCodec<Operator::MoReport> {
};
template<> struct Codec<Operator::IssuedToken> : RecordCodec<Operator::IssuedToken> {
};
template<> struct Codec<Operator::RevokedToken> : RecordCodec<Operator::RevokedToken> {
};

template<> struct Codec<Operator::SmppCredentials> : RecordCodec<Operator::SmppCredentials> {
};

template<> struct Codec<Operator::Page> {
    static QList<Field> fields(QLatin1StringView name);
    static void put(QJsonObject &o, QLatin1StringView name, const Operator::Page &v);
    // A limit out of 1 to MaxPageSize, or none, asks for the largest page (the listing
    // decides that, see LocalOperator).
    static bool take(const QJsonObject &o, QLatin1StringView name, Operator::Page &v);
};

// A listing's narrowing: its texts, and its time in milliseconds only when it has one.
template<> struct Codec<Operator::MessageFilter> {
    static QList<Field> fields(QLatin1StringView name);
    static void put(QJsonObject &o, QLatin1StringView name, const Operator::MessageFilter &v);
    static bool take(const QJsonObject &o, QLatin1StringView name, Operator::MessageFilter &v);
};

// A page of a listing: its records (from the record type's table, as above) in a list
// named `name`, at most MaxPageSize of them, with the listing's paging. Times come as
// UTC and are read into the reader's own zone.
template<typename T> struct Codec<Operator::Listing<T>> {
    static QList<Field> fields(QLatin1StringView name);
    static void put(QJsonObject &o, QLatin1StringView name, const Operator::Listing<T> &v);
    static bool take(const QJsonObject &o, QLatin1StringView name, Operator::Listing<T> &v);
};

// Issued cards: the service hands the call a publisher that keeps them for the answer;
// the caller's publisher gets them once the answer is read.
template<> struct Codec<Operator::CardPublisher> {
    using Cards = QList<Operator::IssuedCard>;
    static QList<Field> fields(QLatin1StringView name);
    static void put(QJsonObject &o, QLatin1StringView name, const Cards &v);
    static bool take(const QJsonObject &o, QLatin1StringView name, Cards &v);
};

// --- the binding ----------------------------------------------------------------------

namespace Binding {

// A unique address per bound function: what an Operation and invoke() find each other by.
template<auto Method> inline constexpr char Id = 0;

template<typename M> struct Signature;
template<typename C, typename... A> struct Signature<Status (C::*)(A...)> {
    using Class = C;
    using Arguments = std::tuple<A...>;
};

template<typename A> using Value = std::remove_cvref_t<A>;
// A non-const reference comes back in the answer; a console call's also goes out.
template<typename A>
inline constexpr bool Answered
    = std::is_lvalue_reference_v<A> && !std::is_const_v<std::remove_reference_t<A>>;
template<typename A>
inline constexpr bool Publisher = std::is_same_v<Value<A>, Operator::CardPublisher>;
template<typename C, typename A>
inline constexpr bool Requested
    = !Publisher<A> && (!Answered<A> || std::is_same_v<C, GatewayClient>);
// What a parameter is held as while a call is decoded or run.
template<typename A>
using Held = std::conditional_t<Publisher<A>, Codec<Operator::CardPublisher>::Cards, Value<A>>;

template<auto Method, std::size_t... I>
void describe(Operation &operation, const QList<QLatin1StringView> &names,
              std::index_sequence<I...>)
{
    using S = Signature<decltype(Method)>;
    const auto add = [&](auto tag, QLatin1StringView name) {
        using A = typename decltype(tag)::type;
        const QList<Field> fields = Codec<Value<A>>::fields(name);
        if constexpr (Requested<typename S::Class, A>)
            operation.fields += fields;
        if constexpr (Answered<A> || Publisher<A>)
            operation.answer += fields;
    };
    (add(std::type_identity<std::tuple_element_t<I, typename S::Arguments>>(), names.at(I)), ...);
}

// The arguments of a call of `Method` as a validated request carries them.
template<auto Method, std::size_t... I>
auto decode(const QList<QLatin1StringView> &names, const QJsonObject &request,
            std::index_sequence<I...>)
{
    using S = Signature<decltype(Method)>;
    using C = typename S::Class;
    std::tuple<Held<std::tuple_element_t<I, typename S::Arguments>>...> held;
    const auto read = [&](auto tag, auto &value, QLatin1StringView name) {
        using A = typename decltype(tag)::type;
        if constexpr (Requested<C, A>)
            (void)Codec<Value<A>>::take(request, name, value);
    };
    (read(std::type_identity<std::tuple_element_t<I, typename S::Arguments>>(), std::get<I>(held),
          names.at(I)),
     ...);
    return held;
}

// The service's half: decodes the arguments from a validated request, runs the call on
// `target` and encodes its Status and, when it succeeded, its answered arguments.
template<auto Method, std::size_t... I>
void serve(typename Signature<decltype(Method)>::Class &target,
           const QList<QLatin1StringView> &names, const QJsonObject &request, QJsonObject &answer,
           std::index_sequence<I...> sequence)
{
    using S = Signature<decltype(Method)>;
    auto held = decode<Method>(names, request, sequence);
    const auto pass = [&](auto tag, auto &value) -> decltype(auto) {
        using A = typename decltype(tag)::type;
        if constexpr (Publisher<A>) {
            return Operator::CardPublisher([&value](const auto &cards) {
                value = cards;
                return true;
            });
        } else {
            return (value);
        }
    };
    const Status status = (target.*Method)(
        pass(std::type_identity<std::tuple_element_t<I, typename S::Arguments>>(),
             std::get<I>(held))...);
    answer = statusJson(status);
    if (status.failed())
        return;
    const auto write = [&](auto tag, const auto &value, QLatin1StringView name) {
        using A = typename decltype(tag)::type;
        if constexpr (Answered<A>)
            Codec<Value<A>>::put(answer, name, value);
        else if constexpr (Publisher<A>)
            Codec<Operator::CardPublisher>::put(answer, name, value);
    };
    (write(std::type_identity<std::tuple_element_t<I, typename S::Arguments>>(), std::get<I>(held),
           names.at(I)),
     ...);
}

} // namespace Binding

// One row of the table: `Method` carried as `name`, its parameters named in order (a
// name for each, or the row does not compile), and how a console call meets the token's
// sign-ons. A call that hashes passwords names the hook `Ahead` that tells a Preparer
// what it will hash, from the call's own arguments as the request carries them.
template<auto Method, auto Ahead = nullptr, std::size_t N>
Operation bind(QLatin1StringView name, bool keyed, const QLatin1StringView (&parameters)[N],
               SignOn signOn = SignOn::Needed)
{
    using S = Binding::Signature<decltype(Method)>;
    using C = typename S::Class;
    constexpr std::size_t count = std::tuple_size_v<typename S::Arguments>;
    static_assert(N == count, "one name for each parameter of the bound function");
    QList<QLatin1StringView> names(std::begin(parameters), std::end(parameters));
    Operation operation;
    operation.name = name;
    operation.role = std::is_same_v<C, GatewayClient> ? Role::Console : Role::Operator;
    operation.keyed = keyed;
    operation.signOn = operation.role == Role::Console ? signOn : SignOn::NotNeeded;
    operation.method = &Binding::Id<Method>;
    Binding::describe<Method>(operation, names, std::make_index_sequence<count>());
    operation.parameters = std::move(names);
    const auto serve
        = [](C &target, const Operation &self, const QJsonObject &request, QJsonObject &answer) {
              Binding::serve<Method>(target, self.parameters, request, answer,
                                     std::make_index_sequence<count>());
          };
    if constexpr (std::is_same_v<C, GatewayClient>)
        operation.serveConsole = serve;
    else if constexpr (std::is_same_v<C, TokenDesk>)
        operation.serveTokens = serve;
    else
        operation.serveOperator = serve;
    if constexpr (!std::is_null_pointer_v<decltype(Ahead)>) {
        operation.prepare
            = [](Preparer &preparer, const Operation &self, const QJsonObject &request) {
                  std::apply([&](const auto &...arguments) { Ahead(preparer, arguments...); },
                             Binding::decode<Method>(self.parameters, request,
                                                     std::make_index_sequence<count>()));
              };
    }
    return operation;
}

namespace Binding {

template<auto Method, std::size_t... I, typename... A>
Status carry(Transport &transport, const Operation &operation, std::index_sequence<I...>,
             A &&...arguments)
{
    using S = Signature<decltype(Method)>;
    using C = typename S::Class;
    using Params = typename S::Arguments;
    const QList<QLatin1StringView> &names = operation.parameters;
    QJsonObject request;
    const auto write = [&](auto tag, const auto &value, QLatin1StringView name) {
        using P = typename decltype(tag)::type;
        if constexpr (Requested<C, P>)
            Codec<Value<P>>::put(request, name, value);
    };
    (write(std::type_identity<std::tuple_element_t<I, Params>>(), arguments, names.at(I)), ...);
    QJsonObject answer;
    QUILLET_TRY(transport.send(operation, request, answer));
    std::tuple<Held<std::tuple_element_t<I, Params>>...> read;
    bool whole = true;
    const auto take = [&](auto tag, auto &value, QLatin1StringView name) {
        using P = typename decltype(tag)::type;
        if constexpr (Answered<P> || Publisher<P>)
            whole = whole && Codec<Value<P>>::take(answer, name, value);
    };
    (take(std::type_identity<std::tuple_element_t<I, Params>>(), std::get<I>(read), names.at(I)),
     ...);
    if (!whole)
        return transport.malformed();
    const auto hand = [&](auto tag, auto &&argument, auto &value) {
        using P = typename decltype(tag)::type;
        if constexpr (Publisher<P>)
            (void)argument(value);
        else if constexpr (Answered<P>)
            argument = std::move(value);
    };
    (hand(std::type_identity<std::tuple_element_t<I, Params>>(), arguments, std::get<I>(read)),
     ...);
    return Status::ok();
}

} // namespace Binding

// The caller's half: carries one call of `Method` through `transport`. The answered
// arguments are written only when the whole answer is as the binding says; otherwise
// the call fails with transport.malformed() and they keep their values.
template<auto Method, typename... A> Status invoke(Transport &transport, A &&...arguments)
{
    const Operation *operation = operationOf(&Binding::Id<Method>);
    Q_ASSERT(operation); // every function a component carries has its row in the table
    if (!operation)
        return Status::failure(Status::NoInterface, QStringLiteral("not on the wire"));
    return Binding::carry<Method>(transport, *operation, std::make_index_sequence<sizeof...(A)>(),
                                  std::forward<A>(arguments)...);
}

// The functions of overloaded names the wire carries: a handset's single arrival (not the
// tallied many that the operator tool makes of it) and one page of a listing (not the
// whole listing that a caller pages through).
inline constexpr auto HandsetMessages = static_cast<Status (OperatorBackend::*)(
    const QString &, const Operator::Page &, Operator::Listing<Operator::HandsetMessage> &)>(
    &OperatorBackend::handsetMessages);
inline constexpr auto Accounts = static_cast<Status (OperatorBackend::*)(
    const Operator::Page &, Operator::Listing<Operator::AccountSummary> &)>(
    &OperatorBackend::accounts);
inline constexpr auto Messages = static_cast<Status (OperatorBackend::*)(
    const Operator::MessageFilter &, const Operator::Page &,
    Operator::Listing<Operator::MessageSummary> &)>(&OperatorBackend::messages);
inline constexpr auto Links = static_cast<Status (OperatorBackend::*)(
    const Operator::Page &, Operator::Listing<Operator::LinkSummary> &)>(&OperatorBackend::links);
inline constexpr auto Unmatched = static_cast<Status (OperatorBackend::*)(
    const Operator::Page &, Operator::Listing<Operator::UnmatchedEntry> &)>(
    &OperatorBackend::unmatched);
inline constexpr auto CallbackEvents = static_cast<Status (OperatorBackend::*)(
    const QString &, const Operator::Page &, Operator::Listing<Operator::CallbackEvent> &)>(
    &OperatorBackend::callbackEvents);
inline constexpr auto SmppBinds = static_cast<Status (OperatorBackend::*)(
    const Operator::Page &, Operator::Listing<Operator::SmppBind> &)>(&OperatorBackend::smppBinds);
inline constexpr auto ReceiveFromHandset = static_cast<Status (OperatorBackend::*)(
    const QString &, const QString &, const QString &, const QString &, Operator::MoReport &)>(
    &OperatorBackend::receiveFromHandset);

} // namespace Wire
