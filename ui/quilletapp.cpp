#include "ui/quilletapp.h"

#include "ui/form1.h"
#include "ui/uitexts.h"

#include <QApplication>
#include <QFileInfo>
#include <QImageReader>
#include <QLibraryInfo>
#include <QLocale>
#include <QPixmap>
#include <QPixmapCache>
#include <QTranslator>

using namespace Qt::StringLiterals;

namespace QuilletApp {

namespace {

// The frame the Fusion style draws around every group box, from Qt's own resources.
const QString GroupBoxFrame = u":/qt-project.org/styles/commonstyle/images/fusion_groupbox.png"_s;

// A number as QPixmap's file cache writes it into its keys: each byte in turn, low
// hexadecimal digit first.
template<typename T> QString cacheKeyHex(T value)
{
    static constexpr char16_t Digits[] = u"0123456789abcdef";
    QString text;
    const auto *bytes = reinterpret_cast<const unsigned char *>(&value);
    for (std::size_t i = 0; i < sizeof(T); ++i)
        text += QChar(Digits[bytes[i] & 0xf]) + QChar(Digits[bytes[i] >> 4]);
    return text;
}

// The style loads the group box frame by file name through QPixmap's file cache. A
// miss there asks every image-format plugin whether it reads PNG, which loads and
// maps all of them on the way to the first frame, though PNG is built into Qt.
// Decoding the frame here with the built-in reader alone, and putting it where that
// cache looks, gives the style the very same pixels without the plugins. Should the
// cache key ever be another, the style loads the file itself as before: only the
// plugins come back.
void preloadGroupBoxFrame()
{
    QImageReader reader(GroupBoxFrame, "png");
    reader.setAutoDetectImageFormat(false);
    const QPixmap frame = QPixmap::fromImageReader(&reader);
    if (frame.isNull())
        return;
    const QFileInfo file(GroupBoxFrame);
    constexpr uint PixmapType = 0; // QPlatformPixmap::PixmapType, as opposed to a bitmap
    QPixmapCache::insert(u"qt_pixmap"_s + file.absoluteFilePath()
                             + cacheKeyHex(uint(file.lastModified().toSecsSinceEpoch()))
                             + cacheKeyHex(quint64(file.size())) + cacheKeyHex(PixmapType),
                         frame);
}

} // namespace

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

    preloadGroupBoxFrame();
}

std::unique_ptr<Form1> start(QApplication &app)
{
    setUp(app);
    auto window = std::make_unique<Form1>();
    window->show();
    return window;
}

} // namespace QuilletApp
