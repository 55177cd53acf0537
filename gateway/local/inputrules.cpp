#include "gateway/local/inputrules.h"

#include "gateway/local/segmentcounter.h"

#include <algorithm>

namespace InputRules {

namespace {

bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

bool allDigits(QStringView text)
{
    return std::all_of(text.begin(), text.end(), isAsciiDigit);
}

} // namespace

bool isAccountNumber(const QString &text)
{
    static constexpr int Groups[] = { 3, 3, 3, 5 };
    qsizetype at = 0;
    for (int g = 0; g < 4; ++g) {
        if (g > 0) {
            if (at >= text.size() || text.at(at) != u'-')
                return false;
            ++at;
        }
        for (int i = 0; i < Groups[g]; ++i, ++at) {
            if (at >= text.size())
                return false;
            const QChar c = text.at(at);
            if (!isAsciiDigit(c) && !(c >= u'A' && c <= u'Z'))
                return false;
        }
    }
    return at == text.size();
}

bool isPhone(const QString &text)
{
    const QStringView digits = text.startsWith(u'+') ? QStringView(text).mid(1) : QStringView(text);
    return digits.size() >= 3 && digits.size() <= 20 && allDigits(digits);
}

bool isExtension(const QString &text)
{
    return !text.isEmpty() && text.size() <= MaxExtensionLength && allDigits(text);
}

bool isPlainText(const QString &text)
{
    return std::none_of(text.begin(), text.end(), [](QChar c) {
        const char16_t u = c.unicode();
        return u < 0x20 || (u >= 0x7F && u <= 0x9F) || u == 0x2028 || u == 0x2029 || u == 0x061C
            || u == 0x200E || u == 0x200F || (u >= 0x202A && u <= 0x202E)
            || (u >= 0x2066 && u <= 0x2069);
    });
}

bool isWellFormed(const QString &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate()) {
            if (i + 1 >= text.size() || !text.at(i + 1).isLowSurrogate())
                return false;
            ++i;
        } else if (c.isLowSurrogate()) {
            return false;
        }
    }
    return true;
}

bool isMessageText(const QString &text)
{
    // A cheap bound first, so an enormous text is not walked character by character.
    if (text.isEmpty() || text.size() > qsizetype(MaxSegments) * 160)
        return false;
    return isWellFormed(text) && SegmentCounter::segments(text) <= MaxSegments;
}

bool splitRecipients(const QString &text, QStringList &phones)
{
    QStringList found;
    QString normalised = text;
    normalised.replace(u'，', u',');
    const QStringList parts = normalised.split(u',');
    if (parts.size() > MaxRecipients)
        return false;
    for (const QString &part : parts) {
        const QString phone = part.trimmed();
        if (!isPhone(phone))
            return false;
        if (!found.contains(phone))
            found.append(phone);
    }
    phones = found;
    return true;
}

} // namespace InputRules
