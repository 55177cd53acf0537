// SMPP PDUs and SMS texts as the link writes and reads them: the split and coding of
// outgoing texts, the reading of incoming ones, receipt texts, PDU bytes both ways, the
// header's length guard, fields that do not fit, and bytes that are no PDU at all.

#include "service/link/smpppdu.h"
#include "service/link/smstext.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QByteArray repeated(const QByteArray &unit, int count)
{
    return unit.repeated(count);
}

} // namespace

class TestSmpp : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void encodeText_data();
    void encodeText();
    void decodeText_data();
    void decodeText();
    void receiptText_data();
    void receiptText();
    void receiptWritten();
    void pduBytes_data();
    void pduBytes();
    void pduRead_data();
    void pduRead();
    void headerGuard_data();
    void headerGuard();
    void fieldsThatDoNotFit_data();
    void fieldsThatDoNotFit();
    void anyBytes();
};

void TestSmpp::encodeText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("coding");
    QTest::addColumn<int>("esmClass");
    QTest::addColumn<int>("parts");
    QTest::addColumn<QByteArray>("first");

    const QByteArray a153 = repeated("a", 153);
    const QByteArray ni67 = repeated(hex("4f60"), 67);
    QTest::newRow("ascii") << u"Hi!"_s << 0 << 0 << 1 << hex("486921");
    QTest::newRow("gsm letters") << u"@£ñΔà"_s << 0 << 0 << 1 << hex("00017d107f");
    QTest::newRow("euro escape") << u"5€"_s << 0 << 0 << 1 << hex("351b65");
    QTest::newRow("bracket escapes") << u"[a]"_s << 0 << 0 << 1 << hex("1b3c611b3e");
    QTest::newRow("empty") << QString() << 0 << 0 << 1 << QByteArray();
    QTest::newRow("160 septets") << QString(160, u'a') << 0 << 0 << 1 << repeated("a", 160);
    QTest::newRow("159 and an escape")
        << QString(159, u'a') + u'€' << 0 << 0x40 << 2 << hex("0500033f0201") + a153;
    QTest::newRow("3-part gsm") << QString(307, u'a') << 0 << 0x40 << 3
                                << hex("0500033f0301") + a153;
    QTest::newRow("escape at a boundary") << QString(152, u'a') + u"€" + QString(10, u'a') << 0
                                          << 0x40 << 2 << hex("0500033f0201") + repeated("a", 152);
    QTest::newRow("chinese") << u"你好"_s << 8 << 0 << 1 << hex("4f60597d");
    QTest::newRow("70 ucs-2") << QString(70, u'你') << 8 << 0 << 1 << repeated(hex("4f60"), 70);
    QTest::newRow("3-part ucs-2") << QString(135, u'你') << 8 << 0x40 << 3
                                  << hex("0500033f0301") + ni67;
    QTest::newRow("surrogate pair at a boundary")
        << QString(66, u'你') + u"😀"_s + QString(3, u'你') << 8 << 0x40 << 2
        << hex("0500033f0201") + repeated(hex("4f60"), 66);
    QTest::newRow("lone surrogates as U+FFFD")
        << u"\xD83D\x41\xD83D\xD83D"_s << 8 << 0 << 1 << hex("fffd0041fffdfffd");
    QTest::newRow("255 parts") << QString(qsizetype(153) * 255, u'a') << 0 << 0x40 << 255
                               << hex("0500033fff01") + a153;
    QTest::newRow("256 parts: none") << QString(153 * 255 + 1, u'a') << 0 << 0 << 0 << QByteArray();
}

void TestSmpp::encodeText()
{
    QFETCH(QString, text);
    QFETCH(int, coding);
    QFETCH(int, esmClass);
    QFETCH(int, parts);
    QFETCH(QByteArray, first);

    const SmsText::Outgoing out = SmsText::encode(text, 0x3f);
    QCOMPARE(out.dataCoding, coding);
    QCOMPARE(out.parts.size(), parts);
    if (parts == 0)
        return;
    QCOMPARE(out.esmClass, esmClass);
    QCOMPARE(out.parts.first().toHex(), first.toHex());
    for (const QByteArray &part : out.parts)
        QVERIFY(part.size() <= Smpp::MaxShortMessage);
}

