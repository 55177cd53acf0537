// quillet-smsc-sim: an SMSC on a TCP port for the SMPP link's tests, its benchmarks and
// anyone trying the service by hand. It accepts binds, answers submit_sm, sends delivery
// receipts and arriving messages, and misbehaves on command; every event is a line on
// stdout, every command a line on stdin (see usage() below, or --help).
//
// One thread, one event loop: the sessions' sockets, the timers and stdin all run on it.

#include "service/link/smpppdu.h"
#include "service/link/smstext.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHash>
#include <QHostAddress>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>
#include <list>
#include <memory>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const char Usage[] = R"(
An SMSC for trying and testing the gateway service's SMPP 3.4 link.

It listens on a TCP port and plays the SMSC side: it answers binds (a wrong system_id or
password is refused), accepts submit_sm (message ids are a hexadecimal counter), sends
delivery receipts and arriving messages (deliver_sm) to the most recently bound
transceiver or receiver session, and answers enquire_link and unbind.

Events, one line each on stdout (texts last, control characters as \n \r \t \\ \xHH;
an empty field as -; data_coding, esm_class and statuses in hexadecimal):
  listening PORT                     first line, once the port is open
  bind MODE SYSTEM_ID ok|refused     MODE: transceiver, transmitter or receiver
  submit ID SOURCE DESTINATION DATA_CODING ESM_CLASS REF/TOTAL/SEQ TEXT
                                     one accepted submit_sm part (- without a
                                     concatenation header)
  submit-refused STATUS SOURCE DESTINATION DATA_CODING ESM_CLASS REF/TOTAL/SEQ TEXT
  receipt ID STAT                    a delivery receipt went out
  receipt-resp SEQUENCE STATUS       the ESME answered it
  mo SEQUENCE                        an arriving message's part went out
  mo-resp SEQUENCE STATUS            the ESME answered it
  enquire_link | unbind | closed     closed: a session ended
  error WORD REASON                  a command was not understood

Commands, one line each on stdin; each is answered by "ok WORD" once done:
  throttle N              answer the next N submit_sm with ESME_RTHROTTLED (58)
  reject N STATUS         answer the next N submit_sm with STATUS (hexadecimal, e.g. 45)
  slow MS                 answer submit_sm MS milliseconds late (0: at once)
  mute | unmute           answer nothing at all, enquire_link included, while muted
  drop                    close every session now
  receipts MS [STAT]      a receipt MS ms after each accepted submit_sm (STAT: DELIVRD)
  receipts off            no more receipts
  receipt-style tlv|text  tlv: receipted_message_id and message_state and the text
                          (the default); text: the text alone
  receipt ID STAT         one receipt now, for any message id
  mo FROM TO TEXT...      an arriving message, split and coded as the gateway does
  mo-latin1 FROM TO TEXT  an arriving message in Latin-1 (data_coding 3)
  mo-twice FROM TO TEXT   one single-part arriving message sent twice with one sequence
                          number, as an SMSC does that gave up waiting for its response
  mo-drop FROM TO TEXT    one single-part arriving message, the session closed as soon as
                          it is sent (its response cannot come back), and the message sent
                          again to the next session bound
TEXT may use \n \t \\ \xHH and \uHHHH. Receipts and arriving messages wait for a
receiving session when none is bound.)";

// A field of an event line: control characters (and, but in the last field, spaces)
// escaped so that the line splits at its spaces and shows every character.
QString escaped(const QString &text, bool last)
{
    if (text.isEmpty() && !last)
        return u"-"_s;
    QString out;
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\n')
            out += u"\\n"_s;
        else if (u == u'\r')
            out += u"\\r"_s;
        else if (u == u'\t')
            out += u"\\t"_s;
        else if (u == u'\\')
            out += u"\\\\"_s;
        else if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0) || (u == u' ' && !last))
            out += u"\\x"_s + QString::number(u, 16).rightJustified(2, u'0');
        else
            out += c;
    }
    return out;
}

QString field(const QByteArray &bytes)
{
    return escaped(QString::fromLatin1(bytes), false);
}

QString hex(quint32 value)
{
    return QString::number(value, 16).toUpper().rightJustified(2, u'0');
}

