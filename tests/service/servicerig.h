#pragma once

// A quillet-gatewayd process for one test: its own store in a temporary folder, short
// bounds from its own config file, an ephemeral port on 127.0.0.1, and tokens issued
// through the program itself. It is stopped (or killed) when the rig goes away.

#include <QByteArray>
#include <QHash>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

class ServiceRig {
public:
    struct Answer {
        int status = 0;
        QByteArray headers;
        QByteArray body;
        bool closed = false;
    };

    ServiceRig();
    ~ServiceRig();

    // Writes these settings into the config file; call before start().
    void set(const QString &key, const QString &value) { m_settings.insert(key, value); }
    // The store the service and run() work on (a file or a URL); call before start().
    // Unset: an SQLite file in the rig's own folder (storePath()).
    void setStore(const QString &store) { m_store = store; }
    QString store() const { return m_store.isEmpty() ? storePath() : m_store; }
    // Starts the service; false (with the reason in `why`) when it did not come up.
    bool start(QString &why, const QString &store = {});
    // SIGTERM, then waits for the exit; the exit code, or -1 when it did not end in time.
    int terminate();
    void kill();
    bool running() const;
    qint64 pid() const;

    quint16 port() const { return m_port; }
    QString url() const;
    QString storePath() const;
    QString dir() const { return m_dir.path(); }
    QByteArray log() const;

    // Runs quillet-gatewayd with these arguments on the rig's store and config.
    int run(const QStringList &arguments, QByteArray *out = nullptr, QByteArray *err = nullptr);
    // Issues a token; empty on failure.
    QString issue(const QString &role, const QString &name);

    // One request on a fresh connection, `Connection: close` unless `extra` says otherwise,
    // with an Idempotency-Key of its own unless `extra` has one or has "X-No-Key: 1".
    Answer post(const QString &path, const QByteArray &body, const QString &token,
                const QByteArray &extraHeaders = {});
    // Sends raw bytes and reads until the server closes or `waitMs` passes.
    Answer raw(const QByteArray &bytes, int waitMs);

    static QString program();

private:
    bool writeConfig();

    QTemporaryDir m_dir;
    QHash<QString, QString> m_settings;
    QString m_store;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
    QByteArray m_log;
};
