#pragma once

// The text of an SMS as the network carries it.
//
// Out: a message is split exactly as SegmentCounter counts it. A text of the GSM 7-bit
// default alphabet goes as data_coding 0, one septet per octet (an extension-table
// character as the escape 0x1B and its septet); any other as data_coding 8, UCS-2
// big-endian. More than one part: each carries a concatenation header (IEI 0x00: the
// message's reference, the count, its sequence from 1), to be sent with esm_class 0x40.
// A part its sender numbered goes out alone with the header it came with.
// A text of more than 255 parts, which that header cannot number, gives no part at all;
// the empty text gives one empty part.
//
// In: data_coding 0 (GSM 7-bit, unpacked), 1 (IA5), 3 (Latin-1) and 8 (UCS-2) are read;
// any other coding is read as Latin-1, so nothing is dropped. A concatenation header
// (IEI 0x00 or 0x08) is taken off and reported. A UTF-16 surrogate without its partner
// reads as U+FFFD, so the text is always well formed: a pair a sender split between two
// parts of a message arrives as two U+FFFD.

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

namespace SmsText {

struct Outgoing {
    quint8 dataCoding = 0;
    quint8 esmClass = 0; // 0x40 when the parts carry a header
    QList<QByteArray> parts; // short_message of each part, header included
};
Outgoing encode(const QString &text, quint8 reference);

struct Concatenation {
    quint16 reference = 0;
    quint8 total = 0;
    quint8 sequence = 0; // from 1
};

// One part of a text its sender split itself: `text` in one short_message after the
// concatenation header `part` (IEI 0x08 with a 16-bit reference when `wideReference`,
// else IEI 0x00), esm_class 0x40; no part when the text does not fit one segment beside
// that header, or the header cannot say that place.
Outgoing encodePart(const QString &text, const Concatenation &part, bool wideReference);

struct Incoming {
    QString text;
    std::optional<Concatenation> concatenation;
};
// nullopt for a header that runs past the payload, or a UCS-2 text of an odd length.
std::optional<Incoming> decode(quint8 dataCoding, quint8 esmClass, const QByteArray &payload);
// `text` with each unpaired surrogate replaced by U+FFFD.
QString wellFormed(QString text);

// A delivery receipt's conventional text: "id:IIII sub:001 dlvrd:001 submit date:...
// done date:... stat:DELIVRD err:000 text:...". Fields are matched case-insensitively.
struct ReceiptText {
    QByteArray id;
    QByteArray stat; // in capitals: DELIVRD, EXPIRED, DELETED, UNDELIV, ACCEPTD, UNKNOWN, REJECTD
};
std::optional<ReceiptText> receiptText(const QByteArray &payload);
// The same text, as a simulated SMSC writes it.
QByteArray makeReceiptText(const QByteArray &id, const QByteArray &stat);

} // namespace SmsText