void TestSmpp::decodeText_data()
{
    QTest::addColumn<int>("coding");
    QTest::addColumn<int>("esmClass");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("read");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("concatenation"); // reference/total/sequence, or empty

    QTest::newRow("gsm with escapes")
        << 0 << 0 << hex("1b65481b3c1b41001b") << true << u"€H[A@ "_s << QString();
    QTest::newRow("gsm octet above 127")
        << 0 << 0 << hex("4180") << true << u"A\uFFFD"_s << QString();
    QTest::newRow("gsm class f1") << 0xF1 << 0 << hex("4869") << true << u"Hi"_s << QString();
    QTest::newRow("8-bit class f5 as latin-1")
        << 0xF5 << 0 << hex("e9") << true << u"é"_s << QString();
    QTest::newRow("ia5") << 1 << 0 << hex("4869") << true << u"Hi"_s << QString();
    QTest::newRow("latin-1") << 3 << 0 << hex("636166e9") << true << u"café"_s << QString();
    QTest::newRow("other as latin-1") << 4 << 0 << hex("ff") << true << u"ÿ"_s << QString();
    QTest::newRow("ucs-2") << 8 << 0 << hex("4f60597dd83dde00") << true << u"你好😀"_s << QString();
    QTest::newRow("odd ucs-2") << 8 << 0 << hex("4f6059") << false << QString() << QString();
    QTest::newRow("ucs-2, a high surrogate alone")
        << 8 << 0 << hex("d8000041") << true << u"\uFFFDA"_s << QString();
    QTest::newRow("ucs-2, a low surrogate alone")
        << 8 << 0 << hex("0041de00d83dde00") << true << u"A\uFFFD😀"_s << QString();
    QTest::newRow("ucs-2, a high surrogate last")
        << 8 << 0 << hex("4f60d83d") << true << u"你\uFFFD"_s << QString();
    QTest::newRow("iei 0") << 0 << 0x40 << hex("0500032a03024869") << true << u"Hi"_s
                           << u"42/3/2"_s;
    QTest::newRow("iei 8") << 0 << 0x40 << hex("06080412340201 4869") << true << u"Hi"_s
                           << u"4660/2/1"_s;
    QTest::newRow("other iei skipped")
        << 0 << 0x40 << hex("090a02ffff00030a0201 4869") << true << u"Hi"_s << u"10/2/1"_s;
    QTest::newRow("ucs-2 after a header")
        << 8 << 0x40 << hex("050003010101 4f60") << true << u"你"_s << u"1/1/1"_s;
    QTest::newRow("sequence beyond its count")
        << 0 << 0x40 << hex("0500030102034869") << true << u"Hi"_s << QString();
    QTest::newRow("header past the payload")
        << 0 << 0x40 << hex("0500032a03") << false << QString() << QString();
    QTest::newRow("element past the header")
        << 0 << 0x40 << hex("0300032a4869") << false << QString() << QString();
    QTest::newRow("element header cut")
        << 0 << 0x40 << hex("01004869") << false << QString() << QString();
    QTest::newRow("indicator without a header")
        << 0 << 0x40 << QByteArray() << false << QString() << QString();
}

void TestSmpp::decodeText()
{
    QFETCH(int, coding);
    QFETCH(int, esmClass);
    QFETCH(QByteArray, payload);
    QFETCH(bool, read);
    QFETCH(QString, text);
    QFETCH(QString, concatenation);

    const std::optional<SmsText::Incoming> in
        = SmsText::decode(quint8(coding), quint8(esmClass), payload);
    QCOMPARE(in.has_value(), read);
    if (!in)
        return;
    QCOMPARE(in->text, text);
    QString seen;
    if (in->concatenation) {
        seen = QString::number(in->concatenation->reference) + u'/'
            + QString::number(in->concatenation->total) + u'/'
            + QString::number(in->concatenation->sequence);
    }
    QCOMPARE(seen, concatenation);
}

