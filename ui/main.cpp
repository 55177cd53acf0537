#include "ui/form1.h"
#include "ui/quilletapp.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // Quillet takes no options: Qt sees the program name only, whatever follows it.
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication app(qtArgc, argv);
    // The window is destroyed on leaving main, before the application: the console and
    // its gateway instance go while the component's library is still loaded.
    const std::unique_ptr<Form1> window = QuilletApp::start(app);
    return QApplication::exec();
}
