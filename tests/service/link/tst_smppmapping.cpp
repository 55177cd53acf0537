// What the link makes of PDUs and of the store's messages: a deliver_sm as a receipt
// (its id and state) or an arrival (its text, its part, who sent it), a message as the
// submit_sm of its parts, and a submit_sm's answer as taken, later or refused.

#include "service/link/smppmapping.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {

using ReceiptState = LinkStore::ReceiptState;

QString nameOf(ReceiptState state)
{
    switch (state) {
    case ReceiptState::OnItsWay:
        return u"on its way"_s;
    case ReceiptState::Delivered:
        return u"delivered"_s;
    case ReceiptState::Undeliverable:
        return u"undeliverable"_s;
    case ReceiptState::Expired:
        return u"expired"_s;
    case ReceiptState::Rejected:
        return u"rejected"_s;
    }
    return {};
}

Smpp::ShortMessage fromPhone(quint8 esmClass, quint8 coding, const QByteArray &payload)
{
    Smpp::ShortMessage m;
    m.source = { 0, 1, "13800138000" };
    m.destination = { 0, 0, "1069000000015" };
    m.esmClass = esmClass;
    m.dataCoding = coding;
    m.payload = payload;
    return m;
}

} // namespace

class TestSmppMapping : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A receipt's state from message_state when the SMSC sends it, else from the stat of
    // its text; its id from receipted_message_id, else its text, cut to 64 octets; the
    // text's id too where the two differ ("TLV|text").
    void receipt_data()
    {
        QTest::addColumn<int>("messageState"); // -1: no TLV
        QTest::addColumn<QByteArray>("receiptedId");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("state");
        QTest::addColumn<QString>("smscId");
        const QByteArray delivered = "id:t1 sub:001 dlvrd:001 stat:DELIVRD err:000 text:";
        QTest::newRow("message_state 2")
            << 2 << QByteArray("a1") << QByteArray("-") << u"delivered"_s << u"a1"_s;
        QTest::newRow("message_state 3")
            << 3 << QByteArray("a1") << QByteArray() << u"expired"_s << u"a1"_s;
        QTest::newRow("message_state 4, deleted")
            << 4 << QByteArray("a1") << QByteArray() << u"undeliverable"_s << u"a1"_s;
        QTest::newRow("message_state 5")
            << 5 << QByteArray("a1") << QByteArray() << u"undeliverable"_s << u"a1"_s;
        QTest::newRow("message_state 8")
            << 8 << QByteArray("a1") << QByteArray() << u"rejected"_s << u"a1"_s;
        QTest::newRow("message_state 6, accepted")
            << 6 << QByteArray("a1") << QByteArray() << u"on its way"_s << u"a1"_s;
        QTest::newRow("message_state and id over the text's")
            << 5 << QByteArray("a1") << delivered << u"undeliverable"_s << u"a1|t1"_s;
        QTest::newRow("the same id in both")
            << 2 << QByteArray("t1") << delivered << u"delivered"_s << u"t1"_s;
        QTest::newRow("text alone, delivered")
            << -1 << QByteArray() << delivered << u"delivered"_s << u"t1"_s;
        QTest::newRow("text alone, in small letters")
            << -1 << QByteArray() << QByteArray("ID:t2 STAT:delivrd") << u"delivered"_s << u"t2"_s;
        QTest::newRow("text: expired")
            << -1 << QByteArray() << QByteArray("id:t3 stat:EXPIRED") << u"expired"_s << u"t3"_s;
        QTest::newRow("text: undeliverable")
            << -1 << QByteArray() << QByteArray("id:t4 stat:UNDELIV") << u"undeliverable"_s
            << u"t4"_s;
        QTest::newRow("text: deleted") << -1 << QByteArray() << QByteArray("id:t5 stat:DELETED")
                                       << u"undeliverable"_s << u"t5"_s;
        QTest::newRow("text: rejected")
            << -1 << QByteArray() << QByteArray("id:t6 stat:REJECTD") << u"rejected"_s << u"t6"_s;
        QTest::newRow("text: accepted")
            << -1 << QByteArray() << QByteArray("id:t7 stat:ACCEPTD") << u"on its way"_s << u"t7"_s;
        QTest::newRow("text: unknown")
            << -1 << QByteArray() << QByteArray("id:t8 stat:UNKNOWN") << u"on its way"_s << u"t8"_s;
        QTest::newRow("neither TLV nor text")
            << -1 << QByteArray() << QByteArray("hello") << u"on its way"_s << QString();
        QTest::newRow("an id of 70 octets, cut to 64")
            << 2 << QByteArray(64, 'x') + "abcdef" << QByteArray() << u"delivered"_s
            << QString(64, u'x');
    }
    void receipt()
    {
        QFETCH(int, messageState);
        QFETCH(QByteArray, receiptedId);
        QFETCH(QByteArray, text);
        QFETCH(QString, state);
        QFETCH(QString, smscId);
        Smpp::ShortMessage m = fromPhone(0x04, 0, text);
        m.receiptedMessageId = receiptedId;
        if (messageState >= 0)
            m.messageState = quint8(messageState);
        const LinkStore::Delivery delivery = SmppMapping::deliveryOf(m);
        QVERIFY(delivery.receipt);
        QCOMPARE(nameOf(delivery.receipt->state), state);
        QCOMPARE(delivery.receipt->textId.isEmpty()
                     ? delivery.receipt->smscId
                     : delivery.receipt->smscId + u'|' + delivery.receipt->textId,
                 smscId);
        QCOMPARE(delivery.receipt->source, u"13800138000"_s);
        QCOMPARE(delivery.receipt->text, QString::fromLatin1(text));
    }

    // A message from a phone: its text in each coding, the part it is of a longer one,
    // octets that read as no text kept in hex, the sender's + for an international number.
    void arrival_data()
    {
        QTest::addColumn<int>("esmClass");
        QTest::addColumn<int>("coding");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("sourceTon");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("part"); // reference/total/part
        QTest::addColumn<bool>("unreadable");
        QTest::addColumn<QString>("source");
        const auto hex = [](const char *octets) { return QByteArray::fromHex(octets); };
        QTest::newRow("GSM 7-bit") << 0 << 0 << QByteArray("hello") << 0 << u"hello"_s << u"1/1"_s
                                   << false << u"13800138000"_s;
        QTest::newRow("GSM 7-bit with an escape")
            << 0 << 0 << hex("351b65") << 0 << u"5€"_s << u"1/1"_s << false << u"13800138000"_s;
        QTest::newRow("IA5") << 0 << 1 << QByteArray("ok") << 0 << u"ok"_s << u"1/1"_s << false
                             << u"13800138000"_s;
        QTest::newRow("Latin-1") << 0 << 3 << hex("636166e9") << 0 << u"café"_s << u"1/1"_s << false
                                 << u"13800138000"_s;
        QTest::newRow("UCS-2") << 0 << 8 << hex("4f60597d") << 0 << u"你好"_s << u"1/1"_s << false
                               << u"13800138000"_s;
        QTest::newRow("part 2 of 3") << 0x40 << 0 << hex("0500030703026263") << 0 << u"bc"_s
                                     << u"7/3/2"_s << false << u"13800138000"_s;
        QTest::newRow("a header of one part: a whole message")
            << 0x40 << 0 << hex("05000307010178") << 0 << u"x"_s << u"1/1"_s << false
            << u"13800138000"_s;
        QTest::newRow("UCS-2 of an odd length: its octets in hex")
            << 0 << 8 << hex("4f6059") << 0 << u"4f6059"_s << u"1/1"_s << true << u"13800138000"_s;
        QTest::newRow("an international sender")
            << 0 << 0 << QByteArray("hi") << 1 << u"hi"_s << u"1/1"_s << false << u"+13800138000"_s;
    }
    void arrival()
    {
        QFETCH(int, esmClass);
        QFETCH(int, coding);
        QFETCH(QByteArray, payload);
        QFETCH(int, sourceTon);
        QFETCH(QString, text);
        QFETCH(QString, part);
        QFETCH(bool, unreadable);
        QFETCH(QString, source);
        Smpp::ShortMessage m = fromPhone(quint8(esmClass), quint8(coding), payload);
        m.source.ton = quint8(sourceTon);
        m.receiptedMessageId = "smsc-7";
        const LinkStore::Delivery delivery = SmppMapping::deliveryOf(m);
        QVERIFY(!delivery.receipt);
        const LinkStore::Arrival &a = delivery.arrival;
        QCOMPARE(a.text, text);
        const QString numbering = a.total > 1
            ? u"%1/%2/%3"_s.arg(a.reference).arg(a.total).arg(a.part)
            : u"%1/%2"_s.arg(a.part).arg(a.total);
        QCOMPARE(numbering, part);
        QCOMPARE(a.unreadable, unreadable);
        QCOMPARE(a.source, source);
        QCOMPARE(a.destination, u"1069000000015"_s);
        QCOMPARE(a.smscId, u"smsc-7"_s);
    }

    // What the network sent, to know it again: the same message has the same digest,
    // and any field of it changed, another.
    void digest_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("same");
        QTest::newRow("nothing") << QString() << true;
        QTest::newRow("the SMSC's id") << u"id"_s << true;
        QTest::newRow("the sender") << u"source"_s << false;
        QTest::newRow("the destination") << u"destination"_s << false;
        QTest::newRow("the coding") << u"coding"_s << false;
        QTest::newRow("the esm_class") << u"esm"_s << false;
        QTest::newRow("the text") << u"text"_s << false;
        // 1380013800 and 01069... against 13800138000 and 1069...
        QTest::newRow("a digit moved from the sender to the destination") << u"shifted"_s << false;
    }
    void digest()
    {
        QFETCH(QString, change);
        QFETCH(bool, same);
        const Smpp::ShortMessage m = fromPhone(0, 0, "yes");
        Smpp::ShortMessage other = m;
        if (change == u"id"_s)
            other.receiptedMessageId = "9";
        else if (change == u"source"_s)
            other.source.digits = "13800138001";
        else if (change == u"destination"_s)
            other.destination.digits = "1069000000016";
        else if (change == u"coding"_s)
            other.dataCoding = 1;
        else if (change == u"esm"_s)
            other.esmClass = 0x80;
        else if (change == u"text"_s)
            other.payload = "yes!";
        else if (change == u"shifted"_s) {
            other.source.digits.chop(1);
            other.destination.digits.prepend('0');
        }
        const QByteArray a = SmppMapping::deliveryOf(m).arrival.digest;
        QCOMPARE(a.size(), 32);
        QCOMPARE(SmppMapping::deliveryOf(other).arrival.digest == a, same);
    }

    // A message as the SMSC is to get it: from the account's service number with the
    // link's numbering, to the phone (international with its + taken off), a receipt
    // asked for, each part with its concatenation header (the reference from the id).
    void parts_data()
    {
        QTest::addColumn<QString>("phone");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("parts");
        QTest::addColumn<qint64>("validUntilMs");
        // A part its application made: reference/bits/total/sequence; empty for none.
        QTest::addColumn<QString>("part");
        const QString a = QString(153, u'a');
        const QString hexA = QString::fromLatin1(QByteArray(153, 'a').toHex());
        QTest::newRow("international, GSM")
            << u"+8613800138000"_s << u"hi"_s
            << QStringList { u"5/9/1069 1/1/8613800138000 esm 00 coding 00 rd 1 6869"_s }
            << qint64(0) << QString();
        QTest::newRow("valid until a time, in UTC")
            << u"13800138000"_s << u"hi"_s
            << QStringList { u"5/9/1069 0/1/13800138000 esm 00 coding 00 rd 1 valid "
                             u"261210100000100+ 6869"_s }
            << qint64(1'796'896'800'123) << QString();
        QTest::newRow("national") << u"13800138000"_s << u"hi"_s
                                  << QStringList { u"5/9/1069 0/1/13800138000 esm 00 coding 00 "
                                                   u"rd 1 6869"_s }
                                  << qint64(0) << QString();
        QTest::newRow("UCS-2") << u"13800138000"_s << u"你好"_s
                               << QStringList { u"5/9/1069 0/1/13800138000 esm 00 coding 08 "
                                                u"rd 1 4f60597d"_s }
                               << qint64(0) << QString();
        QTest::newRow("three parts, one reference")
            << u"13800138000"_s << a + a + u"end"_s
            << QStringList { u"5/9/1069 0/1/13800138000 esm 40 coding 00 rd 1 050003340301"_s
                                 + hexA,
                             u"5/9/1069 0/1/13800138000 esm 40 coding 00 rd 1 050003340302"_s
                                 + hexA,
                             u"5/9/1069 0/1/13800138000 esm 40 coding 00 rd 1 050003340303656e64"_s }
            << qint64(0) << QString();
        QTest::newRow("more parts than a header numbers: none")
            << u"13800138000"_s << QString(153 * 255 + 1, u'a') << QStringList() << qint64(0)
            << QString();
        QTest::newRow("a part its application made: alone, with its 8-bit reference")
            << u"13800138000"_s << u"hi"_s
            << QStringList { u"5/9/1069 0/1/13800138000 esm 40 coding 00 rd 1 050003a703026869"_s }
            << qint64(0) << u"167/8/3/2"_s;
        QTest::newRow("a part with a 16-bit reference, UCS-2")
            << u"13800138000"_s << u"你好"_s
            << QStringList { u"5/9/1069 0/1/13800138000 esm 40 coding 08 rd 1 "
                             u"060804123403034f60597d"_s }
            << qint64(0) << u"4660/16/3/3"_s;
        QTest::newRow("a part of 153 septets beside an 8-bit reference")
            << u"13800138000"_s << a
            << QStringList { u"5/9/1069 0/1/13800138000 esm 40 coding 00 rd 1 050003070201"_s
                             + hexA }
            << qint64(0) << u"7/8/2/1"_s;
        QTest::newRow("a part of 153 septets beside a 16-bit reference: none")
            << u"13800138000"_s << a << QStringList() << qint64(0) << u"7/16/2/1"_s;
    }
    void parts()
    {
        QFETCH(QString, part);
        QFETCH(QString, phone);
        QFETCH(QString, text);
        QFETCH(QStringList, parts);
        QFETCH(qint64, validUntilMs);
        LinkStore::Outgoing message { 0x1234, phone, text, 0, u"1069"_s, validUntilMs, {} };
        if (const QStringList given = part.split(u'/'); given.size() == 4)
            message.part = LinkStore::Part { quint16(given[0].toUInt()), given[1] == u"16"_s,
                                             given[2].toInt(), given[3].toInt() };
        QStringList got;
        for (const Smpp::ShortMessage &m : SmppMapping::partsOf(message, 5, 9)) {
            got.append(u"%1/%2/%3 %4/%5/%6 esm %7 coding %8 rd %9 "_s.arg(m.source.ton)
                           .arg(m.source.npi)
                           .arg(QString::fromLatin1(m.source.digits))
                           .arg(m.destination.ton)
                           .arg(m.destination.npi)
                           .arg(QString::fromLatin1(m.destination.digits))
                           .arg(m.esmClass, 2, 16, QLatin1Char('0'))
                           .arg(m.dataCoding, 2, 16, QLatin1Char('0'))
                           .arg(m.registeredDelivery)
                       + (m.validityPeriod.isEmpty()
                              ? QString()
                              : u"valid "_s + QString::fromLatin1(m.validityPeriod) + u' ')
                       + QString::fromLatin1(m.payload.toHex()));
        }
        QCOMPARE(got, parts);
    }

    // A submit_sm's answer: taken with its id (as the gateway keeps it), asked for again
    // later, or refused for good with a status that is never Ok.
    void answer_data()
    {
        QTest::addColumn<quint32>("command");
        QTest::addColumn<quint32>("status");
        QTest::addColumn<QByteArray>("id");
        QTest::addColumn<QString>("said");
        const quint32 resp = 0x80000004;
        const quint32 nack = 0x80000000;
        QTest::newRow("taken") << resp << 0U << QByteArray("abc") << u"taken abc"_s;
        QTest::newRow("taken without an id") << resp << 0U << QByteArray() << u"taken "_s;
        QTest::newRow("taken with an id of 65 octets, cut to 64")
            << resp << 0U << QByteArray(65, 'i') << u"taken "_s + QString(64, u'i');
        QTest::newRow("throttled") << resp << 0x58U << QByteArray() << u"later"_s;
        QTest::newRow("queue full") << resp << 0x14U << QByteArray() << u"later"_s;
        QTest::newRow("throttled by a generic_nack") << nack << 0x58U << QByteArray() << u"later"_s;
        QTest::newRow("submit failed") << resp << 0x45U << QByteArray() << u"refused 0x45"_s;
        QTest::newRow("invalid destination") << resp << 0x0BU << QByteArray() << u"refused 0xb"_s;
        QTest::newRow("a generic_nack saying Ok: a system error")
            << nack << 0U << QByteArray() << u"refused 0x8"_s;
    }
    void answer()
    {
        QFETCH(quint32, command);
        QFETCH(quint32, status);
        QFETCH(QByteArray, id);
        QFETCH(QString, said);
        Smpp::Pdu pdu;
        pdu.header.command = command;
        pdu.header.status = status;
        pdu.id = id;
        const SmppMapping::SubmitAnswer a = SmppMapping::answerOf(pdu);
        QString got;
        switch (a.kind) {
        case SmppMapping::SubmitAnswer::Kind::Taken:
            got = u"taken "_s + a.smscId;
            break;
        case SmppMapping::SubmitAnswer::Kind::Later:
            got = u"later"_s;
            break;
        case SmppMapping::SubmitAnswer::Kind::Refused:
            got = u"refused 0x"_s + QString::number(a.status, 16);
            break;
        }
        QCOMPARE(got, said);
    }
};

QTEST_GUILESS_MAIN(TestSmppMapping)
#include "tst_smppmapping.moc"