void TestSmpp::receiptText_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("read");
    QTest::addColumn<QByteArray>("id");
    QTest::addColumn<QByteArray>("stat");

    QTest::newRow("conventional") << QByteArray(
        "id:0A1B2C sub:001 dlvrd:001 submit date:2401011200 "
        "done date:2401011201 stat:DELIVRD err:000 text:Hi")
                                  << true << QByteArray("0A1B2C") << QByteArray("DELIVRD");
    QTest::newRow("capital keys, small stat") << QByteArray("ID:77 SUB:001 STAT:undeliv ERR:005")
                                              << true << QByteArray("77") << QByteArray("UNDELIV");
    QTest::newRow("id inside a word") << QByteArray("msgid:9 id:10 stat:EXPIRED") << true
                                      << QByteArray("10") << QByteArray("EXPIRED");
    QTest::newRow("stat in the text") << QByteArray("id:3 stat:REJECTD text:stat:DELIVRD") << true
                                      << QByteArray("3") << QByteArray("REJECTD");
    QTest::newRow("no stat") << QByteArray("id:5 sub:001") << false << QByteArray() << QByteArray();
    QTest::newRow("no id") << QByteArray("stat:DELIVRD") << false << QByteArray() << QByteArray();
    QTest::newRow("empty id") << QByteArray("id: stat:DELIVRD") << false << QByteArray()
                              << QByteArray();
    QTest::newRow("empty") << QByteArray() << false << QByteArray() << QByteArray();
}

void TestSmpp::receiptText()
{
    QFETCH(QByteArray, payload);
    QFETCH(bool, read);
    QFETCH(QByteArray, id);
    QFETCH(QByteArray, stat);

    const std::optional<SmsText::ReceiptText> receipt = SmsText::receiptText(payload);
    QCOMPARE(receipt.has_value(), read);
    if (!receipt)
        return;
    QCOMPARE(receipt->id, id);
    QCOMPARE(receipt->stat, stat);
}

void TestSmpp::receiptWritten()
{
    const QByteArray text = SmsText::makeReceiptText("1f", "EXPIRED");
    const QRegularExpression form(u"^id:1f sub:001 dlvrd:001 submit date:(\\d{10}) "
                                  "done date:(\\d{10}) stat:EXPIRED err:000 text:$"_s);
    const QRegularExpressionMatch match = form.match(QString::fromLatin1(text));
    QVERIFY2(match.hasMatch(), text.constData());
    const QString now = QDateTime::currentDateTime().toString(u"yyMMddHHmm"_s);
    QVERIFY(qAbs(match.captured(1).toLongLong() - now.toLongLong()) <= 1);
}

