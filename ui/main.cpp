#include "ui/form1.h"
#include "ui/quilletapp.h"
#include "ui/uitexts.h"

#include <QApplication>

#include <cstdio>

namespace {

// --help and --version are answered on standard output, before anything of Qt starts:
// no window, no display needed. Any other argument is ignored, as it always was.
bool answered(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        const bool help = argument == UiTexts::HelpOption;
        if (!help && argument != UiTexts::VersionOption)
            continue;
        const QByteArray text = (help ? UiTexts::CommandLineHelp
                                      : UiTexts::VersionLine.arg(UiTexts::ApplicationVersion))
                                    .toUtf8();
        std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
        return true;
    }
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    if (answered(argc, argv))
        return 0;
    // Quillet takes no other options: Qt sees the program name only, whatever follows it.
    int qtArgc = argc > 0 ? 1 : 0;
    QApplication app(qtArgc, argv);
    // The window is destroyed on leaving main, before the application: the console and
    // its gateway instance go while the component's library is still loaded.
    const std::unique_ptr<Form1> window = QuilletApp::start(app);
    return QApplication::exec();
}
