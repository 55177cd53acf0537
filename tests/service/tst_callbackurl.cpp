// Where callbacks may go: the URL's form, and every address its host resolves to judged
// (a public one passes; loopback, link-local, private, unspecified and the service's own
// do not, unless callback_allow_hosts lists the host or the address).

#include "service/callbackurl.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestCallbackUrl : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void form_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("taken");
        QTest::newRow("https") << u"https://app.example/hook?x=1"_s << true;
        QTest::newRow("http to a listed host") << u"http://127.0.0.1:8080/hook"_s << true;
        QTest::newRow("http to another host") << u"http://app.example/hook"_s << false;
        QTest::newRow("another scheme") << u"ftp://app.example/hook"_s << false;
        QTest::newRow("no host") << u"https:///hook"_s << false;
        QTest::newRow("relative") << u"/hook"_s << false;
        QTest::newRow("a user in it") << u"https://u:p@app.example/"_s << false;
        QTest::newRow("a fragment") << u"https://app.example/#x"_s << false;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("too long") << u"https://app.example/"_s + QString(2100, u'a') << false;
    }
    void form()
    {
        QFETCH(QString, url);
        QFETCH(bool, taken);
        const CallbackUrlPolicy policy({ u"127.0.0.1"_s }, {});
        QCOMPARE(policy.checkForm(url).isEmpty(), taken);
    }

    void addresses_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QStringList>("resolved");
        QTest::addColumn<bool>("taken");
        QTest::newRow("public v4")
            << u"app.example"_s << QStringList { u"93.184.216.34"_s } << true;
        QTest::newRow("public v6")
            << u"app.example"_s << QStringList { u"2606:2800:220:1::1"_s } << true;
        QTest::newRow("loopback") << u"app.example"_s << QStringList { u"127.0.0.2"_s } << false;
        QTest::newRow("loopback v6") << u"app.example"_s << QStringList { u"::1"_s } << false;
        QTest::newRow("v4 written as v6")
            << u"app.example"_s << QStringList { u"::ffff:10.1.2.3"_s } << false;
        QTest::newRow("private 10") << u"app.example"_s << QStringList { u"10.0.0.1"_s } << false;
        QTest::newRow("private 172.16")
            << u"app.example"_s << QStringList { u"172.31.0.1"_s } << false;
        QTest::newRow("private 192.168")
            << u"app.example"_s << QStringList { u"192.168.1.1"_s } << false;
        QTest::newRow("shared 100.64")
            << u"app.example"_s << QStringList { u"100.64.0.1"_s } << false;
        QTest::newRow("link-local")
            << u"app.example"_s << QStringList { u"169.254.169.254"_s } << false;
        QTest::newRow("link-local v6") << u"app.example"_s << QStringList { u"fe80::1"_s } << false;
        QTest::newRow("unique local v6")
            << u"app.example"_s << QStringList { u"fd00::1"_s } << false;
        QTest::newRow("unspecified") << u"app.example"_s << QStringList { u"0.0.0.0"_s } << false;
        QTest::newRow("unspecified v6") << u"app.example"_s << QStringList { u"::"_s } << false;
        QTest::newRow("multicast") << u"app.example"_s << QStringList { u"224.0.0.1"_s } << false;
        QTest::newRow("the service's own")
            << u"app.example"_s << QStringList { u"198.51.100.7"_s } << false;
        QTest::newRow("one public, one private")
            << u"app.example"_s << QStringList { u"93.184.216.34"_s, u"10.0.0.1"_s } << false;
        QTest::newRow("nothing resolved") << u"app.example"_s << QStringList() << false;
        QTest::newRow("listed address") << u"localhost"_s << QStringList { u"127.0.0.1"_s } << true;
        QTest::newRow("listed name")
            << u"hooks.internal"_s << QStringList { u"10.9.9.9"_s } << true;
    }
    void addresses()
    {
        QFETCH(QString, host);
        QFETCH(QStringList, resolved);
        QFETCH(bool, taken);
        const CallbackUrlPolicy policy({ u"127.0.0.1"_s, u"Hooks.Internal"_s },
                                       { QHostAddress(u"198.51.100.7"_s) });
        QList<QHostAddress> addresses;
        for (const QString &address : resolved)
            addresses.append(QHostAddress(address));
        QString why;
        QCOMPARE(policy.allowedAddress(host, addresses, why).has_value(), taken);
        QCOMPARE(why.isEmpty(), taken);
    }
};

QTEST_GUILESS_MAIN(TestCallbackUrl)
#include "tst_callbackurl.moc"
