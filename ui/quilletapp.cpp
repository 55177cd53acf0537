#include "quilletapp.h"

#include "form1.h"
#include "uitexts.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <fontconfig/fontconfig.h>

#include <thread>

namespace QuilletApp {

namespace {

// Qt reads the same configuration through the same library: once it is loaded, Qt's own
// FcInit() finds it there and returns at once.
class FontConfigurationPreload {
public:
    FontConfigurationPreload() = default;
    FontConfigurationPreload(const FontConfigurationPreload &) = delete;
    FontConfigurationPreload &operator=(const FontConfigurationPreload &) = delete;
    ~FontConfigurationPreload() { wait(); }

    void start()
    {
        if (!m_thread.joinable())
            m_thread = std::thread([] { FcInit(); });
    }
    void wait()
    {
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    std::thread m_thread;
};

FontConfigurationPreload &fontConfigurationPreload()
{
    static FontConfigurationPreload preload;
    return preload;
}

} // namespace

void preloadFontConfiguration()
{
    fontConfigurationPreload().start();
}

void setUp(QApplication &app)
{
    QCoreApplication::setOrganizationName(UiTexts::OrganizationName);
    QCoreApplication::setOrganizationDomain(UiTexts::OrganizationDomain);
    QCoreApplication::setApplicationName(UiTexts::ApplicationName);
    QCoreApplication::setApplicationVersion(UiTexts::ApplicationVersion);
    QGuiApplication::setDesktopFileName(UiTexts::DesktopFileName);

    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));

    // Qt's standard buttons and dialogs in simplified Chinese. Without the catalogue the
    // window still works, with Qt's English texts.
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    auto *translator = new QTranslator(&app);
    if (translator->load(QLocale(), UiTexts::QtCatalogue, UiTexts::CatalogueSeparator, folder))
        QCoreApplication::installTranslator(translator);
    else
        qWarning("%ls", qUtf16Printable(UiTexts::TranslationMissing.arg(folder)));

    fontConfigurationPreload().wait();
}

std::unique_ptr<Form1> start(QApplication &app)
{
    setUp(app);
    auto window = std::make_unique<Form1>();
    window->show();
    return window;
}

} // namespace QuilletApp
