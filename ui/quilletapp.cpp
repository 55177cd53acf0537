#include "quilletapp.h"

#include "form1.h"
#include "uitexts.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace QuilletApp {

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
}

std::unique_ptr<Form1> start(QApplication &app)
{
    setUp(app);
    auto window = std::make_unique<Form1>();
    window->show();
    return window;
}

} // namespace QuilletApp
