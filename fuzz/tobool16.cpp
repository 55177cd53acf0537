// Fuzz target: the truth value of a forwarding answer, Console::toBool16.
//
// Checked for every input: the answer is True16 or False16; it is False16 exactly when
// the trimmed text is empty, reads "false" in any letter case, or is a whole number
// whose value is zero; blanks around the text and ASCII letter case change nothing.

#include "console/console.h"
#include "fuzz/fuzzinput.h"

#include <QRegularExpression>

#include <cerrno>
#include <cstdlib>

using namespace Qt::StringLiterals;
using FuzzInput::require;

namespace {

enum class Reading { NotZero, Zero, Unknown };

// Whether the trimmed text is a whole number whose value is zero.
Reading zeroNumber(const QString &trimmed)
{
    static const QRegularExpression number(
        u"\\A[+-]?(?:[0-9]+(?:\\.[0-9]*)?|\\.[0-9]+)(?:[eE][+-]?[0-9]+)?\\z"_s);
    for (QChar c : trimmed) {
        if (c.isSurrogate())
            return Reading::NotZero; // never part of a number
    }
    if (!number.match(trimmed).hasMatch())
        return Reading::NotZero;
    const QByteArray ascii = trimmed.toLatin1();
    errno = 0;
    const double value = std::strtod(ascii.constData(), nullptr);
    if (errno != ERANGE)
        return value == 0.0 ? Reading::Zero : Reading::NotZero;
    // Beyond the double range: infinity is not zero; below it, whether a value that
    // small reads as zero is the count reader's own rounding.
    return value != 0.0 ? Reading::NotZero : Reading::Unknown;
}

QString asciiFlipped(const QString &text)
{
    QString flipped = text;
    for (QChar &c : flipped) {
        if (c >= u'a' && c <= u'z')
            c = QChar(c.unicode() - 0x20);
        else if (c >= u'A' && c <= u'Z')
            c = QChar(c.unicode() + 0x20);
    }
    return flipped;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = FuzzInput::text(data, size);
    const Bool16 value = Console::toBool16(text);

    require(value == True16 || value == False16, "the answer is True16 or False16", text);

    const QString trimmed = text.trimmed();
    const Reading reading = zeroNumber(trimmed);
    if (reading != Reading::Unknown) {
        const bool expectFalse
            = trimmed.isEmpty() || trimmed.toCaseFolded() == u"false"_s || reading == Reading::Zero;
        require((value == False16) == expectFalse,
                "false exactly for blank, \"false\" in any case, or a zero number", text);
    }

    require(Console::toBool16(u" \t"_s + text + u"\u3000 "_s) == value,
            "blanks around the answer change nothing", text);
    require(Console::toBool16(asciiFlipped(text)) == value, "letter case changes nothing", text);
    return 0;
}
