#include "service/servicetexts.h"

#include "service/link/linksettings.h"

using namespace Qt::StringLiterals;

namespace ServiceTexts {

const RefusalText &refusalOf(Refusal refusal)
{
    using enum Refusal;
    static const RefusalText rows[] = {
        { NoSuchOperation, 404, u"not_found"_s, u"no such operation"_s },
        { MetricsOnly, 404, u"not_found"_s, u"this port serves GET /metrics only"_s },
        { PostOnly, 405, u"method_not_allowed"_s, u"operations are called with POST"_s },
        { GetOnly, 405, u"method_not_allowed"_s, u"the metrics are read with GET"_s },
        { Stopping, 503, u"stopping"_s, u"the service is stopping"_s },
        { BodyTooLarge, 413, u"content_too_large"_s,
          u"the request body is larger than %1 bytes"_s },
        { JsonOnly, 415, u"unsupported_media_type"_s, u"the body must be application/json"_s },
        { KeyRequired, 400, u"idempotency_key"_s,
          u"this call needs an Idempotency-Key header of 16 to 128 printable ASCII characters "
          u"(a UUID will do)"_s },
        { BadToken, 401, u"unauthorized"_s, u"a valid bearer token is required"_s },
        { WrongRole, 403, u"forbidden"_s, u"a %1 token cannot make this call"_s },
        { DuplicateKey, 400, u"malformed_json"_s, u"a key appears twice in one JSON object"_s },
        { RawControlCharacter, 400, u"malformed_json"_s,
          u"a control character inside a JSON text must be escaped"_s },
        { NotAJsonObject, 400, u"malformed_json"_s,
          u"the body must be one JSON object in UTF-8"_s },
        { InvalidField, 400, u"invalid_field"_s, u"%1"_s },
        { TooManyFailures, 429, u"too_many_failures"_s,
          u"too many failed authentications from this address; try again later"_s },
        { TooManySignOnFailures, 429, u"too_many_failures"_s,
          u"too many failed sign-ons from this token; try again later"_s },
        { KeyReused, 422, u"key_reused"_s,
          u"this Idempotency-Key was used for a different request"_s },
        { StoreUnavailable, 503, u"store_unavailable"_s,
          u"the gateway's store cannot be used at the moment; try again later"_s },
        { MethodNotAllowed, 405, u"method_not_allowed"_s, u"this path is called with %1"_s },
        { NoSuchMessage, 404, u"not_found"_s, u"no such message"_s },
        { InsufficientBalance, 402, u"insufficient_balance"_s,
          u"the balance does not cover every recipient; nothing was charged"_s },
        { NotCancellable, 409, u"not_cancellable"_s,
          u"the message is %1: only a scheduled message, or a queued one no link has taken, "
          u"can be cancelled"_s },
        { RateLimited, 429, u"rate_limited"_s,
          u"this token makes more requests a second than it may; try again later"_s },
        { CallbackRefused, 422, u"callback_refused"_s, u"%1"_s },
        { NoCallback, 404, u"not_found"_s, u"no callback is set"_s },
        { CallbacksUnavailable, 503, u"service_unavailable"_s,
          u"this service process sends no callbacks"_s },
        { TooManyConnections, 503, u"service_unavailable"_s,
          u"too many connections; try again later"_s },
        { OneRequestAtATime, 400, u"bad_request"_s,
          u"send one request at a time and wait for its answer"_s },
        { HeaderTooLong, 431, u"request_header_fields_too_large"_s,
          u"the request header is too long"_s },
        { TooManyHeaderLines, 431, u"request_header_fields_too_large"_s,
          u"the request has more than %1 header lines"_s },
        { MalformedRequestLine, 400, u"bad_request"_s, u"malformed request line"_s },
        { HttpVersion, 505, u"http_version_not_supported"_s,
          u"only HTTP/1.1 and HTTP/1.0 are served"_s },
        { MalformedHeaderLine, 400, u"bad_request"_s, u"malformed header line"_s },
        { LengthRequired, 411, u"length_required"_s, u"send the body with a Content-Length"_s },
        { MalformedLength, 400, u"bad_request"_s, u"malformed Content-Length"_s },
        { RequestTimedOut, 408, u"request_timeout"_s, u"the request did not arrive in time"_s },
    };
    static_assert(sizeof(rows) / sizeof(rows[0]) == std::size_t(Count), "a row per refusal");
    const RefusalText &row = rows[qsizetype(refusal)];
    Q_ASSERT(row.refusal == refusal); // the rows in the order of their refusals
    return row;
}

QString refusalText(Refusal refusal, const QString &value)
{
    const QString &text = refusalOf(refusal).text;
    return text.contains(u"%1"_s) ? text.arg(value) : text;
}

QString repeatedParameter(const QString &name)
{
    return u"parameter \"%1\" is given twice"_s.arg(name);
}

QString unknownParameter(const QString &name)
{
    return u"unknown parameter \"%1\""_s.arg(name);
}

QString badSince()
{
    return u"\"since\" must be an ISO 8601 time"_s;
}

QString badLimit(int most)
{
    return u"\"limit\" must be a whole number from 1 to %1"_s.arg(most);
}

QString unknownField(const QString &name)
{
    return u"unknown field \"%1\""_s.arg(name);
}

QString badSendField(int field)
{
    // In the order of ApplicationApi::Field, from To.
    static const QString texts[] = {
        u"\"to\" must be a phone number (an optional + and 3 to 20 digits) or a list of 1 to "
        u"1000 of them"_s,
        u"\"text\" must be a text of 1 to 255 segments"_s,
        u"\"sendAt\" must be an ISO 8601 time from a minute ago to a year ahead"_s,
        u"\"validity\" must be a whole number of seconds from 1 to 31536000"_s,
        u"\"reference\" must be a text of at most 64 characters, without control "
        u"characters"_s,
    };
    return texts[qBound(0, field - 1, int(std::size(texts)) - 1)];
}

QString tlsRequired(const QString &address)
{
    return u"refusing to listen on %1 without TLS: give a certificate and key, or listen on "
           u"a loopback address"_s.arg(address);
}

QString cannotOpenRequestLog(const QString &file, const QString &why)
{
    return u"cannot open the request log %1: %2"_s.arg(file, why);
}

QString cannotWriteRequestLog(const QString &file, const QString &why)
{
    return u"quillet-gatewayd: cannot write the request log %1: %2"_s.arg(file, why);
}

QString cannotReadCallbackKey(const QString &file, const QString &why)
{
    return u"cannot use %1 as the key of callback secrets: %2"_s.arg(file, why);
}

QString callbackKeyMalformed(const QString &file)
{
    return u"cannot use %1 as the key of callback secrets: it is not a key this service "
           u"made (32 bytes)"_s.arg(file);
}

QString callbackKeyExposed(const QString &file, const QString &mode)
{
    return u"cannot use %1 as the key of callback secrets: others may read or change it "
           u"(mode %2); make it 0600"_s.arg(file, mode);
}

QString callbackUrlMalformed()
{
    return u"the callback URL must be an absolute https:// URL with a host, no user "
           u"and no fragment, of at most 2048 characters"_s;
}

QString badCallbackField(QLatin1StringView field)
{
    if (field == "url"_L1)
        return u"url must be a text"_s;
    return u"events must list message.state, arrival or both, each once"_s;
}

QString callbackHttpNotAllowed(const QString &host)
{
    return u"http:// goes only to a host callback_allow_hosts lists, and %1 is not one; "
           u"use https://"_s.arg(host);
}

QString callbackHostUnresolved(const QString &host)
{
    return u"%1 does not resolve to any address"_s.arg(host);
}

QString callbackHostRefused(const QString &host, const QString &address)
{
    return u"%1 resolves to %2, a loopback, link-local, private, unspecified or this "
           u"service's own address; callback_allow_hosts may list it"_s.arg(host, address);
}

QString callbackAnswered(int status)
{
    return u"answered HTTP %1"_s.arg(status);
}

QString callbackTimedOut(int milliseconds)
{
    return u"no answer within %1 ms"_s.arg(milliseconds);
}

QString callbackSecretUnreadable()
{
    return u"the callback's secret cannot be opened with this service's key"_s;
}

QString callbackSubjectMissing()
{
    return u"the message of this event is not in the store"_s;
}

QString keyExposed(const QString &file, const QString &mode)
{
    return u"cannot use %1: a private key others may read or change is refused (mode %2); "
           u"make it 0600, or 0640 with root as its owner"_s.arg(file, mode);
}

QString keyNotOwned(const QString &file)
{
    return u"cannot use %1: a private key must belong to the service's user or to root"_s.arg(file);
}

QString summary(qint64 seconds, qint64 requests, qint64 ok, qint64 clientErrors,
                qint64 serverErrors, double perSecond, double slowestMs, qint64 connectionsRefused,
                qint64 authFailures, qint64 storeErrors)
{
    return u"quillet-gatewayd: in %1 s: %2 requests (%3 2xx, %4 4xx, %5 5xx), %6 a second, "
           u"slowest %7 ms; %8 connections refused, %9 failed authentications, %10 store "
           u"errors"_s
               .arg(QString::number(seconds), QString::number(requests), QString::number(ok),
                    QString::number(clientErrors), QString::number(serverErrors),
                    QString::number(perSecond, 'f', 1), QString::number(slowestMs, 'f', 2),
                    QString::number(connectionsRefused), QString::number(authFailures))
               .arg(storeErrors);
}

QString reloadRefused(const QString &why)
{
    return u"quillet-gatewayd: reload refused, the settings before it stay: %1"_s.arg(why);
}

QString reloaded(const QStringList &applied)
{
    return u"quillet-gatewayd: reloaded: %1"_s.arg(applied.join(u", "_s));
}

QString reloadedLimits()
{
    return u"limits"_s;
}

QString reloadedRequestLog(const QString &target)
{
    return u"request log %1"_s.arg(target);
}

QString reloadedTls()
{
    return u"TLS certificate and key"_s;
}

QString reloadedLinks()
{
    return u"links started again"_s;
}

QString waitForRestart(const QStringList &keys)
{
    return u"quillet-gatewayd: changed, taken at the next start: %1"_s.arg(keys.join(u", "_s));
}

QString linksNotStarted(const QString &why)
{
    return u"quillet-gatewayd: the links did not start again: %1"_s.arg(why);
}

QString cannotListen(const QString &address, quint16 port, const QString &why)
{
    return u"cannot listen on %1 port %2: %3"_s.arg(address).arg(port).arg(why);
}

QString listening(const QString &address, quint16 port, bool tls)
{
    return u"quillet-gatewayd: listening on %1 port %2%3"_s.arg(address).arg(port).arg(
        tls ? u" (TLS)"_s : QString());
}

QString smppListening(const QString &address, quint16 port, bool tls)
{
    return u"quillet-gatewayd: SMPP server listening on %1 port %2%3"_s.arg(address).arg(port).arg(
        tls ? u" (TLS)"_s : QString());
}

QString smppTlsWithoutCertificate()
{
    return u"[smpp_server] tls=on needs the service's tls_certificate and tls_key"_s;
}

// A system_id is the application's text: shown escaped, on one line.
static QString printable(const QString &text)
{
    QString shown;
    for (const QChar c : text)
        shown += c.unicode() >= 0x20 && c.unicode() < 0x7F
            ? QString(c)
            : u"\\x%1"_s.arg(uint(c.unicode()), 2, 16, QChar(u'0'));
    return shown;
}

QString smppBound(const QString &systemId, const QString &mode, const QString &peer)
{
    return u"quillet-gatewayd: SMPP %1 bound as %2 from %3"_s.arg(printable(systemId), mode, peer);
}

QString smppBindRefused(const QString &systemId, const QString &peer)
{
    return u"quillet-gatewayd: SMPP bind of %1 from %2 refused"_s.arg(printable(systemId), peer);
}

QString smppUnbound(const QString &systemId, const QString &peer)
{
    return u"quillet-gatewayd: SMPP %1 from %2 unbound"_s.arg(printable(systemId), peer);
}

QString smppSessionLost()
{
    return u"the receiver's session ended before it answered"_s;
}

QString smppNoReceiver()
{
    return u"no receiver of the account had room"_s;
}

QString smppCannotDeliver()
{
    return u"too long for deliver_sm parts"_s;
}

QString smppDeliverRefused(quint32 status)
{
    return u"deliver_sm_resp status 0x%1"_s.arg(status, 8, 16, QLatin1Char('0'));
}

QString servingMetrics(const QString &address, quint16 port)
{
    return u"quillet-gatewayd: serving GET /metrics without authentication on %1 port %2"_s
        .arg(address)
        .arg(port);
}

QString acceptPaused(const QString &why, int retryMs)
{
    return u"quillet-gatewayd: cannot accept connections (%1); trying again every %2 ms"_s.arg(why)
        .arg(retryMs);
}

QString cannotReadTls(const QString &file, const QString &why)
{
    return u"cannot use %1: %2"_s.arg(file, why);
}

QString serviceTablesMissing()
{
    return u"the service's tables are missing: run 'quillet-gatewayd --store URL init' as the "
           u"schema's owner"_s;
}

QString rememberedAnswerDamaged()
{
    return u"a remembered answer does not open with its Idempotency-Key: the service's "
           u"tables are damaged"_s;
}

QString newerServiceTables(int found, int known)
{
    return u"the service's tables are of version %1, newer than this quillet-gatewayd knows "
           u"(%2); they were left as they are"_s.arg(found)
               .arg(known);
}

QString initialized(const QString &store)
{
    return u"The gateway's store and the service's tables at %1 are ready."_s.arg(store);
}

QString badConfig(const QString &file, const QString &why)
{
    return u"%1: %2"_s.arg(file, why);
}

QString help()
{
    return uR"(Usage:
  quillet-gatewayd [--config FILE] [--listen ADDRESS] [--port PORT] [--store URL]
                   [--tls-certificate FILE --tls-key FILE] [--workers N]
                   [--metrics-port PORT [--metrics-listen ADDRESS]]
      serves the gateway API; settings not given come from the config file
      (default /etc/quillet/gatewayd.conf), then from built-in defaults; GET /metrics
      takes an operator token, and the metrics port (none unless given; on
      127.0.0.1 unless --metrics-listen says otherwise) serves it to anyone
  quillet-gatewayd [--config FILE] [--store URL] token issue --role console|operator --name NAME
  quillet-gatewayd [--config FILE] [--store URL] token issue --role application --account ACCOUNT --name NAME
      issues a token and prints it (this once only)
  quillet-gatewayd [--config FILE] [--store URL] token revoke --name NAME
  quillet-gatewayd [--config FILE] [--store URL] token list
  quillet-gatewayd [--config FILE] [--store URL] init
      creates or migrates the store and the service's tables; on PostgreSQL run it
      as the schema's owner: it also grants the role quillet_gateway what the
      service needs
  quillet-gatewayd --help | --version

A key of the config file that the service does not know is a usage error. SIGHUP
reads the config file again and takes the TLS certificate and key, the limits, the
request log and the links; the log names what waits for a restart.

Exit codes: 0 done, 1 failed, 2 usage.
)"_s;
}

