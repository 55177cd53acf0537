// SMPP's times as a submit_sm writes them, read in process: the forms an application may
// use, and what is none of them; what registered_delivery asks for; and the receipts a
// receiver is sent, state by state.

#include "service/smppsubmit.h"

#include <QTest>

#include <variant>

using namespace Qt::StringLiterals;

namespace {

QString ucs2(const QByteArray &octets)
{
    QString text;
    for (qsizetype i = 0; i + 1 < octets.size(); i += 2)
        text.append(QChar(char16_t((quint8(octets.at(i)) << 8) | quint8(octets.at(i + 1)))));
    return text;
}

} // namespace

class TestSmppSubmit : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void times_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<qint64>("expected"); // ms since the epoch; -1: refused
        // 2026-01-02T03:04:05Z is 1767323045000.
        const qint64 now = 1'767'323'045'000;
        QTest::newRow("absolute in UTC") << QByteArray("260102030405000+") << now;
        QTest::newRow("absolute eight hours ahead of UTC, tenths")
            << QByteArray("260102110405332+") << now + 300;
        QTest::newRow("absolute an hour behind UTC") << QByteArray("260102020405004-") << now;
        QTest::newRow("relative: a day, an hour, a second")
            << QByteArray("000001010001000R") << now + 90'001'000;
        QTest::newRow("relative with 61 seconds") << QByteArray("000000000061000R") << qint64(-1);
        QTest::newRow("a thirteenth month") << QByteArray("261302030405000+") << qint64(-1);
        QTest::newRow("no sign") << QByteArray("2601020304050000") << qint64(-1);
        QTest::newRow("one octet short") << QByteArray("26010203040500+") << qint64(-1);
        QTest::newRow("a letter among the digits") << QByteArray("2601020304x5000+") << qint64(-1);
    }
    void times()
    {
        QFETCH(QByteArray, text);
        QFETCH(qint64, expected);
        const std::optional<qint64> read = SmppSubmit::timeOf(text, 1'767'323'045'000);
        QCOMPARE(read.value_or(-1), expected);
    }

    void receiptsAsked_data()
    {
        QTest::addColumn<int>("registered");
        QTest::addColumn<int>("kept");
        QTest::newRow("none") << 0 << 0;
        QTest::newRow("any final state") << 1 << 1;
        QTest::newRow("a failure only") << 2 << 2;
        QTest::newRow("reserved 3: none") << 3 << 0;
        QTest::newRow("with an intermediate notification's bit") << 0x11 << 1;
    }
    void receiptsAsked()
    {
        QFETCH(int, registered);
        QFETCH(int, kept);
        Smpp::ShortMessage message;
        message.destination.digits = "13900000001";
        message.source.digits = "10690001";
        message.payload = "hi";
        message.registeredDelivery = quint8(registered);
        const auto send = SmppSubmit::sendOf(message, u"10690001"_s, 0);
        QVERIFY(std::holds_alternative<ApplicationApi::Send>(send));
        QCOMPARE(std::get<ApplicationApi::Send>(send).smppReceipt, kept);
    }

    void receipts_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("coding");
        QTest::addColumn<int>("messageState");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<qint64>("doneAtMs"); // the message's; -1: none, the event's time
        const QString hello = u"Hello there, this is more than twenty"_s;
        QTest::newRow("delivered: dlvrd 001, the first 20 characters")
            << u"delivered"_s << hello << 3 << 2
            << u"id:42 sub:001 dlvrd:001 submit date:2601020304 done date:2601020306 "
               u"stat:DELIVRD err:000 text:Hello there, this is"_s
            << qint64(-1);
        QTest::newRow("expired") << u"expired"_s << u"hi"_s << 3 << 3
                                 << u"id:42 sub:001 dlvrd:000 submit date:2601020304 "
                                    u"done date:2601020306 stat:EXPIRED err:000 text:hi"_s
                                 << qint64(-1);
        QTest::newRow("cancelled: DELETED")
            << u"cancelled"_s << u"hi"_s << 3 << 4
            << u"id:42 sub:001 dlvrd:000 submit date:2601020304 done date:2601020306 "
               u"stat:DELETED err:000 text:hi"_s
            << qint64(-1);
        QTest::newRow("undeliverable") << u"undeliverable"_s << u"hi"_s << 3 << 5
                                       << u"id:42 sub:001 dlvrd:000 submit date:2601020304 "
                                          u"done date:2601020306 stat:UNDELIV err:000 text:hi"_s
                                       << qint64(-1);
        QTest::newRow("not sent: UNDELIV")
            << u"not_sent"_s << u"hi"_s << 3 << 5
            << u"id:42 sub:001 dlvrd:000 submit date:2601020304 done date:2601020306 "
               u"stat:UNDELIV err:000 text:hi"_s
            << qint64(-1);
        QTest::newRow("rejected") << u"rejected"_s << u"hi"_s << 3 << 8
                                  << u"id:42 sub:001 dlvrd:000 submit date:2601020304 "
                                     u"done date:2601020306 stat:REJECTD err:000 text:hi"_s
                                  << qint64(-1);
        QTest::newRow("unknown") << u"unknown"_s << u"hi"_s << 3 << 7
                                 << u"id:42 sub:001 dlvrd:000 submit date:2601020304 "
                                    u"done date:2601020306 stat:UNKNOWN err:000 text:hi"_s
                                 << qint64(-1);
        QTest::newRow("Latin-1 text stays Latin-1")
            << u"delivered"_s << u"café"_s << 3 << 2
            << u"id:42 sub:001 dlvrd:001 submit date:2601020304 done date:2601020306 "
               u"stat:DELIVRD err:000 text:café"_s
            << qint64(-1);
        QTest::newRow("other text: UCS-2")
            << u"delivered"_s << u"你好"_s << 8 << 2
            << u"id:42 sub:001 dlvrd:001 submit date:2601020304 done date:2601020306 "
               u"stat:DELIVRD err:000 text:你好"_s
            << qint64(-1);
        QTest::newRow("the message's own done time: 05:06, not the event's")
            << u"expired"_s << u"hi"_s << 3 << 3
            << u"id:42 sub:001 dlvrd:000 submit date:2601020304 done date:2601020506 "
               u"stat:EXPIRED err:000 text:hi"_s
            << qint64(1'767'330'360'000);
    }
    void receipts()
    {
        QFETCH(QString, state);
        QFETCH(QString, text);
        QFETCH(int, coding);
        QFETCH(int, messageState);
        QFETCH(QString, expected);
        QFETCH(qint64, doneAtMs);
        Outbox::SmppEvent event;
        event.subject = 42;
        event.state = state;
        event.text = text;
        event.from = u"+8613900000001"_s;
        event.to = u"10690001"_s;
        // 2026-01-02T03:04:05Z and two minutes on.
        event.submittedAt = 1'767'323'045'000;
        event.at = event.submittedAt + 120'000;
        if (doneAtMs >= 0)
            event.doneAt = doneAtMs;
        const Smpp::ShortMessage receipt = SmppSubmit::receiptOf(event);
        QCOMPARE(receipt.esmClass, quint8(0x04));
        QCOMPARE(receipt.dataCoding, quint8(coding));
        QCOMPARE(receipt.receiptedMessageId, QByteArray("42"));
        QCOMPARE(receipt.messageState.value_or(0), quint8(messageState));
        QCOMPARE(receipt.source.ton, quint8(1));
        QCOMPARE(receipt.source.digits, QByteArray("8613900000001"));
        QCOMPARE(receipt.destination.digits, QByteArray("10690001"));
        QCOMPARE(coding == 8 ? ucs2(receipt.payload) : QString::fromLatin1(receipt.payload),
                 expected);
    }
};

QTEST_GUILESS_MAIN(TestSmppSubmit)
#include "tst_smppsubmit.moc"
