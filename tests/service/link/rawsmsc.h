#pragma once

// An SMSC the test plays byte by byte, in process, on 127.0.0.1. It writes and reads
// SMPP with an encoder of its own, spelled out from the protocol's layout rather than
// taken from the link's codec, so that a fault made alike on both sides shows.
//
//   link ── bind ──> RawSmsc: binds (or refuses), answers enquire_link and submit_sm
//                    as told, keeps every PDU it reads in order
//   test ── write(Raw::deliverSm(...)) ──> the session bound last that may receive

#include <QByteArray>
#include <QList>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>
#include <memory>
#include <optional>

namespace Raw {

// command_id values, as SMPP 3.4 numbers them.
namespace Command {
constexpr quint32 GenericNack = 0x80000000;
constexpr quint32 BindReceiver = 0x00000001;
constexpr quint32 BindTransmitter = 0x00000002;
constexpr quint32 SubmitSm = 0x00000004;
constexpr quint32 SubmitSmResp = 0x80000004;
constexpr quint32 DeliverSm = 0x00000005;
constexpr quint32 DeliverSmResp = 0x80000005;
constexpr quint32 Unbind = 0x00000006;
constexpr quint32 UnbindResp = 0x80000006;
constexpr quint32 BindTransceiver = 0x00000009;
constexpr quint32 EnquireLink = 0x00000015;
constexpr quint32 EnquireLinkResp = 0x80000015;
constexpr quint32 ResponseBit = 0x80000000;
} // namespace Command

struct Pdu {
    quint32 command = 0;
    quint32 status = 0;
    quint32 sequence = 0;
    QByteArray body;
    int session = 0; // which connection, from 0 in the order they came
};

// A whole PDU: the 16-octet header, then `body`.
QByteArray pdu(quint32 command, quint32 sequence, const QByteArray &body = {}, quint32 status = 0);
// A TLV: tag, length, value.
QByteArray tlv(quint16 tag, const QByteArray &value);

struct Message {
    QByteArray source = "13800138000";
    quint8 sourceTon = 0;
    QByteArray destination = "106900000001";
    quint8 esmClass = 0;
    quint8 dataCoding = 0;
    QByteArray shortMessage;
    QByteArray tlvs; // written after the mandatory part as they stand
};
QByteArray deliverSm(quint32 sequence, const Message &message);
// What a submit_sm said (the fields a test reads); nullopt when its body runs short.
std::optional<Message> submitOf(const QByteArray &body);

} // namespace Raw

class RawSmsc {
public:
    RawSmsc();
    ~RawSmsc();
    RawSmsc(const RawSmsc &) = delete;
    RawSmsc &operator=(const RawSmsc &) = delete;

    bool listen() { return m_server->listen(QHostAddress::LocalHost, 0); }
    // Over TLS, with this certificate and private key (PEM files).
    bool listenTls(const QString &certificateFile, const QString &keyFile);
    quint16 port() const { return m_server->serverPort(); }
    bool isListening() const { return m_server->isListening(); }
    // Sessions bound so far, the ones since closed included.
    int binds() const { return m_binds; }
    bool bound() const { return m_binds > 0; }

    // To the session bound last as a transceiver or a receiver.
    void write(const QByteArray &bytes);
    // From now on the last session reads nothing, and the system takes little for it:
    // what the link writes piles up in its socket.
    void stopReading();
    // Closes every session.
    void dropAll();

    // The submit_sm answers held back while `holdSubmits`, by sequence number in the
    // order they came; answer() writes one on the session that sent it.
    QList<quint32> heldSubmits;
    void answer(quint32 sequence, quint32 status, const QByteArray &id = "1");

    // The PDUs read of `command`, and the deliver_sm answered with status 0.
    QList<Raw::Pdu> of(quint32 command) const;
    qsizetype answeredOk() const;
    std::optional<quint32> answerTo(quint32 sequence) const;
    // Where a PDU of `command` (and `sequence`, unless 0) first and last is in `received`;
    // -1 for none.
    qsizetype firstOf(quint32 command, quint32 sequence = 0) const;
    qsizetype lastOf(quint32 command) const;

    QList<Raw::Pdu> received;
    // How binds are answered: taken, or refused with this status.
    quint32 bindStatus = 0;
    // How submit_sm is answered: with submitStatus (taken with submitId when 0), or not at
    // all while holdSubmits.
    QByteArray submitId = "1";
    quint32 submitStatus = 0;
    bool holdSubmits = false;
    // Nothing is answered at all, enquire_link included.
    bool mute = false;
    // Called for each PDU read, after it was answered.
    std::function<void(const Raw::Pdu &)> onPdu;

private:
    struct Session;
    void accept();
    void read(Session &session);
    void handle(Session &session, const Raw::Pdu &pdu);

    std::unique_ptr<QTcpServer> m_server;
    std::vector<std::unique_ptr<Session>> m_sessions;
    int m_binds = 0;
};

// Runs the event loop until `done` holds or `ms` passed, never sleeping while events wait
// (QTest::qWaitFor sleeps between its rounds, which a session's turns would wait for).
bool spin(const std::function<bool()> &done, int ms);
