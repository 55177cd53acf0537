#include "service/smppserversession.h"

#include "service/smppserver.h"

#include <QSslSocket>

#include <algorithm>

namespace {

constexpr quint32 ResponseBit = 0x80000000;
constexpr quint32 MaxSequence = 0x7FFFFFFF;
// Answers the application may leave unread before reading stops: a few windows of PDUs.
constexpr qint64 WindowsOfOutput = 4;
// The id this server gives itself in its bind answers.
const QByteArray OwnSystemId = "quillet";

Smpp::Command bindAnswer(quint32 command)
{
    switch (Smpp::Command(command)) {
    case Smpp::Command::BindReceiver:
        return Smpp::Command::BindReceiverResp;
    case Smpp::Command::BindTransmitter:
        return Smpp::Command::BindTransmitterResp;
    default:
        break;
    }
    return Smpp::Command::BindTransceiverResp;
}

Smpp::Command bindAnswerOf(SmppServerSession::Mode mode)
{
    switch (mode) {
    case SmppServerSession::Mode::Receiver:
        return Smpp::Command::BindReceiverResp;
    case SmppServerSession::Mode::Transmitter:
        return Smpp::Command::BindTransmitterResp;
    case SmppServerSession::Mode::Transceiver:
        break;
    }
    return Smpp::Command::BindTransceiverResp;
}

// submit_sm and data_sm are one path, each answered in its own kind.
Smpp::Command submitAnswer(Smpp::Command command)
{
    return command == Smpp::Command::DataSm ? Smpp::Command::DataSmResp
                                            : Smpp::Command::SubmitSmResp;
}

bool isBind(quint32 command)
{
    const auto c = Smpp::Command(command);
    return c == Smpp::Command::BindReceiver || c == Smpp::Command::BindTransmitter
        || c == Smpp::Command::BindTransceiver;
}

} // namespace

SmppServerSession::SmppServerSession(quint64 id, std::unique_ptr<QTcpSocket> socket,
                                     SmppServer &server, const SmppServerSettings &settings)
    : m_id(id)
    , m_socket(std::move(socket))
    , m_server(server)
    , m_settings(settings)
    , m_reader(settings.maxPdu)
{
    m_clock.start();
    m_openedAt = m_heardAt = m_clock.elapsed();
    m_outputBound = WindowsOfOutput * settings.window * qint64(settings.maxPdu);
    m_socket->setReadBufferSize(PduReader::BufferBytes);
    // An answer held back for an acknowledgement (Nagle) waits for the application's
    // delayed one, 40 ms, and its window with it.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(m_socket.get(), &QAbstractSocket::readyRead, this, &SmppServerSession::readPdus);
    connect(m_socket.get(), &QAbstractSocket::bytesWritten, this, &SmppServerSession::written);
    if (auto *tls = qobject_cast<QSslSocket *>(m_socket.get()))
        connect(tls, &QSslSocket::encryptedBytesWritten, this, &SmppServerSession::written);
    connect(m_socket.get(), &QAbstractSocket::disconnected, this, &SmppServerSession::end);
    connect(m_socket.get(), &QAbstractSocket::errorOccurred, this, &SmppServerSession::end);
    m_sweep.setInterval(std::clamp(settings.responseTimeoutMs / 10, 10, 200));
    connect(&m_sweep, &QTimer::timeout, this, &SmppServerSession::sweep);
    m_sweep.start();
    m_nextTurn.setSingleShot(true);
    m_nextTurn.setInterval(0);
    connect(&m_nextTurn, &QTimer::timeout, this, &SmppServerSession::turn);
    if (m_socket->bytesAvailable() > 0)
        m_nextTurn.start();
}

SmppServerSession::~SmppServerSession()
{
    if (m_socket)
        m_socket->disconnect(this);
}

QString SmppServerSession::address() const
{
    return m_socket->peerAddress().toString() + u':' + QString::number(m_socket->peerPort());
}

