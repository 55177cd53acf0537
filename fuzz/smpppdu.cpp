// Fuzz target: what the SMPP link reads from an SMSC (Smpp::header, Smpp::decode,
// SmsText::decode, SmsText::receiptText) and the texts it writes (SmsText::encode).
//
// Input: one octet of data_coding, one of esm_class, then the bytes of a PDU. Besides "no
// crash, no leak": decode() reads only a PDU of its header's length, and a PDU it reads
// (its length field set to the input's size, so bodies are reached) that is written
// again reads back the same; the input as a UTF-16LE text is split into as many parts as
// SegmentCounter counts (up to the 255 a concatenation header can number), no part longer
// than a short_message, and the parts read back are the text (a lone surrogate as U+FFFD).

#include "service/link/smpppdu.h"
#include "fuzz/fuzzinput.h"
#include "gateway/local/segmentcounter.h"
#include "service/link/smstext.h"

using FuzzInput::require;

namespace {

QString shownBytes(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex());
}

bool sameMessage(const Smpp::ShortMessage &a, const Smpp::ShortMessage &b)
{
    return a.serviceType == b.serviceType && a.source.digits == b.source.digits
        && a.source.ton == b.source.ton && a.source.npi == b.source.npi
        && a.destination.digits == b.destination.digits && a.esmClass == b.esmClass
        && a.registeredDelivery == b.registeredDelivery && a.dataCoding == b.dataCoding
        && a.payload == b.payload && a.scheduleDeliveryTime == b.scheduleDeliveryTime
        && a.validityPeriod == b.validityPeriod;
}

void checkPdu(const QByteArray &bytes)
{
    const Smpp::Peek peek = Smpp::header(bytes);
    require(peek.complete == (bytes.size() >= Smpp::HeaderLength),
            "a header is complete with its 16 octets", shownBytes(bytes));
    const std::optional<Smpp::Pdu> pdu = Smpp::decode(bytes);
    if (!pdu)
        return;
    require(peek.valid && pdu->header.length == quint32(bytes.size()),
            "decode() reads only a PDU of its header's length", shownBytes(bytes));
    if (pdu->header.command == quint32(Smpp::Command::SubmitSm)
        || pdu->header.command == quint32(Smpp::Command::DeliverSm)) {
        const bool deliver = pdu->header.command == quint32(Smpp::Command::DeliverSm);
        const QByteArray again = deliver ? Smpp::deliverSm(pdu->header.sequence, pdu->message)
                                         : Smpp::submitSm(pdu->header.sequence, pdu->message);
        if (again.isEmpty())
            return; // a 254-octet short_message, or an id with its NUL missing
        const std::optional<Smpp::Pdu> back = Smpp::decode(again);
        require(back && sameMessage(back->message, pdu->message)
                    && (!deliver
                        || (back->message.receiptedMessageId == pdu->message.receiptedMessageId
                            && back->message.messageState == pdu->message.messageState)),
                "a message written again reads back the same", shownBytes(bytes));
    }
}

void checkText(const QString &text)
{
    const int segments = SegmentCounter::segments(text);
    const SmsText::Outgoing out = SmsText::encode(text, 7);
    if (segments > 255) {
        require(out.parts.isEmpty(), "a text of more than 255 parts has none", text);
        return;
    }
    require(out.parts.size() == qMax(segments, 1), "parts as SegmentCounter counts segments", text);
    QString read;
    for (const QByteArray &part : out.parts) {
        require(part.size() <= Smpp::MaxShortMessage, "a part fits a short_message", text);
        const std::optional<SmsText::Incoming> in
            = SmsText::decode(out.dataCoding, out.esmClass, part);
        require(in.has_value() && in->concatenation.has_value() == (out.parts.size() > 1),
                "a part reads back, with its header when there are several", text);
        read += in->text;
    }
    require(read == SmsText::wellFormed(text), "the parts read back are the text, well formed",
            text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const quint8 coding = data[0];
    const quint8 esmClass = data[1];
    const QByteArray bytes(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));

    checkPdu(bytes);
    if (bytes.size() >= Smpp::HeaderLength) {
        QByteArray sized = bytes;
        const quint32 length = quint32(sized.size());
        for (int i = 0; i < 4; ++i)
            sized[i] = char(length >> (24 - 8 * i));
        checkPdu(sized);
    }

    const std::optional<SmsText::Incoming> in = SmsText::decode(coding, esmClass, bytes);
    if (in && coding == Smpp::CodingUcs2 && !(esmClass & Smpp::EsmUdhIndicator))
        require(in->text.size() == bytes.size() / 2, "UCS-2 reads two octets a character",
                shownBytes(bytes));
    if (const std::optional<SmsText::ReceiptText> receipt = SmsText::receiptText(bytes)) {
        require(!receipt->id.isEmpty() && !receipt->id.contains(' ') && !receipt->stat.isEmpty(),
                "a receipt's id and stat are single words", shownBytes(bytes));
    }

    checkText(FuzzInput::text(data + 2, size - 2));
    return 0;
}
