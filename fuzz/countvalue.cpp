// Fuzz target: the console's count reader, Console::countValue.
//
// Checked for every input: the value is never NaN; it equals the C library's reading
// of the longest number at the start (after blanks); leading blanks and a trailing
// character that cannot continue a number change nothing; a sign in front negates; appending a
// digit to a digit-only text never lowers the value.

#include "console/console.h"
#include "fuzz/fuzzinput.h"

#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>

using namespace Qt::StringLiterals;
using FuzzInput::require;

namespace {

// The number at the start of the text, as the count reader's contract describes it.
QString leadingNumber(const QString &text)
{
    static const QRegularExpression number(
        u"\\A[ \\t\\r\\n]*([+-]?(?:[0-9]+(?:\\.[0-9]*)?|\\.[0-9]+)(?:[eE][+-]?[0-9]+)?)"_s);
    QString plain = text;
    // The pattern matcher wants well-formed UTF-16; a surrogate is never part of a
    // number, and neither is the x that stands in for it.
    for (QChar &c : plain) {
        if (c.isSurrogate())
            c = u'x';
    }
    const QRegularExpressionMatch match = number.match(plain);
    return match.hasMatch() ? match.captured(1) : QString();
}

bool isDigitsOnly(const QString &text)
{
    return !text.isEmpty()
        && std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

bool sameValue(double a, double b)
{
    if (a == b)
        return true;
    // Two readers may round a very long mantissa differently in the last place.
    return std::isfinite(a) && std::isfinite(b) && std::fabs(a - b) <= std::fabs(b) * 1e-15;
}

// The C library's reading of an ASCII number; `range` is false when it lies beyond the
// double range (then the result is infinity, or a value below the smallest normal).
double libraryValue(const QString &number, bool &range)
{
    const QByteArray ascii = number.toLatin1();
    errno = 0;
    const double value = std::strtod(ascii.constData(), nullptr);
    range = errno != ERANGE;
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = FuzzInput::text(data, size);
    const double value = Console::countValue(text);

    require(!std::isnan(value), "a count is never NaN", text);

    const QString number = leadingNumber(text);
    if (number.isEmpty()) {
        require(value == 0.0, "a text without a leading number counts 0", text);
    } else {
        bool ok = false;
        const double expected = libraryValue(number, ok);
        if (ok)
            require(sameValue(value, expected),
                    "a count equals the C library's reading of its number", text);
        else if (std::isinf(expected))
            require(value == expected, "a number beyond the double range counts as infinity", text);
        else
            require(std::fabs(value) < DBL_MIN, "a number below the double range counts 0", text);
    }

    require(Console::countValue(u" \t\r\n"_s + text) == value, "leading blanks change nothing",
            text);
    require(Console::countValue(text + u'x') == value,
            "a character that cannot continue a number changes nothing", text);

    if (!text.isEmpty() && (text.front().isDigit() || text.front() == u'.')
        && text.front().unicode() < 0x80) {
        require(Console::countValue(u'-' + text) == -value, "a minus sign negates", text);
        require(Console::countValue(u'+' + text) == value, "a plus sign changes nothing", text);
    }

    if (isDigitsOnly(text)) {
        for (char16_t digit = u'0'; digit <= u'9'; ++digit)
            require(Console::countValue(text + QChar(digit)) >= value,
                    "appending a digit never lowers a count", text);
    }
    return 0;
}
