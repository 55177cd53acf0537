#include "service/link/smppsession.h"

#include "service/link/linktexts.h"

#include <QFile>
#include <QSslConfiguration>
#include <QSslSocket>

using namespace Qt::StringLiterals;

namespace {

constexpr quint32 MaxSequence = 0x7FFFFFFF;
constexpr quint32 ResponseBit = 0x80000000;
// Answers the SMSC may leave unread before reading stops: a few windows of PDUs.
constexpr qint64 WindowsOfOutput = 4;

Smpp::Command bindCommand(SmppSession::Mode mode)
{
    switch (mode) {
    case SmppSession::Mode::Transmitter:
        return Smpp::Command::BindTransmitter;
    case SmppSession::Mode::Receiver:
        return Smpp::Command::BindReceiver;
    case SmppSession::Mode::Transceiver:
        break;
    }
    return Smpp::Command::BindTransceiver;
}

} // namespace

SmppSession::SmppSession(const LinkSettings &settings, Mode mode, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_mode(mode)
{
    m_clock.start();
    m_sweep.setInterval(std::clamp(settings.responseTimeoutMs / 10, 10, 200));
    connect(&m_sweep, &QTimer::timeout, this, &SmppSession::sweep);
    m_keepAlive.setInterval(settings.enquireLinkMs);
    m_keepAlive.setSingleShot(true);
    connect(&m_keepAlive, &QTimer::timeout, this, &SmppSession::keepAlive);
    m_nextTurn.setSingleShot(true);
    m_nextTurn.setInterval(0);
    connect(&m_nextTurn, &QTimer::timeout, this, &SmppSession::turn);
    m_outputBound = WindowsOfOutput * settings.window * qint64(Smpp::MaxPduLength);
}

SmppSession::~SmppSession()
{
    if (m_socket)
        m_socket->disconnect(this);
}

void SmppSession::open()
{
    // A plain socket without TLS: OpenSSL is not woken for it.
    auto *tlsSocket = m_settings.tls ? new QSslSocket : nullptr;
    m_socket.reset(tlsSocket ? tlsSocket : new QTcpSocket);
    m_socket->setReadBufferSize(ReadBufferBytes);
    m_reader = PduReader();
    connect(m_socket.get(), &QAbstractSocket::readyRead, this, &SmppSession::readPdus);
    connect(m_socket.get(), &QAbstractSocket::bytesWritten, this, &SmppSession::written);
    connect(m_socket.get(), &QAbstractSocket::disconnected, this,
            [this] { fail(LinkTexts::peerClosed()); });
    connect(m_socket.get(), &QAbstractSocket::errorOccurred, this,
            [this] { fail(LinkTexts::socketError(m_socket->errorString())); });
    if (!tlsSocket) {
        connect(m_socket.get(), &QAbstractSocket::connected, this, &SmppSession::connected);
        m_socket->connectToHost(m_settings.host, m_settings.port);
    } else {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setProtocol(QSsl::TlsV1_2OrLater);
        if (!m_settings.tlsCaFile.isEmpty())
            tls.setCaCertificates(QSslCertificate::fromPath(m_settings.tlsCaFile));
        tlsSocket->setSslConfiguration(tls);
        connect(tlsSocket, &QSslSocket::encryptedBytesWritten, this, &SmppSession::written);
        connect(tlsSocket, &QSslSocket::encrypted, this, &SmppSession::connected);
        connect(tlsSocket, &QSslSocket::sslErrors, this, [this](const QList<QSslError> &errors) {
            fail(LinkTexts::tlsFailed(errors.value(0).errorString()));
        });
        tlsSocket->connectToHostEncrypted(m_settings.host, m_settings.port);
    }
    m_sweep.start();
}

void SmppSession::connected()
{
    // Requests and answers are small and each waits for the other side: held back for an
    // acknowledgement (Nagle), a PDU would wait for the peer's delayed one, 40 ms.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    Smpp::BindRequest bind;
    bind.systemId = m_settings.systemId;
    bind.password = m_settings.password;
    bind.systemType = m_settings.systemType;
    m_phase = Phase::Binding;
    m_awaited = nextSequence();
    request(m_awaited, Smpp::bind(bindCommand(m_mode), m_awaited, bind));
}

void SmppSession::close()
{
    const bool bound = isBound();
    m_phase = Phase::Ended;
    m_sweep.stop();
    m_keepAlive.stop();
    m_nextTurn.stop();
    if (!m_socket)
        return;
    m_socket->disconnect(this);
    if (bound && m_socket->state() == QAbstractSocket::ConnectedState) {
        m_socket->write(Smpp::bare(Smpp::Command::Unbind, nextSequence()));
        m_socket->flush();
    }
    m_socket->abort();
}

quint32 SmppSession::nextSequence()
{
    m_sequence = m_sequence >= MaxSequence ? 1 : m_sequence + 1;
    return m_sequence;
}

void SmppSession::request(quint32 sequence, const QByteArray &pdu)
{
    m_waiting.insert(sequence, m_clock.elapsed());
    write(pdu);
}

void SmppSession::reply(const QByteArray &pdu)
{
    write(pdu);
}

void SmppSession::write(const QByteArray &pdu)
{
    if (m_phase == Phase::Ended || !m_socket)
        return;
    m_socket->write(pdu);
}

qint64 SmppSession::heldBytes() const
{
    return m_reader.held() + (m_socket ? m_socket->bytesAvailable() : 0) + unsent();
}

void SmppSession::readPdus()
{
    m_keepAlive.start();
    if (!m_inTurn && !m_nextTurn.isActive())
        turn();
}

// What was written and the peer has not taken yet: with TLS, the bytes already
// encrypted wait apart from the plain ones.
qint64 SmppSession::unsent() const
{
    if (!m_socket)
        return 0;
    qint64 bytes = m_socket->bytesToWrite();
    if (m_settings.tls)
        bytes += static_cast<const QSslSocket *>(m_socket.get())->encryptedBytesToWrite();
    return bytes;
}

bool SmppSession::backlogged() const
{
    return unsent() > m_outputBound;
}

// The peer took some of what was written: reading goes on once the backlog is under its
// bound.
void SmppSession::written()
{
    if (m_stalledSince >= 0 && !backlogged()) {
        m_stalledSince = -1;
        m_nextTurn.start();
    }
}

// Up to PdusPerTurn PDUs; the rest waits for the next turn of the event loop.
void SmppSession::turn()
{
    if (m_phase == Phase::Ended || !m_socket)
        return;
    m_inTurn = true;
    QList<Smpp::Pdu> deliveries;
    int handled = 0;
    while (m_phase != Phase::Ended && handled < PdusPerTurn && !backlogged()) {
        const PduReader::Next next = m_reader.next(*m_socket);
        if (next.kind == PduReader::Kind::Lost) {
            fail(LinkTexts::malformedPdu());
            break;
        }
        if (next.kind == PduReader::Kind::Partial)
            break;
        ++handled;
        const std::optional<Smpp::Pdu> pdu = Smpp::decode(next.bytes);
        if (pdu) {
            handle(*pdu, deliveries);
        } else if (!(next.header.command & ResponseBit)) {
            reply(Smpp::bare(Smpp::Command::GenericNack, next.header.sequence,
                             Smpp::Status::InvalidCommandLength));
        } else if (m_waiting.remove(next.header.sequence)) {
            // An answer that cannot be read: its request failed.
            Smpp::Pdu failed;
            failed.header = next.header;
            failed.header.status
                = failed.header.status ? failed.header.status : Smpp::Status::SystemError;
            Q_EMIT answered(failed);
        }
    }
    m_inTurn = false;
    // A session that ended leaves its deliveries unanswered: the SMSC sends them again.
    if (m_phase == Phase::Ended)
        return;
    if (!deliveries.isEmpty())
        Q_EMIT incoming(deliveries);
    if (m_phase == Phase::Ended)
        return;
    if (backlogged()) {
        if (m_stalledSince < 0)
            m_stalledSince = m_clock.elapsed();
        return;
    }
    if (m_reader.wholeWaiting() || m_socket->bytesAvailable() > 0)
        m_nextTurn.start();
}

void SmppSession::handle(const Smpp::Pdu &pdu, QList<Smpp::Pdu> &deliveries)
{
    using Smpp::Command;
    const auto command = Command(pdu.header.command);
    const quint32 sequence = pdu.header.sequence;
    switch (command) {
    case Command::EnquireLink:
        reply(Smpp::bare(Command::EnquireLinkResp, sequence));
        return;
    case Command::Unbind:
        // What the SMSC sent before it unbinds is stored and answered first.
        if (!deliveries.isEmpty())
            Q_EMIT incoming(std::exchange(deliveries, {}));
        Q_EMIT unbinding();
        reply(Smpp::bare(Command::UnbindResp, sequence));
        if (m_socket)
            m_socket->flush();
        fail(LinkTexts::peerUnbound());
        return;
    case Command::DeliverSm:
        deliveries.append(pdu);
        return;
    default:
        break;
    }
    if (!(pdu.header.command & ResponseBit)) {
        reply(Smpp::bare(Command::GenericNack, sequence, Smpp::Status::InvalidCommandId));
        return;
    }
    // A generic_nack answers the request of its sequence; one for no request of ours
    // says nothing we can act on.
    if (!m_waiting.remove(sequence))
        return;
    if (m_phase == Phase::Binding && sequence == m_awaited) {
        if (pdu.header.status != Smpp::Status::Ok || command == Command::GenericNack) {
            m_phase = Phase::Ended;
            m_socket->disconnect(this);
            m_socket->abort();
            m_sweep.stop();
            Q_EMIT bindRefused(pdu.header.status ? pdu.header.status : Smpp::Status::BindFailed);
            return;
        }
        m_phase = Phase::Bound;
        m_keepAlive.start();
        Q_EMIT bound();
        return;
    }
    if (m_phase == Phase::Enquiring && sequence == m_awaited) {
        m_phase = Phase::Bound;
        return;
    }
    Q_EMIT answered(pdu);
}

void SmppSession::sweep()
{
    const qint64 late = m_clock.elapsed() - m_settings.responseTimeoutMs;
    if (m_stalledSince >= 0) {
        if (!backlogged()) {
            written();
        } else if (m_stalledSince <= late) {
            fail(LinkTexts::peerNotReading());
            return;
        }
    }
    QList<quint32> expired;
    for (auto it = m_waiting.cbegin(); it != m_waiting.cend(); ++it) {
        if (it.value() <= late)
            expired.append(it.key());
    }
    for (const quint32 sequence : std::as_const(expired)) {
        if (m_phase == Phase::Ended)
            return;
        // The bind or the keep-alive unanswered: the peer is gone.
        if ((m_phase == Phase::Binding || m_phase == Phase::Enquiring) && sequence == m_awaited) {
            fail(LinkTexts::noAnswer());
            return;
        }
        m_waiting.remove(sequence);
        Q_EMIT timedOut(sequence);
    }
}

void SmppSession::keepAlive()
{
    if (!isBound())
        return;
    if (m_phase == Phase::Bound) {
        m_phase = Phase::Enquiring;
        m_awaited = nextSequence();
        request(m_awaited, Smpp::bare(Smpp::Command::EnquireLink, m_awaited));
    }
    m_keepAlive.start();
}

void SmppSession::fail(const QString &why)
{
    if (m_phase == Phase::Ended)
        return;
    m_phase = Phase::Ended;
    m_sweep.stop();
    m_keepAlive.stop();
    m_nextTurn.stop();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
    Q_EMIT lost(why);
}