QString version()
{
    return u"quillet-gatewayd %1"_s.arg(QStringLiteral(QUILLET_VERSION));
}

QString usage(const QString &why)
{
    return u"quillet-gatewayd: %1\nTry 'quillet-gatewayd --help'."_s.arg(why);
}

QString failure(const QString &why)
{
    return u"quillet-gatewayd: "_s + why;
}

QString tokenIssued(const QString &name, const QString &role)
{
    return u"Token \"%1\" (%2) issued. It is shown this once only:"_s.arg(name, role);
}

QString tokenNameTaken(const QString &name)
{
    return u"an active token is already named \"%1\"; revoke it first"_s.arg(name);
}

QString tokenRevoked(const QString &name)
{
    return u"Token \"%1\" revoked."_s.arg(name);
}

QString noSuchToken(const QString &name)
{
    return u"no active token is named \"%1\""_s.arg(name);
}

QString tokenLine(const QString &name, const QString &role, const QString &account,
                  const QString &issued, const std::optional<QString> &revoked)
{
    // A console or operator token is bound to no account: a dash.
    return u"%1\t%2\t%3\t%4\t%5"_s.arg(name, role, account.isEmpty() ? u"-"_s : account, issued,
                                       revoked ? u"revoked "_s + *revoked : u"active"_s);
}

