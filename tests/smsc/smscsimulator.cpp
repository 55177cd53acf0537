#include "tests/smsc/smscsimulator.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

using namespace Qt::StringLiterals;

namespace {

constexpr int StartMs = 10000;
constexpr int CommandMs = 10000;

bool matches(const QString &line, const QString &prefix)
{
    return line.startsWith(prefix)
        && (line.size() == prefix.size() || line.at(prefix.size()) == u' ');
}

} // namespace

SmscSimulator::SmscSimulator() = default;

SmscSimulator::~SmscSimulator()
{
    stop();
}

template<typename Done> bool SmscSimulator::spin(Done done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired() || !m_process || m_process->state() == QProcess::NotRunning)
            return done();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents,
                                        int(qMin<qint64>(deadline.remainingTime(), 50)));
    }
    return true;
}

bool SmscSimulator::start(const QStringList &arguments)
{
    stop();
    m_process = std::make_unique<QProcess>();
    QObject::connect(m_process.get(), &QProcess::readyReadStandardOutput, m_process.get(),
                     [this] { readLines(); });
    QObject::connect(m_process.get(), &QProcess::readyReadStandardError, m_process.get(),
                     [this] { m_errors += m_process->readAllStandardError(); });
    m_process->start(QStringLiteral(QUILLET_SMSC_SIM),
                     arguments + QStringList { u"--until-eof"_s });
    if (!m_process->waitForStarted(StartMs))
        return false;
    return spin([this] { return m_port != 0; }, StartMs);
}

void SmscSimulator::readLines()
{
    m_partial += m_process->readAllStandardOutput();
    for (qsizetype end = m_partial.indexOf('\n'); end >= 0; end = m_partial.indexOf('\n')) {
        const QString line = QString::fromUtf8(m_partial.left(end));
        m_partial.remove(0, end + 1);
        if (matches(line, u"listening"_s))
            m_port = quint16(line.section(u' ', 1, 1).toUInt());
        else if (matches(line, u"ok"_s) || matches(line, u"error"_s))
            m_answers.append(line);
        else {
            m_events.append(line);
            if (m_heard)
                m_heard(line);
        }
    }
}

bool SmscSimulator::command(const QString &line)
{
    if (!m_process || m_process->state() != QProcess::Running)
        return false;
    m_answers.clear();
    m_process->write(line.toUtf8() + '\n');
    if (!spin([this] { return !m_answers.isEmpty(); }, CommandMs))
        return false;
    return m_answers.first().startsWith(u"ok "_s);
}

QStringList SmscSimulator::waitFor(const QString &prefix, int count, int timeoutMs)
{
    spin([&] { return events(prefix).size() >= count; }, timeoutMs);
    return events(prefix);
}

QStringList SmscSimulator::events(const QString &prefix) const
{
    QStringList found;
    for (const QString &line : m_events) {
        if (matches(line, prefix))
            found.append(line);
    }
    return found;
}

void SmscSimulator::stop()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->closeWriteChannel();
        if (!m_process->waitForFinished(3000)) {
            m_process->kill();
            m_process->waitForFinished(3000);
        }
    }
    m_process->disconnect();
    m_errors += m_process->readAllStandardError();
    m_process.reset();
    m_port = 0;
    m_partial.clear();
}

QByteArray SmscSimulator::errors() const
{
    return m_errors;
}
