// The yardstick: a bare Qt window of the console's size, up to the first idle event loop.
// With the argument "text" the window holds one label, to show what drawing any text at
// all costs (the font configuration is read on first use).

#include "idleprobe.h"

#include <QApplication>
#include <QLabel>
#include <QWidget>

#include <cstring>

int main(int argc, char *argv[])
{
    const bool withText = argc > 1 && std::strcmp(argv[1], "text") == 0;
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication app(qtArgc, argv);
    QWidget window;
    window.resize(465, 418);
    if (withText)
        new QLabel(QStringLiteral("Quillet"), &window);
    window.show();
    reportWhenIdle();
    return QApplication::exec();
}