// Each PDU the link or the simulator writes, byte for byte, and read back.
void TestSmpp::pduBytes_data()
{
    QTest::addColumn<QByteArray>("pdu");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("bind_transceiver")
        << Smpp::bind(Smpp::Command::BindTransceiver, 1, { "quillet", "secret1", "", {} })
        << hex("00000025 00000009 00000000 00000001 7175696c6c657400 7365637265743100 00 34 00 00 "
               "00");
    QTest::newRow("bind_receiver with a range")
        << Smpp::bind(Smpp::Command::BindReceiver, 2, { "q", "p", "VMA", { 1, 1, "49" } })
        << hex("0000001e 00000001 00000000 00000002 7100 7000 564d4100 34 01 01 343900");
    Smpp::ShortMessage submit;
    submit.serviceType = "CMT";
    submit.source = { 5, 0, "Quillet" };
    submit.destination = { 1, 1, "4917200" };
    submit.esmClass = 0x40;
    submit.registeredDelivery = 1;
    submit.dataCoding = 8;
    submit.payload = hex("0500031402014f60");
    QTest::newRow("submit_sm")
        << Smpp::submitSm(7, submit)
        << hex("0000003a 00000004 00000000 00000007 434d5400 05 00 5175696c6c657400 01 01 "
               "3439313732303000 40 00 00 00 00 01 00 08 00 08 0500031402014f60");
    Smpp::ShortMessage valid = submit;
    valid.validityPeriod = "261210093000000+";
    QTest::newRow("submit_sm with a validity")
        << Smpp::submitSm(8, valid)
        << hex("0000004a 00000004 00000000 00000008 434d5400 05 00 5175696c6c657400 01 01 "
               "3439313732303000 40 00 00 00 3236313231303039333030303030302b00 01 00 08 00 08 "
               "0500031402014f60");
    Smpp::ShortMessage receipt;
    receipt.source = { 1, 1, "4917200" };
    receipt.destination = { 5, 0, "Quillet" };
    receipt.esmClass = 0x04;
    receipt.payload = "id:1f stat:DELIVRD";
    receipt.receiptedMessageId = "1f";
    receipt.messageState = 2;
    QTest::newRow("deliver_sm receipt")
        << Smpp::deliverSm(9, receipt)
        << hex("0000004d 00000005 00000000 00000009 00 01 01 3439313732303000 05 00 "
               "5175696c6c657400 04 00 00 00 00 00 00 00 00 12 69643a31662073746174"
               "3a44454c49565244 0427 0001 02 001e 0003 316600");
    QTest::newRow("submit_sm_resp") << Smpp::response(Smpp::Command::SubmitSmResp, 7, 0, "1f")
                                    << hex("00000013 80000004 00000000 00000007 316600");
    QTest::newRow("submit_sm_resp refused")
        << Smpp::response(Smpp::Command::SubmitSmResp, 8, 0x58, "")
        << hex("00000010 80000004 00000058 00000008");
    QTest::newRow("bind_transceiver_resp")
        << Smpp::response(Smpp::Command::BindTransceiverResp, 1, 0x0E, "smsc")
        << hex("00000015 80000009 0000000e 00000001 736d736300");
    QTest::newRow("enquire_link") << Smpp::bare(Smpp::Command::EnquireLink, 3)
                                  << hex("00000010 00000015 00000000 00000003");
    QTest::newRow("generic_nack") << Smpp::bare(Smpp::Command::GenericNack, 4, 3)
                                  << hex("00000010 80000000 00000003 00000004");
    QTest::newRow("deliver_sm_resp") << Smpp::bare(Smpp::Command::DeliverSmResp, 9)
                                     << hex("00000011 80000005 00000000 00000009 00");
}

void TestSmpp::pduBytes()
{
    QFETCH(QByteArray, pdu);
    QFETCH(QByteArray, expected);
    QCOMPARE(pdu.toHex(' '), expected.toHex(' '));
}

