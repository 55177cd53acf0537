// Fuzz target: how the operator tool shows outside text, escapeControls.
//
// Checked for every input: what is shown holds no raw control character (C0, DEL, C1,
// line and paragraph separators, bidi controls, lone surrogates), so one record stays
// one row; and it reads back exactly: undoing the escapes (\\ \t \n \r \xHH \uHHHH, a
// backslash never anything else) gives the text that went in. The gateway's plain
// texts (InputRules::isPlainText) are exactly the well-formed texts the tool shows as
// they are, backslashes apart.

#include "tools/controlescape.h"
#include "fuzz/fuzzinput.h"
#include "gateway/local/inputrules.h"

#include <optional>

using namespace Qt::StringLiterals;
using FuzzInput::require;

namespace {

bool isRawControl(char16_t u)
{
    return u < 0x20 || (u >= 0x7f && u <= 0x9f) || u == 0x2028 || u == 0x2029 || u == 0x061c
        || u == 0x200e || u == 0x200f || (u >= 0x202a && u <= 0x202e)
        || (u >= 0x2066 && u <= 0x2069);
}

// The value of `digits` lower-case hexadecimal digits at `from`.
std::optional<char16_t> hexValue(const QString &shown, qsizetype from, int digits)
{
    if (from + digits > shown.size())
        return std::nullopt;
    char16_t value = 0;
    for (qsizetype i = from; i < from + digits; ++i) {
        const char16_t c = shown[i].unicode();
        int digit = 0;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else
            return std::nullopt;
        value = char16_t(value * 16 + digit);
    }
    return value;
}

// The text that `shown` stands for, or nothing when it holds a backslash that starts
// no escape.
std::optional<QString> readBack(const QString &shown)
{
    QString text;
    for (qsizetype i = 0; i < shown.size(); ++i) {
        if (shown[i] != u'\\') {
            text += shown[i];
            continue;
        }
        if (++i >= shown.size())
            return std::nullopt;
        const QChar kind = shown[i];
        if (kind == u'\\') {
            text += u'\\';
        } else if (kind == u't') {
            text += u'\t';
        } else if (kind == u'n') {
            text += u'\n';
        } else if (kind == u'r') {
            text += u'\r';
        } else if (kind == u'x' || kind == u'u') {
            const int digits = kind == u'x' ? 2 : 4;
            const std::optional<char16_t> value = hexValue(shown, i + 1, digits);
            if (!value)
                return std::nullopt;
            text += QChar(*value);
            i += digits;
        } else {
            return std::nullopt;
        }
    }
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = FuzzInput::text(data, size);
    const QString shown = escapeControls(text);

    require(QStringView(shown).isValidUtf16(), "what is shown is well-formed UTF-16", text);
    for (QChar c : shown)
        require(!isRawControl(c.unicode()), "what is shown holds no raw control character", text);
    require(readBack(shown) == text, "what is shown reads back to the text", text);
    if (InputRules::isWellFormed(text)) {
        QString doubled = text;
        doubled.replace(u'\\', u"\\\\"_s);
        require(InputRules::isPlainText(text) == (shown == doubled),
                "a plain text is one the tool shows as it is, backslashes apart", text);
    }
    return 0;
}
