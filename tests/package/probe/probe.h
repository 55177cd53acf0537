#pragma once

// A probe for the installed console, loaded by Qt itself as a generic plugin
// (QT_QPA_GENERIC_PLUGINS=quilletprobe with QT_PLUGIN_PATH naming its folder), so the
// console needs no switch of its own:
//
//   QGuiApplication ── ProbePlugin::create ── Probe (event filter on the application)
//   first Paint of the window "Form1" ── Probe::afterFirstFrame:
//       grab the window ── type an account and a password ── press 注册 and 查询余额
//       (a timer answers each notice) ── read the pane ── read /proc/self/maps
//   ── "key=value" lines into $QUILLET_PROBE_REPORT ── the application quits
//
// The packaging test compares the report with what it expects.

#include <QGenericPlugin>
#include <QStringList>
#include <QTimer>

class QWidget;

class Probe final : public QObject {
    Q_OBJECT

public:
    Probe();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void afterFirstFrame(QWidget *window);
    void answerNotice();
    void finish(int exitCode);

    bool m_painted = false;
    QStringList m_report;
    QTimer m_noticeAnswerer;
    QTimer m_deadline;
};

class ProbePlugin final : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "quilletprobe.json")

public:
    QObject *create(const QString &key, const QString &parameters) override;
};