// What decode() reads out of PDUs as a peer may write them.
void TestSmpp::pduRead_data()
{
    QTest::addColumn<QByteArray>("pdu");
    QTest::addColumn<bool>("read");
    QTest::addColumn<QString>("fields");

    QTest::newRow("bind_transceiver")
        << hex("00000025 00000009 00000000 00000001 7175696c6c657400 7365637265743100 00 34 00 00 "
               "00")
        << true << u"9 0 1 bind quillet secret1  0 0 "_s;
    QTest::newRow("submit_sm")
        << hex("0000003a 00000004 00000000 00000007 434d5400 05 00 5175696c6c657400 01 01 "
               "3439313732303000 40 00 00 00 00 01 00 08 00 08 0500031402014f60")
        << true << u"4 0 7 sm CMT 5/0/Quillet 1/1/4917200 40 1 8 0500031402014f60  -"_s;
    QTest::newRow("deliver_sm, tlvs the other way round, an id without its nul")
        << hex("0000004c 00000005 00000000 00000009 00 01 01 3439313732303000 05 00 "
               "5175696c6c657400 04 00 00 00 00 00 00 00 00 12 69643a31662073746174"
               "3a44454c49565244 001e 0002 3166 0427 0001 05")
        << true
        << u"5 0 9 sm  1/1/4917200 5/0/Quillet 4 0 0 69643a31662073746174"
           "3a44454c49565244 1f 5"_s;
    QTest::newRow("deliver_sm with other tlvs")
        << hex("0000002f 00000005 00000000 00000002 00 00 00 3100 00 00 3200 00 00 00 00 00 00 "
               "00 00 00 01 41 0204 0002 0001 1401 0001 ff")
        << true << u"5 0 2 sm  0/0/1 0/0/2 0 0 0 41  -"_s;
    QTest::newRow("deliver_sm of 254 octets")
        << hex("00000121 00000005 00000000 00000002 00 00 00 3100 00 00 3200 00 00 00 00 00 00 "
               "00 00 00 fe")
            + QByteArray(254, 'x')
        << true << u"5 0 2 sm  0/0/1 0/0/2 0 0 0 "_s + u"78"_s.repeated(254) + u"  -"_s;
    // libsmpp34 notes each parameter it does not know in its error buffer, and writes
    // past the buffer's end after some sixty of them.
    QTest::newRow("submit_sm with 70 parameters of tag 0")
        << hex("00000139 00000004 00000000 00000008") + QByteArray(17 + 70 * 4, '\0') << true
        << u"4 0 8 sm  0/0/ 0/0/ 0 0 0   -"_s;
    QTest::newRow("bind_transceiver_resp with a tlv")
        << hex("0000001a 80000009 00000000 00000001 736d736300 0210 0001 34") << true
        << u"80000009 0 1 id smsc"_s;
    QTest::newRow("bind refused, header alone")
        << hex("00000010 80000009 0000000e 00000001") << true << u"80000009 e 1 id "_s;
    QTest::newRow("submit_sm_resp")
        << hex("00000013 80000004 00000000 00000007 316600") << true << u"80000004 0 7 id 1f"_s;
    QTest::newRow("data_sm: its text in message_payload, its place in sar_ parameters")
        << hex("00000043 00000103 00000000 00000005 434d5400 05 00 5175696c6c657400 01 01 "
               "3439313732303000 00 01 08 0424 0004 4f60597d 020c 0002 1234 020e 0001 03 "
               "020f 0001 02")
        << true << u"103 0 5 data CMT 5/0/Quillet 1/1/4917200 0 1 8 4f60597d 4660/3/2"_s;
    QTest::newRow("data_sm cut short")
        << hex("00000013 00000103 00000000 00000005 000102") << false << QString();
    QTest::newRow("a command not handled: its header alone")
        << hex("00000013 00000007 00000000 00000005 000102") << true << u"7 0 5"_s;
    QTest::newRow("deliver_sm_resp without its nul")
        << hex("00000010 80000005 00000000 00000009") << true << u"80000005 0 9"_s;
    QTest::newRow("length unlike the bytes")
        << hex("00000014 00000015 00000000 00000001") << false << QString();
    QTest::newRow("bind with a system_id of 16")
        << hex("00000028 00000009 00000000 00000001 3132333435363738393031323334353600 7000 00 "
               "34 00 00 00")
        << false << QString();
    QTest::newRow("bind with bytes after its body")
        << hex("0000001a 00000009 00000000 00000001 7100 7000 00 34 00 00 00 ff") << false
        << QString();
    QTest::newRow("submit_sm_resp id without its nul")
        << hex("00000012 80000004 00000000 00000007 3166") << true << u"80000004 0 7 id 1f"_s;
    QTest::newRow("submit_sm_resp id of 70, whole")
        << hex("00000057 80000004 00000000 00000007") + QByteArray(70, 'a') + hex("00") << true
        << u"80000004 0 7 id "_s + QString(70, u'a');
    QTest::newRow("deliver_sm, short_message past the end")
        << hex("00000024 00000005 00000000 00000002 00 00 00 3100 00 00 3200 00 00 00 00 00 00 "
               "00 00 00 05 41")
        << false << QString();
    QTest::newRow("deliver_sm, message_state of two octets")
        << hex("0000002a 00000005 00000000 00000002 00 00 00 3100 00 00 3200 00 00 00 00 00 00 "
               "00 00 00 01 41 0427 0002 0202")
        << false << QString();
    QTest::newRow("deliver_sm, message_state of no octet")
        << hex("00000028 00000005 00000000 00000002 00 00 00 3100 00 00 3200 00 00 00 00 00 00 "
               "00 00 00 01 41 0427 0000")
        << false << QString();
    QTest::newRow("deliver_sm, receipted_message_id of 66, whole")
        << hex("0000006a 00000005 00000000 00000002 00 00 00 3100 00 00 3200 00 00 00 00 00 00 "
               "00 00 00 01 41 001e 0042 "
               "3131313131313131313131313131313131313131313131313131313131313131"
               "3131313131313131313131313131313131313131313131313131313131313131 3100")
        << true << u"5 0 2 sm  0/0/1 0/0/2 0 0 0 41 "_s + QString(65, u'1') + u" -"_s;
    QTest::newRow("deliver_sm, tlv header cut")
        << hex("00000027 00000005 00000000 00000002 00 00 00 3100 00 00 3200 00 00 00 00 00 00 "
               "00 00 00 01 41 0427 00")
        << false << QString();
    QTest::newRow("deliver_sm, tlv value cut")
        << hex("0000002a 00000005 00000000 00000002 00 00 00 3100 00 00 3200 00 00 00 00 00 00 "
               "00 00 00 01 41 001e 0004 3100")
        << false << QString();
}

