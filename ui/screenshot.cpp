// quillet-screenshot FILE.png: starts the window as the program does and saves what it
// shows. Meant for the offscreen platform, for the documentation.

#include "ui/form1.h"
#include "ui/quilletapp.h"
#include "ui/uitexts.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPixmap>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 2) {
        std::fprintf(stderr, "%s\n", qUtf8Printable(UiTexts::ScreenshotUsage));
        return 2;
    }
    if (QFontDatabase::families(QFontDatabase::SimplifiedChinese).isEmpty()) {
        std::fprintf(stderr, "%s\n", qUtf8Printable(UiTexts::NoChineseFont));
        return 1;
    }
    const std::unique_ptr<Form1> window = QuilletApp::start(app);
    QCoreApplication::processEvents();
    if (!window->grab().save(arguments.at(1))) {
        std::fprintf(stderr, "%s\n",
                     qUtf8Printable(UiTexts::ScreenshotFailed.arg(arguments.at(1))));
        return 1;
    }
    return 0;
}
