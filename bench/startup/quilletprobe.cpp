// The console's start-up, exactly as main runs it, up to its first painted frame.

#include "bench/startup/frameprobe.h"
#include "ui/form1.h"
#include "ui/quilletapp.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication app(qtArgc, argv);
    const std::unique_ptr<Form1> window = QuilletApp::start(app);
    new FrameProbe::FirstFrame(*window);
    return QApplication::exec();
}