void TestSmpp::pduRead()
{
    QFETCH(QByteArray, pdu);
    QFETCH(bool, read);
    QFETCH(QString, fields);

    const std::optional<Smpp::Pdu> decoded = Smpp::decode(pdu);
    QCOMPARE(decoded.has_value(), read);
    if (!decoded)
        return;
    const auto address = [](const Smpp::Address &a) -> QString {
        return QString::number(a.ton) + u'/' + QString::number(a.npi) + u'/'
            + QString::fromLatin1(a.digits);
    };
    const Smpp::Header &h = decoded->header;
    QString seen = QString::number(h.command, 16) + u' ' + QString::number(h.status, 16) + u' '
        + QString::number(h.sequence);
    switch (Smpp::Command(h.command)) {
    case Smpp::Command::BindTransceiver: {
        const Smpp::BindRequest &b = decoded->bind;
        seen += u" bind "_s + QString::fromLatin1(b.systemId) + u' '
            + QString::fromLatin1(b.password) + u' ' + QString::fromLatin1(b.systemType) + u' '
            + QString::number(b.range.ton) + u' ' + QString::number(b.range.npi) + u' '
            + QString::fromLatin1(b.range.digits);
        break;
    }
    case Smpp::Command::SubmitSm:
    case Smpp::Command::DeliverSm: {
        const Smpp::ShortMessage &m = decoded->message;
        seen += u" sm "_s + QString::fromLatin1(m.serviceType) + u' ' + address(m.source) + u' '
            + address(m.destination) + u' ' + QString::number(m.esmClass, 16) + u' '
            + QString::number(m.registeredDelivery) + u' ' + QString::number(m.dataCoding) + u' '
            + QString::fromLatin1(m.payload.toHex()) + u' '
            + QString::fromLatin1(m.receiptedMessageId) + u' '
            + (m.messageState ? QString::number(*m.messageState) : u"-"_s);
        break;
    }
    case Smpp::Command::DataSm: {
        const Smpp::ShortMessage &m = decoded->message;
        const auto number
            = [](const auto &value) { return value ? QString::number(*value) : u"-"_s; };
        seen += u" data "_s + QString::fromLatin1(m.serviceType) + u' ' + address(m.source) + u' '
            + address(m.destination) + u' ' + QString::number(m.esmClass, 16) + u' '
            + QString::number(m.registeredDelivery) + u' ' + QString::number(m.dataCoding) + u' '
            + QString::fromLatin1(m.messagePayload.value_or(QByteArray()).toHex()) + u' '
            + number(m.sarReference) + u'/' + number(m.sarTotal) + u'/' + number(m.sarSequence);
        break;
    }
    case Smpp::Command::BindTransceiverResp:
    case Smpp::Command::SubmitSmResp:
        seen += u" id "_s + QString::fromLatin1(decoded->id);
        break;
    default:
        break;
    }
    QCOMPARE(seen, fields);
}

