// Callback secrets: the signature an application checks, as Python's own hmac computes
// it; secrets of 32 random bytes; the key that seals them, made 0600 once and refused
// when others may read it; a sealed secret that reads back only with its key, unchanged.

#include "service/callbacksecrets.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

// What Python's hmac makes of the same secret, time and body.
QByteArray pythonSignature(const QString &secret, qint64 t, const QByteArray &body)
{
    QProcess python;
    python.start(u"python3"_s,
                 { u"-c"_s,
                   u"import hmac,hashlib,sys; s=sys.argv[1].encode(); t=sys.argv[2]; "
                   u"b=sys.stdin.buffer.read(); print('t='+t+',v1='+hmac.new(s, t.encode()"
                   u"+b'.'+b, hashlib.sha256).hexdigest(), end='')"_s,
                   secret, QString::number(t) });
    python.write(body);
    python.closeWriteChannel();
    python.waitForFinished();
    return python.readAllStandardOutput();
}

mode_t modeOf(const QString &file)
{
    struct stat info { };
    ::stat(QFile::encodeName(file).constData(), &info);
    return info.st_mode & 07777;
}

} // namespace

class TestCallbackSecrets : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void signatureAsPythonComputesIt_data()
    {
        QTest::addColumn<QString>("secret");
        QTest::addColumn<qint64>("t");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("new secret, JSON body")
            << CallbackSecrets::newSecret() << qint64(1765324800)
            << QByteArray(R"({"id":"1","type":"arrival","data":{"text":"你好"}})");
        QTest::newRow("empty body") << u"whsec_abc"_s << qint64(0) << QByteArray();
        QTest::newRow("secret beyond ASCII, body with NUL and newline")
            << u"whsec_ключ密钥"_s << qint64(4102444800) << QByteArray("a\0b\nc", 5);
        QTest::newRow("secret longer than a SHA-256 block")
            << u"whsec_"_s + QString(100, u'k') << qint64(1) << QByteArray("{}");
    }
    void signatureAsPythonComputesIt()
    {
        QFETCH(QString, secret);
        QFETCH(qint64, t);
        QFETCH(QByteArray, body);
        const QByteArray expected = pythonSignature(secret, t, body);
        QVERIFY(expected.startsWith("t="));
        QCOMPARE(CallbackSecrets::signature(secret, t, body), expected);
    }

    void secretIs32RandomBytes()
    {
        const QString a = CallbackSecrets::newSecret();
        QVERIFY(a.startsWith(u"whsec_"_s));
        QCOMPARE(a.size(), 6 + 43); // 32 bytes, base64url without padding
        QVERIFY(a != CallbackSecrets::newSecret());
    }

    // The key is made 0600 once; another load reads the same key.
    void sealsWithItsKeyOnly()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath(u"callback.key"_s);
        SecretSeal seal;
        QVERIFY(SecretSeal::load(file, seal).isOk());
        QCOMPARE(modeOf(file), mode_t(0600));
        QCOMPARE(QFileInfo(file).size(), 32);
        const QString secret = CallbackSecrets::newSecret();
        const QByteArray sealed = seal.seal(secret);
        QVERIFY(!sealed.contains(secret.toUtf8()));
        QVERIFY(sealed != seal.seal(secret)); // a fresh nonce each time
        SecretSeal again;
        QVERIFY(SecretSeal::load(file, again).isOk());
        QCOMPARE(again.open(sealed), std::optional<QString>(secret));

        QByteArray changed = sealed;
        changed[changed.size() - 1] = char(changed.back() ^ 1);
        QCOMPARE(seal.open(changed), std::nullopt);
        QCOMPARE(seal.open(sealed.left(20)), std::nullopt);
        SecretSeal other;
        QVERIFY(SecretSeal::load(dir.filePath(u"other.key"_s), other).isOk());
        QCOMPARE(other.open(sealed), std::nullopt);
    }

    void keyFileRefused_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("says");
        QTest::newRow("readable by others") << QByteArray(32, 'k') << 0644 << u"0644"_s;
        QTest::newRow("too short") << QByteArray(31, 'k') << 0600 << u"32 bytes"_s;
        QTest::newRow("too long") << QByteArray(33, 'k') << 0600 << u"32 bytes"_s;
        QTest::newRow("empty") << QByteArray() << 0600 << u"32 bytes"_s;
    }
    void keyFileRefused()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, mode);
        QFETCH(QString, says);
        QTemporaryDir dir;
        const QString file = dir.filePath(u"callback.key"_s);
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
        f.close();
        QVERIFY(::chmod(QFile::encodeName(file).constData(), mode_t(mode)) == 0);
        SecretSeal seal;
        const Status status = SecretSeal::load(file, seal);
        QVERIFY(status.failed());
        QVERIFY2(status.description().contains(says), qPrintable(status.description()));
        QVERIFY(!seal.isLoaded());
        QCOMPARE(QFileInfo(file).size(), content.size()); // left as it was
    }
};

QTEST_GUILESS_MAIN(TestCallbackSecrets)
#include "tst_callbacksecrets.moc"
