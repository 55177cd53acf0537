#include "gateway/local/segmentcounter.h"

#include <QList>

namespace {

constexpr int SingleGsm7 = 160;
constexpr int MultiGsm7 = 153;
constexpr int SingleUcs2 = 70;
constexpr int MultiUcs2 = 67;
constexpr int SegmentOctets = 140;

// The GSM 03.38 default alphabet besides ASCII letters and digits.
constexpr char16_t BasicTable[]
    = u"@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞÆæßÉ !\"#¤%&'()*+,-./:;<=>?¡ÄÖÑÜ§¿äöñüà";
// Its extension table: each is sent as an escape and a second septet.
constexpr char16_t ExtensionTable[] = u"\f^{}\\[~]|€";

bool contains(const char16_t *table, char16_t c)
{
    for (const char16_t *p = table; *p; ++p) {
        if (*p == c)
            return true;
    }
    return false;
}

// Greedy split: a unit that does not fit the rest of a segment starts the next one.
int split(const QList<int> &units, int single, int multi)
{
    int total = 0;
    for (int u : units)
        total += u;
    if (total == 0)
        return 0;
    if (total <= single)
        return 1;
    int segments = 1;
    int used = 0;
    for (int u : units) {
        if (used + u > multi) {
            ++segments;
            used = 0;
        }
        used += u;
    }
    return segments;
}

} // namespace

int SegmentCounter::septets(char16_t c)
{
    if ((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9'))
        return 1;
    if (contains(BasicTable, c))
        return 1;
    if (contains(ExtensionTable, c))
        return 2;
    return 0;
}

SegmentCounter::Encoding SegmentCounter::encoding(const QString &text)
{
    for (QChar c : text) {
        if (septets(c.unicode()) == 0)
            return Encoding::Ucs2;
    }
    return Encoding::Gsm7;
}

int SegmentCounter::segments(const QString &text)
{
    QList<int> units;
    units.reserve(text.size());
    if (encoding(text) == Encoding::Gsm7) {
        for (QChar c : text)
            units.append(septets(c.unicode()));
        return split(units, SingleGsm7, MultiGsm7);
    }
    for (qsizetype i = 0; i < text.size(); ++i) {
        const bool pair = text.at(i).isHighSurrogate() && i + 1 < text.size()
            && text.at(i + 1).isLowSurrogate();
        units.append(pair ? 2 : 1);
        if (pair)
            ++i;
    }
    return split(units, SingleUcs2, MultiUcs2);
}

bool SegmentCounter::fitsBeside(const QString &text, int headerOctets)
{
    const int left = SegmentOctets - headerOctets;
    if (encoding(text) == Encoding::Gsm7) {
        // The text starts at the septet after the header's last bit.
        const int septetsLeft = (left * 8 - (7 - headerOctets * 8 % 7) % 7) / 7;
        int used = 0;
        for (QChar c : text)
            used += septets(c.unicode());
        return used <= septetsLeft;
    }
    return text.size() * 2 <= left;
}
