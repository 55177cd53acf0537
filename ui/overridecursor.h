#pragma once

#include <Qt>

// Shows a cursor over the whole application for as long as it lives, whichever way
// the scope is left. Nests: the previous cursor comes back when it ends.
class OverrideCursor {
public:
    explicit OverrideCursor(Qt::CursorShape shape);
    ~OverrideCursor();
    OverrideCursor(const OverrideCursor &) = delete;
    OverrideCursor &operator=(const OverrideCursor &) = delete;
};
