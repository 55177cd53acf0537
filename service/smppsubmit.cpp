#include "service/smppsubmit.h"

#include "gateway/local/inputrules.h"
#include "service/link/smstext.h"

#include <QDateTime>
#include <QTimeZone>

using namespace Qt::StringLiterals;

namespace SmppSubmit {

namespace {

bool allDigits(QByteArrayView text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int number(QByteArrayView text, qsizetype at, qsizetype length)
{
    return text.sliced(at, length).toInt();
}

bool placeable(const LinkStore::Part &part)
{
    return part.total >= 1 && part.sequence >= 1 && part.sequence <= part.total;
}

// The concatenation in the user data header at the start of `data`, and the text after
// the header; nullopt for a header that runs past its data, a concatenation element of
// the wrong length or given twice, none at all, or one that says no place. Other
// elements are passed over: the part goes on without them.
struct Split {
    LinkStore::Part part;
    QByteArray body;
};
std::optional<Split> splitHeader(const QByteArray &data)
{
    if (data.isEmpty())
        return std::nullopt;
    const qsizetype end = 1 + quint8(data.at(0));
    if (end > data.size())
        return std::nullopt;
    std::optional<LinkStore::Part> part;
    for (qsizetype at = 1; at < end;) {
        if (end - at < 2)
            return std::nullopt;
        const quint8 iei = quint8(data.at(at));
        const quint8 length = quint8(data.at(at + 1));
        const qsizetype value = at + 2;
        if (end - value < length)
            return std::nullopt;
        if (iei == 0x00 || iei == 0x08) {
            const bool wide = iei == 0x08;
            if (part || length != (wide ? 4 : 3))
                return std::nullopt;
            const auto octet = [&](int i) { return quint8(data.at(value + i)); };
            const quint16 reference = wide ? quint16((octet(0) << 8) | octet(1)) : octet(0);
            const int total = octet(wide ? 2 : 1);
            const int sequence = octet(wide ? 3 : 2);
            part = LinkStore::Part { reference, wide, total, sequence };
        }
        at = value + length;
    }
    if (!part || !placeable(*part))
        return std::nullopt;
    return Split { *part, data.mid(end) };
}

} // namespace

std::optional<qint64> timeOf(const QByteArray &text, qint64 nowMs)
{
    if (text.size() != 16 || !allDigits(QByteArrayView(text).first(15)))
        return std::nullopt;
    const char sign = text.at(15);
    const int years = number(text, 0, 2);
    const int months = number(text, 2, 2);
    const int days = number(text, 4, 2);
    const int hours = number(text, 6, 2);
    const int minutes = number(text, 8, 2);
    const int seconds = number(text, 10, 2);
    if (sign == 'R') {
        // A period: years of 365 days and months of 30, as SMSCs count them.
        if (hours > 23 || minutes > 59 || seconds > 59)
            return std::nullopt;
        const qint64 total = ((qint64(years) * 365 + months * 30 + days) * 86'400 + hours * 3'600
                              + minutes * 60 + seconds);
        return nowMs + total * 1000;
    }
    if (sign != '+' && sign != '-')
        return std::nullopt;
    const int tenths = number(text, 12, 1);
    const int quarters = number(text, 13, 2);
    const QDate date(2000 + years, months, days);
    const QTime time(hours, minutes, seconds, tenths * 100);
    if (!date.isValid() || !time.isValid() || quarters > 48)
        return std::nullopt;
    const int offset = (sign == '+' ? 1 : -1) * quarters * 15 * 60;
    return QDateTime(date, time, QTimeZone(offset)).toMSecsSinceEpoch();
}

QString phoneOf(const Smpp::Address &address)
{
    const QString digits = QString::fromLatin1(address.digits);
    const QString phone = address.ton == 1 && !digits.startsWith(u'+') ? u'+' + digits : digits;
    return InputRules::isPhone(phone) ? phone : QString();
}

std::variant<ApplicationApi::Send, quint32> sendOf(const Smpp::ShortMessage &message,
                                                   const QString &serviceNumber, qint64 nowMs)
{
    using namespace Smpp::Status;
    const QString phone = phoneOf(message.destination);
    if (phone.isEmpty())
        return InvalidDestination;
    const QString source = QString::fromLatin1(message.source.digits);
    const QString extension = source.mid(serviceNumber.size());
    if (serviceNumber.isEmpty() || !source.startsWith(serviceNumber)
        || (!extension.isEmpty() && !InputRules::isExtension(extension)))
        return InvalidSource;
    if (message.messagePayload && !message.payload.isEmpty())
        return SubmitFailed;
    const quint8 coding = message.dataCoding;
    if (coding != Smpp::CodingDefault && coding != Smpp::CodingIa5 && coding != Smpp::CodingLatin1
        && coding != Smpp::CodingUcs2)
        return SubmitFailed;
    // A part of a text the application split itself, numbered by a header or by the sar_
    // parameters (never both): sent on as that part, not joined here.
    QByteArray body = message.messagePayload.value_or(message.payload);
    std::optional<LinkStore::Part> part;
    const bool sar = message.sarReference || message.sarTotal || message.sarSequence;
    if (message.esmClass & Smpp::EsmUdhIndicator) {
        std::optional<Split> split = splitHeader(body);
        if (!split || sar)
            return InvalidEsmClass;
        part = split->part;
        body = std::move(split->body);
    } else if (sar) {
        if (!message.sarReference || !message.sarTotal || !message.sarSequence)
            return InvalidParameterValue;
        part = LinkStore::Part { *message.sarReference, true, *message.sarTotal,
                                 *message.sarSequence };
        if (!placeable(*part))
            return InvalidParameterValue;
    }
    const std::optional<SmsText::Incoming> text = SmsText::decode(coding, 0, body);
    if (!text || !InputRules::isMessageText(text->text))
        return InvalidMessageLength;
    ApplicationApi::Send send;
    send.part = part;
    send.to = QStringList { phone };
    send.text = text->text;
    // SMPP's bits 0 and 1: 1 a receipt of any final state, 2 of a failure; 3 is reserved.
    const int asked = message.registeredDelivery & 0x03;
    send.smppReceipt = asked == 3 ? 0 : asked;
    if (!message.scheduleDeliveryTime.isEmpty()) {
        send.sendAtMs = timeOf(message.scheduleDeliveryTime, nowMs);
        if (!send.sendAtMs)
            return InvalidScheduleTime;
    }
    if (!message.validityPeriod.isEmpty()) {
        const std::optional<qint64> until = timeOf(message.validityPeriod, nowMs);
        const qint64 from = qMax(send.sendAtMs.value_or(nowMs), nowMs);
        if (!until || *until <= from)
            return InvalidExpiry;
        send.validitySeconds = (*until - from + 999) / 1000;
    }
    return send;
}

quint32 statusOf(const ApplicationApi::Sent &sent)
{
    using Refused = ApplicationApi::Sent::Refused;
    using Field = ApplicationApi::Field;
    switch (sent.refused) {
    case Refused::None:
        return sent.messages.isEmpty() ? Smpp::Status::SystemError : Smpp::Status::Ok;
    case Refused::InsufficientBalance:
        return Smpp::Status::SubmitFailed;
    case Refused::NoAccount:
        return Smpp::Status::SystemError;
    case Refused::Invalid:
        break;
    }
    switch (sent.field) {
    case Field::To:
        return Smpp::Status::InvalidDestination;
    case Field::SendAt:
        return Smpp::Status::InvalidScheduleTime;
    case Field::Validity:
        return Smpp::Status::InvalidExpiry;
    case Field::Text:
        return Smpp::Status::InvalidMessageLength;
    case Field::None:
    case Field::Reference:
        break;
    }
    return Smpp::Status::SubmitFailed;
}

quint8 stateOf(const MessageView &message)
{
    return stateNamed(message.state);
}

quint8 stateNamed(const QString &state)
{
    if (state == u"delivered"_s)
        return Smpp::State::Delivered;
    if (state == u"expired"_s)
        return Smpp::State::Expired;
    if (state == u"cancelled"_s)
        return Smpp::State::Deleted;
    if (state == u"undeliverable"_s || state == u"not_sent"_s)
        return Smpp::State::Undeliverable;
    if (state == u"rejected"_s)
        return Smpp::State::Rejected;
    if (state == u"unknown"_s)
        return Smpp::State::Unknown;
    return Smpp::State::Enroute;
}

QByteArray finalDate(const MessageView &message)
{
    if (stateOf(message) == Smpp::State::Enroute)
        return {};
    const qint64 at = message.doneAtMs.value_or(message.createdAtMs);
    return QDateTime::fromMSecsSinceEpoch(at, Qt::UTC).toString(u"yyMMddHHmmss"_s).toLatin1()
        + "000+";
}

namespace {

QByteArray stat(quint8 state)
{
    switch (state) {
    case Smpp::State::Delivered:
        return "DELIVRD";
    case Smpp::State::Expired:
        return "EXPIRED";
    case Smpp::State::Deleted:
        return "DELETED";
    case Smpp::State::Undeliverable:
        return "UNDELIV";
    case Smpp::State::Rejected:
        return "REJECTD";
    default:
        break;
    }
    return "UNKNOWN";
}

QString minutes(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(u"yyMMddHHmm"_s);
}

QString receiptWith(const Outbox::SmppEvent &event, qsizetype characters)
{
    const quint8 state = stateNamed(event.state);
    const QString delivered = state == Smpp::State::Delivered ? u"001"_s : u"000"_s;
    return u"id:%1 sub:001 dlvrd:%2 submit date:%3 done date:%4 stat:%5 err:000 text:%6"_s.arg(
        QString::number(event.subject), delivered, minutes(event.submittedAt),
        minutes(event.doneAt.value_or(event.at)), QString::fromLatin1(stat(state)),
        SmsText::wellFormed(event.text.left(characters)));
}

} // namespace

QString receiptText(const Outbox::SmppEvent &event)
{
    return receiptWith(event, 20);
}

Smpp::ShortMessage receiptOf(const Outbox::SmppEvent &event)
{
    Smpp::ShortMessage message;
    message.source = Smpp::addressOf(event.from);
    message.destination = Smpp::addressOf(event.to);
    message.esmClass = Smpp::EsmDeliveryReceipt;
    message.receiptedMessageId = QByteArray::number(event.subject);
    message.messageState = stateNamed(event.state);
    QString text = receiptText(event);
    const QByteArray latin = text.toLatin1();
    if (QString::fromLatin1(latin) == text) {
        message.dataCoding = Smpp::CodingLatin1;
        message.payload = latin;
        return message;
    }
    message.dataCoding = Smpp::CodingUcs2;
    for (qsizetype kept = 20; kept >= 0; --kept) {
        text = receiptWith(event, kept);
        if (text.size() * 2 <= Smpp::MaxShortMessage)
            break;
    }
    for (const QChar c : std::as_const(text)) {
        message.payload.append(char(c.unicode() >> 8));
        message.payload.append(char(c.unicode() & 0xFF));
    }
    return message;
}

QList<Smpp::ShortMessage> arrivalOf(const Outbox::SmppEvent &event)
{
    const SmsText::Outgoing out = SmsText::encode(event.text, quint8(event.subject & 0xFF));
    QList<Smpp::ShortMessage> parts;
    for (const QByteArray &payload : out.parts) {
        Smpp::ShortMessage part;
        part.source = Smpp::addressOf(event.from);
        part.destination = Smpp::addressOf(event.to);
        part.esmClass = out.esmClass;
        part.dataCoding = out.dataCoding;
        part.payload = payload;
        parts.append(part);
    }
    return parts;
}

} // namespace SmppSubmit
