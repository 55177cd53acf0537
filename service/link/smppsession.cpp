#include "service/link/smppsession.h"

#include "service/link/linktexts.h"

#include <QFile>
#include <QSslConfiguration>
#include <QSslSocket>

using namespace Qt::StringLiterals;

namespace {

constexpr quint32 MaxSequence = 0x7FFFFFFF;
constexpr quint32 ResponseBit = 0x80000000;

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
    connect(m_socket.get(), &QAbstractSocket::readyRead, this, &SmppSession::readPdus);
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
    Smpp::BindRequest bind;
    bind.systemId = m_settings.systemId;
    bind.password = m_settings.password;
    bind.systemType = m_settings.systemType;
    m_bindSequence = nextSequence();
    request(m_bindSequence, Smpp::bind(bindCommand(m_mode), m_bindSequence, bind));
}

void SmppSession::close()
{
    m_ended = true;
    m_sweep.stop();
    m_keepAlive.stop();
    if (!m_socket)
        return;
    m_socket->disconnect(this);
    if (m_bound && m_socket->state() == QAbstractSocket::ConnectedState) {
        m_socket->write(Smpp::bare(Smpp::Command::Unbind, nextSequence()));
        m_socket->flush();
    }
    m_socket->abort();
    m_bound = false;
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
    if (m_ended || !m_socket)
        return;
    m_socket->write(pdu);
}

void SmppSession::readPdus()
{
    m_buffer.append(m_socket->readAll());
    m_keepAlive.start();
    while (!m_ended) {
        const Smpp::Peek peek = Smpp::header(m_buffer);
        if (!peek.complete)
            return;
        if (!peek.valid) {
            fail(LinkTexts::malformedPdu());
            return;
        }
        if (quint32(m_buffer.size()) < peek.header.length)
            return;
        const QByteArray bytes = m_buffer.left(peek.header.length);
        m_buffer.remove(0, peek.header.length);
        const std::optional<Smpp::Pdu> pdu = Smpp::decode(bytes);
        if (pdu) {
            handle(*pdu);
        } else if (!(peek.header.command & ResponseBit)) {
            reply(Smpp::bare(Smpp::Command::GenericNack, peek.header.sequence,
                             Smpp::Status::InvalidCommandLength));
        } else if (m_waiting.remove(peek.header.sequence)) {
            // An answer that cannot be read: its request failed.
            Smpp::Pdu failed;
            failed.header = peek.header;
            failed.header.status
                = failed.header.status ? failed.header.status : Smpp::Status::SystemError;
            Q_EMIT answered(failed);
        }
    }
}

void SmppSession::handle(const Smpp::Pdu &pdu)
{
    using Smpp::Command;
    const auto command = Command(pdu.header.command);
    const quint32 sequence = pdu.header.sequence;
    switch (command) {
    case Command::EnquireLink:
        reply(Smpp::bare(Command::EnquireLinkResp, sequence));
        return;
    case Command::Unbind:
        reply(Smpp::bare(Command::UnbindResp, sequence));
        if (m_socket)
            m_socket->flush();
        fail(LinkTexts::peerUnbound());
        return;
    case Command::DeliverSm:
        Q_EMIT incoming(pdu);
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
    if (sequence == m_bindSequence) {
        m_bindSequence = 0;
        if (pdu.header.status != Smpp::Status::Ok || command == Command::GenericNack) {
            m_ended = true;
            m_socket->disconnect(this);
            m_socket->abort();
            m_sweep.stop();
            Q_EMIT bindRefused(pdu.header.status ? pdu.header.status : Smpp::Status::BindFailed);
            return;
        }
        m_bound = true;
        m_keepAlive.start();
        Q_EMIT bound();
        return;
    }
    if (sequence == m_enquireSequence) {
        m_enquireSequence = 0;
        return;
    }
    Q_EMIT answered(pdu);
}

void SmppSession::sweep()
{
    const qint64 late = m_clock.elapsed() - m_settings.responseTimeoutMs;
    QList<quint32> expired;
    for (auto it = m_waiting.cbegin(); it != m_waiting.cend(); ++it) {
        if (it.value() <= late)
            expired.append(it.key());
    }
    for (const quint32 sequence : std::as_const(expired)) {
        if (m_ended)
            return;
        // The bind or the keep-alive unanswered: the peer is gone.
        if (sequence == m_bindSequence || sequence == m_enquireSequence) {
            fail(LinkTexts::noAnswer());
            return;
        }
        m_waiting.remove(sequence);
        Q_EMIT timedOut(sequence);
    }
}

void SmppSession::keepAlive()
{
    if (!m_bound || m_ended)
        return;
    if (m_enquireSequence == 0) {
        m_enquireSequence = nextSequence();
        request(m_enquireSequence, Smpp::bare(Smpp::Command::EnquireLink, m_enquireSequence));
    }
    m_keepAlive.start();
}

void SmppSession::fail(const QString &why)
{
    if (m_ended)
        return;
    m_ended = true;
    m_bound = false;
    m_sweep.stop();
    m_keepAlive.stop();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
    Q_EMIT lost(why);
}
