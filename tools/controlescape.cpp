#include "tools/controlescape.h"

using namespace Qt::StringLiterals;

namespace {

bool isLineOrBidiControl(char16_t c)
{
    return c == 0x2028 || c == 0x2029 || c == 0x061C || c == 0x200E || c == 0x200F
        || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

QString hex(char16_t c, int digits)
{
    return QString::number(c, 16).rightJustified(digits, u'0');
}

} // namespace

QString escapeControls(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size()
            && QChar::isLowSurrogate(text.at(i + 1).unicode())) {
            shown += text.at(i);
            shown += text.at(++i);
        } else if (c == u'\\') {
            shown += u"\\\\"_s;
        } else if (c == u'\t') {
            shown += u"\\t"_s;
        } else if (c == u'\n') {
            shown += u"\\n"_s;
        } else if (c == u'\r') {
            shown += u"\\r"_s;
        } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            shown += u"\\x"_s + hex(c, 2);
        } else if (isLineOrBidiControl(c) || QChar::isSurrogate(c)) {
            shown += u"\\u"_s + hex(c, 4);
        } else {
            shown += text.at(i);
        }
    }
    return shown;
}
