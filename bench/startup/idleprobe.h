#pragma once

#include <QAbstractEventDispatcher>
#include <QCoreApplication>

#include <unistd.h>

// Writes "ready" to standard output the first time the event loop is about to wait,
// that is, when everything start-up posted (showing, laying out, painting) is done,
// and then ends the loop.
inline void reportWhenIdle()
{
    auto *dispatcher = QAbstractEventDispatcher::instance();
    auto *connection = new QMetaObject::Connection;
    *connection = QObject::connect(
        dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher, [connection] {
            QObject::disconnect(*connection);
            delete connection;
            static const char ready[] = "ready\n";
            [[maybe_unused]] const auto written = ::write(STDOUT_FILENO, ready, sizeof ready - 1);
            QCoreApplication::quit();
        });
}
