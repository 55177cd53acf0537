#include "tests/service/link/rawsmsc.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>

#include <algorithm>

namespace Raw {

namespace {

void put32(QByteArray &bytes, quint32 value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes.append(char((value >> shift) & 0xFF));
}

quint32 get32(const QByteArray &bytes, qsizetype at)
{
    quint32 value = 0;
    for (qsizetype i = at; i < at + 4; ++i)
        value = (value << 8) | quint8(bytes.at(i));
    return value;
}

} // namespace

QByteArray pdu(quint32 command, quint32 sequence, const QByteArray &body, quint32 status)
{
    QByteArray out;
    put32(out, quint32(16 + body.size()));
    put32(out, command);
    put32(out, status);
    put32(out, sequence);
    return out + body;
}

QByteArray tlv(quint16 tag, const QByteArray &value)
{
    QByteArray out;
    out.append(char(tag >> 8)).append(char(tag & 0xFF));
    out.append(char(value.size() >> 8)).append(char(value.size() & 0xFF));
    return out + value;
}

// service_type, source (ton, npi, digits), destination (ton, npi, digits), esm_class,
// protocol_id, priority_flag, schedule_delivery_time, validity_period,
// registered_delivery, replace_if_present_flag, data_coding, sm_default_msg_id,
// sm_length, short_message; then the TLVs.
QByteArray deliverSm(quint32 sequence, const Message &m)
{
    QByteArray body;
    body.append('\0');
    body.append(char(m.sourceTon)).append('\0').append(m.source).append('\0');
    body.append('\0').append('\0').append(m.destination).append('\0');
    body.append(char(m.esmClass)).append('\0').append('\0');
    body.append('\0').append('\0');
    body.append('\0').append('\0').append(char(m.dataCoding)).append('\0');
    body.append(char(m.shortMessage.size())).append(m.shortMessage);
    return pdu(Command::DeliverSm, sequence, body + m.tlvs);
}

std::optional<Message> submitOf(const QByteArray &body)
{
    qsizetype at = 0;
    bool whole = true;
    const auto octet = [&]() -> quint8 {
        whole = whole && at < body.size();
        return whole ? quint8(body.at(at++)) : 0;
    };
    const auto text = [&]() -> QByteArray {
        const qsizetype nul = body.indexOf('\0', at);
        whole = whole && nul >= 0;
        if (!whole)
            return {};
        QByteArray field = body.mid(at, nul - at);
        at = nul + 1;
        return field;
    };
    Message m;
    text(); // service_type
    m.sourceTon = octet();
    octet();
    m.source = text();
    octet();
    octet();
    m.destination = text();
    m.esmClass = octet();
    octet();
    octet();
    text();
    text();
    octet();
    octet();
    m.dataCoding = octet();
    octet();
    const int length = octet();
    whole = whole && at + length <= body.size();
    if (!whole)
        return std::nullopt;
    m.shortMessage = body.mid(at, length);
    m.tlvs = body.mid(at + length);
    return m;
}

} // namespace Raw

struct RawSmsc::Session {
    QTcpSocket *socket = nullptr;
    int index = 0;
    QByteArray buffer;
    bool reading = true;
    quint32 bind = 0; // the bind command it was bound with, 0 before
};

RawSmsc::RawSmsc()
    : m_server(std::make_unique<QTcpServer>())
{
    QObject::connect(m_server.get(), &QTcpServer::newConnection, [this] { accept(); });
}

bool RawSmsc::listenTls(const QString &certificateFile, const QString &keyFile)
{
    QFile key(keyFile);
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(certificateFile);
    if (chain.isEmpty() || !key.open(QIODevice::ReadOnly))
        return false;
    auto server = std::make_unique<QSslServer>();
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificateChain(chain);
    tls.setPrivateKey(QSslKey(&key, QSsl::Ec));
    server->setSslConfiguration(tls);
    // A handshake the link breaks off (as it should, for a certificate it does not
    // trust) is no session.
    QObject::connect(server.get(), &QTcpServer::pendingConnectionAvailable, [this] { accept(); });
    m_server = std::move(server);
    return m_server->listen(QHostAddress::LocalHost, 0);
}

RawSmsc::~RawSmsc()
{
    for (const auto &session : m_sessions)
        session->socket->disconnect();
}

void RawSmsc::accept()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        m_sessions.push_back(std::make_unique<Session>());
        Session *session = m_sessions.back().get();
        session->socket = socket;
        session->index = int(m_sessions.size() - 1);
        QObject::connect(socket, &QTcpSocket::readyRead, socket,
                         [this, session] { read(*session); });
    }
}

