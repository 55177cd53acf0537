#pragma once

// What every benchmark prints its figures with, and reads its settings from.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>
#include <QTimer>

namespace BenchKit {

// Standard output, for the figures.
QTextStream &out();
// The environment variable `name` as a whole number above zero, else `fallback`.
int setting(const char *name, int fallback);

// Runs the event loop until `done` holds or `ms` passed; it sleeps while nothing happens
// (a tick wakes it every 5 ms), so that the bench's own loop takes no core from what it
// measures.
template<typename Done> bool spin(Done done, int ms)
{
    QElapsedTimer timer;
    timer.start();
    QTimer tick;
    tick.start(5);
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

} // namespace BenchKit