void SmppServerSession::readPdus()
{
    m_heardAt = m_clock.elapsed();
    if (!m_inTurn && !m_nextTurn.isActive())
        turn();
}

qint64 SmppServerSession::unsent() const
{
    qint64 bytes = m_socket->bytesToWrite();
    if (const auto *tls = qobject_cast<const QSslSocket *>(m_socket.get()))
        bytes += tls->encryptedBytesToWrite();
    return bytes;
}

bool SmppServerSession::backlogged() const
{
    return unsent() > m_outputBound;
}

void SmppServerSession::written()
{
    if (m_stalledSince >= 0 && !backlogged()) {
        m_stalledSince = -1;
        m_nextTurn.start();
    }
}

void SmppServerSession::write(const QByteArray &pdu)
{
    if (m_phase == Phase::Ended || pdu.isEmpty())
        return;
    m_socket->write(pdu);
}

void SmppServerSession::turn()
{
    if (m_phase == Phase::Ended)
        return;
    m_inTurn = true;
    int handled = 0;
    while (m_phase != Phase::Ended && handled < PdusPerTurn && !backlogged()) {
        const PduReader::Next next = m_reader.next(*m_socket);
        if (next.kind == PduReader::Kind::Lost) {
            // A length that cannot be framed: say so once, then leave.
            write(Smpp::bare(Smpp::Command::GenericNack, next.header.sequence,
                             Smpp::Status::InvalidCommandLength));
            m_socket->flush();
            end();
            break;
        }
        if (next.kind == PduReader::Kind::Partial)
            break;
        ++handled;
        const std::optional<Smpp::Pdu> pdu = Smpp::decode(next.bytes);
        if (pdu)
            handle(*pdu);
        else
            unreadable(next.header);
    }
    m_inTurn = false;
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

bool SmppServerSession::countError()
{
    if (++m_errors <= MostErrors)
        return true;
    m_socket->flush();
    end();
    return false;
}

// A known request whose body does not read gets its own answer with an error status;
// anything else that does not read, generic_nack.
void SmppServerSession::unreadable(const Smpp::Header &header)
{
    // An answer to a deliver_sm says what it has to say in its header.
    if (header.command == quint32(Smpp::Command::DeliverSmResp))
        return deliveryAnswered(header.sequence, header.status);
    if (!countError() || (header.command & ResponseBit))
        return;
    const quint32 status = Smpp::Status::InvalidCommandLength;
    const auto command = Smpp::Command(header.command);
    if (isBind(header.command))
        write(Smpp::response(bindAnswer(header.command), header.sequence, status, OwnSystemId));
    else if (command == Smpp::Command::SubmitSm || command == Smpp::Command::DataSm)
        write(Smpp::response(submitAnswer(command), header.sequence, status, {}));
    else if (command == Smpp::Command::QuerySm)
        write(Smpp::querySmResp(header.sequence, status, {}, {}, 0, 0));
    else if (command == Smpp::Command::CancelSm)
        write(Smpp::bare(Smpp::Command::CancelSmResp, header.sequence, status));
    else
        write(Smpp::bare(Smpp::Command::GenericNack, header.sequence, status));
}

void SmppServerSession::wrongState(const Smpp::Header &header)
{
    if (!countError())
        return;
    const quint32 status = Smpp::Status::IncorrectBindStatus;
    switch (Smpp::Command(header.command)) {
    case Smpp::Command::SubmitSm:
    case Smpp::Command::DataSm:
        write(Smpp::response(submitAnswer(Smpp::Command(header.command)), header.sequence, status,
                             {}));
        return;
    case Smpp::Command::QuerySm:
        write(Smpp::querySmResp(header.sequence, status, {}, {}, 0, 0));
        return;
    case Smpp::Command::CancelSm:
        write(Smpp::bare(Smpp::Command::CancelSmResp, header.sequence, status));
        return;
    default:
        break;
    }
    if (isBind(header.command)) {
        write(Smpp::response(bindAnswer(header.command), header.sequence,
                             Smpp::Status::AlreadyBound, OwnSystemId));
        return;
    }
    write(Smpp::bare(Smpp::Command::GenericNack, header.sequence, status));
}

void SmppServerSession::handle(const Smpp::Pdu &pdu)
{
    using Smpp::Command;
    const Smpp::Header &header = pdu.header;
    const auto command = Command(header.command);
    switch (command) {
    case Command::EnquireLink:
        write(Smpp::bare(Command::EnquireLinkResp, header.sequence));
        return;
    case Command::Unbind:
        write(Smpp::bare(Command::UnbindResp, header.sequence));
        m_socket->flush();
        end();
        return;
    case Command::EnquireLinkResp:
    case Command::UnbindResp:
        if (header.sequence == m_awaited)
            m_awaitedSince = -1;
        if (command == Command::UnbindResp && m_phase == Phase::Unbinding)
            end();
        return;
    case Command::DeliverSmResp:
        return deliveryAnswered(header.sequence, header.status);
    case Command::GenericNack:
        // An application that does not take deliver_sm: that part failed.
        if (m_awaitedParts.contains(header.sequence))
            deliveryAnswered(header.sequence,
                             header.status != 0 ? header.status : Smpp::Status::InvalidCommandId);
        return;
    case Command::BindReceiver:
    case Command::BindTransmitter:
    case Command::BindTransceiver:
        if (m_phase != Phase::Open)
            return wrongState(header);
        m_phase = Phase::Checking;
        m_mode = command == Command::BindReceiver ? Mode::Receiver
            : command == Command::BindTransmitter ? Mode::Transmitter
                                                  : Mode::Transceiver;
        m_systemId = QString::fromLatin1(pdu.bind.systemId);
        m_server.checkBind(*this, header.sequence, pdu.bind);
        return;
    case Command::SubmitSm:
    case Command::DataSm:
    case Command::QuerySm:
    case Command::CancelSm:
        if (m_phase != Phase::Bound || !submits())
            return wrongState(header);
        // Whatever waits on the store counts against the window: queries too.
        if (m_inFlight >= m_settings.window) {
            if (command == Command::SubmitSm || command == Command::DataSm)
                write(Smpp::response(submitAnswer(command), header.sequence,
                                     Smpp::Status::QueueFull, {}));
            else if (command == Command::QuerySm)
                write(Smpp::querySmResp(header.sequence, Smpp::Status::QueueFull, {}, {}, 0, 0));
            else
                write(Smpp::bare(Command::CancelSmResp, header.sequence, Smpp::Status::QueueFull));
            return;
        }
        ++m_inFlight;
        if (command == Command::SubmitSm || command == Command::DataSm)
            m_server.submit(*this, pdu);
        else
            m_server.lookUp(*this, pdu);
        return;
    default:
        break;
    }
    if (header.command & ResponseBit)
        return;
    // A command this server does not take, or one an application does not send (a
    // deliver_sm): nothing it can be answered with but generic_nack.
    if (countError())
        write(Smpp::bare(Command::GenericNack, header.sequence, Smpp::Status::InvalidCommandId));
}

void SmppServerSession::bound(const QString &accountNo, qint64 accountId, qint64 bindId,
                              quint32 sequence)
{
    if (m_phase != Phase::Checking)
        return;
    m_phase = Phase::Bound;
    m_accountNo = accountNo;
    m_accountId = accountId;
    m_bindId = bindId;
    write(Smpp::response(bindAnswerOf(m_mode), sequence, Smpp::Status::Ok, OwnSystemId));
}

void SmppServerSession::refused(quint32 status, quint32 sequence)
{
    if (m_phase != Phase::Checking)
        return;
    m_phase = Phase::Open;
    m_systemId.clear();
    write(Smpp::response(bindAnswerOf(m_mode), sequence, status, OwnSystemId));
}

void SmppServerSession::answer(const QByteArray &pdu, bool submit)
{
    --m_inFlight;
    if (submit && Smpp::header(pdu).header.status == Smpp::Status::Ok)
        ++m_submitted;
    write(pdu);
}

quint32 SmppServerSession::nextSequence()
{
    m_sequence = m_sequence >= MaxSequence ? 1 : m_sequence + 1;
    return m_sequence;
}

void SmppServerSession::deliver(qint64 eventId, bool arrival,
                                const QList<Smpp::ShortMessage> &parts)
{
    Delivery &delivery = m_deliveries[eventId];
    delivery.arrival = arrival;
    for (const Smpp::ShortMessage &part : parts) {
        const quint32 sequence = nextSequence();
        const QByteArray pdu = Smpp::deliverSm(sequence, part);
        if (pdu.isEmpty()) {
            // Nothing that can be written: failed as one refused would be.
            delivery.status = Smpp::Status::SystemError;
            continue;
        }
        ++delivery.unanswered;
        m_awaitedParts.insert(sequence, { eventId, m_clock.elapsed() });
        write(pdu);
    }
    if (delivery.unanswered == 0) {
        const quint32 status = parts.isEmpty() ? Smpp::Status::SystemError : delivery.status;
        m_deliveries.remove(eventId);
        m_server.delivered(*this, eventId, status);
    }
}

void SmppServerSession::deliveryAnswered(quint32 sequence, quint32 status)
{
    const auto part = m_awaitedParts.constFind(sequence);
    if (part == m_awaitedParts.cend())
        return;
    const qint64 eventId = part->eventId;
    m_awaitedParts.erase(part);
    const auto found = m_deliveries.find(eventId);
    if (found == m_deliveries.end())
        return;
    if (found->status == 0)
        found->status = status;
    if (--found->unanswered > 0)
        return;
    const Delivery done = *found;
    m_deliveries.erase(found);
    if (done.status == Smpp::Status::Ok)
        ++(done.arrival ? m_arrivals : m_receipts);
    m_server.delivered(*this, eventId, done.status);
}

void SmppServerSession::unbind()
{
    if (m_phase != Phase::Bound)
        return end();
    m_phase = Phase::Unbinding;
    m_awaited = nextSequence();
    m_awaitedSince = m_clock.elapsed();
    write(Smpp::bare(Smpp::Command::Unbind, m_awaited));
}

void SmppServerSession::sweep()
{
    const qint64 now = m_clock.elapsed();
    const qint64 late = now - m_settings.responseTimeoutMs;
    if (m_stalledSince >= 0) {
        if (!backlogged())
            written();
        else if (m_stalledSince <= late)
            return end();
    }
    // Our enquire_link or unbind unanswered: the application is gone.
    if (m_awaitedSince >= 0 && m_awaitedSince <= late)
        return end();
    // A connection that never binds holds nothing for long.
    if (m_phase == Phase::Open && m_openedAt <= late)
        return end();
    // A deliver_sm unanswered: the same.
    if (std::any_of(m_awaitedParts.cbegin(), m_awaitedParts.cend(),
                    [late](const AwaitedPart &part) { return part.sentAt <= late; }))
        return end();
    if (m_phase == Phase::Bound && m_awaitedSince < 0
        && now - m_heardAt >= m_settings.enquireLinkMs) {
        m_awaited = nextSequence();
        m_awaitedSince = now;
        m_heardAt = now;
        write(Smpp::bare(Smpp::Command::EnquireLink, m_awaited));
    }
}

void SmppServerSession::end()
{
    if (m_phase == Phase::Ended)
        return;
    m_phase = Phase::Ended;
    m_sweep.stop();
    m_nextTurn.stop();
    m_socket->disconnect(this);
    m_socket->abort();
    Q_EMIT ended(m_id);
}