// The command line's escapes in a text: \n \t \r \\ \xHH \uHHHH.
QString unescaped(const QString &text)
{
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) != u'\\' || i + 1 == text.size()) {
            out += text.at(i);
            continue;
        }
        const QChar c = text.at(++i);
        const auto code = [&](int digits) -> QString {
            bool ok = false;
            const uint value = text.mid(i + 1, digits).toUInt(&ok, 16);
            if (!ok || i + digits >= text.size())
                return QString(u'\\') + c;
            i += digits;
            return QString(QChar(char16_t(value)));
        };
        if (c == u'n')
            out += u'\n';
        else if (c == u't')
            out += u'\t';
        else if (c == u'r')
            out += u'\r';
        else if (c == u'x')
            out += code(2);
        else if (c == u'u')
            out += code(4);
        else
            out += c;
    }
    return out;
}

quint8 messageState(const QByteArray &stat)
{
    static const QHash<QByteArray, quint8> states {
        { "ENROUTE", 1 }, { "DELIVRD", 2 }, { "EXPIRED", 3 }, { "DELETED", 4 },
        { "UNDELIV", 5 }, { "ACCEPTD", 6 }, { "UNKNOWN", 7 }, { "REJECTD", 8 },
    };
    return states.value(stat, 7);
}

void emitLine(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

struct Options {
    QByteArray systemId = "quillet";
    QByteArray password = "secret1";
    int receiptMs = -1; // off
    bool untilEof = false;
};

class Smsc {
public:
    explicit Smsc(const Options &options)
        : m_options(options)
        , m_receiptMs(options.receiptMs)
    {
    }

    bool listen(const QHostAddress &address, quint16 port)
    {
        if (!m_server.listen(address, port)) {
            std::fprintf(stderr, "quillet-smsc-sim: cannot listen: %s\n",
                         qPrintable(m_server.errorString()));
            return false;
        }
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] { accept(); });
        m_stdin = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
        QObject::connect(m_stdin.get(), &QSocketNotifier::activated, &m_server,
                         [this] { readStdin(); });
        emitLine(u"listening "_s + QString::number(m_server.serverPort()));
        return true;
    }

