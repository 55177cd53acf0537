#pragma once

// One application's connection to the SMPP server: the same framing as a link's session
// (PduReader), with the roles reversed. It answers what the protocol answers by itself,
// hands binds and the work of a bound account to its server, and keeps the connection
// alive with enquire_link.
//
//   bytes ── PduReader (at most 64 KiB unhandled, PDUs over max_pdu end the session)
//         ── a turn of at most PdusPerTurn PDUs ── handle(): by phase and command
//   bind_* ── SmppServer::checkBind ── bound(...) | refused(status)
//   submit_sm / query_sm / cancel_sm ── SmppServer ── answer(pdu), in any order
//   receiver or transceiver: SmppServer ── deliver(event's parts) ── deliver_sm each
//       ── deliver_sm_resp of every part ── SmppServer::delivered(event, status); one
//          unanswered past the response time-out ends the session
//
// What an application sends never costs memory without bound: submits, queries and
// cancels unanswered past the window are answered ESME_RMSGQFUL at once, and nothing more is read
// while the answers it has not taken pass a few windows' worth; one that takes none of them for the
// response time-out is left, and so is one that keeps sending what cannot be read.

#include "service/link/pdureader.h"
#include "service/link/smpppdu.h"
#include "service/smppserversettings.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

class SmppServer;

class SmppServerSession : public QObject {
    Q_OBJECT

public:
    enum class Mode { Transmitter, Receiver, Transceiver };
    static constexpr int PdusPerTurn = 128;
    // PDUs that could not be read, or were not for the bind's state, that end a session.
    static constexpr int MostErrors = 10;

    SmppServerSession(quint64 id, std::unique_ptr<QTcpSocket> socket, SmppServer &server,
                      const SmppServerSettings &settings);
    ~SmppServerSession() override;

    quint64 id() const { return m_id; }
    QString address() const;
    bool isBound() const { return m_phase == Phase::Bound; }
    bool submits() const { return m_mode != Mode::Receiver; }
    const QString &systemId() const { return m_systemId; }
    const QString &accountNo() const { return m_accountNo; }
    qint64 accountId() const { return m_accountId; }
    qint64 bindId() const { return m_bindId; }
    Mode mode() const { return m_mode; }
    qint64 submitted() const { return m_submitted; }
    bool receives() const { return m_phase == Phase::Bound && m_mode != Mode::Transmitter; }
    // deliver_sm this session may still have unanswered: a window's worth.
    int room() const { return m_settings.window - int(m_awaitedParts.size()); }
    qint64 receipts() const { return m_receipts; }
    qint64 arrivals() const { return m_arrivals; }

    // Sends an event's deliver_sm (a part each); the server hears once, when every part
    // is answered, with the first status that was not 0 (or 0). A session that ends first
    // tells it nothing: the server knows what it handed out.
    void deliver(qint64 eventId, bool arrival, const QList<Smpp::ShortMessage> &parts);

    // The server's answers to what this session handed it; each submit, query and cancel
    // is answered once.
    void bound(const QString &accountNo, qint64 accountId, qint64 bindId, quint32 sequence);
    void refused(quint32 status, quint32 sequence);
    void answer(const QByteArray &pdu, bool submit);
    // Sends unbind and ends once it is answered (or not, in the response time-out).
    void unbind();
    // Ends at once.
    void end();

Q_SIGNALS:
    void ended(quint64 id);

private:
    enum class Phase {
        Open, // connected, not bound
        Checking, // a bind being checked
        Bound,
        Unbinding, // our unbind sent
        Ended,
    };

    void readPdus();
    void turn();
    void handle(const Smpp::Pdu &pdu);
    void unreadable(const Smpp::Header &header);
    void wrongState(const Smpp::Header &header);
    bool countError();
    void write(const QByteArray &pdu);
    qint64 unsent() const;
    bool backlogged() const;
    void written();
    void sweep();
    quint32 nextSequence();
    // A deliver_sm's answer (or generic_nack) by its sequence.
    void deliveryAnswered(quint32 sequence, quint32 status);

    quint64 m_id;
    std::unique_ptr<QTcpSocket> m_socket;
    SmppServer &m_server;
    const SmppServerSettings &m_settings;
    PduReader m_reader;
    Phase m_phase = Phase::Open;
    Mode m_mode = Mode::Transceiver;
    QString m_systemId;
    QString m_accountNo;
    qint64 m_accountId = 0;
    qint64 m_bindId = 0;
    int m_inFlight = 0;
    int m_errors = 0;
    qint64 m_submitted = 0;
    qint64 m_receipts = 0;
    qint64 m_arrivals = 0;
    struct Delivery {
        bool arrival = false;
        int unanswered = 0;
        quint32 status = 0;
    };
    struct AwaitedPart {
        qint64 eventId = 0;
        qint64 sentAt = 0;
    };
    QHash<qint64, Delivery> m_deliveries;
    QHash<quint32, AwaitedPart> m_awaitedParts;
    quint32 m_sequence = 0;
    qint64 m_outputBound = 0;
    qint64 m_stalledSince = -1;
    qint64 m_openedAt = 0;
    qint64 m_heardAt = 0;
    // Our enquire_link or unbind unanswered: its sequence and since when.
    quint32 m_awaited = 0;
    qint64 m_awaitedSince = -1;
    bool m_inTurn = false;
    QElapsedTimer m_clock;
    QTimer m_sweep;
    QTimer m_nextTurn;
};
