// Start-up as the program runs it: identity, locale and Qt's translations, the window
// shown centred with the focus on Command1, and no gateway yet.

#include "tests/ui/modalcloser.h"
#include "ui/form1.h"
#include "ui/quilletapp.h"

#include <QApplication>
#include <QFile>
#include <QPixmapCache>
#include <QScreen>
#include <QTest>

using namespace Qt::StringLiterals;

class TestQuilletApp : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void cleanup();
    // First, while no image-format plugin has been loaded by anything else.
    void firstFrameLoadsNoImageFormatPlugin();
    void groupBoxesLookAsTheStyleDrawsThem();
    void startUp();
};

void TestQuilletApp::cleanup()
{
    QVERIFY(QApplication::topLevelWidgets().isEmpty());
}

void TestQuilletApp::firstFrameLoadsNoImageFormatPlugin()
{
    // WHEN the program starts and its window is painted
    const std::unique_ptr<Form1> window = QuilletApp::start(*qApp);
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QVERIFY(!window->grab().isNull());

    // THEN no image-format plugin is mapped into the process: the group boxes' frame is
    // a PNG, which Qt reads by itself
    QFile maps(u"/proc/self/maps"_s);
    QVERIFY(maps.open(QIODevice::ReadOnly));
    const QList<QByteArray> mapped = maps.readAll().split('\n');
    QByteArray plugins;
    for (const QByteArray &line : mapped) {
        if (line.contains("/imageformats/"))
            plugins += line.mid(line.lastIndexOf(' ') + 1) + ' ';
    }
    QVERIFY(mapped.size() > 1);
    QVERIFY2(plugins.isEmpty(), plugins.constData());
}

void TestQuilletApp::groupBoxesLookAsTheStyleDrawsThem()
{
    // GIVEN the window as start-up paints it
    const std::unique_ptr<Form1> window = QuilletApp::start(*qApp);
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    const QImage atStartUp = window->grab().toImage();

    // WHEN the style has to load the group boxes' frame by itself
    QPixmapCache::clear();
    const QImage byTheStyle = window->grab().toImage();

    // THEN not one pixel differs
    QCOMPARE(atStartUp, byTheStyle);
}

void TestQuilletApp::startUp()
{
    // WHEN the program starts
    const std::unique_ptr<Form1> window = QuilletApp::start(*qApp);

    // THEN it carries its identity and the simplified-Chinese locale
    QCOMPARE(QCoreApplication::applicationName(), u"Quillet"_s);
    QCOMPARE(QCoreApplication::applicationVersion(), u"1.00"_s);
    QVERIFY(!QCoreApplication::organizationName().isEmpty());
    QCOMPARE(QLocale().name(), u"zh_CN"_s);

    // AND the window is shown centred on its screen, with the focus on Command1
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    QCOMPARE(window->windowTitle(), u"Quillet"_s);
    const QRect screen = window->screen()->availableGeometry();
    QVERIFY(qAbs(window->geometry().center().x() - screen.center().x()) <= 1);
    QVERIFY(qAbs(window->geometry().center().y() - screen.center().y()) <= 1);
    QCOMPARE(QApplication::focusWidget()->objectName(), u"Command1"_s);

    // AND no gateway exists before a button is pressed
    QCOMPARE(window->console().gateway(), nullptr);

    // AND a notice's one button reads as in the simplified-Chinese locale
    ModalCloser closer;
    window->showNotice(u"注册成功！"_s);
    QCOMPARE(closer.seen.size(), 1);
    QCOMPARE(closer.seen.front().title, u"Brindlet"_s);
    QCOMPARE(closer.seen.front().buttons, QStringList { u"确定"_s });
}

QTEST_MAIN(TestQuilletApp)
#include "tst_quilletapp.moc"
