#include "bench/kit/benchio.h"

namespace BenchKit {

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

int setting(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

} // namespace BenchKit
