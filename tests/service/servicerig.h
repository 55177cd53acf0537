#pragma once

// A quillet-gatewayd process for one test: its own store, short bounds from its own
// config file, an ephemeral port on 127.0.0.1, and tokens issued through the program
// itself. It is stopped (or killed) when the rig goes away.
//
//   QUILLET_TEST_STORE unset ────────> an SQLite file in a temporary folder
//   QUILLET_TEST_STORE=postgresql ───> a fresh database on the test cluster (TestStore),
//        made ready by `quillet-gatewayd init` as the cluster's administrator; the
//        service runs as a login role in the gateway's runtime role, as deployed

#include "tests/gateway/local/teststore.h"

#include <QByteArray>
#include <QHash>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// A build under the sanitizers: AddressSanitizer keeps freed memory in a quarantine
// before reusing it, so a peak reading grows by what a plain build gives back; and
// UBSan's check of a virtual call opens a pipe to probe memory, so a process out of file
// descriptors fails that check (and halts) where a plain build goes on.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool Sanitized = true;
#else
inline constexpr bool Sanitized = false;
#endif

class ServiceRig {
public:
    struct Answer {
        int status = 0;
        QByteArray headers;
        QByteArray body;
        bool closed = false;
    };

    ServiceRig();
    // A second service on the store of `first`, which must outlive this rig.
    explicit ServiceRig(const ServiceRig &first);
    ~ServiceRig();

    // Writes these settings into the config file; call before start() (or reload()).
    void set(const QString &key, const QString &value) { m_settings.insert(key, value); }
    void unset(const QString &key) { m_settings.remove(key); }
    // Writes these lines (sections of their own, say) after the settings; replaces those
    // written before.
    void appendConfig(const QString &lines) { m_appended += lines; }
    void replaceAppended(const QString &lines) { m_appended = lines; }
    // Runs the service with at most this many open file descriptors; call before start().
    void limitDescriptors(int count) { m_descriptorLimit = count; }
    // Makes a certificate for 127.0.0.1 (and its key) in the rig's folder with openssl and
    // has the service speak TLS with it; false when openssl could not make one. Call
    // before start().
    bool useTls(QString &why);
    QString certificateFile() const;
    // Starts the service; false (with the reason in `why`) when it did not come up.
    bool start(QString &why, const QString &store = {});
    // Writes the config file again, sends SIGHUP and waits for the service to say what it
    // made of it; the lines it logged from then on, empty when it said nothing in time.
    QByteArray reload();
    // SIGTERM, then waits for the exit; the exit code, or -1 when it did not end in time.
    int terminate();
    void kill();
    bool running() const;
    qint64 pid() const;

    quint16 port() const { return m_port; }
    QString url() const;
    // The URL the service runs on, and one that looks at the same store as its owner
    // (for StoreProbe); the same file on SQLite.
    QString storePath() const;
    QString ownerUrl() const { return m_ownerUrl; }
    QString dir() const { return m_dir.path(); }
    QByteArray log() const;

    // Runs quillet-gatewayd with these arguments on the rig's store and config.
    int run(const QStringList &arguments, QByteArray *out = nullptr, QByteArray *err = nullptr);
    // `quillet-gatewayd init` on the store as its owner; the exit code.
    int init();
    // Empties every table of the store but the versions and the tokens, as its owner,
    // while the service runs: a suite shares one service and starts each test afresh.
    bool emptyStore();
    // Issues a token (an application's for `account`); empty on failure.
    QString issue(const QString &role, const QString &name, const QString &account = {});

    // One request on a fresh connection, `Connection: close` unless `extra` says otherwise,
    // with an Idempotency-Key of its own unless `extra` has one or has "X-No-Key: 1".
    Answer post(const QString &path, const QByteArray &body, const QString &token,
                const QByteArray &extraHeaders = {});
    // The same with another method; a GET or a DELETE without a body sends none.
    Answer request(const QByteArray &method, const QString &path, const QByteArray &body,
                   const QString &token, const QByteArray &extraHeaders = {});
    // Sends raw bytes and reads until the server closes or `waitMs` passes; to the
    // service's port, or to `port` of 127.0.0.1.
    Answer raw(const QByteArray &bytes, int waitMs, quint16 port = 0);

    static QString program();
    // The peak resident memory of a process in KiB, from /proc; 0 when unknown.
    static qint64 peakKib(qint64 pid);

    // The login role the service runs as on PostgreSQL.
    static inline const QString RuntimeLogin = QStringLiteral("quillet_service");

private:
    bool writeConfig();
    QString logFile() const;
    bool prepareStore();
    int runOn(const QString &store, const QStringList &arguments, QByteArray *out, QByteArray *err);

    QTemporaryDir m_dir;
    std::unique_ptr<TestStore> m_store;
    QString m_ownerUrl;
    QString m_runtimeUrl;
    QHash<QString, QString> m_settings;
    QString m_appended;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
    int m_descriptorLimit = 0;
};
