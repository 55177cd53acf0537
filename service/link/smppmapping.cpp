#include "service/link/smppmapping.h"

#include "service/link/smstext.h"

#include <QCryptographicHash>
#include <QDateTime>

using namespace Qt::StringLiterals;

namespace SmppMapping {

namespace {

using ReceiptState = LinkStore::ReceiptState;

// A time in SMPP's absolute form, in UTC ("YYMMDDhhmmss" and tenths, a quarter-hour
// offset of 00, "+"); empty for none.
QByteArray smppTime(qint64 msSinceEpoch)
{
    if (msSinceEpoch <= 0)
        return {};
    return QDateTime::fromMSecsSinceEpoch(msSinceEpoch, Qt::UTC)
               .toString(u"yyMMddHHmmss"_s)
               .toLatin1()
        + QByteArray::number(msSinceEpoch % 1000 / 100) + "00+";
}

// A receipt's state from its message_state TLV, else from the stat of its text (in
// capitals).
ReceiptState receiptState(const Smpp::ShortMessage &message, const QByteArray &stat)
{
    if (message.messageState) {
        switch (*message.messageState) {
        case 2:
            return ReceiptState::Delivered;
        case 3:
            return ReceiptState::Expired;
        case 4:
        case 5:
            return ReceiptState::Undeliverable;
        case 8:
            return ReceiptState::Rejected;
        default:
            return ReceiptState::OnItsWay;
        }
    }
    if (stat == "DELIVRD")
        return ReceiptState::Delivered;
    if (stat == "EXPIRED")
        return ReceiptState::Expired;
    if (stat == "UNDELIV" || stat == "DELETED")
        return ReceiptState::Undeliverable;
    if (stat == "REJECTD")
        return ReceiptState::Rejected;
    return ReceiptState::OnItsWay;
}

// A phone as the gateway writes it: international numbers with their +.
QString phoneOf(const Smpp::Address &address)
{
    const QString digits = QString::fromLatin1(address.digits);
    return address.ton == 1 && !digits.startsWith(u'+') ? u'+' + digits : digits;
}

// A message id as the gateway keeps and matches it: no longer than SMPP allows, so that
// an SMSC that writes more still finds its receipts.
QString smscIdOf(const QByteArray &id)
{
    return QString::fromLatin1(id.left(Smpp::MaxMessageId));
}

LinkStore::Receipt receiptOf(const Smpp::ShortMessage &message)
{
    const std::optional<SmsText::ReceiptText> text = SmsText::receiptText(message.payload);
    LinkStore::Receipt receipt;
    receipt.smscId = smscIdOf(
        message.receiptedMessageId.isEmpty() && text ? text->id : message.receiptedMessageId);
    if (text) {
        const QString written = smscIdOf(text->id);
        if (written != receipt.smscId)
            receipt.textId = written;
    }
    receipt.state = receiptState(message, text ? text->stat : QByteArray());
    receipt.source = phoneOf(message.source);
    receipt.destination = phoneOf(message.destination);
    receipt.text = QString::fromLatin1(message.payload);
    return receipt;
}

LinkStore::Arrival arrivalOf(const Smpp::ShortMessage &message)
{
    LinkStore::Arrival arrival;
    arrival.source = phoneOf(message.source);
    arrival.destination = QString::fromLatin1(message.destination.digits);
    arrival.smscId = smscIdOf(message.receiptedMessageId);
    const std::optional<SmsText::Incoming> text
        = SmsText::decode(message.dataCoding, message.esmClass, message.payload);
    if (text) {
        arrival.text = text->text;
        if (text->concatenation && text->concatenation->total > 1) {
            arrival.reference = text->concatenation->reference;
            arrival.total = text->concatenation->total;
            arrival.part = text->concatenation->sequence;
        }
    } else {
        arrival.text = QString::fromLatin1(message.payload.toHex());
        arrival.unreadable = true;
    }
    QCryptographicHash digest(QCryptographicHash::Sha256);
    QByteArray identity = message.source.digits;
    identity.append('\0').append(message.destination.digits).append('\0');
    identity.append(char(message.dataCoding)).append(char(message.esmClass));
    digest.addData(identity);
    digest.addData(message.payload);
    arrival.digest = digest.result();
    return arrival;
}

} // namespace

LinkStore::Delivery deliveryOf(const Smpp::ShortMessage &message)
{
    LinkStore::Delivery delivery;
    if ((message.esmClass & Smpp::EsmTypeMask) == Smpp::EsmDeliveryReceipt)
        delivery.receipt = receiptOf(message);
    else
        delivery.arrival = arrivalOf(message);
    return delivery;
}

QList<Smpp::ShortMessage> partsOf(const LinkStore::Outgoing &message, quint8 sourceTon,
                                  quint8 sourceNpi)
{
    const SmsText::Outgoing out = message.part
        ? SmsText::encodePart(message.text,
                              { message.part->reference, quint8(message.part->total),
                                quint8(message.part->sequence) },
                              message.part->wideReference)
        : SmsText::encode(message.text, quint8(message.id & 0xFF));
    QList<Smpp::ShortMessage> parts;
    parts.reserve(out.parts.size());
    for (const QByteArray &payload : out.parts) {
        Smpp::ShortMessage part;
        part.source = { sourceTon, sourceNpi, message.source.toLatin1() };
        part.destination = Smpp::addressOf(message.phone);
        part.esmClass = out.esmClass;
        part.registeredDelivery = 1;
        part.dataCoding = out.dataCoding;
        part.payload = payload;
        part.validityPeriod = smppTime(message.validUntilMs);
        parts.append(part);
    }
    return parts;
}

SubmitAnswer answerOf(const Smpp::Pdu &answer)
{
    const quint32 status = answer.header.status;
    if (status == Smpp::Status::Ok
        && Smpp::Command(answer.header.command) == Smpp::Command::SubmitSmResp)
        return { SubmitAnswer::Kind::Taken, smscIdOf(answer.id), status };
    if (status == Smpp::Status::Throttled || status == Smpp::Status::QueueFull)
        return { SubmitAnswer::Kind::Later, {}, status };
    // A generic_nack may say Ok: the part was not taken all the same.
    return { SubmitAnswer::Kind::Refused, {}, status ? status : Smpp::Status::SystemError };
}

} // namespace SmppMapping
