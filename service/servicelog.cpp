#include "service/servicelog.h"

#include "service/servicetexts.h"

#include <QDateTime>
#include <QFile>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Lines wait at most this long for the file, or until this much waits.
constexpr int FlushMs = 1000;
constexpr qsizetype FlushBytes = qsizetype(64) * 1024;

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

int openAppending(const QString &path, QString &why)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0)
        why = systemError(errno);
    return fd;
}

} // namespace

std::optional<ServiceLog::Target> ServiceLog::parseTarget(const QString &text)
{
    if (text == ServiceTexts::RequestLogOff)
        return Target { Target::Kind::Off, {} };
    if (text == ServiceTexts::RequestLogStandardError)
        return Target { Target::Kind::StandardError, {} };
    if (text.startsWith(u'/') && !text.endsWith(u'/') && !text.contains(QChar(0)))
        return Target { Target::Kind::File, text };
    return std::nullopt;
}

ServiceLog::ServiceLog(std::function<void(const QString &)> journal, QObject *parent)
    : QObject(parent)
    , m_journal(std::move(journal))
    , m_flushTimer(new QTimer(this))
    , m_summaryTimer(new QTimer(this))
{
    m_flushTimer->setInterval(FlushMs);
    connect(m_flushTimer, &QTimer::timeout, this, &ServiceLog::tick);
    connect(m_summaryTimer, &QTimer::timeout, this, &ServiceLog::summarize);
    m_summarySince.start();
}

ServiceLog::~ServiceLog()
{
    flush();
    if (m_fd >= 0)
        ::close(m_fd);
}

Status ServiceLog::setTarget(const Target &target)
{
    int fd = -1;
    if (target.kind == Target::Kind::File) {
        QString why;
        fd = openAppending(target.path, why);
        if (fd < 0)
            return Status::failure(Status::CreationFailed,
                                   ServiceTexts::cannotOpenRequestLog(target.path, why));
    }
    flush();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
    m_writeFailing = false;
    m_reopenFailing = false;
    m_target = target;
    if (m_fd >= 0)
        m_flushTimer->start();
    else
        m_flushTimer->stop();
    return Status::ok();
}

void ServiceLog::setSummaryInterval(int seconds)
{
    if (seconds <= 0) {
        m_summaryTimer->stop();
        return;
    }
    if (m_summaryTimer->interval() != seconds * 1000 || !m_summaryTimer->isActive())
        m_summaryTimer->start(seconds * 1000);
}

void ServiceLog::setFlushInterval(int ms)
{
    m_flushTimer->setInterval(ms);
}

void ServiceLog::event(const QString &line)
{
    writeJournal(line);
}

void ServiceLog::answered(const Answered &answer)
{
    if (answer.connectionRefused) {
        ++m_summary.connectionsRefused;
    } else {
        ++m_summary.requests;
        ++m_summary.byClass[qBound(0, answer.status / 100, 5)];
    }
    if (answer.authFailed)
        ++m_summary.authFailures;
    if (answer.storeFailed)
        ++m_summary.storeErrors;
    m_summary.slowestMs = qMax(m_summary.slowestMs, answer.ms);

    const bool always = answer.kind != Answered::Kind::Served;
    if (!always && m_target.kind == Target::Kind::Off)
        return;
    QString line = u"%1 %2 %3 %4 %5ms"_s.arg(
        QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs), answer.peer.toString(),
        answer.operation, QString::number(answer.status), QString::number(answer.ms, 'f', 2));
    if (!answer.detail.isEmpty())
        line += u' ' + answer.detail;
    if (always || m_target.kind == Target::Kind::StandardError)
        writeJournal(line);
    if (m_target.kind == Target::Kind::File) {
        m_pending += line.toUtf8() + '\n';
        if (m_pending.size() >= FlushBytes)
            flush();
    }
}

void ServiceLog::flush()
{
    if (m_fd < 0 || m_pending.isEmpty())
        return;
    qsizetype written = 0;
    while (written < m_pending.size()) {
        const ssize_t n
            = ::write(m_fd, m_pending.constData() + written, size_t(m_pending.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A full disk loses these lines, not the service; the journal hears of it once
            // until the file takes lines again.
            if (!m_writeFailing)
                writeJournal(
                    ServiceTexts::cannotWriteRequestLog(m_target.path, systemError(errno)));
            m_writeFailing = true;
            m_pending.clear();
            return;
        }
        written += n;
    }
    m_writeFailing = false;
    m_pending.clear();
}

void ServiceLog::tick()
{
    reopenIfMoved();
    flush();
}

// logrotate moves the file aside (or removes it): the lines waiting, and those after
// them, go to a new one at the path; none is lost, since what was written out before went
// to the moved file.
void ServiceLog::reopenIfMoved()
{
    if (m_fd < 0)
        return;
    struct stat held { };
    struct stat named { };
    const bool same = ::fstat(m_fd, &held) == 0
        && ::stat(QFile::encodeName(m_target.path).constData(), &named) == 0
        && held.st_dev == named.st_dev && held.st_ino == named.st_ino;
    if (same)
        return;
    QString why;
    const int fd = openAppending(m_target.path, why);
    if (fd < 0) {
        // The lines go on into the moved file meanwhile.
        if (!m_reopenFailing)
            writeJournal(ServiceTexts::cannotOpenRequestLog(m_target.path, why));
        m_reopenFailing = true;
        return;
    }
    ::close(m_fd);
    m_fd = fd;
    m_reopenFailing = false;
}

void ServiceLog::summarize()
{
    const Summary summary = std::exchange(m_summary, Summary {});
    const double seconds = double(m_summarySince.restart()) / 1000.0;
    if (summary.requests == 0 && summary.connectionsRefused == 0)
        return;
    writeJournal(ServiceTexts::summary(
        qRound(seconds), summary.requests, summary.byClass[2], summary.byClass[4],
        summary.byClass[5], seconds > 0 ? double(summary.requests) / seconds : 0, summary.slowestMs,
        summary.connectionsRefused, summary.authFailures, summary.storeErrors));
}

void ServiceLog::writeJournal(const QString &line)
{
    if (m_journal) {
        m_journal(line);
        return;
    }
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
}