void TestSmpp::headerGuard_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<quint32>("length");

    QTest::newRow("15 octets") << hex("000000100000001500000000000000") << false << true
                               << quint32(0);
    QTest::newRow("length 15") << hex("0000000f 00000015 00000000 00000001") << true << false
                               << quint32(15);
    QTest::newRow("length 16") << hex("00000010 00000015 00000000 00000001") << true << true
                               << quint32(16);
    QTest::newRow("length 4096") << hex("00001000 00000004 00000000 00000001") << true << true
                                 << quint32(4096);
    QTest::newRow("length 4097") << hex("00001001 00000004 00000000 00000001") << true << false
                                 << quint32(4097);
    QTest::newRow("length 2^32-1")
        << hex("ffffffff 00000004 00000000 00000001") << true << false << quint32(0xffffffff);
}

void TestSmpp::headerGuard()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, complete);
    QFETCH(bool, valid);
    QFETCH(quint32, length);

    const Smpp::Peek peek = Smpp::header(bytes);
    QCOMPARE(peek.complete, complete);
    QCOMPARE(peek.valid, valid);
    QCOMPARE(peek.header.length, length);
    if (!complete)
        return;
    QCOMPARE(peek.header.sequence, 1u);
    // A PDU of that length is refused by decode() too.
    QByteArray whole = bytes;
    whole.resize(qMin<quint32>(length, 5000), '\0');
    if (!valid)
        QVERIFY(!Smpp::decode(whole));
}

void TestSmpp::fieldsThatDoNotFit_data()
{
    QTest::addColumn<QByteArray>("pdu");
    QTest::addColumn<bool>("fits");

    using Smpp::Command;
    const auto bind = [](const QByteArray &id, const QByteArray &password, const QByteArray &type,
                         const QByteArray &range) {
        return Smpp::bind(Command::BindTransmitter, 1, { id, password, type, { 0, 0, range } });
    };
    QTest::newRow("system_id 15") << bind(QByteArray(15, 'x'), "", "", "") << true;
    QTest::newRow("system_id 16") << bind(QByteArray(16, 'x'), "", "", "") << false;
    QTest::newRow("system_id with a nul") << bind(QByteArray("ab\0cd", 5), "", "", "") << false;
    QTest::newRow("password 8") << bind("q", QByteArray(8, 'x'), "", "") << true;
    QTest::newRow("password 9") << bind("q", QByteArray(9, 'x'), "", "") << false;
    QTest::newRow("system_type 13") << bind("q", "", QByteArray(13, 'x'), "") << false;
    QTest::newRow("range 21") << bind("q", "", "", QByteArray(21, '1')) << false;
    QTest::newRow("bind as another command")
        << Smpp::bind(Command::SubmitSm, 1, { "q", "", "", {} }) << false;

    const auto submit = [](int source, int destination, int payload, int serviceType) {
        Smpp::ShortMessage m;
        m.source.digits = QByteArray(source, '1');
        m.destination.digits = QByteArray(destination, '2');
        m.payload = QByteArray(payload, 'x');
        m.serviceType = QByteArray(serviceType, 's');
        return Smpp::submitSm(1, m);
    };
    QTest::newRow("addresses 20, payload 253") << submit(20, 20, 253, 5) << true;
    QTest::newRow("source 21") << submit(21, 1, 1, 0) << false;
    QTest::newRow("destination 21") << submit(1, 21, 1, 0) << false;
    QTest::newRow("payload 254") << submit(1, 1, 254, 0) << false;
    QTest::newRow("service_type 6") << submit(1, 1, 1, 6) << false;

    Smpp::ShortMessage receipt;
    receipt.receiptedMessageId = QByteArray(64, '1');
    QTest::newRow("receipted_message_id 64") << Smpp::deliverSm(1, receipt) << true;
    receipt.receiptedMessageId = QByteArray(65, '1');
    QTest::newRow("receipted_message_id 65") << Smpp::deliverSm(1, receipt) << false;
    receipt.receiptedMessageId.clear();
    receipt.payload = QByteArray(254, 'x');
    QTest::newRow("deliver_sm payload 254") << Smpp::deliverSm(1, receipt) << false;

    QTest::newRow("message_id 64")
        << Smpp::response(Command::SubmitSmResp, 1, 0, QByteArray(64, 'f')) << true;
    QTest::newRow("message_id 65")
        << Smpp::response(Command::SubmitSmResp, 1, 0, QByteArray(65, 'f')) << false;
    QTest::newRow("bind response system_id 16")
        << Smpp::response(Command::BindReceiverResp, 1, 0, QByteArray(16, 'f')) << false;
    QTest::newRow("response to a bare command")
        << Smpp::response(Command::EnquireLinkResp, 1, 0, "") << false;
    QTest::newRow("bare submit_sm") << Smpp::bare(Command::SubmitSm, 1) << false;
}

