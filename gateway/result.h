#pragma once

// A value or the failure Status that stopped it: the gateway's private steps hand back
// what they found as their return value, and a store failure travels the same way.
//
//   step() ── Result<T> ──┬─ value ───> the caller goes on with it
//                         └─ failure ─> QUILLET_TRY_VALUE returns it unchanged

#include "gateway/status.h"

#include <optional>
#include <utility>

template<typename T> class [[nodiscard]] Result {
public:
    // NOLINTBEGIN(google-explicit-constructor): both convert so a step can `return value;`
    // or `return failure;` alike, and QUILLET_TRY works inside it.
    Result(T value)
        : m_value(std::move(value))
    {
    }
    Result(Status failure)
        : m_status(std::move(failure))
    {
        Q_ASSERT(m_status.failed());
    }
    // NOLINTEND(google-explicit-constructor)

    bool failed() const { return !m_value.has_value(); }
    // Status::ok() when there is a value.
    const Status &status() const { return m_status; }

    T &operator*() & { return *m_value; }
    const T &operator*() const & { return *m_value; }
    T &&operator*() && { return std::move(*m_value); }
    const T *operator->() const { return &*m_value; }

private:
    std::optional<T> m_value;
    Status m_status;
};

#define QUILLET_RESULT_CONCAT_(a, b) a##b
#define QUILLET_RESULT_NAME_(line) QUILLET_RESULT_CONCAT_(quilletResult_, line)

// Declares `target` from the value of `expr` (a Result), or returns its failure from the
// enclosing function: QUILLET_TRY_VALUE(const qint64 waiting, countWaiting(id));
#define QUILLET_TRY_VALUE(target, expr)                                                            \
    auto QUILLET_RESULT_NAME_(__LINE__) = (expr);                                                  \
    if (QUILLET_RESULT_NAME_(__LINE__).failed())                                                   \
        return QUILLET_RESULT_NAME_(__LINE__).status();                                            \
    target = *std::move(QUILLET_RESULT_NAME_(__LINE__))
