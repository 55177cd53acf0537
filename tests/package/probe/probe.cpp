#include "probe.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextStream>
#include <QWidget>

using namespace Qt::StringLiterals;

namespace {

// What the probe types before it presses the buttons.
const QString AccountNo = u"ABC-DEF-GHI-12345"_s;
const QString AccountPassword = u"probe-password"_s;
// Long enough for a slow password hash on a busy machine, short of the test's own bound.
constexpr int DeadlineMs = 90'000;

// One report line per value; a line break or backslash in a value is escaped so that a
// value can never forge a line.
QString reportLine(const QString &key, QString value)
{
    value.replace(u'\\', u"\\\\"_s).replace(u'\n', u"\\n"_s).replace(u'\r', u"\\r"_s);
    return key + u'=' + value;
}

// The files of gateway components that this process has mapped.
QStringList mappedGateways()
{
    QFile maps(u"/proc/self/maps"_s);
    if (!maps.open(QIODevice::ReadOnly | QIODevice::Text))
        return { u"(cannot read /proc/self/maps)"_s };
    QStringList paths;
    const QStringList lines = QString::fromUtf8(maps.readAll()).split(u'\n');
    for (const QString &line : lines) {
        const qsizetype slash = line.indexOf(u'/');
        if (slash < 0 || !line.contains(u"/quillet-gateways/"_s))
            continue;
        const QString path = line.mid(slash);
        if (!paths.contains(path))
            paths.append(path);
    }
    return paths;
}

// A window that painted its controls shows more than one colour; an unpainted one is
// blank (or has no pixels at all).
bool hasTwoColours(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixel(x, y) != image.pixel(0, 0))
                return true;
        }
    }
    return false;
}

} // namespace

Probe::Probe()
{
    QCoreApplication::instance()->installEventFilter(this);
    m_noticeAnswerer.setInterval(20);
    connect(&m_noticeAnswerer, &QTimer::timeout, this, &Probe::answerNotice);
    m_deadline.setSingleShot(true);
    m_deadline.setInterval(DeadlineMs);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        m_report.append(reportLine(u"deadline"_s, u"passed"_s));
        finish(3);
    });
    m_deadline.start();
}

bool Probe::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::Paint || m_painted || !watched->isWidgetType())
        return false;
    QWidget *window = static_cast<QWidget *>(watched)->window();
    if (window->objectName() != u"Form1"_s)
        return false;
    // The frame is flushed once this round of painting is over.
    m_painted = true;
    QTimer::singleShot(0, window, [this, window] { afterFirstFrame(window); });
    return false;
}

void Probe::afterFirstFrame(QWidget *window)
{
    const QImage frame = window->grab().toImage();
    m_report.append(reportLine(u"frame"_s, hasTwoColours(frame) ? u"painted"_s : u"blank"_s));

    auto *account = window->findChild<QLineEdit *>(u"Text1"_s);
    auto *password = window->findChild<QLineEdit *>(u"Text2"_s);
    auto *registerButton = window->findChild<QAbstractButton *>(u"Command1"_s);
    auto *balanceButton = window->findChild<QAbstractButton *>(u"Command3"_s);
    auto *paneHolder = window->findChild<QWidget *>(u"RichTextBox1"_s);
    auto *pane = qobject_cast<QPlainTextEdit *>(paneHolder);
    if (!pane && paneHolder)
        pane = paneHolder->findChild<QPlainTextEdit *>();
    if (!account || !password || !registerButton || !balanceButton || !pane) {
        m_report.append(reportLine(u"controls"_s, u"missing"_s));
        finish(2);
        return;
    }

    account->setText(AccountNo);
    password->setText(AccountPassword);
    m_noticeAnswerer.start();
    registerButton->click();
    balanceButton->click();
    m_noticeAnswerer.stop();
    answerNotice(); // one that opened after the last tick
    m_report.append(reportLine(u"pane"_s, pane->toPlainText()));
    const QStringList gateways = mappedGateways();
    for (const QString &path : gateways)
        m_report.append(reportLine(u"gateway"_s, path));
    finish(0);
}

void Probe::answerNotice()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal)
        return;
    const QVariant text = modal->property("text");
    m_report.append(reportLine(u"notice"_s, modal->windowTitle() + u'|' + text.toString()));
    modal->close();
}

void Probe::finish(int exitCode)
{
    m_noticeAnswerer.stop();
    m_deadline.stop();
    QFile file(qEnvironmentVariable("QUILLET_PROBE_REPORT"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        QTextStream out(&file);
        out.setEncoding(QStringConverter::Utf8);
        for (const QString &line : std::as_const(m_report))
            out << line << u'\n';
    }
    QCoreApplication::exit(exitCode);
}

QObject *ProbePlugin::create(const QString &key, const QString &parameters)
{
    Q_UNUSED(parameters)
    if (key.compare(u"quilletprobe"_s, Qt::CaseInsensitive) != 0)
        return nullptr;
    return new Probe;
}
