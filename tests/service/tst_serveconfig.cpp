// What quillet-gatewayd makes of its config file before it starts anything: a key no
// setting has, values read over by the command line, what a reload may not change, and
// the TLS private key's rights. In process: nothing here starts a service.

#include "service/serveconfig.h"
#include "service/tlsfiles.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSslKey>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Every key of the config file's top and of a link's section, each set.
const QString EveryKey = uR"(listen=127.0.0.1
port=8440
store=sqlite:/tmp/x
workers=4
tls_certificate=/tmp/c
tls_key=/tmp/k
metrics_port=9440
metrics_listen=127.0.0.1
max_connections=512
max_connections_per_peer=16
request_timeout_ms=10000
idle_timeout_ms=30000
auth_failure_limit=10
auth_window_ms=60000
signon_failure_limit=5
signon_token_failure_limit=20
hashing_slots=2
group_commit_max=64
group_commit_wait_us=2000
password_hash_cost=interactive
request_log=off
summary_interval_s=60
[smsc.main]
host=smsc.example.net
port=2775
system_id=quillet
password_file=/tmp/p
system_type=
bind=transceiver
tls=off
tls_ca_file=/tmp/ca
source_ton=0
source_npi=0
window=10
rate=100
enquire_link_s=30
response_timeout_s=10
reconnect_min_s=1
reconnect_max_s=60
routes=+8613
enquire_link_ms=100
response_timeout_ms=100
reconnect_min_ms=100
reconnect_max_ms=100
lease_ms=1000
)"_s;

} // namespace

