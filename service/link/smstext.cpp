#include "service/link/smstext.h"

#include "gateway/local/segmentcounter.h"
#include "service/link/smpppdu.h"

#include <QDateTime>

#include <initializer_list>

using namespace Qt::StringLiterals;

namespace SmsText {

namespace {

constexpr int SingleGsm7 = 160;
constexpr int MultiGsm7 = 153;
constexpr int SingleUcs2 = 70;
constexpr int MultiUcs2 = 67;
constexpr int MaxParts = 255; // the concatenation header numbers parts in one octet

constexpr quint8 Escape = 0x1B;
constexpr char16_t Replacement = 0xFFFD;

// The GSM 03.38 default alphabet by septet; 0x1B is the escape to the extension table
// (SegmentCounter says which characters are in it, this says by which septet).
constexpr char16_t Alphabet[] = u"@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞ\x1b"
                                u"ÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?"
                                u"¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§"
                                u"¿abcdefghijklmnopqrstuvwxyzäöñüà";
static_assert(std::size(Alphabet) == 129);

struct Extension {
    quint8 septet;
    char16_t character;
};
constexpr Extension Extensions[] = {
    { 0x0A, u'\f' }, { 0x14, u'^' }, { 0x28, u'{' }, { 0x29, u'}' }, { 0x2F, u'\\' },
    { 0x3C, u'[' },  { 0x3D, u'~' }, { 0x3E, u']' }, { 0x40, u'|' }, { 0x65, u'€' },
};

QByteArray octets(std::initializer_list<quint8> values)
{
    QByteArray out;
    for (quint8 v : values)
        out.append(char(v));
    return out;
}

// The septets of a character of the alphabet: one, or the escape and one.
QByteArray gsmSeptets(char16_t c)
{
    if (SegmentCounter::septets(c) == 2) {
        for (const Extension &e : Extensions) {
            if (e.character == c)
                return octets({ Escape, e.septet });
        }
    }
    for (int septet = 0; septet < 128; ++septet) {
        if (septet != Escape && Alphabet[septet] == c)
            return QByteArray(1, char(septet));
    }
    return QByteArray(1, '?'); // not reached: SegmentCounter chose 7-bit for the text
}

struct Unit {
    QByteArray octets;
    int weight = 0; // septets, or UTF-16 code units
};

QList<Unit> units(const QString &text, bool gsm)
{
    QList<Unit> out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (gsm) {
            out.append({ gsmSeptets(c), SegmentCounter::septets(c) });
            continue;
        }
        const bool pair = text.at(i).isHighSurrogate() && i + 1 < text.size()
            && text.at(i + 1).isLowSurrogate();
        Unit unit { octets({ quint8(c >> 8), quint8(c & 0xFF) }), 1 };
        if (pair) {
            const char16_t low = text.at(++i).unicode();
            unit.octets += octets({ quint8(low >> 8), quint8(low & 0xFF) });
            unit.weight = 2;
        }
        out.append(unit);
    }
    return out;
}

QString decodeGsm(const QByteArray &body)
{
    const auto basic = [](quint8 septet) {
        return septet < 128 && septet != Escape ? Alphabet[septet] : Replacement;
    };
    QString text;
    text.reserve(body.size());
    for (qsizetype i = 0; i < body.size(); ++i) {
        const quint8 septet = quint8(body.at(i));
        if (septet != Escape) {
            text.append(QChar(basic(septet)));
            continue;
        }
        // A trailing escape, or an escape of the escape, shows as a space.
        if (i + 1 == body.size()) {
            text.append(u' ');
            continue;
        }
        const quint8 next = quint8(body.at(++i));
        if (next == Escape) {
            text.append(u' ');
            continue;
        }
        char16_t c = basic(next);
        for (const Extension &e : Extensions) {
            if (e.septet == next)
                c = e.character;
        }
        text.append(QChar(c));
    }
    return text;
}

bool isGsmCoding(quint8 dataCoding)
{
    // 0, and the message-class group 0xF0..0xFF whose bit 2 clear means the default alphabet.
    return dataCoding == Smpp::CodingDefault || (dataCoding & 0xF4) == 0xF0;
}

// The value of `key` (lower case, with its colon) where it starts a word, up to the next
// space; nullopt when there is none.
std::optional<QByteArray> field(const QByteArray &payload, const QByteArray &key)
{
    const QByteArray lower = payload.toLower();
    for (qsizetype at = lower.indexOf(key); at >= 0; at = lower.indexOf(key, at + 1)) {
        if (at > 0 && lower.at(at - 1) != ' ')
            continue;
        const qsizetype start = at + key.size();
        qsizetype end = payload.indexOf(' ', start);
        if (end < 0)
            end = payload.size();
        return payload.mid(start, end - start);
    }
    return std::nullopt;
}

} // namespace

