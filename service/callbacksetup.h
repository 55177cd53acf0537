#pragma once

// What the callback routes of a service process need besides the store: the key that
// seals secrets and the rules of where a callback may go. Made once at start and shared,
// read only, by every worker.

#include "service/callbacksecrets.h"
#include "service/callbackurl.h"

struct CallbackSetup {
    SecretSeal seal;
    CallbackUrlPolicy policy;
};
