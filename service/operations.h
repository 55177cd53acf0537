#pragma once

// One API operation run on the gateway's rules:
//
//   validated JSON body ── read inputs and in/out slots ── LocalGateway call ──
//   ── Status and slots after the call ── JSON answer
//
// The body has passed Wire::validate, so every field present has the right kind.

#include "wire.h"

#include <QJsonObject>

class LocalGateway;

namespace Operations {

// Runs `operation`; `answer` gets the Status and, when it succeeded, every out slot.
void run(const Wire::Operation &operation, LocalGateway &gateway, const QJsonObject &body,
         QJsonObject &answer);

} // namespace Operations