class TestServeConfig : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_certificate;
    QString m_key;

    QString write(const QString &name, const QString &text)
    {
        QFile file(m_dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return {};
        file.write(text.toUtf8());
        return file.fileName();
    }

    ServeConfigRead read(const QString &text, const QHash<QString, QString> &given = {})
    {
        const ConfigFile file(write(u"gatewayd.conf"_s, text));
        return readServeConfig(given, file.settings());
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_certificate = m_dir.filePath(u"cert.pem"_s);
        m_key = m_dir.filePath(u"key.pem"_s);
        QProcess openssl;
        openssl.start(u"openssl"_s,
                      { u"req"_s, u"-x509"_s, u"-newkey"_s, u"ec"_s, u"-pkeyopt"_s,
                        u"ec_paramgen_curve:prime256v1"_s, u"-nodes"_s, u"-days"_s, u"2"_s,
                        u"-subj"_s, u"/CN=127.0.0.1"_s, u"-keyout"_s, m_key, u"-out"_s,
                        m_certificate });
        QVERIFY(openssl.waitForFinished(30'000) && openssl.exitCode() == 0);
    }

    // A mistyped key would otherwise be a setting silently not set.
    void unknownSettingsAreRefused_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("refusal"); // after "FILE: "; empty: none
        QTest::newRow("every key of the top and of a link") << EveryKey << QString();
        QTest::newRow("[General] is the top") << u"[General]\nport=1\n"_s << QString();
        QTest::newRow("a dash for an underscore")
            << u"metrics-port=9100\n"_s
            << u"unknown setting metrics-port at the top of the file; did you mean "
               u"metrics_port?"_s;
        QTest::newRow("a capital") << u"Port=8440\n"_s
                                   << u"unknown setting Port at the top of the file; did you "
                                      u"mean port?"_s;
        QTest::newRow("a word no setting has")
            << u"port=1\nfrobnicate=yes\n"_s
            << u"unknown setting frobnicate at the top of the file"_s;
        QTest::newRow("a link's key at the top")
            << u"system_id=quillet\n"_s << u"unknown setting system_id at the top of the file"_s;
        QTest::newRow("a link's key misspelt") << u"[smsc.main]\nhots=smsc.example.net\n"_s
                                               << u"unknown setting hots in section [smsc.main]"_s;
        QTest::newRow("every key of the SMPP server")
            << u"[smpp_server]\nlisten=127.0.0.1\nport=2775\ntls=off\nmax_binds_per_account=4\n"
               u"window=50\nenquire_link_s=30\nresponse_timeout_s=10\nmax_pdu=4096\n"
               u"failed_bind_delay_ms=1000\n"_s
            << QString();
        QTest::newRow("a link's key in the SMPP server's section")
            << u"[smpp_server]\nhost=x\n"_s << u"unknown setting host in section [smpp_server]"_s;
        QTest::newRow("a setting of the top in a link's section")
            << u"[smsc.main]\nhost=x\nworkers=2\n"_s
            << u"unknown setting workers in section [smsc.main]"_s;
        QTest::newRow("a section that is no link")
            << u"port=1\n[smtp]\nhost=x\n"_s
            << u"unknown section [smtp]; a section is a link, [smsc.NAME], or [smpp_server]"_s;
        QTest::newRow("a link without a name") << u"[smsc.]\nhost=x\n"_s
                                               << u"unknown section [smsc.]; a section is a link, "
                                                  u"[smsc.NAME], or [smpp_server]"_s;
    }
    void unknownSettingsAreRefused()
    {
        QFETCH(QString, text);
        QFETCH(QString, refusal);
        const ConfigFile file(write(u"gatewayd.conf"_s, text));
        QCOMPARE(unknownSetting(file.settings(), u"gatewayd.conf"_s),
                 refusal.isEmpty() ? QString() : u"gatewayd.conf: "_s + refusal);
    }

    // A file rewritten with the same size within one tick of the file system's clock is
    // still read anew: QSettings alone would give the text before (a reload that takes
    // nothing).
    void rewrittenFileIsReadAnew()
    {
        const QString name = write(u"gatewayd.conf"_s, u"port=8441\n"_s);
        const QDateTime written = QFileInfo(name).lastModified();
        const ConfigFile first(name);
        const ServeConfigRead before = readServeConfig({}, first.settings());
        QVERIFY(before.config);
        QCOMPARE(before.config->port, quint16(8441));
        QFile file(write(u"gatewayd.conf"_s, u"port=8442\n"_s));
        QVERIFY(file.open(QIODevice::ReadWrite)
                && file.setFileTime(written, QFileDevice::FileModificationTime));
        file.close();
        const ConfigFile again(name);
        const ServeConfigRead after = readServeConfig({}, again.settings());
        QVERIFY(after.config);
        QCOMPARE(after.config->port, quint16(8442));
    }

    // A value that is not one stops the start, naming where it came from.
    void valuesAreRead_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("given"); // key=value
        QTest::addColumn<QString>("refusal");
        QTest::newRow("a port from the file")
            << u"port=65536\n"_s << QStringList() << u"port takes 0 to 65535"_s;
        QTest::newRow("a port on the command line over a good one")
            << u"port=8440\n"_s << QStringList { u"port=-1"_s } << u"--port takes 0 to 65535"_s;
        QTest::newRow("the command line's good port over a bad one")
            << u"port=http\n"_s << QStringList { u"port=8441"_s } << QString();
        QTest::newRow("a summary of none")
            << u"summary_interval_s=0\n"_s << QStringList() << QString();
        QTest::newRow("a summary each day and a second")
            << u"summary_interval_s=86401\n"_s << QStringList()
            << u"summary_interval_s takes 0 to 86400"_s;
        QTest::newRow("a request log by a relative path")
            << u"request_log=requests.log\n"_s << QStringList()
            << u"request_log takes off, stderr or an absolute file path"_s;
        QTest::newRow("a certificate without its key")
            << u"tls_certificate=/etc/quillet/gw.pem\n"_s << QStringList()
            << u"TLS needs both a certificate and a key"_s;
        QTest::newRow("an SMPP window of none") << u"[smpp_server]\nwindow=0\n"_s << QStringList()
                                                << u"smpp_server/window takes 1 to 10000"_s;
        QTest::newRow("an SMPP PDU bound past the codec's")
            << u"[smpp_server]\nmax_pdu=65536\n"_s << QStringList()
            << u"smpp_server/max_pdu takes 256 to 4096"_s;
        QTest::newRow("SMPP TLS of maybe") << u"[smpp_server]\ntls=maybe\n"_s << QStringList()
                                           << u"smpp_server/tls takes on or off"_s;
        QTest::newRow("an address with a comma")
            << u"listen=127.0.0.1, ::1\n"_s << QStringList() << u"listen takes an IP address"_s;
    }
    void valuesAreRead()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, given);
        QFETCH(QString, refusal);
        QHash<QString, QString> options;
        for (const QString &pair : given)
            options.insert(pair.section(u'=', 0, 0), pair.section(u'=', 1));
        const ServeConfigRead config = read(text, options);
        QCOMPARE(config.error, refusal);
        QCOMPARE(config.config.has_value(), refusal.isEmpty());
    }

    // An empty --metrics-port stands over the file's: no scrapers' port.
    void emptyOptionStandsOverTheFile()
    {
        const ServeConfigRead none
            = read(u"metrics_port=9440\n"_s, { { u"metrics_port"_s, QString() } });
        QVERIFY(none.config);
        QCOMPARE(none.config->metricsPort, std::nullopt);
    }

    // What a reload reads against what the process started with: the settings it may not
    // take are named, for the next restart; a value the command line gave stays.
    void fixedSettingsAreNamed_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QStringList>("given");
        QTest::addColumn<QStringList>("changed");
        QTest::newRow("limits, certificate and request log")
            << u"auth_failure_limit=10\n"_s
            << u"auth_failure_limit=2\nmax_connections=3\nrequest_log=stderr\n"
               u"tls_certificate=/c\ntls_key=/k\n"_s
            << QStringList() << QStringList();
        QTest::newRow("address, port, store and workers")
            << u"port=8440\n"_s
            << u"listen=::1\nport=8441\nstore=sqlite:/tmp/other.sqlite3\nworkers=8\n"_s
            << QStringList() << QStringList { u"listen"_s, u"port"_s, u"store"_s, u"workers"_s };
        QTest::newRow("a store the command line gave")
            << u"store=sqlite:/tmp/one.sqlite3\n"_s << u"store=sqlite:/tmp/other.sqlite3\n"_s
            << QStringList { u"store=sqlite:/tmp/given.sqlite3"_s } << QStringList();
        QTest::newRow("a default written out")
            << QString() << u"port=8440\n"_s << QStringList() << QStringList();
        QTest::newRow("a port the command line gave")
            << u"port=8440\n"_s << u"port=8441\n"_s << QStringList { u"port=0"_s } << QStringList();
        QTest::newRow("the scrapers' port and the pool")
            << QString()
            << u"metrics_port=9440\nhashing_slots=1\ngroup_commit_max=1\n"
               u"password_hash_cost=minimum\n"_s
            << QStringList()
            << QStringList { u"metrics_port"_s, u"hashing_slots"_s, u"group_commit_max"_s,
                             u"password_hash_cost"_s };
    }
    void fixedSettingsAreNamed()
    {
        QFETCH(QString, before);
        QFETCH(QString, after);
        QFETCH(QStringList, given);
        QFETCH(QStringList, changed);
        QHash<QString, QString> options;
        for (const QString &pair : given)
            options.insert(pair.section(u'=', 0, 0), pair.section(u'=', 1));
        const ServeConfigRead started = read(before, options);
        const ServeConfigRead reloaded = read(after, options);
        QVERIFY(started.config && reloaded.config);
        QCOMPARE(started.config->fixedChangedIn(*reloaded.config), changed);
    }

    // PostgreSQL's rule: the service's own key is for its owner alone; root's may be read
    // by its group. Checked on the file opened, named in the refusal.
    void privateKeyRights_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("someoneElses");
        QTest::addColumn<QString>("refusal"); // after "cannot use KEY: "; empty: none
        QTest::newRow("0600") << 0600 << false << QString();
        QTest::newRow("0400") << 0400 << false << QString();
        QTest::newRow("0640, the group may read")
            << 0640 << false
            << u"a private key others may read or change is refused (mode 0640); make it "
               u"0600, or 0640 with root as its owner"_s;
        QTest::newRow("0604, others may read")
            << 0604 << false
            << u"a private key others may read or change is refused (mode 0604); make it "
               u"0600, or 0640 with root as its owner"_s;
        QTest::newRow("0644") << 0644 << false
                              << u"a private key others may read or change is refused (mode "
                                 u"0644); make it 0600, or 0640 with root as its owner"_s;
        QTest::newRow("0620, the group may write")
            << 0620 << false
            << u"a private key others may read or change is refused (mode 0620); make it "
               u"0600, or 0640 with root as its owner"_s;
        QTest::newRow("0600 of another user")
            << 0600 << true << u"a private key must belong to the service's user or to root"_s;
    }
    void privateKeyRights()
    {
        QFETCH(int, mode);
        QFETCH(bool, someoneElses);
        QFETCH(QString, refusal);
        const QString key = m_dir.filePath(u"key-copy.pem"_s);
        QFile::remove(key);
        QVERIFY(QFile::copy(m_key, key));
        if (someoneElses) {
            if (::geteuid() != 0)
                QSKIP("only root gives a file away");
            QVERIFY(::chown(QFile::encodeName(key).constData(), 65534, 65534) == 0);
        }
        QVERIFY(::chmod(QFile::encodeName(key).constData(), mode_t(mode)) == 0);
        QSslConfiguration tls;
        const Status loaded = loadTls(m_certificate, key, tls);
        QCOMPARE(loaded.description(),
                 refusal.isEmpty() ? QString() : u"cannot use %1: %2"_s.arg(key, refusal));
        QCOMPARE(tls.privateKey().isNull(), !refusal.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestServeConfig)
#include "tst_serveconfig.moc"
