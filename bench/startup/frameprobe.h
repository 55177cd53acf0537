#pragma once

// What every start-up probe reports, at the moment its window's first frame is on the
// screen:
//
//   window shown ── first paint of the top-level window ── painting and the flush to
//                   the screen end ── "frame <peak resident KiB> <CPU microseconds>"
//                   on standard output ── the event loop ends
//
// The peak is VmHWM from /proc/self/status and the CPU time is that of every thread of
// the process so far, both read there and then, so tearing down the program afterwards
// is not counted.

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QWidget>

#include <cstdio>

#include <sys/resource.h>
#include <unistd.h>

namespace FrameProbe {

// The process's peak resident set in KiB, or -1 when /proc does not say.
inline long peakResidentKilobytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    // /proc files report no size, so they are read whole rather than line by line.
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmHWM:")) {
            bool ok = false;
            const long kilobytes = line.mid(6).trimmed().chopped(2).trimmed().toLong(&ok);
            return ok ? kilobytes : -1;
        }
    }
    return -1;
}

// User and system time of all the process's threads so far, in microseconds.
inline long long cpuMicroseconds()
{
    rusage usage {};
    if (::getrusage(RUSAGE_SELF, &usage) != 0)
        return -1;
    const auto micros = [](const timeval &t) { return t.tv_sec * 1'000'000LL + t.tv_usec; };
    return micros(usage.ru_utime) + micros(usage.ru_stime);
}

// Watches the top-level window for its first paint. The window and all its children
// are painted and flushed in one pass; the report is queued behind that pass, so it
// runs once the frame is complete.
class FirstFrame final : public QObject {
public:
    explicit FirstFrame(QWidget &window)
        : QObject(&window)
    {
        window.installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !m_painted) {
            m_painted = true;
            watched->removeEventFilter(this);
            QMetaObject::invokeMethod(this, &FirstFrame::report, Qt::QueuedConnection);
        }
        return false;
    }

private:
    void report()
    {
        char line[96];
        const int length = std::snprintf(line, sizeof line, "frame %ld %lld\n",
                                         peakResidentKilobytes(), cpuMicroseconds());
        [[maybe_unused]] const auto written = ::write(STDOUT_FILENO, line, std::size_t(length));
        QCoreApplication::quit();
    }

    bool m_painted = false;
};

} // namespace FrameProbe
