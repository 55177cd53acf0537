// quillet-gatewayd as a daemon: SIGHUP reloads what may change while it runs (limits,
// the request log, the links, TLS) and says so, refuses a config it cannot use as a
// whole, names what waits for a restart; the journal keeps refusals and a summary, the
// per-request lines go where the setting says. One service with a link to the SMSC
// simulator for the suite, its steps in order; nothing here depends on the store, so
// SQLite only.

#include "tests/service/servicerig.h"
#include "tests/smsc/smscsimulator.h"

#include <QFile>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

QString linkSection(quint16 port, const QString &password, const QString &window)
{
    return u"[smsc.main]\nhost=127.0.0.1\nport=%1\nsystem_id=quillet\npassword_file=%2\n"
           u"window=%3\n"_s.arg(port)
               .arg(password, window);
}

} // namespace

class TestReload : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<SmscSimulator> m_smsc;
    std::unique_ptr<ServiceRig> m_rig;
    QString m_operator;
    QString m_password;
    // Requests made of the service, to add the summaries up against.
    int m_requests = 0;
    int m_authFailures = 0;

    int listAccounts()
    {
        ++m_requests;
        return m_rig->post(u"/v1/operator/accounts"_s, "{}", m_operator).status;
    }

    int badToken()
    {
        ++m_requests;
        ++m_authFailures;
        return m_rig->post(u"/v1/operator/accounts"_s, "{}", u"qgt_nobody"_s).status;
    }

    // The SHA-256 digest of the certificate a TLS connection is served; empty on none.
    QByteArray servedCertificate()
    {
        QSslSocket socket;
        socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        socket.connectToHostEncrypted(u"127.0.0.1"_s, m_rig->port());
        if (!socket.waitForEncrypted(10'000))
            return {};
        return socket.peerCertificate().digest(QCryptographicHash::Sha256);
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_smsc = std::make_unique<SmscSimulator>();
        QVERIFY(m_smsc->start());
        m_rig = std::make_unique<ServiceRig>();
        m_password = m_rig->dir() + u"/smsc.password"_s;
        QFile secret(m_password);
        QVERIFY(secret.open(QIODevice::WriteOnly) && secret.write("secret1\n") > 0
                && secret.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        secret.close();
        m_rig->appendConfig(linkSection(m_smsc->port(), m_password, u"10"_s));
        // The service's own default: no line per request.
        m_rig->unset(u"request_log"_s);
        m_rig->set(u"summary_interval_s"_s, u"1"_s);
        m_rig->set(u"auth_failure_limit"_s, u"10"_s);
        m_operator = m_rig->issue(u"operator"_s, u"ops"_s);
        QString why;
        QVERIFY2(m_rig->start(why), qPrintable(why));
        QVERIFY(!m_smsc->waitFor(u"bind transceiver quillet ok"_s, 1).isEmpty());
    }

    void cleanupTestCase()
    {
        if (m_rig)
            QCOMPARE(m_rig->terminate(), 0);
    }

    // GIVEN ten failed authentications a minute allowed WHEN the file allows two and the
    // service is told THEN the third failure is refused, the service still running.
    void limitsTakeEffect()
    {
        QCOMPARE(badToken(), 401);
        QCOMPARE(badToken(), 401);
        m_rig->set(u"auth_failure_limit"_s, u"2"_s);
        const QByteArray said = m_rig->reload();
        QVERIFY2(said.contains("quillet-gatewayd: reloaded: limits, request log off\n"),
                 said.constData());
        QCOMPARE(badToken(), 429);
        QCOMPARE(listAccounts(), 200);
    }

    // A config that cannot be used is refused as a whole: nothing of it is taken, not
    // even the limit beside the fault, and the journal says why.
    void refusedReloadChangesNothing_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("refusal");
        QTest::newRow("a mistyped key")
            << u"auth-failure-limit"_s << u"1000"_s
            << u"%1/gatewayd.conf: unknown setting auth-failure-limit at the top of the file; "
               u"did you mean auth_failure_limit?"_s;
        QTest::newRow("a limit of none")
            << u"max_connections"_s << u"0"_s << u"max_connections takes 1 to 1000000"_s;
        QTest::newRow("a request log that cannot be opened")
            << u"request_log"_s << u"/nonexistent/requests.log"_s
            << u"cannot open the request log /nonexistent/requests.log: No such file or "
               u"directory"_s;
    }
    void refusedReloadChangesNothing()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QString, refusal);
        refusal.replace(u"%1"_s, m_rig->dir());
        m_rig->set(u"auth_failure_limit"_s, u"1000"_s);
        m_rig->set(key, value);
        const QByteArray said = m_rig->reload();
        m_rig->unset(key);
        m_rig->set(u"auth_failure_limit"_s, u"2"_s);
        QVERIFY2(said.contains(
                     QByteArray("quillet-gatewayd: reload refused, the settings before it stay: "
                                + refusal.toUtf8())),
                 said.constData());
        QVERIFY(!said.contains("reloaded"));
        QCOMPARE(badToken(), 429);
    }

    // What cannot change in a running process is named and left for the next start; the
    // rest of the reload is taken.
    void fixedSettingsWaitForRestart_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value"); // empty: every link's section left out
        QTest::addColumn<QByteArray>("named");
        QTest::newRow("workers") << u"workers"_s << u"2"_s
                                 << QByteArray("changed, taken at the next start: workers\n");
        QTest::newRow("the scrapers' port")
            << u"metrics_port"_s << u"0"_s
            << QByteArray("changed, taken at the next start: metrics_port\n");
        QTest::newRow("no link left") << QString() << QString()
                                      << QByteArray("changed, taken at the next start: "
                                                    "smsc.NAME\n");
    }
    void fixedSettingsWaitForRestart()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QByteArray, named);
        if (key.isEmpty())
            m_rig->replaceAppended(QString());
        else
            m_rig->set(key, value);
        const QByteArray said = m_rig->reload();
        if (key.isEmpty())
            m_rig->replaceAppended(linkSection(m_smsc->port(), m_password, u"10"_s));
        else
            m_rig->unset(key);
        QVERIFY2(said.contains("quillet-gatewayd: reloaded: limits"), said.constData());
        QVERIFY2(said.contains(named), said.constData());
        QCOMPARE(listAccounts(), 200);
    }

    // The link binds again only when its section (or its password) changed.
    void linksStartAgainWhenChanged()
    {
        m_smsc->clear();
        m_rig->set(u"max_connections"_s, u"100"_s);
        QByteArray said = m_rig->reload();
        QVERIFY2(said.contains("reloaded: limits, request log off\n"), said.constData());
        QCOMPARE(m_smsc->events(u"unbind"_s), QStringList());

        m_rig->replaceAppended(linkSection(m_smsc->port(), m_password, u"5"_s));
        said = m_rig->reload();
        QVERIFY2(said.contains("reloaded: limits, request log off, links started again\n"),
                 said.constData());
        QCOMPARE(m_smsc->waitFor(u"unbind"_s, 1).size(), 1);
        QCOMPARE(m_smsc->waitFor(u"bind transceiver quillet ok"_s, 1).size(), 1);
    }

    // Off by default; a file of its own once the setting names one, followed to a new file
    // once logrotate moves it. Refusals go to the journal whatever the setting.
    void requestLogFollowsTheSetting()
    {
        QCOMPARE(listAccounts(), 200);
        const QString file = m_rig->dir() + u"/requests.log"_s;
        m_rig->set(u"request_log"_s, file);
        const QByteArray said = m_rig->reload();
        QVERIFY2(said.contains(QByteArray("request log " + file.toUtf8())), said.constData());
        QCOMPARE(listAccounts(), 200);
        const auto read = [](const QString &name) {
            QFile log(name);
            return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
        };
        QTRY_COMPARE_WITH_TIMEOUT(read(file).count(" accounts 200 "), 1, 5000);

        QVERIFY(QFile::rename(file, file + u".1"_s));
        QCOMPARE(listAccounts(), 200);
        QCOMPARE(badToken(), 429);
        QTRY_COMPARE_WITH_TIMEOUT(read(file).count(" accounts 200 "), 1, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(read(file).count(" accounts 429 "), 1, 5000);
        QCOMPARE(read(file + u".1"_s).count(" accounts 200 "), 1);

        const QByteArray journal = m_rig->log();
        QCOMPARE(journal.count(" accounts 200 "), 0);
        QVERIFY(journal.contains(" accounts 401 "));
        QVERIFY(journal.contains(" accounts 429 "));
    }

    // Every request is counted in one summary line, and only intervals with something in
    // them have one.
    void summariesAddUp()
    {
        QTest::qWait(1500);
        static const QRegularExpression summary(
            u"^quillet-gatewayd: in \\d+ s: (\\d+) requests \\((\\d+) 2xx, (\\d+) 4xx, 0 5xx\\), "
            u"\\d+\\.\\d a second, slowest \\d+\\.\\d\\d ms; 0 connections refused, (\\d+) failed "
            u"authentications, 0 store errors$"_s,
            QRegularExpression::MultilineOption);
        int requests = 0;
        int byClass = 0;
        int authFailures = 0;
        int lines = 0;
        for (auto it = summary.globalMatch(QString::fromUtf8(m_rig->log())); it.hasNext();) {
            const QRegularExpressionMatch match = it.next();
            requests += match.captured(1).toInt();
            byClass += match.captured(2).toInt() + match.captured(3).toInt();
            authFailures += match.captured(4).toInt();
            ++lines;
        }
        QCOMPARE(requests, m_requests);
        QCOMPARE(byClass, m_requests);
        QCOMPARE(authFailures, m_authFailures);
        QVERIFY(lines >= 1);
        QVERIFY(m_rig->log().count("quillet-gatewayd: in ") == lines);
        // The last second and a half had nothing in it, and no line says so.
        QVERIFY(!m_rig->log().contains(": 0 requests (0 2xx, 0 4xx, 0 5xx)"));
    }

    // TLS taken on by a reload, a renewed certificate served to the next connections, and
    // a key others may read refused, the certificate before it served on.
    void certificateRenewed()
    {
        QString why;
        QVERIFY2(m_rig->useTls(why), qPrintable(why));
        QByteArray said = m_rig->reload();
        QVERIFY2(said.contains(QByteArray("reloaded: limits, request log " + m_rig->dir().toUtf8()
                                          + "/requests.log, TLS certificate and key\n")),
                 said.constData());
        const QByteArray first = servedCertificate();
        QVERIFY(!first.isEmpty());

        QVERIFY2(m_rig->useTls(why), qPrintable(why));
        said = m_rig->reload();
        QVERIFY2(said.contains("TLS certificate and key\n"), said.constData());
        const QByteArray renewed = servedCertificate();
        QVERIFY(!renewed.isEmpty());
        QVERIFY(renewed != first);

        // A third pair, whose key others may read: none of it is taken.
        QVERIFY2(m_rig->useTls(why), qPrintable(why));
        const QString key = m_rig->dir() + u"/key.pem"_s;
        QVERIFY(QFile::setPermissions(
            key, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther));
        said = m_rig->reload();
        QVERIFY2(said.contains(QByteArray(
                     "reload refused, the settings before it stay: cannot use " + key.toUtf8()
                     + ": a private key others may read or change is refused (mode 0604)")),
                 said.constData());
        QCOMPARE(servedCertificate(), renewed);
        QVERIFY(m_rig->running());
    }
};

QTEST_GUILESS_MAIN(TestReload)
#include "tst_reload.moc"
