#pragma once

// One connection to an SMSC: TCP or TLS, bound as a transceiver, a transmitter or a
// receiver. It frames the PDUs, answers what the protocol answers by itself
// (enquire_link, unbind, generic_nack for a command it does not know), keeps the
// connection alive with enquire_link, and times out every request it sent.
//
//   open() ── connect ── bind ── bound()                    refused: bindRefused(status)
//   request(seq, pdu) ── answered(pdu) | timedOut(seq)
//   the SMSC's deliver_sm ── incoming(those of a turn), each to be answered with reply()
//   any end of the connection ── lost(why), once
//
// What an SMSC sends never costs memory without bound, nor holds the thread: the socket
// keeps at most ReadBufferBytes unread, a turn of the event loop handles at most
// PdusPerTurn PDUs (timers, sends and other sessions go on between turns, however long
// the burst), and nothing more is read while the answers the SMSC has not taken pass a
// few windows' worth; a peer that takes none of them for the response time-out is left.
//
// Lives on the links' thread (libsmpp34 is used from that thread only).

#include "service/link/linksettings.h"
#include "service/link/pdureader.h"
#include "service/link/smpppdu.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

class SmppSession : public QObject {
    Q_OBJECT

public:
    enum class Mode { Transceiver, Transmitter, Receiver };

    static constexpr int PdusPerTurn = 128;
    static constexpr qint64 ReadBufferBytes = PduReader::BufferBytes;

    SmppSession(const LinkSettings &settings, Mode mode, QObject *parent = nullptr);
    ~SmppSession() override;

    void open();
    // Unbinds (without waiting for the answer) and closes; no lost() follows.
    void close();
    bool isBound() const { return m_phase == Phase::Bound || m_phase == Phase::Enquiring; }

    quint32 nextSequence();
    // A request built with `sequence`; its answer or its time-out follows.
    void request(quint32 sequence, const QByteArray &pdu);
    // A response to the SMSC's request.
    void reply(const QByteArray &pdu);
    int outstanding() const { return int(m_waiting.size()); }
    // What the session holds of the connection: read and not yet handled, and written
    // and not yet taken by the peer.
    qint64 heldBytes() const;

Q_SIGNALS:
    void bound();
    void bindRefused(quint32 status);
    void lost(const QString &why);
    void answered(const Smpp::Pdu &pdu);
    void timedOut(quint32 sequence);
    // The deliver_sm of one turn, in the order they came.
    void incoming(const QList<Smpp::Pdu> &deliveries);
    // The SMSC unbinds: what it sent before is answered now, or never.
    void unbinding();

private:
    // Where the session is. The sequence number it waits for, m_awaited, is the bind's
    // while Binding and the enquire_link's while Enquiring, and means nothing otherwise.
    enum class Phase {
        Connecting, // the connection, and with TLS its handshake, under way
        Binding,
        Bound,
        Enquiring, // bound, with an enquire_link unanswered
        Ended, // closed, lost or refused: nothing more is read or written
    };

    void connected();
    void readPdus();
    void turn();
    qint64 unsent() const;
    bool backlogged() const;
    void written();
    void handle(const Smpp::Pdu &pdu, QList<Smpp::Pdu> &deliveries);
    void sweep();
    void keepAlive();
    void fail(const QString &why);
    void write(const QByteArray &pdu);

    const LinkSettings &m_settings;
    Mode m_mode;
    // A QSslSocket with TLS; a plain one without, so that OpenSSL is not woken for it.
    std::unique_ptr<QTcpSocket> m_socket;
    PduReader m_reader;
    // Unanswered output past which nothing more is read, and since when it has been past.
    qint64 m_outputBound = 0;
    qint64 m_stalledSince = -1;
    bool m_inTurn = false;
    Phase m_phase = Phase::Connecting;
    quint32 m_awaited = 0;
    quint32 m_sequence = 0;
    // Requests without an answer yet, and when each was sent.
    QHash<quint32, qint64> m_waiting;
    QElapsedTimer m_clock;
    QTimer m_sweep;
    QTimer m_keepAlive;
    QTimer m_nextTurn;
};
