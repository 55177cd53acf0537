#pragma once

// An object that lives on a thread of its own (the links' runner, the callbacks'): made
// here, moved there and opened there; asked to act from any thread; stopped there, after
// which the thread ends and deletes it.
//
//   start(runner, open) ── runner moved to the thread ── open(runner) there, waited for
//   post(work) ──────────── work(runner) there, later; nothing once stopped
//   stop() ──────────────── runner.stop() there, waited for ── thread ends, runner deleted

#include "gateway/status.h"

#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <atomic>
#include <functional>

template<typename Runner> class OwnThread {
public:
    explicit OwnThread(const QString &name) { m_thread.setObjectName(name); }
    ~OwnThread() { stop(); }
    OwnThread(const OwnThread &) = delete;
    OwnThread &operator=(const OwnThread &) = delete;

    // Takes `runner` (a QObject without a parent); a failure of `open` stops it again.
    Status start(Runner *runner, const std::function<Status(Runner &)> &open)
    {
        runner->moveToThread(&m_thread);
        QObject::connect(&m_thread, &QThread::finished, runner, &QObject::deleteLater);
        m_runner = runner;
        m_thread.start();
        Status opened = Status::ok();
        QMetaObject::invokeMethod(
            runner, [&] { opened = open(*runner); }, Qt::BlockingQueuedConnection);
        if (opened.failed())
            stop();
        return opened;
    }

    void stop()
    {
        if (!m_thread.isRunning())
            return;
        Runner *runner = m_runner.exchange(nullptr);
        QMetaObject::invokeMethod(
            runner, [runner] { runner->stop(); }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }

    template<typename Work> void post(Work work)
    {
        if (Runner *runner = m_runner)
            QMetaObject::invokeMethod(
                runner, [runner, work] { work(*runner); }, Qt::QueuedConnection);
    }

private:
    QThread m_thread;
    // Lives on m_thread and is deleted when it finishes; read by post() on any thread.
    std::atomic<Runner *> m_runner { nullptr };
};
