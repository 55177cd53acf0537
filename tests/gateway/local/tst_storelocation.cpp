// The store URL: what each form names, what is refused and how it is reported, and
// which setting wins.

#include "gateway/local/storelocation.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestStoreLocation : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_home;

    void writeSettings(const QByteArray &content)
    {
        QDir().mkpath(m_home->filePath(u"config/quillet-gateway"_s));
        QFile file(m_home->filePath(u"config/quillet-gateway/gateway.conf"_s));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<QTemporaryDir>();
        QVERIFY(m_home->isValid());
        qputenv("XDG_CONFIG_HOME", m_home->filePath(u"config"_s).toLocal8Bit());
        qputenv("XDG_CONFIG_DIRS", m_home->filePath(u"system-config"_s).toLocal8Bit());
        qputenv("XDG_DATA_HOME", m_home->filePath(u"data"_s).toLocal8Bit());
        qunsetenv("QUILLET_GATEWAY_STORE");
    }

    void cleanup()
    {
        qunsetenv("QUILLET_GATEWAY_STORE");
        m_home.reset();
    }

    // What a good URL names, as "engine|path|user|host|port|database|sslmode|service|timeout".
    void accepted_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("parts");
        QTest::addColumn<QString>("described");

        QTest::newRow("sqlite with absolute path")
            << u"sqlite:/var/lib/q/store.sqlite3"_s
            << u"sqlite|/var/lib/q/store.sqlite3|||0||||10"_s << u"/var/lib/q/store.sqlite3"_s;
        QTest::newRow("sqlite with relative path")
            << u"sqlite:store.db"_s << u"sqlite|store.db|||0||||10"_s << u"store.db"_s;
        QTest::newRow("sqlite scheme in capitals")
            << u"SQLITE:a.db"_s << u"sqlite|a.db|||0||||10"_s << u"a.db"_s;
        QTest::newRow("bare path is a sqlite file")
            << u"/tmp/gateway.sqlite3"_s << u"sqlite|/tmp/gateway.sqlite3|||0||||10"_s
            << u"/tmp/gateway.sqlite3"_s;
        QTest::newRow("bare relative path with colon later")
            << u"./a:b.db"_s << u"sqlite|./a:b.db|||0||||10"_s << u"./a:b.db"_s;
        QTest::newRow("postgresql, every part")
            << u"postgresql://quillet@db.example.com:6543/sms?sslmode=verify-full"_s
            << u"postgresql||quillet|db.example.com|6543|sms|verify-full||10"_s
            << u"postgresql://quillet@db.example.com:6543/sms"_s;
        QTest::newRow("postgres alias, no port")
            << u"postgres://team@localhost/gw"_s << u"postgresql||team|localhost|0|gw|||10"_s
            << u"postgresql://team@localhost/gw"_s;
        QTest::newRow("service only")
            << u"postgresql://?service=quillet"_s << u"postgresql||||0|||quillet|10"_s
            << u"postgresql:///?service=quillet"_s;
        QTest::newRow("socket defaults, database only")
            << u"postgresql:///sms"_s << u"postgresql||||0|sms|||10"_s << u"postgresql:///sms"_s;
        QTest::newRow("percent-encoded user and database")
            << u"postgresql://team%20a@h/my%2Ddb"_s << u"postgresql||team a|h|0|my-db|||10"_s
            << u"postgresql://team a@h/my-db"_s;
        QTest::newRow("IPv6 host")
            << u"postgresql://u@[::1]:5432/d"_s << u"postgresql||u|::1|5432|d|||10"_s
            << u"postgresql://u@[::1]:5432/d"_s;
        QTest::newRow("port without user, at sign and colon in the database")
            << u"postgresql://h:5432/d@x:y"_s << u"postgresql|||h|5432|d@x:y|||10"_s
            << u"postgresql://h:5432/d@x:y"_s;
        QTest::newRow("connect timeout")
            << u"postgresql://u@h/d?connect_timeout=3&sslmode=disable"_s
            << u"postgresql||u|h|0|d|disable||3"_s << u"postgresql://u@h/d"_s;
    }

    void accepted()
    {
        QFETCH(QString, url);
        QFETCH(QString, parts);
        QFETCH(QString, described);
        StoreLocation location;
        const Status status = StoreLocation::parse(url, location);
        QVERIFY2(status.isOk(), qPrintable(status.description()));
        const QString engine
            = location.engine == StoreLocation::Engine::Sqlite ? u"sqlite"_s : u"postgresql"_s;
        const QStringList found = { engine,
                                    location.path,
                                    location.user,
                                    location.host,
                                    QString::number(location.port),
                                    location.database,
                                    location.sslmode,
                                    location.service,
                                    QString::number(location.connectTimeout) };
        QCOMPARE(found.join(u'|'), parts);
        QCOMPARE(location.describe(), described);
    }

    void refused_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("description");

        const QString passwordAdvice
            = u"存储地址中不能包含密码（它会留在设置文件、环境变量或命令行里）；"
              u"请把密码写进 libpq 的密码文件（PGPASSFILE，默认 ~/.pgpass）"
              u"或服务文件（PGSERVICEFILE，地址中用 service=名称）"_s;
        QTest::newRow("password in user info")
            << u"postgresql://quillet:hunter2@db/sms"_s << passwordAdvice;
        QTest::newRow("empty password after colon")
            << u"postgresql://quillet:@db/sms"_s << passwordAdvice;
        QTest::newRow("password parameter")
            << u"postgresql://quillet@db/sms?password=hunter2"_s << passwordAdvice;
        QTest::newRow("password in a malformed URL")
            << u"postgresql://quillet:hunter2@db:99999/sms"_s << passwordAdvice;
        QTest::newRow("empty") << QString() << u"存储地址“”无效：地址为空"_s;
        QTest::newRow("unknown scheme names only the scheme")
            << u"mysql://root:secret@h/d"_s
            << u"不支持的存储地址类型“mysql:”，只能是 sqlite:路径 或 postgresql://"_s;
        QTest::newRow("sqlite without path")
            << u"sqlite:"_s << u"存储地址“sqlite:”无效：sqlite: 后面缺少文件路径"_s;
        QTest::newRow("postgresql without slashes")
            << u"postgresql:db"_s
            << u"存储地址“postgresql:db”无效：PostgreSQL 地址应写成 postgresql://用户@主机:端口/数据库"_s;
        QTest::newRow("port out of range")
            << u"postgresql://u@h:70000/d"_s
            << u"存储地址“postgresql://u@h:70000/d”无效：格式错误，应写成 postgresql://用户@主机:端口/数据库?参数=值"_s;
        QTest::newRow("user info without host")
            << u"postgresql://u@:5432:1/d"_s
            << u"存储地址“postgresql://u@:5432:1/d”无效：格式错误，应写成 postgresql://用户@主机:端口/数据库?参数=值"_s;
        QTest::newRow("port zero")
            << u"postgresql://u@h:0/d"_s
            << u"存储地址“postgresql://u@h:0/d”无效：端口“0”不在 1 到 65535 之间"_s;
        QTest::newRow("database with slash")
            << u"postgresql://u@h/a/b"_s
            << u"存储地址“postgresql://u@h/a/b”无效：数据库名“a/b”中不能有“/”"_s;
        QTest::newRow("fragment") << u"postgresql://u@h/d#x"_s
                                  << u"存储地址“postgresql://u@h/d#x”无效：地址中不能有“#”片段"_s;
        QTest::newRow("control character in database, shown escaped")
            << u"postgresql://u@h/d%0Ax"_s
            << u"存储地址“postgresql://u@h/d%0Ax”无效：地址中不能有控制字符"_s;
        QTest::newRow("control character in sqlite path, shown escaped")
            << u"sqlite:a\u001Bb"_s << u"存储地址“sqlite:a\\u001bb”无效：地址中不能有控制字符"_s;
        QTest::newRow("unknown sslmode")
            << u"postgresql://u@h/d?sslmode=maybe"_s
            << u"存储地址“postgresql://u@h/d?sslmode=maybe”无效：sslmode“maybe”无效，可用的值："
               u"disable、allow、prefer、require、verify-ca、verify-full"_s;
        QTest::newRow("repeated parameter")
            << u"postgresql://u@h/d?sslmode=require&sslmode=disable"_s
            << u"存储地址“postgresql://u@h/d?sslmode=require&sslmode=disable”无效：参数 sslmode 出现了不止一次"_s;
        QTest::newRow("service name with a blank")
            << u"postgresql://?service=a%20b"_s
            << u"存储地址“postgresql://?service=a%20b”无效：服务名“a b”无效（只能由字母、数字、“_”“.”“-”组成，最多 63 个字符）"_s;
        QTest::newRow("service name that would add a keyword")
            << u"postgresql://?service=a;host=evil"_s
            << u"存储地址“postgresql://?service=a;host=evil”无效：服务名“a;host=evil”无效（只能由字母、数字、“_”“.”“-”组成，最多 63 个字符）"_s;
        QTest::newRow("connect timeout not a number")
            << u"postgresql://u@h/d?connect_timeout=soon"_s
            << u"存储地址“postgresql://u@h/d?connect_timeout=soon”无效：connect_timeout“soon”应是 1 到 3600 之间的秒数"_s;
        QTest::newRow("connect timeout zero waits for ever")
            << u"postgresql://u@h/d?connect_timeout=0"_s
            << u"存储地址“postgresql://u@h/d?connect_timeout=0”无效：connect_timeout“0”应是 1 到 3600 之间的秒数"_s;
        QTest::newRow("unknown parameter")
            << u"postgresql://u@h/d?options=-c%20x"_s
            << u"存储地址“postgresql://u@h/d?options=-c%20x”无效：不认识的参数“options”，可用的参数：sslmode、service、connect_timeout"_s;
    }

    void refused()
    {
        QFETCH(QString, url);
        QFETCH(QString, description);
        StoreLocation location;
        location.path = u"untouched"_s;
        const Status status = StoreLocation::parse(url, location);
        QVERIFY(status.failed());
        QCOMPARE(status.code(), qint32(0x80070057u));
        QCOMPARE(status.description(), description);
        QVERIFY(!status.description().contains(u"hunter2"_s));
        QVERIFY(!status.description().contains(u"secret"_s));
        QCOMPARE(location.path, u"untouched"_s);
    }

    // Which setting names the store: the environment over the settings file over the
    // default file.
    void configured_data()
    {
        QTest::addColumn<QByteArray>("environment");
        QTest::addColumn<QByteArray>("settings"); // empty: no settings file
        QTest::addColumn<QString>("described"); // "DATA/" stands for the data folder

        QTest::newRow("nothing set: the default file")
            << QByteArray() << QByteArray() << u"DATA/quillet-gateway/gateway.sqlite3"_s;
        QTest::newRow("settings file")
            << QByteArray() << QByteArray("store=postgresql://team@db/sms?sslmode=require\n")
            << u"postgresql://team@db/sms"_s;
        QTest::newRow("settings file under [General]")
            << QByteArray() << QByteArray("[General]\nstore=sqlite:/srv/q.sqlite3\n")
            << u"/srv/q.sqlite3"_s;
        QTest::newRow("settings file without the key")
            << QByteArray() << QByteArray("other=1\n") << u"DATA/quillet-gateway/gateway.sqlite3"_s;
        QTest::newRow("environment wins over the settings file")
            << QByteArray("postgresql://env@h/e") << QByteArray("store=sqlite:/srv/q.sqlite3\n")
            << u"postgresql://env@h/e"_s;
        QTest::newRow("empty environment variable is unset")
            << QByteArray("") << QByteArray("store=sqlite:/srv/q.sqlite3\n") << u"/srv/q.sqlite3"_s;
    }

    void configured()
    {
        QFETCH(QByteArray, environment);
        QFETCH(QByteArray, settings);
        QFETCH(QString, described);
        if (!environment.isNull())
            qputenv("QUILLET_GATEWAY_STORE", environment);
        if (!settings.isEmpty())
            writeSettings(settings);
        StoreLocation location;
        const Status status = StoreLocation::configured(location);
        QVERIFY2(status.isOk(), qPrintable(status.description()));
        QCOMPARE(location.describe().replace(m_home->filePath(u"data"_s), u"DATA"_s), described);
    }

    // A bad URL in a setting is reported with the setting it came from.
    void configuredRefused_data()
    {
        QTest::addColumn<QByteArray>("environment");
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QString>("description"); // "CONFIG/" stands for the config folder

        QTest::newRow("bad URL in the environment")
            << QByteArray("postgresql://u@h:0/d") << QByteArray()
            << u"QUILLET_GATEWAY_STORE：存储地址“postgresql://u@h:0/d”无效：端口“0”不在 1 到 65535 之间"_s;
        QTest::newRow("bad URL in the settings file")
            << QByteArray() << QByteArray("store=oracle://x\n")
            << u"CONFIG/quillet-gateway/gateway.conf (store)：不支持的存储地址类型“oracle:”，只能是 sqlite:路径 或 postgresql://"_s;
    }

    void configuredRefused()
    {
        QFETCH(QByteArray, environment);
        QFETCH(QByteArray, settings);
        QFETCH(QString, description);
        if (!environment.isEmpty())
            qputenv("QUILLET_GATEWAY_STORE", environment);
        if (!settings.isEmpty())
            writeSettings(settings);
        StoreLocation location;
        const Status status = StoreLocation::configured(location);
        QVERIFY(status.failed());
        QString found = status.description();
        QCOMPARE(found.replace(m_home->filePath(u"config"_s), u"CONFIG"_s), description);
    }
};

QTEST_GUILESS_MAIN(TestStoreLocation)
#include "tst_storelocation.moc"
