#pragma once

// Where quillet-gatewayd's lines go. Under systemd standard error is the journal, which
// drops what comes faster than its rate limit (by default 10,000 lines in 30 s), so a
// line per request goes there only when asked for:
//
//   events: listening, stopping, reload, link states ──────────────┐
//   requests refused (authentication, rights, limits, connections) ├─ the journal, always
//   requests failed (the store's failure behind a 503, any 5xx) ───┘
//   every request answered ── the request log: off (the default), standard error, or a
//                             file of its own, appended to, written out every second and
//                             opened again once logrotate has moved it
//   every summaryInterval ─── one line of what was answered since the last, to the
//                             journal; none for an interval with nothing in it
//
// Lives on the event loop's thread, as the requests' answers do.

#include "gateway/status.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class QTimer;

class ServiceLog : public QObject {
    Q_OBJECT

public:
    struct Target {
        enum class Kind { Off, StandardError, File };
        Kind kind = Kind::Off;
        // For a file: its absolute path.
        QString path;
        bool operator==(const Target &) const = default;
    };
    // `off`, `stderr` or an absolute path; none for any other text.
    static std::optional<Target> parseTarget(const QString &text);

    // One request answered, or one connection the guard refused or cut.
    struct Answered {
        enum class Kind { Served, Refused, Failed };
        QHostAddress peer;
        QString operation;
        int status = 0;
        double ms = 0;
        // For the log only (where the store is, say).
        QString detail;
        Kind kind = Kind::Served;
        bool connectionRefused = false;
        bool authFailed = false;
        bool storeFailed = false;
    };

    // `journal` receives the lines that always go to the journal; standard error when empty.
    explicit ServiceLog(std::function<void(const QString &)> journal = {},
                        QObject *parent = nullptr);
    ~ServiceLog() override;

    // Opens the file first: when it cannot be opened, the target stays as it was.
    Status setTarget(const Target &target);
    const Target &target() const { return m_target; }
    // 0: no summary.
    void setSummaryInterval(int seconds);
    // How often the lines waiting are written out and the file's path looked at: every
    // second unless a test says otherwise.
    void setFlushInterval(int ms);

    void event(const QString &line);
    void answered(const Answered &answer);
    // Writes out what waits for the request log's file.
    void flush();

private:
    struct Summary {
        qint64 requests = 0;
        qint64 byClass[6] = {}; // by the status's first digit
        qint64 connectionsRefused = 0;
        qint64 authFailures = 0;
        qint64 storeErrors = 0;
        double slowestMs = 0;
    };
    void summarize();
    void tick();
    void reopenIfMoved();
    void writeJournal(const QString &line);

    std::function<void(const QString &)> m_journal;
    Target m_target;
    int m_fd = -1;
    QByteArray m_pending;
    // The file cannot be written, or opened again at its path, now: the journal has
    // heard of it once.
    bool m_writeFailing = false;
    bool m_reopenFailing = false;
    QTimer *m_flushTimer;
    QTimer *m_summaryTimer;
    QElapsedTimer m_summarySince;
    Summary m_summary;
};
