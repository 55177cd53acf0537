#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// Every text quillet-gatewayd shows a person, in one place: besides what it says, the
// words a person types (option names, command words, config keys). Fixed words are
// constants; texts are functions.
namespace ServiceTexts {
using namespace Qt::StringLiterals;

// Every way a request is refused instead of served, in one table (refusalOf): its HTTP
// status, the code word of its error (what a client tells refusals apart by; docs/api.yaml
// lists them) and its text, which takes the refusal's value where it has a place for one.
enum class Refusal {
    NoSuchOperation,
    MetricsOnly, // a path other than /metrics on the scrapers' own port
    PostOnly,
    GetOnly, // the metrics on the service's port
    Stopping,
    BodyTooLarge, // the value: the most bytes a body may have
    JsonOnly,
    KeyRequired,
    BadToken,
    WrongRole, // the value: the token's role
    DuplicateKey,
    RawControlCharacter,
    NotAJsonObject,
    InvalidField, // the value: what is wrong with which field
    TooManyFailures, // of authentication, from one address
    TooManySignOnFailures,
    KeyReused,
    StoreUnavailable,
    // An application's routes.
    MethodNotAllowed, // the value: the methods the path takes
    NoSuchMessage, // unknown, or another account's: the same
    InsufficientBalance,
    NotCancellable, // the value: the message's state
    RateLimited, // an application's token, past its requests a second
    CallbackRefused, // the value: why the URL is not taken
    NoCallback,
    CallbacksUnavailable,
    // The connection guard's, before a request reaches the service.
    TooManyConnections,
    OneRequestAtATime,
    HeaderTooLong,
    TooManyHeaderLines, // the value: the most lines a header may have
    MalformedRequestLine,
    HttpVersion,
    MalformedHeaderLine,
    LengthRequired,
    MalformedLength,
    RequestTimedOut,
    Count // not a refusal: how many there are
};
struct RefusalText {
    Refusal refusal;
    int status;
    QString code;
    QString text; // %1: the refusal's value
};
const RefusalText &refusalOf(Refusal refusal);
QString refusalText(Refusal refusal, const QString &value = {});

// What an application's request has wrong: a parameter of a listing, a field of a send
// (`field`: ApplicationApi::Field).
QString repeatedParameter(const QString &name);
QString unknownParameter(const QString &name);
QString badSince();
QString badLimit(int most);
QString unknownField(const QString &name);
QString badSendField(int field);

// Starting.
QString tlsRequired(const QString &address);
QString cannotOpenRequestLog(const QString &file, const QString &why);
QString cannotListen(const QString &address, quint16 port, const QString &why);
QString listening(const QString &address, quint16 port, bool tls);
QString smppListening(const QString &address, quint16 port, bool tls);
QString smppTlsWithoutCertificate();
QString smppBound(const QString &systemId, const QString &mode, const QString &peer);
QString smppBindRefused(const QString &systemId, const QString &peer);
QString smppUnbound(const QString &systemId, const QString &peer);
// Why a receipt or an arrival for a receiver was not delivered (kept in the outbox).
QString smppSessionLost();
QString smppNoReceiver();
QString smppCannotDeliver();
QString smppDeliverRefused(quint32 status);
QString servingMetrics(const QString &address, quint16 port);

// Running.
QString acceptPaused(const QString &why, int retryMs);
QString cannotReadTls(const QString &file, const QString &why);
// A private key others may read or change, by its mode in octal; one of neither the
// service's user nor root.
QString keyExposed(const QString &file, const QString &mode);
QString keyNotOwned(const QString &file);
// The key that seals callback secrets.
QString cannotReadCallbackKey(const QString &file, const QString &why);
QString callbackKeyMalformed(const QString &file);
// By its mode in octal.
QString callbackKeyExposed(const QString &file, const QString &mode);
// Callback URLs refused, and why a callback was not delivered.
QString callbackUrlMalformed();
QString badCallbackField(QLatin1StringView field);
QString callbackHttpNotAllowed(const QString &host);
QString callbackHostUnresolved(const QString &host);
QString callbackHostRefused(const QString &host, const QString &address);
QString callbackAnswered(int status);
QString callbackTimedOut(int milliseconds);
QString callbackSecretUnreadable();
QString callbackSubjectMissing();
QString cannotWriteRequestLog(const QString &file, const QString &why);
// What was answered in the last `seconds`: requests by the class of their status, how
// many a second, the slowest; connections the guard refused, failed authentications and
// the store's failures.
QString summary(qint64 seconds, qint64 requests, qint64 ok, qint64 clientErrors,
                qint64 serverErrors, double perSecond, double slowestMs, qint64 connectionsRefused,
                qint64 authFailures, qint64 storeErrors);

// Reloading (SIGHUP).
QString reloadRefused(const QString &why);
// `applied`: what the reload took, each one of the texts below.
QString reloaded(const QStringList &applied);
QString reloadedLimits();
QString reloadedRequestLog(const QString &target);
QString reloadedTls();
QString reloadedLinks();
// Settings (by key) that changed in the file and wait for the next start.
QString waitForRestart(const QStringList &keys);
QString linksNotStarted(const QString &why);
QString badConfig(const QString &file, const QString &why);
QString serviceTablesMissing();
QString newerServiceTables(int found, int known);
QString rememberedAnswerDamaged();

// The command line's options (without their "--") and words.
inline const QString ConfigOption = u"config"_s;
inline const QString ListenOption = u"listen"_s;
inline const QString PortOption = u"port"_s;
inline const QString StoreOption = u"store"_s;
inline const QString TlsCertificateOption = u"tls-certificate"_s;
inline const QString TlsKeyOption = u"tls-key"_s;
inline const QString WorkersOption = u"workers"_s;
inline const QString MetricsListenOption = u"metrics-listen"_s;
inline const QString MetricsPortOption = u"metrics-port"_s;
inline const QString RoleOption = u"role"_s;
inline const QString NameOption = u"name"_s;
inline const QString AccountOption = u"account"_s;
inline const QString HelpOption = u"help"_s;
inline const QString VersionOption = u"version"_s;
inline const QString TokenWord = u"token"_s;
inline const QString IssueWord = u"issue"_s;
inline const QString RevokeWord = u"revoke"_s;
inline const QString ListWord = u"list"_s;
inline const QString InitWord = u"init"_s;
inline const QString ConsoleRole = u"console"_s;
inline const QString OperatorRole = u"operator"_s;
inline const QString ApplicationRole = u"application"_s;

// The config file's keys: the settings the options stand for, and the limits.
inline const QString ListenKey = u"listen"_s;
inline const QString PortKey = u"port"_s;
inline const QString StoreKey = u"store"_s;
inline const QString TlsCertificateKey = u"tls_certificate"_s;
inline const QString TlsKeyKey = u"tls_key"_s;
inline const QString CallbackAllowHostsKey = u"callback_allow_hosts"_s;
inline const QString CallbackCaFileKey = u"callback_ca_file"_s;
inline const QString CallbackInFlightKey = u"callback_in_flight_per_url"_s;
inline const QString CallbackKeyFileKey = u"callback_key_file"_s;
inline const QString CallbackTimeoutKey = u"callback_timeout_ms"_s;
inline const QString CallbackRetryKey = u"callback_retry_ms"_s;
inline const QString WorkersKey = u"workers"_s;
inline const QString MetricsListenKey = u"metrics_listen"_s;
inline const QString MetricsPortKey = u"metrics_port"_s;
inline const QString MaxConnectionsKey = u"max_connections"_s;
inline const QString MaxConnectionsPerPeerKey = u"max_connections_per_peer"_s;
inline const QString RequestTimeoutKey = u"request_timeout_ms"_s;
inline const QString IdleTimeoutKey = u"idle_timeout_ms"_s;
inline const QString AuthFailureLimitKey = u"auth_failure_limit"_s;
inline const QString ApplicationRateLimitKey = u"application_rate_limit"_s;
inline const QString AuthWindowKey = u"auth_window_ms"_s;
inline const QString SignOnFailureLimitKey = u"signon_failure_limit"_s;
inline const QString SignOnTokenFailureLimitKey = u"signon_token_failure_limit"_s;
inline const QString HashingSlotsKey = u"hashing_slots"_s;
inline const QString GroupCommitMostKey = u"group_commit_max"_s;
inline const QString GroupCommitWaitKey = u"group_commit_wait_us"_s;
inline const QString PasswordHashCostKey = u"password_hash_cost"_s;
inline const QString InteractiveCost = u"interactive"_s;
inline const QString MinimumCost = u"minimum"_s;
inline const QString RequestLogKey = u"request_log"_s;
inline const QString RequestLogOff = u"off"_s;
inline const QString RequestLogStandardError = u"stderr"_s;
inline const QString SummaryIntervalKey = u"summary_interval_s"_s;

// The command line.
QString help();
QString version();
QString usage(const QString &why);
// A failure, as the command line reports it.
QString failure(const QString &why);
QString tokenIssued(const QString &name, const QString &role);
QString tokenNameTaken(const QString &name);
QString tokenRevoked(const QString &name);
QString noSuchToken(const QString &name);
// One token of `token list`; times as ISO 8601, `revoked` none while it is active.
QString tokenLine(const QString &name, const QString &role, const QString &account,
                  const QString &issued, const std::optional<QString> &revoked);
QString stoppingOnSignal();
QString initialized(const QString &store);
QString configMissing(const QString &file);
QString configUnreadable(const QString &file);
QString notPem();

// Usage errors. `option` and `argument` as written, with their dashes.
QString unknownOption(const QString &argument);
QString needsOneValue(const QString &option);
QString takesNoValue(const QString &option);
// What QCommandLineParser said of arguments it could not read, in its own words.
QString unreadableOptions(const QString &detail);
QString tokenActions();
QString badTokenName();
QString badRole();
QString applicationNeedsAccount();
QString accountOnlyForApplication();
QString noSuchAccount(const QString &accountNo);
// The cursor of a page of the operator's listing of tokens is not one it gave.
QString badTokenCursor();
QString initTakesNoWords();
QString unknownCommand(const QString &command);
QString tlsNeedsBoth();
// A setting's value that is not one: `setting` its key, or its option with dashes;
// `allowed` one of the texts below (or any other saying what it takes).
QString takes(const QString &setting, const QString &allowed);
QString range(int least, int most);
QString anIpAddress();
QString portOrNothing();
QString requestLogTargets();
// A key of the config file that no setting has, at its top (`section` empty) or in a
// section; `meant` a key it may stand for, or empty.
QString unknownKey(const QString &file, const QString &key, const QString &section,
                   const QString &meant);
QString unknownSection(const QString &file, const QString &section);

} // namespace ServiceTexts