private:
    enum class Mode { None, Transmitter, Receiver, Transceiver };
    enum class Kind { Receipt, Mo };

    struct Session {
        QTcpSocket *socket = nullptr;
        QByteArray buffer;
        Mode mode = Mode::None;
        quint64 boundAt = 0;
        quint32 sequence = 0;
        QMultiHash<quint32, Kind> sent; // deliver_sm awaiting their responses
    };

    // A deliver_sm waiting for a receiving session.
    struct Delivery {
        Kind kind = Kind::Mo;
        Smpp::ShortMessage message;
        int copies = 1; // each with the same sequence number
        bool dropAfter = false;
        QByteArray id; // a receipt's message id and stat
        QByteArray stat;
    };

    void accept()
    {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            // An answer and the receipt right after it go out at once, as an SMSC's do.
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            Session s;
            s.socket = socket;
            m_sessions.push_back(s);
            QObject::connect(socket, &QTcpSocket::readyRead, socket,
                             [this, socket] { read(socket); });
            QObject::connect(socket, &QTcpSocket::disconnected, socket,
                             [this, socket] { close(socket); });
        }
    }

    Session *session(QTcpSocket *socket)
    {
        for (Session &s : m_sessions) {
            if (s.socket == socket)
                return &s;
        }
        return nullptr;
    }

    void close(QTcpSocket *socket)
    {
        Session *s = session(socket);
        if (!s)
            return;
        m_sessions.remove_if([socket](const Session &x) { return x.socket == socket; });
        socket->disconnect();
        socket->abort();
        socket->deleteLater();
        emitLine(u"closed"_s);
    }

    void send(Session &s, const QByteArray &pdu)
    {
        if (!pdu.isEmpty())
            s.socket->write(pdu);
    }

    void read(QTcpSocket *socket)
    {
        Session *s = session(socket);
        if (!s)
            return;
        s->buffer += socket->readAll();
        for (;;) {
            s = session(socket); // a PDU may have closed the session
            if (!s)
                return;
            const Smpp::Peek peek = Smpp::header(s->buffer);
            if (!peek.complete)
                return;
            if (!peek.valid) {
                send(*s,
                     Smpp::bare(Smpp::Command::GenericNack, peek.header.sequence,
                                Smpp::Status::InvalidCommandLength));
                s->socket->flush();
                close(socket);
                return;
            }
            if (quint32(s->buffer.size()) < peek.header.length)
                return;
            const QByteArray bytes = s->buffer.left(peek.header.length);
            s->buffer.remove(0, peek.header.length);
            handle(*s, bytes, peek.header);
        }
    }

    void handle(Session &s, const QByteArray &bytes, const Smpp::Header &header)
    {
        using Smpp::Command;
        const std::optional<Smpp::Pdu> pdu = Smpp::decode(bytes);
        const auto command = Command(header.command);
        const bool response = header.command & 0x80000000u;
        if (m_muted && !response)
            return;
        if (!pdu) {
            send(s,
                 Smpp::bare(Command::GenericNack, header.sequence,
                            Smpp::Status::InvalidCommandLength));
            return;
        }
        switch (command) {
        case Command::BindTransceiver:
            return bind(s, *pdu, Mode::Transceiver);
        case Command::BindTransmitter:
            return bind(s, *pdu, Mode::Transmitter);
        case Command::BindReceiver:
            return bind(s, *pdu, Mode::Receiver);
        case Command::SubmitSm:
            return submit(s, *pdu);
        case Command::DeliverSmResp: {
            const auto kind = s.sent.take(header.sequence);
            emitLine((kind == Kind::Receipt ? u"receipt-resp "_s : u"mo-resp "_s)
                     + QString::number(header.sequence) + u' ' + hex(header.status));
            return;
        }
        case Command::EnquireLink:
            emitLine(u"enquire_link"_s);
            return send(s, Smpp::bare(Command::EnquireLinkResp, header.sequence));
        case Command::Unbind:
            emitLine(u"unbind"_s);
            send(s, Smpp::bare(Command::UnbindResp, header.sequence));
            s.socket->flush();
            s.socket->disconnectFromHost();
            return;
        default:
            if (!response)
                send(s,
                     Smpp::bare(Command::GenericNack, header.sequence,
                                Smpp::Status::InvalidCommandId));
            return;
        }
    }

    void bind(Session &s, const Smpp::Pdu &pdu, Mode mode)
    {
        const auto name = mode == Mode::Transceiver ? u"transceiver"_s
            : mode == Mode::Transmitter             ? u"transmitter"_s
                                                    : u"receiver"_s;
        quint32 status = Smpp::Status::Ok;
        if (s.mode != Mode::None)
            status = 0x05; // ESME_RALYBND
        else if (pdu.bind.systemId != m_options.systemId)
            status = Smpp::Status::InvalidSystemId;
        else if (pdu.bind.password != m_options.password)
            status = Smpp::Status::InvalidPassword;
        send(s,
             Smpp::response(Smpp::Command(pdu.header.command | 0x80000000u), pdu.header.sequence,
                            status, "quillet-smsc"));
        emitLine(u"bind "_s + name + u' ' + field(pdu.bind.systemId)
                 + (status == Smpp::Status::Ok ? u" ok"_s : u" refused"_s));
        if (status != Smpp::Status::Ok)
            return;
        s.mode = mode;
        s.boundAt = ++m_binds;
        flushDeliveries();
    }

    void submit(Session &s, const Smpp::Pdu &pdu)
    {
        const Smpp::ShortMessage &m = pdu.message;
        const std::optional<SmsText::Incoming> in
            = SmsText::decode(m.dataCoding, m.esmClass, m.payload);
        QString concatenation = u"-"_s;
        if (in && in->concatenation) {
            concatenation = QString::number(in->concatenation->reference) + u'/'
                + QString::number(in->concatenation->total) + u'/'
                + QString::number(in->concatenation->sequence);
        }
        const QString text = in ? escaped(in->text, true)
                                : u"(unreadable) "_s + QString::fromLatin1(m.payload.toHex());
        const QString fields = field(m.source.digits) + u' ' + field(m.destination.digits) + u' '
            + hex(m.dataCoding) + u' ' + hex(m.esmClass) + u' ' + concatenation + u' ' + text;

        quint32 status = Smpp::Status::Ok;
        if (s.mode != Mode::Transmitter && s.mode != Mode::Transceiver) {
            status = Smpp::Status::IncorrectBindStatus;
        } else if (m_throttle > 0) {
            --m_throttle;
            status = Smpp::Status::Throttled;
        } else if (m_reject > 0) {
            --m_reject;
            status = m_rejectStatus;
        }
        const QByteArray id
            = status == Smpp::Status::Ok ? QByteArray::number(++m_messages, 16) : QByteArray();
        const quint32 sequence = pdu.header.sequence;
        const QPointer<QTcpSocket> socket = s.socket;
        const Smpp::Address source = m.source;
        const Smpp::Address destination = m.destination;
        const auto answer = [this, socket, sequence, status, id, fields, source, destination] {
            Session *now = socket ? session(socket) : nullptr;
            if (!now)
                return;
            send(*now, Smpp::response(Smpp::Command::SubmitSmResp, sequence, status, id));
            if (status != Smpp::Status::Ok) {
                emitLine(u"submit-refused "_s + hex(status) + u' ' + fields);
                return;
            }
            emitLine(u"submit "_s + QString::fromLatin1(id) + u' ' + fields);
            if (m_receiptMs >= 0) {
                const QByteArray stat = m_receiptStat;
                QTimer::singleShot(m_receiptMs, &m_server,
                                   [=, this] { queueReceipt(id, stat, destination, source); });
            }
        };
        if (m_slowMs > 0)
            QTimer::singleShot(m_slowMs, &m_server, answer);
        else
            answer();
    }

    void queueReceipt(const QByteArray &id, const QByteArray &stat, const Smpp::Address &from,
                      const Smpp::Address &to)
    {
        Delivery d;
        d.kind = Kind::Receipt;
        d.id = id;
        d.stat = stat;
        d.message.source = from;
        d.message.destination = to;
        d.message.esmClass = Smpp::EsmDeliveryReceipt;
        d.message.dataCoding = Smpp::CodingDefault;
        d.message.payload = SmsText::makeReceiptText(id, stat);
        if (m_receiptTlvs) {
            d.message.receiptedMessageId = id;
            d.message.messageState = messageState(stat);
        }
        m_pending.append(d);
        flushDeliveries();
    }

    Session *receiver()
    {
        Session *best = nullptr;
        for (Session &s : m_sessions) {
            if ((s.mode == Mode::Transceiver || s.mode == Mode::Receiver)
                && (!best || s.boundAt > best->boundAt))
                best = &s;
        }
        return best;
    }

    void flushDeliveries()
    {
        Session *s = receiver();
        if (!s)
            return;
        while (!m_pending.isEmpty()) {
            Delivery d = m_pending.takeFirst();
            const quint32 sequence = ++s->sequence;
            const QByteArray pdu = Smpp::deliverSm(sequence, d.message);
            if (pdu.isEmpty()) {
                std::fprintf(stderr, "quillet-smsc-sim: a deliver_sm does not fit\n");
                continue;
            }
            for (int copy = 0; copy < d.copies; ++copy) {
                send(*s, pdu);
                s->sent.insert(sequence, d.kind);
                if (d.kind == Kind::Receipt) {
                    emitLine(u"receipt "_s + field(d.id) + u' ' + field(d.stat));
                } else {
                    emitLine(u"mo "_s + QString::number(sequence));
                }
            }
            if (d.dropAfter) {
                // Closed once the deliver_sm is written, and never again a receiver.
                d.dropAfter = false;
                m_pending.prepend(d);
                s->mode = Mode::None;
                s->socket->disconnectFromHost();
                return;
            }
        }
    }

    void readStdin()
    {
        char chunk[4096];
        const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (got <= 0) {
            m_stdin->setEnabled(false);
            if (m_options.untilEof)
                QCoreApplication::quit();
            return;
        }
        m_input.append(chunk, got);
        for (qsizetype end = m_input.indexOf('\n'); end >= 0; end = m_input.indexOf('\n')) {
            const QString line = QString::fromUtf8(m_input.left(end)).trimmed();
            m_input.remove(0, end + 1);
            if (!line.isEmpty())
                run(line);
        }
    }

    void run(const QString &line)
    {
        const QStringList words = line.split(u' ', Qt::SkipEmptyParts);
        const QString word = words.first();
        const auto number = [&](qsizetype at, int base = 10) -> std::optional<uint> {
            bool ok = false;
            const uint value = words.value(at).toUInt(&ok, base);
            return ok ? std::optional<uint>(value) : std::nullopt;
        };
        // The text after `skip` words, as typed (spaces kept).
        const auto rest = [&](int skip) {
            qsizetype at = 0;
            for (int i = 0; i < skip; ++i) {
                at = line.indexOf(words.at(i), at) + words.at(i).size();
            }
            return unescaped(line.mid(at + 1));
        };
        const auto fail
            = [&](const QString &reason) { emitLine(u"error "_s + word + u' ' + reason); };

        if (word == u"throttle" && number(1)) {
            m_throttle = int(*number(1));
        } else if (word == u"reject" && number(1) && number(2, 16)) {
            m_reject = int(*number(1));
            m_rejectStatus = *number(2, 16);
        } else if (word == u"slow" && number(1)) {
            m_slowMs = int(*number(1));
        } else if (word == u"mute" || word == u"unmute") {
            m_muted = word == u"mute";
        } else if (word == u"drop") {
            const std::list<Session> sessions = m_sessions;
            for (const Session &s : sessions)
                close(s.socket);
        } else if (word == u"receipts" && words.value(1) == u"off") {
            m_receiptMs = -1;
        } else if (word == u"receipts" && number(1)) {
            m_receiptMs = int(*number(1));
            m_receiptStat = words.size() > 2 ? words.at(2).toLatin1() : "DELIVRD";
        } else if (word == u"receipt-style"
                   && (words.value(1) == u"tlv" || words.value(1) == u"text")) {
            m_receiptTlvs = words.value(1) == u"tlv";
        } else if (word == u"receipt" && words.size() == 3) {
            queueReceipt(words.at(1).toLatin1(), words.at(2).toLatin1(), {}, {});
        } else if ((word == u"mo" || word == u"mo-latin1" || word == u"mo-twice"
                    || word == u"mo-drop")
                   && words.size() >= 3) {
            Smpp::ShortMessage m;
            m.source.digits = words.at(1).toLatin1();
            m.destination.digits = words.at(2).toLatin1();
            const QString text = words.size() > 3 ? rest(3) : QString();
            QList<QByteArray> parts;
            if (word == u"mo-latin1") {
                m.dataCoding = Smpp::CodingLatin1;
                parts.append(text.toLatin1());
            } else {
                const SmsText::Outgoing out = SmsText::encode(text, quint8(++m_references));
                m.dataCoding = out.dataCoding;
                m.esmClass = out.esmClass;
                parts = out.parts;
            }
            const bool once = word == u"mo-twice" || word == u"mo-drop";
            if (parts.isEmpty() || (once && parts.size() > 1)
                || parts.first().size() > Smpp::MaxShortMessage)
                return fail(u"the text does not fit"_s);
            for (const QByteArray &part : parts) {
                Delivery d;
                d.message = m;
                d.message.payload = part;
                d.copies = word == u"mo-twice" ? 2 : 1;
                d.dropAfter = word == u"mo-drop";
                m_pending.append(d);
            }
            flushDeliveries();
        } else {
            return fail(u"not understood: "_s + escaped(line, true));
        }
        emitLine(u"ok "_s + word);
    }

    Options m_options;
    QTcpServer m_server;
    std::unique_ptr<QSocketNotifier> m_stdin;
    QByteArray m_input;
    std::list<Session> m_sessions;
    QList<Delivery> m_pending;
    quint64 m_binds = 0;
    quint64 m_messages = 0;
    uint m_references = 0;
    int m_throttle = 0;
    int m_reject = 0;
    quint32 m_rejectStatus = 0;
    int m_slowMs = 0;
    bool m_muted = false;
    int m_receiptMs = -1;
    QByteArray m_receiptStat = "DELIVRD";
    bool m_receiptTlvs = true;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"quillet-smsc-sim"_s);

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(Usage));
    parser.addHelpOption();
    const QCommandLineOption listen(u"listen"_s, u"Address to listen on (127.0.0.1)."_s, u"ADDR"_s,
                                    u"127.0.0.1"_s);
    const QCommandLineOption port(u"port"_s, u"TCP port; 0 picks a free one (0)."_s, u"N"_s,
                                  u"0"_s);
    const QCommandLineOption systemId(
        u"system-id"_s, u"The system_id a bind must give (quillet)."_s, u"ID"_s, u"quillet"_s);
    const QCommandLineOption password(u"password"_s, u"The password a bind must give (secret1)."_s,
                                      u"P"_s, u"secret1"_s);
    const QCommandLineOption receipts(
        u"receipts"_s, u"Send a delivery receipt MS ms after each accepted submit_sm (off)."_s,
        u"MS"_s);
    const QCommandLineOption untilEof(
        u"until-eof"_s,
        u"End when standard input closes (the test harness sets it, so that no simulator "
        "outlives its test)."_s);
    parser.addOptions({ listen, port, systemId, password, receipts, untilEof });
    parser.process(app);

    Options options;
    options.systemId = parser.value(systemId).toLatin1();
    options.password = parser.value(password).toLatin1();
    options.untilEof = parser.isSet(untilEof);
    bool ok = true;
    if (parser.isSet(receipts)) {
        options.receiptMs = parser.value(receipts).toInt(&ok);
        if (!ok || options.receiptMs < 0) {
            std::fprintf(stderr, "quillet-smsc-sim: --receipts takes milliseconds\n");
            return 2;
        }
    }
    const uint portNumber = parser.value(port).toUInt(&ok);
    const QHostAddress address(parser.value(listen));
    if (!ok || portNumber > 65535 || address.isNull()) {
        std::fprintf(stderr, "quillet-smsc-sim: --listen takes an IP address, --port 0..65535\n");
        return 2;
    }
    Smsc smsc(options);
    if (!smsc.listen(address, quint16(portNumber)))
        return 1;
    return app.exec();
}
