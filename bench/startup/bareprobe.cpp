// The yardsticks: a bare Qt window of the console's size, up to its first painted
// frame. With the argument "chinese" the window holds one label in Chinese, which is
// what any window with Chinese text pays for: reading the font configuration and
// finding a font with the Han glyphs.

#include "bench/startup/frameprobe.h"

#include <QApplication>
#include <QLabel>
#include <QWidget>

#include <cstring>

int main(int argc, char *argv[])
{
    const bool chinese = argc > 1 && std::strcmp(argv[1], "chinese") == 0;
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication app(qtArgc, argv);
    QWidget window;
    window.resize(465, 418); // the console's client area: 6975 x 6270 twips
    if (chinese)
        new QLabel(QStringLiteral(u"接收短信"), &window);
    window.show();
    new FrameProbe::FirstFrame(window);
    return QApplication::exec();
}
