#pragma once

// One API operation run on the gateway's rules, through its binding (calls.h):
//
//   validated JSON body ── arguments ── LocalGateway (a console call), LocalBackend
//   over it (an operator call) or ServiceTokens over the service's tables (an operator's
//   call on the tokens) ── Status and answered arguments ── JSON answer
//
// The body has passed Wire::validate, so every field present has the right kind.

#include "protocol/wire.h"

#include <QJsonObject>

class LocalGateway;
class ServiceStore;

namespace Operations {

// Runs `operation`; `answer` gets the Status and, when it succeeded, every out slot.
void run(const Wire::Operation &operation, LocalGateway &gateway, ServiceStore &service,
         const QJsonObject &body, QJsonObject &answer);

// Makes the hashes `operation` will need (its prepare hook says which), before a caller
// takes its write lock (see LocalGateway::prepareSignOn); the gateway forgets them after
// the next call.
void prepare(const Wire::Operation &operation, LocalGateway &gateway, const QJsonObject &body);

} // namespace Operations