void TestSmpp::fieldsThatDoNotFit()
{
    QFETCH(QByteArray, pdu);
    QFETCH(bool, fits);
    QCOMPARE(!pdu.isEmpty(), fits);
}

// Truncated PDUs (their length field saying so), flipped octets and random bodies behind a
// valid header: read or refused, never a crash (AddressSanitizer builds check the rest).
void TestSmpp::anyBytes()
{
    Smpp::ShortMessage m;
    m.source.digits = "123";
    m.payload = "hello";
    m.receiptedMessageId = "abc";
    m.messageState = 2;
    const QList<QByteArray> seeds {
        Smpp::bind(Smpp::Command::BindTransceiver, 1, { "quillet", "secret1", "", {} }),
        Smpp::submitSm(2, m),
        Smpp::deliverSm(3, m),
        Smpp::response(Smpp::Command::BindTransceiverResp, 1, 0, "smsc"),
        Smpp::response(Smpp::Command::SubmitSmResp, 1, 0, "1f"),
    };
    QRandomGenerator random(20240601);
    int read = 0;
    const auto put32 = [](QByteArray &b, int at, quint32 v) {
        for (int i = 0; i < 4; ++i)
            b[at + i] = char(v >> (24 - 8 * i));
    };
    for (const QByteArray &seed : seeds) {
        QVERIFY(!seed.isEmpty());
        for (qsizetype cut = Smpp::HeaderLength; cut <= seed.size(); ++cut) {
            QByteArray pdu = seed.left(cut);
            put32(pdu, 0, quint32(cut));
            read += Smpp::decode(pdu).has_value();
            (void)SmsText::decode(quint8(cut), quint8(cut * 7), pdu.mid(Smpp::HeaderLength));
        }
        for (int round = 0; round < 2000; ++round) {
            QByteArray pdu = seed;
            const int flips = 1 + int(random.bounded(4));
            for (int f = 0; f < flips; ++f)
                pdu[Smpp::HeaderLength + random.bounded(int(pdu.size()) - Smpp::HeaderLength)]
                    = char(random.bounded(256));
            read += Smpp::decode(pdu).has_value();
        }
        for (int round = 0; round < 500; ++round) {
            QByteArray pdu(Smpp::HeaderLength + random.bounded(300), '\0');
            for (char &c : pdu)
                c = char(random.bounded(256));
            put32(pdu, 0, quint32(pdu.size()));
            put32(pdu, 4, quint32(Smpp::header(seed).header.command));
            read += Smpp::decode(pdu).has_value();
        }
    }
    // The untouched seeds at least.
    QVERIFY(read >= seeds.size());
}

QTEST_GUILESS_MAIN(TestSmpp)
#include "tst_smpp.moc"