QString configMissing(const QString &file)
{
    return badConfig(file, u"no such file"_s);
}

QString configUnreadable(const QString &file)
{
    return badConfig(file, u"unreadable"_s);
}

QString notPem()
{
    return u"not a PEM certificate or private key"_s;
}

QString unknownOption(const QString &argument)
{
    return u"unknown option %1"_s.arg(argument);
}

QString needsOneValue(const QString &option)
{
    return u"%1 needs one value"_s.arg(option);
}

QString takesNoValue(const QString &option)
{
    return u"%1 takes no value"_s.arg(option);
}

QString unreadableOptions(const QString &detail)
{
    return u"the options cannot be read (%1)"_s.arg(detail);
}

QString tokenActions()
{
    return u"token issue, token revoke or token list"_s;
}

QString badTokenName()
{
    return u"--name needs 1 to 64 printable characters"_s;
}

QString badRole()
{
    return u"--role must be console, operator or application"_s;
}

QString applicationNeedsAccount()
{
    return u"an application token needs --account with the account number it acts on"_s;
}

QString accountOnlyForApplication()
{
    return u"--account is for an application token only"_s;
}

QString noSuchAccount(const QString &accountNo)
{
    return u"no account %1"_s.arg(accountNo);
}

QString badTokenCursor()
{
    return u"not a cursor of the listing of tokens"_s;
}

