#pragma once

// Small steps the local component's rules and its operator's side share.

#include "gateway/local/localtexts.h"
#include "gateway/local/store.h"

#include <QVariant>

namespace LocalSteps {

inline QString textOrEmpty(const QVariant &value)
{
    return value.isNull() ? QString() : value.toString();
}

inline Status hashingFailed()
{
    return Status::failure(Store::Unavailable, LocalTexts::hashingFailed());
}

inline bool committed(Store::Decision decision)
{
    return decision == Store::Decision::Commit;
}

inline Store::Decision commitWhen(bool keep)
{
    return keep ? Store::Decision::Commit : Store::Decision::RollBack;
}

} // namespace LocalSteps