void RawSmsc::write(const QByteArray &bytes)
{
    const auto receiving = std::find_if(m_sessions.rbegin(), m_sessions.rend(), [](const auto &s) {
        return s->bind == Raw::Command::BindTransceiver || s->bind == Raw::Command::BindReceiver;
    });
    if (receiving != m_sessions.rend())
        (*receiving)->socket->write(bytes);
    else if (!m_sessions.empty())
        m_sessions.back()->socket->write(bytes);
}

void RawSmsc::stopReading()
{
    QTcpSocket *socket = m_sessions.back()->socket;
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
    socket->setReadBufferSize(1);
    m_sessions.back()->reading = false;
}

void RawSmsc::dropAll()
{
    for (const auto &session : m_sessions)
        session->socket->abort();
}

void RawSmsc::answer(quint32 sequence, quint32 status, const QByteArray &id)
{
    heldSubmits.removeOne(sequence);
    const auto sent = std::find_if(received.crbegin(), received.crend(), [&](const Raw::Pdu &p) {
        return p.command == Raw::Command::SubmitSm && p.sequence == sequence;
    });
    if (sent == received.crend())
        return;
    m_sessions.at(sent->session)
        ->socket->write(Raw::pdu(Raw::Command::SubmitSmResp, sequence,
                                 status == 0 ? id + '\0' : QByteArray(), status));
}

void RawSmsc::read(Session &session)
{
    if (!session.reading)
        return;
    session.buffer += session.socket->readAll();
    while (session.buffer.size() >= 16) {
        const quint32 length = Raw::get32(session.buffer, 0);
        if (quint32(session.buffer.size()) < length)
            return;
        Raw::Pdu pdu;
        pdu.command = Raw::get32(session.buffer, 4);
        pdu.status = Raw::get32(session.buffer, 8);
        pdu.sequence = Raw::get32(session.buffer, 12);
        pdu.body = session.buffer.mid(16, length - 16);
        pdu.session = session.index;
        session.buffer.remove(0, std::max<qsizetype>(length, 16));
        received.append(pdu);
        handle(session, pdu);
        if (onPdu)
            onPdu(pdu);
    }
}

void RawSmsc::handle(Session &session, const Raw::Pdu &pdu)
{
    if (mute)
        return;
    switch (pdu.command) {
    case Raw::Command::BindTransceiver:
    case Raw::Command::BindTransmitter:
    case Raw::Command::BindReceiver:
        session.socket->write(Raw::pdu(pdu.command | Raw::Command::ResponseBit, pdu.sequence,
                                       QByteArray("raw", 4), bindStatus));
        if (bindStatus == 0) {
            session.bind = pdu.command;
            ++m_binds;
        }
        break;
    case Raw::Command::EnquireLink:
        session.socket->write(Raw::pdu(Raw::Command::EnquireLinkResp, pdu.sequence));
        break;
    case Raw::Command::SubmitSm:
        if (holdSubmits)
            heldSubmits.append(pdu.sequence);
        else
            answer(pdu.sequence, submitStatus, submitId);
        break;
    default:
        break;
    }
}

QList<Raw::Pdu> RawSmsc::of(quint32 command) const
{
    QList<Raw::Pdu> found;
    std::copy_if(received.cbegin(), received.cend(), std::back_inserter(found),
                 [command](const Raw::Pdu &p) { return p.command == command; });
    return found;
}

qsizetype RawSmsc::answeredOk() const
{
    return std::count_if(received.cbegin(), received.cend(), [](const Raw::Pdu &p) {
        return p.command == Raw::Command::DeliverSmResp && p.status == 0;
    });
}

std::optional<quint32> RawSmsc::answerTo(quint32 sequence) const
{
    const qsizetype at = firstOf(Raw::Command::DeliverSmResp, sequence);
    return at < 0 ? std::nullopt : std::optional<quint32>(received.at(at).status);
}

qsizetype RawSmsc::firstOf(quint32 command, quint32 sequence) const
{
    for (qsizetype i = 0; i < received.size(); ++i) {
        if (received.at(i).command == command
            && (sequence == 0 || received.at(i).sequence == sequence))
            return i;
    }
    return -1;
}

qsizetype RawSmsc::lastOf(quint32 command) const
{
    for (qsizetype i = received.size() - 1; i >= 0; --i) {
        if (received.at(i).command == command)
            return i;
    }
    return -1;
}

bool spin(const std::function<bool()> &done, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}
