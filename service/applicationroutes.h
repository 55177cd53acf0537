#pragma once

// The routes an application's token reaches, one table of them: each a method and a path
// (an `{id}` in it stands for a message's id), whether it changes something (then it
// takes an Idempotency-Key and runs in a keyed call's transaction, as a console call
// does), and the work it does on the gateway's rules (ApplicationApi) for the token's one
// account.
//
//   GatewayService::handleRequest ── find(path) ── the method's route ── a worker:
//     token of role application ── Call (account, id, query, JSON body) ── route.run
//     ── Answered: a status and its JSON, or a refusal of the table in servicetexts.h

#include "gateway/result.h"
#include "service/servicetexts.h"

#include <QByteArray>
#include <QJsonObject>
#include <QLatin1StringView>
#include <QList>
#include <QUrlQuery>

#include <optional>

class LocalGateway;
struct CallbackSetup;

namespace ApplicationRoutes {

struct Call {
    QString accountNo; // the token's
    qint64 id = 0; // the path's {id}
    QUrlQuery query;
    QJsonObject body;
    const CallbackSetup *callbacks = nullptr;
};

struct Answered {
    int status = 200;
    QJsonObject body;
    // Refused instead: the refusal, the value its text takes, and fields the error
    // carries besides (a message's state).
    std::optional<ServiceTexts::Refusal> refusal;
    QString value;
    QJsonObject detail;

    bool succeeded() const { return !refusal; }
};

struct Route {
    QLatin1StringView name; // in the request log and the metrics
    QByteArrayView method;
    QLatin1StringView path;
    bool keyed = false;
    int status = 200; // of its success, a repeat of its key's too
    Result<Answered> (*run)(LocalGateway &gateway, const Call &call) = nullptr;
    // Run first, outside any transaction: a refusal ends the call there.
    std::optional<Answered> (*check)(const Call &call) = nullptr;
};

const QList<Route> &routes();

// The routes of `path`, whatever their methods (none: no such path); `id` gets the path's
// {id}, which is a positive decimal number or the path is none of them.
QList<const Route *> find(const QString &path, qint64 &id);

} // namespace ApplicationRoutes
