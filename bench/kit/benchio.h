#pragma once

// What every benchmark prints its figures with, and reads its settings from.

#include <QTextStream>

namespace BenchKit {

// Standard output, for the figures.
QTextStream &out();
// The environment variable `name` as a whole number above zero, else `fallback`.
int setting(const char *name, int fallback);

} // namespace BenchKit
