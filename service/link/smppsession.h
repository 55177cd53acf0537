#pragma once

// One connection to an SMSC: TCP or TLS, bound as a transceiver, a transmitter or a
// receiver. It frames the PDUs, answers what the protocol answers by itself
// (enquire_link, unbind, generic_nack for a command it does not know), keeps the
// connection alive with enquire_link, and times out every request it sent.
//
//   open() ── connect ── bind ── bound()                    refused: bindRefused(status)
//   request(seq, pdu) ── answered(pdu) | timedOut(seq)
//   the SMSC's deliver_sm ── incoming(pdu), to be answered with reply()
//   any end of the connection ── lost(why), once
//
// Lives on the links' thread (libsmpp34 is used from that thread only).

#include "service/link/linksettings.h"
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

    SmppSession(const LinkSettings &settings, Mode mode, QObject *parent = nullptr);
    ~SmppSession() override;

    void open();
    // Unbinds (without waiting for the answer) and closes; no lost() follows.
    void close();
    bool isBound() const { return m_bound; }

    quint32 nextSequence();
    // A request built with `sequence`; its answer or its time-out follows.
    void request(quint32 sequence, const QByteArray &pdu);
    // A response to the SMSC's request.
    void reply(const QByteArray &pdu);
    int outstanding() const { return int(m_waiting.size()); }

Q_SIGNALS:
    void bound();
    void bindRefused(quint32 status);
    void lost(const QString &why);
    void answered(const Smpp::Pdu &pdu);
    void timedOut(quint32 sequence);
    void incoming(const Smpp::Pdu &pdu);

private:
    void connected();
    void readPdus();
    void handle(const Smpp::Pdu &pdu);
    void sweep();
    void keepAlive();
    void fail(const QString &why);
    void write(const QByteArray &pdu);

    const LinkSettings &m_settings;
    Mode m_mode;
    // A QSslSocket with TLS; a plain one without, so that OpenSSL is not woken for it.
    std::unique_ptr<QTcpSocket> m_socket;
    QByteArray m_buffer;
    bool m_bound = false;
    bool m_ended = false;
    quint32 m_sequence = 0;
    quint32 m_bindSequence = 0;
    quint32 m_enquireSequence = 0;
    // Requests without an answer yet, and when each was sent.
    QHash<quint32, qint64> m_waiting;
    QElapsedTimer m_clock;
    QTimer m_sweep;
    QTimer m_keepAlive;
};
