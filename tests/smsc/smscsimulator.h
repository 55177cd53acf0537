#pragma once

// quillet-smsc-sim for one test: started on an ephemeral port of 127.0.0.1, its event
// lines collected as they come, its commands answered before command() returns. Every
// wait runs the caller's event loop (so a link under test in the same thread goes on);
// nothing here starts a thread. The process ends with the object.
//
//   test ── command("throttle 2") ──> stdin ──> simulator ──> "ok throttle"
//   test <── waitFor("submit", 3) <── stdout <── "submit 1 ..." lines

#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class SmscSimulator {
public:
    SmscSimulator();
    ~SmscSimulator();
    SmscSimulator(const SmscSimulator &) = delete;
    SmscSimulator &operator=(const SmscSimulator &) = delete;

    // Runs the simulator with these arguments (and --until-eof) and waits up to 10 s for
    // its `listening` line; false when it did not come up.
    bool start(const QStringList &arguments = {});
    quint16 port() const { return m_port; }

    // Sends one command line and waits up to 10 s for its answer: true on `ok WORD`,
    // false on `error WORD ...` or no answer.
    bool command(const QString &line);

    // Waits until at least `count` event lines whose first words are `prefix` ("submit"
    // matches "submit 1 ..." but not "submit-refused ...") were seen since start() or
    // clear(); returns every such line, fewer when the time ran out.
    QStringList waitFor(const QString &prefix, int count, int timeoutMs = 10000);
    QStringList events(const QString &prefix) const;
    // Forgets the events seen so far.
    void clear() { m_events.clear(); }
    // Told each event line the moment it is read (a bench's clock).
    void onEvent(std::function<void(const QString &line)> heard) { m_heard = std::move(heard); }
    // Ends the simulator (its stdin closed, then killed if it lingers).
    void stop();
    // What it wrote to stderr, for a failing test's message.
    QByteArray errors() const;

private:
    void readLines();
    // Runs the event loop until `done` holds or `timeoutMs` passed; whether it holds.
    template<typename Done> bool spin(Done done, int timeoutMs);

    std::unique_ptr<QProcess> m_process;
    QByteArray m_partial;
    QStringList m_events;
    QStringList m_answers; // ok / error lines, oldest first
    QByteArray m_errors;
    quint16 m_port = 0;
    std::function<void(const QString &)> m_heard;
};