QString initTakesNoWords()
{
    return u"init takes no words"_s;
}

QString unknownCommand(const QString &command)
{
    return u"unknown command %1"_s.arg(command);
}

QString takes(const QString &setting, const QString &allowed)
{
    return u"%1 takes %2"_s.arg(setting, allowed);
}

QString range(int least, int most)
{
    return u"%1 to %2"_s.arg(least).arg(most);
}

QString anIpAddress()
{
    return u"an IP address"_s;
}

QString portOrNothing()
{
    return u"0 to 65535, or nothing for none"_s;
}

QString requestLogTargets()
{
    return u"%1, %2 or an absolute file path"_s.arg(RequestLogOff, RequestLogStandardError);
}

QString tlsNeedsBoth()
{
    return u"TLS needs both a certificate and a key"_s;
}

QString unknownKey(const QString &file, const QString &key, const QString &section,
                   const QString &meant)
{
    const QString where
        = section.isEmpty() ? u"at the top of the file"_s : u"in section [%1]"_s.arg(section);
    const QString guess = meant.isEmpty() ? QString() : u"; did you mean %1?"_s.arg(meant);
    return badConfig(file, u"unknown setting %1 %2%3"_s.arg(key, where, guess));
}

QString unknownSection(const QString &file, const QString &section)
{
    return badConfig(file,
                     u"unknown section [%1]; a section is a link, [%2NAME], or [smpp_server]"_s.arg(
                         section, LinkSectionPrefix));
}

QString stoppingOnSignal()
{
    return u"quillet-gatewayd: stopping; answering the requests in flight"_s;
}

} // namespace ServiceTexts