Outgoing encode(const QString &written, quint8 reference)
{
    // A lone surrogate goes out as U+FFFD: an SMSC or handset given half a pair may refuse
    // the part or show it as anything. Same length in UTF-16, so the count of parts holds.
    const QString text = wellFormed(written);
    const bool gsm = SegmentCounter::encoding(text) == SegmentCounter::Encoding::Gsm7;
    Outgoing out;
    out.dataCoding = gsm ? Smpp::CodingDefault : Smpp::CodingUcs2;
    const QList<Unit> all = units(text, gsm);
    int total = 0;
    for (const Unit &unit : all)
        total += unit.weight;
    if (total <= (gsm ? SingleGsm7 : SingleUcs2)) {
        QByteArray part;
        for (const Unit &unit : all)
            part.append(unit.octets);
        out.parts.append(part);
        return out;
    }
    const int multi = gsm ? MultiGsm7 : MultiUcs2;
    QList<QByteArray> bodies { QByteArray() };
    int used = 0;
    for (const Unit &unit : all) {
        if (used + unit.weight > multi) {
            bodies.append(QByteArray());
            used = 0;
        }
        bodies.last().append(unit.octets);
        used += unit.weight;
    }
    if (bodies.size() > MaxParts)
        return out;
    out.esmClass = Smpp::EsmUdhIndicator;
    for (qsizetype i = 0; i < bodies.size(); ++i) {
        QByteArray part { "\x05\x00\x03", 3 };
        part.append(char(reference));
        part.append(char(bodies.size()));
        part.append(char(i + 1));
        out.parts.append(part + bodies.at(i));
    }
    return out;
}

Outgoing encodePart(const QString &written, const Concatenation &part, bool wideReference)
{
    const QString text = wellFormed(written);
    const bool gsm = SegmentCounter::encoding(text) == SegmentCounter::Encoding::Gsm7;
    Outgoing out;
    out.dataCoding = gsm ? Smpp::CodingDefault : Smpp::CodingUcs2;
    const int headerOctets = wideReference ? 7 : 6;
    if (part.total < 1 || part.sequence < 1 || part.sequence > part.total
        || (!wideReference && part.reference > 0xFF)
        || !SegmentCounter::fitsBeside(text, headerOctets))
        return out;
    QByteArray payload = wideReference
        ? octets({ 0x06, 0x08, 0x04, quint8(part.reference >> 8), quint8(part.reference & 0xFF) })
        : octets({ 0x05, 0x00, 0x03, quint8(part.reference) });
    payload.append(char(part.total));
    payload.append(char(part.sequence));
    for (const Unit &unit : units(text, gsm))
        payload.append(unit.octets);
    out.esmClass = Smpp::EsmUdhIndicator;
    out.parts.append(payload);
    return out;
}

// A lone surrogate is no character; left in, the store's conversion to UTF-8 would join
// it with its neighbour into another character (D800 0041 into U+10041).
QString wellFormed(QString text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            ++i;
        else if (c.isSurrogate())
            text[i] = QChar::ReplacementCharacter;
    }
    return text;
}

std::optional<Incoming> decode(quint8 dataCoding, quint8 esmClass, const QByteArray &payload)
{
    Incoming in;
    QByteArray body = payload;
    if (esmClass & Smpp::EsmUdhIndicator) {
        if (payload.isEmpty())
            return std::nullopt;
        const qsizetype end = 1 + quint8(payload.at(0));
        if (end > payload.size())
            return std::nullopt;
        qsizetype at = 1;
        while (at < end) {
            if (end - at < 2)
                return std::nullopt;
            const quint8 iei = quint8(payload.at(at));
            const quint8 length = quint8(payload.at(at + 1));
            const qsizetype data = at + 2;
            if (end - data < length)
                return std::nullopt;
            const auto octet = [&](int i) { return quint8(payload.at(data + i)); };
            std::optional<Concatenation> found;
            if (iei == 0x00 && length == 3)
                found = Concatenation { octet(0), octet(1), octet(2) };
            else if (iei == 0x08 && length == 4)
                found = Concatenation { quint16((octet(0) << 8) | octet(1)), octet(2), octet(3) };
            // A part numbered outside its count is read as a message of its own.
            if (found && found->sequence >= 1 && found->sequence <= found->total)
                in.concatenation = found;
            at = data + length;
        }
        body = payload.mid(end);
    }
    if (isGsmCoding(dataCoding)) {
        in.text = decodeGsm(body);
    } else if (dataCoding == Smpp::CodingUcs2) {
        if (body.size() % 2)
            return std::nullopt;
        in.text.resize(body.size() / 2);
        for (qsizetype i = 0; i < in.text.size(); ++i) {
            in.text[i]
                = QChar(char16_t((quint8(body.at(2 * i)) << 8) | quint8(body.at(2 * i + 1))));
        }
        in.text = wellFormed(std::move(in.text));
    } else {
        // IA5 is ASCII; Latin-1 reads it the same and keeps any octet above.
        in.text = QString::fromLatin1(body);
    }
    return in;
}

std::optional<ReceiptText> receiptText(const QByteArray &payload)
{
    const std::optional<QByteArray> id = field(payload, "id:");
    const std::optional<QByteArray> stat = field(payload, "stat:");
    if (!id || id->isEmpty() || !stat || stat->isEmpty())
        return std::nullopt;
    return ReceiptText { *id, stat->toUpper() };
}

QByteArray makeReceiptText(const QByteArray &id, const QByteArray &stat)
{
    const QByteArray now = QDateTime::currentDateTime().toString(u"yyMMddHHmm"_s).toLatin1();
    return "id:" + id + " sub:001 dlvrd:001 submit date:" + now + " done date:" + now
        + " stat:" + stat + " err:000 text:";
}

} // namespace SmsText
