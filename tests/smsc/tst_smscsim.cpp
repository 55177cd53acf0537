// The SMSC simulator as a link meets it: a bind with a right or a wrong password, a
// submit_sm of a GSM text, the event lines, and the delivery receipt that follows.

#include "service/link/smpppdu.h"
#include "service/link/smstext.h"
#include "tests/smsc/smscsimulator.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// The next whole PDU from the socket, decoded; nullopt after 5 s without one.
std::optional<Smpp::Pdu> readPdu(QTcpSocket &socket, QByteArray &buffer)
{
    for (;;) {
        const Smpp::Peek peek = Smpp::header(buffer);
        if (peek.complete && peek.valid && quint32(buffer.size()) >= peek.header.length) {
            const QByteArray pdu = buffer.left(peek.header.length);
            buffer.remove(0, peek.header.length);
            return Smpp::decode(pdu);
        }
        if (!socket.waitForReadyRead(5000))
            return std::nullopt;
        buffer += socket.readAll();
    }
}

} // namespace

class TestSmscSim : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void bindAndSubmit_data();
    void bindAndSubmit();
};

void TestSmscSim::bindAndSubmit_data()
{
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<quint32>("bindStatus");
    QTest::addColumn<QString>("bindEvent");
    QTest::newRow("right password")
        << QByteArray("secret1") << quint32(0x00) << u"bind transceiver quillet ok"_s;
    QTest::newRow("wrong password")
        << QByteArray("secret2") << quint32(0x0E) << u"bind transceiver quillet refused"_s;
}

void TestSmscSim::bindAndSubmit()
{
    QFETCH(QByteArray, password);
    QFETCH(quint32, bindStatus);
    QFETCH(QString, bindEvent);

    SmscSimulator smsc;
    QVERIFY2(smsc.start({ u"--receipts"_s, u"0"_s }), smsc.errors().constData());
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, smsc.port());
    QVERIFY(socket.waitForConnected(5000));
    QByteArray buffer;

    socket.write(Smpp::bind(Smpp::Command::BindTransceiver, 1, { "quillet", password, {}, {} }));
    std::optional<Smpp::Pdu> pdu = readPdu(socket, buffer);
    QVERIFY(pdu);
    QCOMPARE(pdu->header.command, 0x80000009u);
    QCOMPARE(pdu->header.status, bindStatus);
    QCOMPARE(pdu->header.sequence, 1u);
    QCOMPARE(smsc.waitFor(u"bind"_s, 1), QStringList { bindEvent });
    if (bindStatus != 0)
        return;

    Smpp::ShortMessage message;
    message.source.digits = "4915100";
    message.destination.digits = "4917200";
    message.registeredDelivery = 1;
    message.payload = QByteArray("Hi \x1b\x3cyou\x1b\x3e\n", 11); // "Hi [you]\n"
    socket.write(Smpp::submitSm(2, message));
    pdu = readPdu(socket, buffer);
    QVERIFY(pdu);
    QCOMPARE(pdu->header.command, 0x80000004u);
    QCOMPARE(pdu->header.status, 0u);
    QCOMPARE(pdu->id, QByteArray("1"));
    QCOMPARE(smsc.waitFor(u"submit"_s, 1),
             QStringList { u"submit 1 4915100 4917200 00 00 - Hi [you]\\n"_s });

    pdu = readPdu(socket, buffer);
    QVERIFY(pdu);
    QCOMPARE(pdu->header.command, 0x00000005u);
    QCOMPARE(pdu->message.esmClass, quint8(0x04));
    QCOMPARE(pdu->message.source.digits, QByteArray("4917200"));
    QCOMPARE(pdu->message.destination.digits, QByteArray("4915100"));
    QCOMPARE(pdu->message.receiptedMessageId, QByteArray("1"));
    QCOMPARE(pdu->message.messageState, std::optional<quint8>(2));
    const std::optional<SmsText::ReceiptText> receipt = SmsText::receiptText(pdu->message.payload);
    QVERIFY(receipt);
    QCOMPARE(receipt->id, QByteArray("1"));
    QCOMPARE(receipt->stat, QByteArray("DELIVRD"));
    QCOMPARE(smsc.waitFor(u"receipt"_s, 1), QStringList { u"receipt 1 DELIVRD"_s });

    socket.write(Smpp::bare(Smpp::Command::DeliverSmResp, pdu->header.sequence));
    QCOMPARE(smsc.waitFor(u"receipt-resp"_s, 1),
             QStringList { u"receipt-resp "_s + QString::number(pdu->header.sequence) + u" 00"_s });
}

QTEST_GUILESS_MAIN(TestSmscSim)
#include "tst_smscsim.moc"
